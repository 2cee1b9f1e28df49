// The HTTP/2 connection core: moves bytes between a socket, an optional TLS
// session and an nghttp2 session with mem_recv/mem_send, on one event loop.
// What the streams mean (gRPC calls) is the server's and the client's
// business; this file only pumps, bounds and closes.
//
// Contents: construction and start, reading (bounded per wake-up), the TLS
// handshake, writing (bounded output, resumed on writable), closing.
#include "h2.hpp"

#include <algorithm>
#include <utility>

namespace sorvane::native {

namespace {

constexpr size_t kReadChunk = 64 * 1024;
// One connection gets at most this much reading per wake-up, so a fast
// sender cannot starve the other connections of its loop.
constexpr size_t kReadBudget = 1024 * 1024;
// Writing likewise: after this many rounds of kOutputHigh in one flush, the
// rest waits for the next writable event.
constexpr int kWriteRounds = 16;
// An idle connection gives back an output buffer grown past this.
constexpr size_t kIdleCapacity = 64 * 1024;

}  // namespace

H2Connection::H2Connection(EventLoop& loop, SocketHandle socket, std::unique_ptr<TlsSession> tls,
                           std::string peer)
    : loop_(loop), socket_(socket), tls_(std::move(tls)), peer_(std::move(peer)) {}

H2Connection::~H2Connection() {
    alive_->yes = false;
    // Normally close() ran already; an owner that never started the
    // connection (or gave up on start()) only has the socket to return.
    if (socket_ != kNoSocket) {
        loop_.unwatch(socket_);
        socket_close(socket_);
    }
    if (session_) nghttp2_session_del(session_);
}

bool H2Connection::start() {
    if (socket_ == kNoSocket || closing_) return false;
    if (!tls_ && !new_session()) return false;
    if (!loop_.watch(socket_, true, false, [this](uint32_t events) { on_io(events); })) {
        if (session_) nghttp2_session_del(session_);
        session_ = nullptr;
        return false;
    }
    if (tls_) tls_->start();  // a client's hello; nothing for a server
    flush();
    return true;
}

// ---- reading --------------------------------------------------------------------

void H2Connection::on_io(uint32_t events) {
    if (closed()) return;
    if (events & (kReadable | kHangup)) read_some();
    if (!closed() && (events & kWritable)) flush();
}

void H2Connection::read_some() {
    unsigned char buffer[kReadChunk];
    std::string plain;
    size_t total = 0;
    while (total < kReadBudget && !closed()) {
        bool would_block = false;
        long long n = socket_recv(socket_, buffer, sizeof buffer, &would_block);
        if (n < 0 && would_block) break;
        if (n <= 0) {
            close(n == 0 ? "the peer closed the connection" : "connection reset");
            return;
        }
        total += static_cast<size_t>(n);
        // A short read took all the socket had: the next would only say so
        // (the loop's readiness is level-triggered, so nothing is missed).
        bool drained = static_cast<size_t>(n) < sizeof buffer;
        on_activity();
        if (closed()) return;
        if (!tls_) {
            if (!feed_session(buffer, static_cast<size_t>(n))) return;
            if (drained) break;
            continue;
        }
        plain.clear();
        std::string error;
        if (!tls_->feed(buffer, static_cast<size_t>(n), &plain, &error)) {
            // Send the alert OpenSSL queued, as far as the socket takes it now.
            std::string alert;
            tls_->output(&alert);
            bool ignored;
            socket_send(socket_, alert.data(), alert.size(), &ignored);
            close(error.c_str());
            return;
        }
        if (!tls_ready()) return;
        if (session_ && !plain.empty() &&
            !feed_session(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()))
            return;
        if (drained) break;
    }
    flush();
}

bool H2Connection::tls_ready() {
    if (session_ || !tls_->handshake_done()) return true;
    if (!tls_->alpn_h2()) {
        close("TLS peer did not agree on HTTP/2 (ALPN h2)");
        return false;
    }
    if (!new_session()) {
        close("cannot create the HTTP/2 session");
        return false;
    }
    return true;
}

bool H2Connection::new_session() {
    nghttp2_session* made = nullptr;
    if (make_session(&made) && made) {
        session_ = made;
        return true;
    }
    if (made) nghttp2_session_del(made);  // made, but its SETTINGS could not be queued
    return false;
}

bool H2Connection::feed_session(const uint8_t* data, size_t length) {
    while (length > 0 && session_ && !close_pending_) {
        ++depth_;
        auto rv = nghttp2_session_mem_recv(session_, data, length);
        --depth_;
        if (rv < 0) {
            // Protocol errors never get here (nghttp2 queues GOAWAY and stops
            // wanting to read); a negative result is fatal for the session.
            close(nghttp2_strerror(static_cast<int>(rv)));
            break;
        }
        if (rv == 0) break;
        data += rv;
        length -= static_cast<size_t>(rv);
    }
    if (close_pending_) finish_close();
    return !closed();
}

// ---- writing ----------------------------------------------------------------------

size_t H2Connection::pull_output() {
    size_t pulled = 0;
    if (!session_ || close_pending_) return 0;
    while (pending() < kOutputHigh) {
        const uint8_t* data = nullptr;
        ++depth_;
        auto n = nghttp2_session_mem_send(session_, &data);
        --depth_;
        if (close_pending_) {
            finish_close();
            return 0;
        }
        if (n < 0) {
            close(nghttp2_strerror(static_cast<int>(n)));
            return 0;
        }
        if (n == 0) break;
        pulled += static_cast<size_t>(n);
        if (tls_) {
            std::string error;
            if (!tls_->write(data, static_cast<size_t>(n), &error)) {
                close(error.c_str());
                return 0;
            }
            // Keep the records moving out so pending() measures them too.
            tls_->output(&out_);
        } else {
            out_.append(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
        }
    }
    return pulled;
}

bool H2Connection::write_some() {
    while (pending() > 0 && socket_ != kNoSocket) {
        bool would_block = false;
        long long n = socket_send(socket_, out_.data() + out_pos_, pending(), &would_block);
        if (n < 0) {
            if (would_block) break;
            close("connection reset while writing");
            return true;
        }
        out_pos_ += static_cast<size_t>(n);
    }
    if (out_pos_ == out_.size()) {
        out_.clear();
        out_pos_ = 0;
        return true;
    }
    if (out_pos_ > out_.size() / 2) {
        out_.erase(0, out_pos_);
        out_pos_ = 0;
    }
    return false;
}

void H2Connection::flush() {
    if (depth_ > 0) {
        flush_pending_ = true;
        return;
    }
    flush_pending_ = false;
    if (closed()) return;
    for (int round = 0;; ++round) {
        if (round == kWriteRounds) {
            arm_writable();
            return;
        }
        bool room = pending() < kOutputHigh;
        size_t pulled = pull_output();
        if (tls_) tls_->output(&out_);  // handshake messages and alerts, too
        if (closed() || close_pending_) return;
        if (!write_some()) {
            if (closed()) return;
            arm_writable();  // the socket is full: pull again once it drains
            return;
        }
        if (closed()) return;
        // Everything went out. A buffer that stopped at kOutputHigh leaves
        // nghttp2 with more to say, and nothing else would ask for it; but
        // when it gave nothing, what it wants to send waits for a window.
        if ((room && pulled == 0) || !session_ || !nghttp2_session_want_write(session_)) break;
    }
    if (want_writable_) {
        want_writable_ = false;
        loop_.modify(socket_, true, false);
    }
    // Nothing left to say for now: a buffer grown by large messages goes
    // back, so that many idle connections cost little.
    if (out_.capacity() > kIdleCapacity) std::string().swap(out_);
    // Both ways done (GOAWAY sent and received, or a fatal protocol error
    // queued its GOAWAY and stopped reading) and nothing left to write.
    if (session_ && !nghttp2_session_want_read(session_) &&
        !nghttp2_session_want_write(session_) && pending() == 0)
        close("the HTTP/2 session ended");
}

void H2Connection::arm_writable() {
    if (want_writable_ || closed()) return;
    want_writable_ = true;
    loop_.modify(socket_, true, true);
}

// ---- reading from another thread ----------------------------------------------

int H2Connection::read_in_place(EventLoop& loop, const std::shared_ptr<Alive>& alive,
                                 H2Connection* conn, std::chrono::microseconds wait) {
    if (!loop.try_enter()) return -1;
    if (!alive->yes || conn->read_elsewhere_ || conn->want_writable_ || !conn->session_ ||
        conn->depth_ > 0 || conn->pending() > 0) {
        loop.leave();
        return -1;
    }
    conn->read_elsewhere_ = true;
    SocketHandle s = conn->socket_;
    loop.modify(s, false, false);  // the loop's thread leaves the socket to us
    loop.leave();
    // The socket may close meanwhile (its number even reused): `alive` tells,
    // once back in the loop's place, and a wait on it costs nothing more.
    bool readable = wait_readable(s, wait);
    if (!loop.enter()) return -1;
    if (!alive->yes) {
        loop.leave();
        return -1;
    }
    conn->read_elsewhere_ = false;
    if (readable) conn->read_some();
    if (!conn->closed()) loop.modify(conn->socket_, true, conn->want_writable_);
    loop.leave();
    return readable ? 1 : 0;
}

bool H2Connection::lend(EventLoop& loop, const std::shared_ptr<Alive>& alive, H2Connection* conn,
                        std::chrono::microseconds longest, Loan* loan) {
    if (!loop.try_enter()) return false;
    if (!alive->yes || conn->read_elsewhere_ || conn->want_writable_ || !conn->session_ ||
        conn->depth_ > 0 || conn->pending() > 0) {
        loop.leave();
        return false;
    }
    conn->read_elsewhere_ = true;
    loan->alive = alive;
    loan->conn = conn;
    loan->id = ++conn->loans_;
    loan->socket = conn->socket_;
    loan->handle = kNoSocket;
    loop.modify(conn->socket_, false, false);
    const uint64_t id = loan->id;
    conn->loan_timer_ = loop.add_timer(
        Clock::now() + std::chrono::duration_cast<Clock::duration>(longest),
        [alive, conn, id] {
            if (lent(Loan{alive, conn, id})) {
                conn->loan_timer_ = 0;
                conn->end_loan();
            }
        });
    loop.leave();
    return true;
}

H2Connection* H2Connection::lent(const Loan& loan) {
    H2Connection* conn = loan.conn;
    return loan.alive && loan.alive->yes && conn->read_elsewhere_ && conn->loans_ == loan.id
               ? conn
               : nullptr;
}

void H2Connection::end_loan() {
    read_elsewhere_ = false;
    if (loan_timer_) loop_.cancel_timer(loan_timer_);
    loan_timer_ = 0;
    if (!closed()) loop_.modify(socket_, true, want_writable_);
}

SocketHandle H2Connection::share_lent(EventLoop& loop, Loan* loan) {
    if (!loan->alive) return kNoSocket;
    if (loan->handle != kNoSocket) return loan->handle;
    if (!loop.enter()) return kNoSocket;
    // The socket is the connection's only while the loan lasts.
    if (H2Connection* conn = lent(*loan)) loan->handle = socket_share(conn->socket_);
    loop.leave();
    return loan->handle;
}

int H2Connection::give_back(EventLoop& loop, Loan* loan, bool read) {
    if (!loan->alive) return -1;
    // The handle goes first: whatever comes next, the borrower no longer
    // watches the socket.
    if (loan->handle != kNoSocket) socket_close(loan->handle);
    loan->handle = kNoSocket;
    if (!loop.enter()) {
        loan->alive.reset();
        return -1;
    }
    int result = loan->alive->yes ? 0 : -1;
    if (H2Connection* conn = lent(*loan)) {
        conn->end_loan();
        if (read) conn->read_some();
        result = 1;
    }
    loan->alive.reset();  // given back: in the loop's place, as every use of it
    loop.leave();
    return result;
}

int H2Connection::read_lent(EventLoop& loop, const Loan& loan) {
    if (!loan.alive || !loop.enter()) return -1;
    int result = loan.alive->yes ? 0 : -1;
    if (H2Connection* conn = lent(loan)) {
        conn->read_some();
        result = 1;
    }
    loop.leave();
    return result;
}

// ---- closing ----------------------------------------------------------------------

void H2Connection::close(const char* why) {
    if (closing_) return;
    closing_ = true;
    alive_->yes = false;
    close_reason_ = why ? why : "closed";
    if (socket_ != kNoSocket) {
        loop_.unwatch(socket_);
        socket_close(socket_);
        socket_ = kNoSocket;
    }
    out_.clear();
    out_pos_ = 0;
    if (depth_ > 0) {
        close_pending_ = true;  // nghttp2 is on the stack: delete its session after it returns
        return;
    }
    finish_close();
}

void H2Connection::finish_close() {
    close_pending_ = false;
    if (session_) {
        nghttp2_session_del(session_);
        session_ = nullptr;
    }
    std::string why = std::move(close_reason_);
    on_closed(why.c_str());
}

}  // namespace sorvane::native
