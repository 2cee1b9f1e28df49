// TLS for the engine's connections through OpenSSL, over memory buffers: the
// connection reads and writes the socket itself and hands the bytes through a
// TlsSession, so TLS never blocks and never touches a socket. ALPN offers and
// requires "h2". No HTTP/2, no Python.
#pragma once

#include "transport.hpp"

#include <memory>
#include <string>

namespace sorvane::native {

// One configured SSL_CTX: a server's (its key and chain, and the client CA
// when client certificates are asked for) or a channel's (the roots to verify
// the server, and its own key and chain for mutual TLS). Shared by every
// session made from it.
class TlsContext {
public:
    // nullptr with `error` set (a PEM that does not parse, a key that does not
    // match its certificate).
    static std::shared_ptr<TlsContext> for_server(const TlsConfig& config, std::string* error);
    // Empty `root_certs`: the system's default roots.
    static std::shared_ptr<TlsContext> for_client(const TlsConfig& config, std::string* error);
    ~TlsContext();
    void* native() const { return ctx_; }  // SSL_CTX*
    bool server() const { return server_; }

private:
    TlsContext(void* ctx, bool server) : ctx_(ctx), server_(server) {}
    void* ctx_;
    bool server_;
};

class TlsSession {
public:
    // `host`: the name to verify and send as SNI (client only; may be an IP
    // address, then it is verified against the certificate's IP entries).
    TlsSession(std::shared_ptr<TlsContext> ctx, const std::string& host);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Takes bytes read from the socket; appends the plaintext they carry to
    // `plain` (nothing during the handshake). False on a TLS failure
    // (handshake refused, bad record, verification failed): `error` says
    // what, and the connection must close after sending output().
    bool feed(const void* data, size_t length, std::string* plain, std::string* error);
    // Encrypts plaintext for the socket (after the handshake only).
    bool write(const void* data, size_t length, std::string* error);
    // Moves the bytes waiting for the socket (records, handshake messages)
    // onto the end of `out`.
    void output(std::string* out);
    // Starts the client's handshake (its first flight then waits in output()).
    void start();
    bool handshake_done() const { return done_; }
    // After the handshake: whether both sides agreed on "h2".
    bool alpn_h2() const;
    // The peer's certificate chain was verified and, on a server that asked
    // for one, a client certificate was presented.
    std::string peer_identity() const;  // the subject's common name, or ""

private:
    bool advance(std::string* plain, std::string* error);
    void* ssl_;     // SSL*
    void* rbio_;    // BIO* we write received bytes into
    void* wbio_;    // BIO* we read bytes to send from
    bool done_ = false;
    std::shared_ptr<TlsContext> ctx_;
};

}  // namespace sorvane::native
