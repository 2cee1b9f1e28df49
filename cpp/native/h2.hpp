// One HTTP/2 connection on nghttp2, the part the server and the client share:
// the socket, optional TLS, and pumping bytes between them and an
// nghttp2_session (mem_recv/mem_send). It knows nothing of gRPC: the server
// host and the channel host derive from it, fill in the session's callbacks
// and give streams their meaning. Lives on one EventLoop; every member is
// called on that loop's thread.
#pragma once

#include "loop.hpp"
#include "tls.hpp"

#include <nghttp2/nghttp2.h>

#include <memory>
#include <string>

namespace sorvane::native {

class H2Connection {
public:
    H2Connection(EventLoop& loop, SocketHandle socket, std::unique_ptr<TlsSession> tls,
                 std::string peer);
    virtual ~H2Connection();
    H2Connection(const H2Connection&) = delete;
    H2Connection& operator=(const H2Connection&) = delete;

    // Makes the session (make_session) and starts reading; with TLS, the
    // session is made once the handshake is done and ALPN chose "h2". False
    // when the session cannot be made: the caller drops the connection.
    bool start();

    // Writes whatever nghttp2 wants to send, as far as the socket takes it;
    // arms the writer when the socket is full. Call after every submit_*.
    // Output is bounded: nghttp2 is asked for more only while less than
    // kOutputHigh bytes wait for the socket, and asked again on writable.
    // From inside an nghttp2 callback it only takes note; the write follows
    // as soon as nghttp2 returns.
    void flush();

    // Closes at once: socket, session, and every stream (on_closed runs once).
    // From inside an nghttp2 callback the socket closes at once, and the
    // session's deletion and on_closed follow as soon as nghttp2 returns.
    void close(const char* why);
    bool closed() const { return socket_ == kNoSocket; }

    nghttp2_session* session() const { return session_; }
    EventLoop& loop() const { return loop_; }
    const std::string& peer() const { return peer_; }
    const TlsSession* tls() const { return tls_.get(); }

    static constexpr size_t kOutputHigh = 256 * 1024;

    // Tells a thread that remembered a connection whether it still exists;
    // set and read in the loop's place only.
    struct Alive {
        bool yes = true;
    };
    const std::shared_ptr<Alive>& alive() const { return alive_; }

    // For a thread outside the loop that expects the peer to send soon (a
    // server worker that just answered, a client waiting for its reply):
    // waits up to `wait` for bytes on `conn`'s socket itself, the loop not
    // watching it meanwhile, and reads them in the loop's place. This spares
    // the hand-over from the loop's thread to the one that has work with
    // them. Returns -1 at once when the loop is busy, output waits, another
    // thread reads the connection or it is gone; 0 when nothing came in
    // time; 1 when bytes were read.
    static int read_in_place(EventLoop& loop, const std::shared_ptr<Alive>& alive,
                              H2Connection* conn, std::chrono::microseconds wait);

    // As read_in_place, for a thread that waits with an event loop of its
    // own (asyncio's): lend() hands it the socket (false when read_in_place
    // would return -1), the loop not watching it meanwhile. The thread may
    // wait on `socket` itself and read what came in the loop's place
    // (read_lent), or ask for a second handle to the socket (share_lent:
    // socket_share) for its own loop to watch; it calls give_back() once,
    // when done or when that handle is readable, which closes the handle and,
    // with `read`, reads what came (1; 0 when the loan had ended, -1 when the
    // connection is gone; without `read`, the loop reads what is there). A loan not given back within `longest` ends by itself, the
    // loop watching the socket again, so a borrower that is slow to come
    // back holds up no other call for long.
    struct Loan {
        std::shared_ptr<Alive> alive;
        H2Connection* conn = nullptr;
        uint64_t id = 0;
        SocketHandle socket = kNoSocket;  // the connection's (only to wait on)
        SocketHandle handle = kNoSocket;  // share_lent's, the borrower's to watch
    };
    static bool lend(EventLoop& loop, const std::shared_ptr<Alive>& alive, H2Connection* conn,
                     std::chrono::microseconds longest, Loan* loan);
    static SocketHandle share_lent(EventLoop& loop, Loan* loan);
    static int give_back(EventLoop& loop, Loan* loan, bool read);
    // Reads what came on a lent socket in the loop's place, the loan going
    // on: 1 when it read; 0 when the loan had ended, -1 when the connection
    // is gone (the borrower then gives it back, as always).
    static int read_lent(EventLoop& loop, const Loan& loan);

protected:
    // Builds the session with this object as user_data (nghttp2_session_server_new
    // or _client_new, with its callbacks and options) and submits SETTINGS.
    virtual bool make_session(nghttp2_session** out) = 0;
    // The connection is gone (peer closed, I/O or protocol error, close()).
    // Called once, on the loop thread; streams still open end here. The
    // owner may delete the object after this returns (not from inside it).
    virtual void on_closed(const char* why) = 0;
    // Bytes arrived (before they reach nghttp2): timers such as the preface
    // deadline and keepalive use it. Default: nothing.
    virtual void on_activity() {}

private:
    void on_io(uint32_t events);
    void read_some();
    bool write_some();  // false when the socket is full
    bool feed_session(const uint8_t* data, size_t length);
    bool tls_ready();  // makes the session once the handshake is done; false: closed
    bool new_session();  // make_session, and nothing left behind when it fails
    size_t pull_output();  // bytes nghttp2 gave
    void arm_writable();
    void finish_close();
    size_t pending() const { return out_.size() - out_pos_; }

    EventLoop& loop_;
    SocketHandle socket_;
    std::unique_ptr<TlsSession> tls_;
    std::string peer_;
    nghttp2_session* session_ = nullptr;
    std::string out_;        // bytes for the socket, from out_pos_
    size_t out_pos_ = 0;
    bool want_writable_ = false;
    bool closing_ = false;         // close() ran; on_closed comes (or came) once
    int depth_ = 0;                // > 0 while nghttp2 runs our callbacks
    bool close_pending_ = false;   // close() from a callback: finish when it returns
    bool flush_pending_ = false;   // flush() from a callback: run when it returns
    std::string close_reason_;
    std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
    bool read_elsewhere_ = false;  // a thread outside the loop waits on the socket
    uint64_t loans_ = 0;           // the latest lend()'s id, while read_elsewhere_
    EventLoop::TimerId loan_timer_ = 0;
    void end_loan();               // the loop watches the socket again
    // In the loop's place: the connection of `loan`, while that loan lasts.
    static H2Connection* lent(const Loan& loan);
};

}  // namespace sorvane::native
