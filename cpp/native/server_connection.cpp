// One HTTP/2 server connection: the nghttp2 session's callbacks, which hand
// each stream's headers and data to its ServerCall, and the connection's
// policies (preface deadline, PING strikes, idle and age limits, the
// two-step GOAWAY, the cut at the end of a grace). Runs on the connection's
// loop thread only. No Python, no threads.
//
// Contents: Connection (session, timers, draining, frames); the callbacks.
#include "server_host.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sorvane::native::server {

namespace {

constexpr int32_t kStreamWindow = 1 << 20;      // per stream (SETTINGS)
constexpr int32_t kConnectionWindow = 8 << 20;  // whole connection (WINDOW_UPDATE)
constexpr uint8_t kDrainPing[8] = {'s', 'v', '-', 'd', 'r', 'a', 'i', 'n'};
constexpr auto kDrainPingWait = std::chrono::seconds(1);
constexpr auto kAbortLinger = std::chrono::milliseconds(200);

}  // namespace

// ---- Connection -------------------------------------------------------------

Connection::Connection(Host* host, EventLoop& loop, SocketHandle socket,
                       std::unique_ptr<TlsSession> tls, std::string peer)
    : H2Connection(loop, socket, std::move(tls), peer),
      host_(host),
      peer_text_(std::make_shared<const std::string>(std::move(peer))) {}

Connection::~Connection() = default;

bool Connection::make_session(nghttp2_session** out) {
    if (nghttp2_session_server_new2(out, host_->callbacks(), this, host_->session_option()) != 0)
        return false;
    const wire::Options& o = host_->options();
    nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS,
         static_cast<uint32_t>(std::min<long long>(o.max_concurrent_streams, 0x7fffffff))},
        {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, static_cast<uint32_t>(kStreamWindow)},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE,
         static_cast<uint32_t>(std::min<long long>(o.max_header_list, 0x7fffffff))},
        {NGHTTP2_SETTINGS_NO_RFC7540_PRIORITIES, 1},
    };
    if (nghttp2_submit_settings(*out, NGHTTP2_FLAG_NONE, settings, 4) != 0) return false;
    // The connection's window is no SETTING: it grows with a WINDOW_UPDATE.
    return nghttp2_session_set_local_window_size(*out, NGHTTP2_FLAG_NONE, 0,
                                                 kConnectionWindow) == 0;
}

void Connection::arm_timers() {
    const wire::Options& o = host_->options();
    handshake_timer_ = loop().add_timer(
        Clock::now() + std::chrono::milliseconds(o.handshake_timeout_ms), [this] {
            handshake_timer_ = 0;
            if (!preface_seen_) close("no HTTP/2 preface in time");
        });
    arm_idle_timer();
    if (o.max_connection_age_ms > 0)
        age_timer_ = loop().add_timer(
            Clock::now() + std::chrono::milliseconds(o.max_connection_age_ms), [this] {
                age_timer_ = 0;
                long long grace = host_->options().max_connection_age_grace_ms;
                if (grace >= 0)
                    force_timer_ = loop().add_timer(
                        Clock::now() + std::chrono::milliseconds(grace), [this] {
                            force_timer_ = 0;
                            abort();
                        });
                begin_drain();
            });
}

void Connection::arm_idle_timer() {
    long long idle = host_->options().max_connection_idle_ms;
    if (idle <= 0 || draining_ || ended_) return;
    cancel_timer(idle_timer_);
    idle_timer_ = loop().add_timer(Clock::now() + std::chrono::milliseconds(idle), [this] {
        idle_timer_ = 0;
        if (stream_count_ == 0) begin_drain();
    });
}

void Connection::cancel_timer(EventLoop::TimerId& id) {
    if (id) loop().cancel_timer(id);
    id = 0;
}

void Connection::link(ServerCall* call) {
    call->next = streams_;
    if (streams_) streams_->prev = call;
    streams_ = call;
    ++stream_count_;
    if (idle_timer_) cancel_timer(idle_timer_);
}

void Connection::unlink(ServerCall* call) {
    if (call->prev) call->prev->next = call->next;
    else streams_ = call->next;
    if (call->next) call->next->prev = call->prev;
    call->prev = call->next = nullptr;
    if (--stream_count_ == 0 && !ended_) {
        arm_idle_timer();
        maybe_finish_drain();
    }
}

void Connection::begin_drain() {
    if (draining_ || closed()) return;
    draining_ = true;
    cancel_timer(idle_timer_);
    if (!session()) return close("the server is stopping");  // still in the TLS handshake
    // First a notice (no new streams soon), then after a PING round trip the
    // final GOAWAY naming the last stream taken: streams in flight meanwhile
    // are not lost.
    nghttp2_submit_shutdown_notice(session());
    nghttp2_submit_ping(session(), NGHTTP2_FLAG_NONE, kDrainPing);
    drain_timer_ = loop().add_timer(Clock::now() + kDrainPingWait, [this] {
        drain_timer_ = 0;
        send_final_goaway();
        flush();
    });
    flush();
}

void Connection::send_final_goaway() {
    if (final_goaway_ || closed() || !session()) return;
    final_goaway_ = true;
    cancel_timer(drain_timer_);
    nghttp2_submit_goaway(session(), NGHTTP2_FLAG_NONE,
                          nghttp2_session_get_last_proc_stream_id(session()), NGHTTP2_NO_ERROR,
                          nullptr, 0);
    maybe_finish_drain();
}

void Connection::maybe_finish_drain() {
    // terminate_session ends the session once its GOAWAY is out; the
    // connection then closes when its output is written.
    if (final_goaway_ && stream_count_ == 0 && session() && !closed())
        nghttp2_session_terminate_session(session(), NGHTTP2_NO_ERROR);
}

void Connection::abort() {
    if (closed()) return;
    if (!session()) return close("the server stopped");
    for (ServerCall* call = streams_; call; call = call->next) {
        if (!call->status_sent_) call->cancelled_.store(true, std::memory_order_release);
        nghttp2_submit_rst_stream(session(), NGHTTP2_FLAG_NONE, call->stream_id_,
                                  NGHTTP2_CANCEL);
    }
    // Out before the GOAWAY: once the session is terminating, nghttp2 sends
    // nothing else.
    flush();
    if (closed()) return;
    nghttp2_session_terminate_session(session(), NGHTTP2_NO_ERROR);
    flush();
    // A peer that reads nothing must not hold the server up.
    if (closed()) return;
    cancel_timer(force_timer_);
    force_timer_ = loop().add_timer(Clock::now() + kAbortLinger, [this] {
        force_timer_ = 0;
        close("the server stopped");
    });
}

void Connection::on_closed(const char*) {
    ended_ = true;
    cancel_timer(handshake_timer_);
    cancel_timer(idle_timer_);
    cancel_timer(age_timer_);
    cancel_timer(drain_timer_);
    cancel_timer(force_timer_);
    // nghttp2_session_del calls no on_stream_close: free what is left here.
    while (streams_) streams_->detach();
    host_->connection_closed(this);
}

int Connection::on_begin_headers(const nghttp2_frame* frame) {
    if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    auto* call = new ServerCall(host_, this, frame->hd.stream_id);
    call->refused = host_->stopping();
    link(call);
    nghttp2_session_set_stream_user_data(session(), frame->hd.stream_id, call);
    return 0;
}

int Connection::on_frame_recv(const nghttp2_frame* frame) {
    if (!preface_seen_) {  // nghttp2 checked the preface before any frame
        preface_seen_ = true;
        cancel_timer(handshake_timer_);
    }
    auto* call = static_cast<ServerCall*>(
        nghttp2_session_get_stream_user_data(session(), frame->hd.stream_id));
    switch (frame->hd.type) {
        case NGHTTP2_HEADERS:
            if (!call) break;
            if (frame->headers.cat == NGHTTP2_HCAT_REQUEST)
                call->on_headers_done((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0);
            else if (frame->hd.flags & NGHTTP2_FLAG_END_STREAM)
                call->on_end_of_request();  // request trailers: their fields are ignored
            break;
        case NGHTTP2_DATA:
            if (call && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM)) call->on_end_of_request();
            break;
        case NGHTTP2_PING:
            on_ping(frame);
            break;
        default:
            break;
    }
    return 0;
}

// gRPC's PING policy: pings closer together than the allowed interval, with
// no headers or data sent in between, are strikes; past the limit the
// connection ends with ENHANCE_YOUR_CALM "too_many_pings".
void Connection::on_ping(const nghttp2_frame* frame) {
    if (frame->hd.flags & NGHTTP2_FLAG_ACK) {
        if (std::memcmp(frame->ping.opaque_data, kDrainPing, sizeof kDrainPing) == 0)
            send_final_goaway();
        return;
    }
    const wire::Options& o = host_->options();
    auto now = Clock::now();
    std::chrono::milliseconds interval(o.http2_min_ping_interval_ms);
    if (stream_count_ == 0 && !o.keepalive_permit_without_calls)
        interval = std::max<std::chrono::milliseconds>(interval, std::chrono::hours(2));
    if (pinged_ && now - last_ping_ < interval && o.http2_max_ping_strikes > 0 &&
        ++ping_strikes_ > o.http2_max_ping_strikes) {
        static const char kTooMany[] = "too_many_pings";
        nghttp2_submit_goaway(session(), NGHTTP2_FLAG_NONE,
                              nghttp2_session_get_last_proc_stream_id(session()),
                              NGHTTP2_ENHANCE_YOUR_CALM,
                              reinterpret_cast<const uint8_t*>(kTooMany), sizeof kTooMany - 1);
        nghttp2_session_terminate_session(session(), NGHTTP2_ENHANCE_YOUR_CALM);
    }
    pinged_ = true;
    last_ping_ = now;
}

int Connection::on_frame_send(const nghttp2_frame* frame) {
    if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) return 0;
    pinged_ = false;  // pings after a reply are no strikes
    ping_strikes_ = 0;
    if (frame->hd.type != NGHTTP2_HEADERS || !(frame->hd.flags & NGHTTP2_FLAG_END_STREAM))
        return 0;
    int32_t id = frame->hd.stream_id;
    if (auto* call = static_cast<ServerCall*>(nghttp2_session_get_stream_user_data(session(), id)))
        call->on_status_sent();
    // An early reply (the client still sends): reset the stream now that the
    // reply went out; a reset queued with it would have dropped it.
    if (!nghttp2_session_get_stream_remote_close(session(), id))
        nghttp2_submit_rst_stream(session(), NGHTTP2_FLAG_NONE, id, NGHTTP2_NO_ERROR);
    return 0;
}

int Connection::on_stream_close(int32_t stream_id) {
    auto* call =
        static_cast<ServerCall*>(nghttp2_session_get_stream_user_data(session(), stream_id));
    if (!call) return 0;
    nghttp2_session_set_stream_user_data(session(), stream_id, nullptr);
    call->detach();
    return 0;
}

// ---- session callbacks ----------------------------------------------------------

namespace {

Connection* conn_of(void* user_data) { return static_cast<Connection*>(user_data); }

// nghttp2 is C: nothing may unwind through it. A failure here ends the session.
template <class F>
int guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return NGHTTP2_ERR_CALLBACK_FAILURE;
    }
}

int cb_begin_headers(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    return guarded([&] { return conn_of(user_data)->on_begin_headers(frame); });
}

int cb_header(nghttp2_session* session, const nghttp2_frame* frame, const uint8_t* name,
              size_t name_length, const uint8_t* value, size_t value_length, uint8_t,
              void*) {
    if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST)
        return 0;  // request trailers carry nothing a handler sees
    auto* call = static_cast<ServerCall*>(
        nghttp2_session_get_stream_user_data(session, frame->hd.stream_id));
    if (!call) return 0;
    return guarded([&] {
        call->on_header({reinterpret_cast<const char*>(name), name_length},
                        {reinterpret_cast<const char*>(value), value_length});
        return 0;
    });
}

int cb_data(nghttp2_session* session, uint8_t, int32_t stream_id, const uint8_t* data,
            size_t length, void*) {
    auto* call = static_cast<ServerCall*>(nghttp2_session_get_stream_user_data(session, stream_id));
    if (!call) return 0;
    return guarded([&] {
        call->on_data(data, length);
        return 0;
    });
}

int cb_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    return guarded([&] { return conn_of(user_data)->on_frame_recv(frame); });
}

int cb_frame_send(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
    return guarded([&] { return conn_of(user_data)->on_frame_send(frame); });
}

int cb_stream_close(nghttp2_session*, int32_t stream_id, uint32_t, void* user_data) {
    return guarded([&] { return conn_of(user_data)->on_stream_close(stream_id); });
}

}  // namespace

nghttp2_session_callbacks* make_server_callbacks() {
    nghttp2_session_callbacks* cb = nullptr;
    if (nghttp2_session_callbacks_new(&cb) != 0) return nullptr;
    nghttp2_session_callbacks_set_on_begin_headers_callback(cb, cb_begin_headers);
    nghttp2_session_callbacks_set_on_header_callback(cb, cb_header);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, cb_data);
    nghttp2_session_callbacks_set_on_frame_recv_callback(cb, cb_frame_recv);
    nghttp2_session_callbacks_set_on_frame_send_callback(cb, cb_frame_send);
    nghttp2_session_callbacks_set_on_stream_close_callback(cb, cb_stream_close);
    return cb;
}

}  // namespace sorvane::native::server
