// TLS on OpenSSL 3 over two memory BIOs: the connection moves bytes between
// the socket and a TlsSession, which never blocks and never sees a socket.
// TLS 1.2 and later only, ALPN "h2" only. Error texts come from OpenSSL's
// error queue, which is cleared before every operation so that nothing one
// connection left there is reported by another on the same thread. No error
// text carries key material.
//
// Contents: error texts, PEM loading, TlsContext (server, client), TlsSession.
#include "tls.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace sorvane::native {

namespace {

constexpr unsigned char kAlpnH2[] = {2, 'h', '2'};

// TLS 1.2 suites HTTP/2 allows (ECDHE with an AEAD); TLS 1.3 suites are all fine.
constexpr const char* kCiphers12 =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Drains this thread's OpenSSL error queue into one line ("" when empty).
std::string drain_errors() {
    std::string text;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text;
}

std::string failure(const char* what) {
    std::string detail = drain_errors();
    return detail.empty() ? std::string(what) : std::string(what) + ": " + detail;
}

// Encrypted keys are refused rather than prompting on the terminal.
int no_passphrase(char*, int, int, void*) { return 0; }

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

BioPtr pem_bio(const std::string& pem) {
    if (pem.size() > INT_MAX) return nullptr;
    return BioPtr(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

// Installs `key` and the chain in `chain` (leaf first) on ctx.
bool use_key_and_chain(SSL_CTX* ctx, const std::string& key, const std::string& chain,
                       std::string* error) {
    BioPtr cbio = pem_bio(chain);
    X509* leaf = cbio ? PEM_read_bio_X509(cbio.get(), nullptr, no_passphrase, nullptr) : nullptr;
    if (!leaf) {
        *error = failure("the certificate chain is not a PEM certificate");
        return false;
    }
    int ok = SSL_CTX_use_certificate(ctx, leaf);
    X509_free(leaf);
    if (ok != 1) {
        *error = failure("the certificate is not usable");
        return false;
    }
    while (X509* extra = PEM_read_bio_X509(cbio.get(), nullptr, no_passphrase, nullptr)) {
        if (SSL_CTX_add0_chain_cert(ctx, extra) != 1) {  // takes `extra` on success
            X509_free(extra);
            *error = failure("a certificate of the chain is not usable");
            return false;
        }
    }
    ERR_clear_error();  // the loop above ends on "no start line"
    BioPtr kbio = pem_bio(key);
    EVP_PKEY* pkey =
        kbio ? PEM_read_bio_PrivateKey(kbio.get(), nullptr, no_passphrase, nullptr) : nullptr;
    if (!pkey) {
        *error = failure("the private key is not a PEM private key (or it is encrypted)");
        return false;
    }
    ok = SSL_CTX_use_PrivateKey(ctx, pkey);
    EVP_PKEY_free(pkey);
    if (ok != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        *error = failure("the private key does not match the certificate");
        return false;
    }
    return true;
}

// Adds every certificate of `pem` to ctx's trust store (and, for a server,
// to the CA names it sends when asking for a client certificate).
bool trust(SSL_CTX* ctx, const std::string& pem, bool server, std::string* error) {
    BioPtr bio = pem_bio(pem);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    int count = 0;
    while (X509* cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, no_passphrase, nullptr)
                            : nullptr) {
        bool ok = X509_STORE_add_cert(store, cert) == 1 &&
                  (!server || SSL_CTX_add_client_CA(ctx, cert) == 1);
        X509_free(cert);
        if (!ok) {
            *error = failure("a CA certificate is not usable");
            return false;
        }
        ++count;
    }
    ERR_clear_error();
    if (count == 0) {
        *error = "the CA certificates are not PEM certificates";
        return false;
    }
    return true;
}

int select_h2(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
              unsigned int inlen, void*) {
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outlen, kAlpnH2, sizeof kAlpnH2, in, inlen) !=
        OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_ALERT_FATAL;  // no "h2" on offer: no HTTP/2, no gRPC
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

SSL_CTX* new_context(bool server, std::string* error) {
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx) {
        *error = failure("cannot create a TLS context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                 SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    if (SSL_CTX_set_cipher_list(ctx, kCiphers12) != 1) {
        *error = failure("cannot set the TLS 1.2 ciphers");
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace

// ---- TlsContext ---------------------------------------------------------------

std::shared_ptr<TlsContext> TlsContext::for_server(const TlsConfig& config, std::string* error) {
    ERR_clear_error();
    SSL_CTX* ctx = new_context(true, error);
    if (!ctx) return nullptr;
    std::shared_ptr<TlsContext> owner(new TlsContext(ctx, true));
    if (!use_key_and_chain(ctx, config.private_key, config.cert_chain, error)) return nullptr;
    SSL_CTX_set_alpn_select_cb(ctx, select_h2, nullptr);
    static const unsigned char kSessionContext[] = "sorvane";
    SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
    if (config.require_client_cert) {
        if (config.root_certs.empty()) {
            *error = "client certificates are required but no client CA was given";
            return nullptr;
        }
        if (!trust(ctx, config.root_certs, true, error)) return nullptr;
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return owner;
}

std::shared_ptr<TlsContext> TlsContext::for_client(const TlsConfig& config, std::string* error) {
    ERR_clear_error();
    SSL_CTX* ctx = new_context(false, error);
    if (!ctx) return nullptr;
    std::shared_ptr<TlsContext> owner(new TlsContext(ctx, false));
    if (config.root_certs.empty()) {
        if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
            *error = failure("cannot load the system's CA certificates");
            return nullptr;
        }
    } else if (!trust(ctx, config.root_certs, false, error)) {
        return nullptr;
    }
    if (!config.private_key.empty() || !config.cert_chain.empty()) {
        if (!use_key_and_chain(ctx, config.private_key, config.cert_chain, error)) return nullptr;
    }
    if (SSL_CTX_set_alpn_protos(ctx, kAlpnH2, sizeof kAlpnH2) != 0) {  // 0 is success here
        *error = failure("cannot offer ALPN h2");
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return owner;
}

TlsContext::~TlsContext() { SSL_CTX_free(static_cast<SSL_CTX*>(ctx_)); }

// ---- TlsSession ---------------------------------------------------------------

TlsSession::TlsSession(std::shared_ptr<TlsContext> ctx, const std::string& host)
    : ssl_(nullptr), rbio_(nullptr), wbio_(nullptr), ctx_(std::move(ctx)) {
    ERR_clear_error();
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(ctx_->native()));
    BIO* rbio = BIO_new(BIO_s_mem());
    BIO* wbio = BIO_new(BIO_s_mem());
    if (!ssl || !rbio || !wbio) {
        SSL_free(ssl);
        BIO_free(rbio);
        BIO_free(wbio);
        ERR_clear_error();
        return;  // feed() and write() report it
    }
    // An empty read BIO means "more to come", not end of file.
    BIO_set_mem_eof_return(rbio, -1);
    SSL_set_bio(ssl, rbio, wbio);  // the SSL owns both now
    ssl_ = ssl;
    rbio_ = rbio;
    wbio_ = wbio;
    if (ctx_->server()) {
        SSL_set_accept_state(ssl);
        return;
    }
    SSL_set_connect_state(ssl);
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str())) {
        ASN1_OCTET_STRING_free(ip);
        X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());  // no SNI for an address
    } else if (!name.empty()) {
        SSL_set_tlsext_host_name(ssl, name.c_str());
        X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
    }
    ERR_clear_error();
}

TlsSession::~TlsSession() { SSL_free(static_cast<SSL*>(ssl_)); }

void TlsSession::start() {
    if (!ssl_ || ctx_->server() || done_) return;
    ERR_clear_error();
    SSL_do_handshake(static_cast<SSL*>(ssl_));  // only queues the ClientHello
    ERR_clear_error();
}

bool TlsSession::feed(const void* data, size_t length, std::string* plain, std::string* error) {
    if (!ssl_) {
        *error = "cannot create a TLS session";
        return false;
    }
    auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        int chunk = static_cast<int>(std::min<size_t>(length, 1 << 20));
        int n = BIO_write(static_cast<BIO*>(rbio_), bytes, chunk);
        if (n <= 0) {
            *error = "TLS: out of memory";
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return advance(plain, error);
}

bool TlsSession::advance(std::string* plain, std::string* error) {
    SSL* ssl = static_cast<SSL*>(ssl_);
    ERR_clear_error();
    if (!done_) {
        int r = SSL_do_handshake(ssl);
        if (r != 1) {
            int e = SSL_get_error(ssl, r);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return true;
            long verify = SSL_get_verify_result(ssl);
            if (verify != X509_V_OK) {
                ERR_clear_error();
                *error = std::string("TLS handshake failed: certificate verify failed: ") +
                         X509_verify_cert_error_string(verify);
            } else {
                *error = failure("TLS handshake failed");
            }
            return false;
        }
        done_ = true;
    }
    for (;;) {
        size_t old = plain->size();
        plain->resize(old + 16384);
        size_t got = 0;
        int r = SSL_read_ex(ssl, &(*plain)[old], 16384, &got);
        plain->resize(old + got);
        if (r == 1) continue;
        int e = SSL_get_error(ssl, 0);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            return true;
        }
        if (e == SSL_ERROR_ZERO_RETURN) {
            *error = "TLS closed by the peer";
            ERR_clear_error();
            return false;
        }
        *error = failure("TLS record error");
        return false;
    }
}

bool TlsSession::write(const void* data, size_t length, std::string* error) {
    if (!ssl_ || !done_) {
        *error = "TLS: write before the handshake completed";
        return false;
    }
    ERR_clear_error();
    auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        size_t written = 0;
        // A memory BIO takes everything: SSL_write_ex never waits here.
        if (SSL_write_ex(static_cast<SSL*>(ssl_), bytes, length, &written) != 1) {
            *error = failure("TLS write failed");
            return false;
        }
        bytes += written;
        length -= written;
    }
    return true;
}

void TlsSession::output(std::string* out) {
    if (!wbio_) return;
    BIO* wbio = static_cast<BIO*>(wbio_);
    size_t pending;
    while ((pending = BIO_ctrl_pending(wbio)) > 0) {
        size_t old = out->size();
        out->resize(old + pending);
        int n = BIO_read(wbio, &(*out)[old], static_cast<int>(std::min<size_t>(pending, INT_MAX)));
        out->resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n <= 0) break;
    }
}

bool TlsSession::alpn_h2() const {
    if (!ssl_ || !done_) return false;
    const unsigned char* proto = nullptr;
    unsigned int len = 0;
    SSL_get0_alpn_selected(static_cast<SSL*>(ssl_), &proto, &len);
    return len == 2 && std::memcmp(proto, "h2", 2) == 0;
}

std::string TlsSession::peer_identity() const {
    if (!ssl_ || !done_) return "";
    SSL* ssl = static_cast<SSL*>(ssl_);
    X509* cert = SSL_get0_peer_certificate(ssl);
    if (!cert || SSL_get_verify_result(ssl) != X509_V_OK) return "";
    // A server that asked for no client certificate verified nothing.
    if (ctx_->server() && !(SSL_CTX_get_verify_mode(static_cast<SSL_CTX*>(ctx_->native())) &
                            SSL_VERIFY_PEER))
        return "";
    char cn[256] = {};
    int n = X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
    ERR_clear_error();
    return n > 0 ? std::string(cn, static_cast<size_t>(n)) : std::string();
}

}  // namespace sorvane::native
