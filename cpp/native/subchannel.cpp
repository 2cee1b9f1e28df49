// One HTTP/2 connection of a channel (a Subchannel, on nghttp2's client
// session) and the streams of the client calls on it: the session and its
// settings, request headers and body out, cancellation, the stream window
// given back as the reader catches up, keepalive pings, the connection's
// frames and its streams' ends, closing. Reading a response (headers,
// messages, trailers) is subchannel_response.cpp's; what the caller's
// threads see of a call is channel_call.cpp's. Which connection a call uses,
// and when connections are made, is channel_core.cpp's business. No Python.
//
// Contents: Subchannel (the session, submitting, flow control, closing,
// keepalive); nghttp2 callbacks (the connection's frames, a stream's end,
// HEADERS sent or not, the request body).
#include "channel.hpp"

#include <cstring>

namespace sorvane::native::client {

namespace {

// A stream's window, and the connection's.
constexpr int32_t kStreamWindow = 1 << 20;
constexpr int32_t kConnectionWindow = 16 << 20;

}  // namespace

// ---- Subchannel ---------------------------------------------------------------------

Subchannel::Subchannel(ChannelCore& core, SocketHandle socket, std::unique_ptr<TlsSession> tls,
                       std::string peer)
    : H2Connection(core.loop, socket, std::move(tls), std::move(peer)), core_(core) {
    nva_.reserve(16);
}

Subchannel::~Subchannel() {
    if (keepalive_timer_) loop().cancel_timer(keepalive_timer_);
    if (watchdog_timer_) loop().cancel_timer(watchdog_timer_);
}

bool Subchannel::make_session(nghttp2_session** out) {
    static nghttp2_session_callbacks* callbacks = [] {
        nghttp2_session_callbacks* cb;
        if (nghttp2_session_callbacks_new(&cb) != 0) return static_cast<nghttp2_session_callbacks*>(nullptr);
        nghttp2_session_callbacks_set_on_header_callback(cb, &Subchannel::on_header);
        nghttp2_session_callbacks_set_on_frame_recv_callback(cb, &Subchannel::on_frame_recv);
        nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, &Subchannel::on_data_chunk);
        nghttp2_session_callbacks_set_on_stream_close_callback(cb, &Subchannel::on_stream_close);
        nghttp2_session_callbacks_set_before_frame_send_callback(cb, &Subchannel::before_frame_send);
        nghttp2_session_callbacks_set_on_frame_not_send_callback(cb, &Subchannel::on_frame_not_send);
        return cb;
    }();
    static nghttp2_option* option = [] {
        nghttp2_option* opt;
        if (nghttp2_option_new(&opt) != 0) return static_cast<nghttp2_option*>(nullptr);
        // Window updates follow the reader (flow control is the back-pressure).
        nghttp2_option_set_no_auto_window_update(opt, 1);
        nghttp2_option_set_peer_max_concurrent_streams(opt, 100);
        nghttp2_option_set_no_closed_streams(opt, 1);
        return opt;
    }();
    if (!callbacks || !option) return false;
    if (nghttp2_session_client_new2(out, callbacks, this, option) != 0) return false;
    const wire::Options& o = core_.options;
    uint32_t header_list = o.max_header_list < 0 || o.max_header_list > UINT32_MAX
                               ? UINT32_MAX
                               : static_cast<uint32_t>(o.max_header_list);
    nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
        {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, static_cast<uint32_t>(kStreamWindow)},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, header_list},
        {NGHTTP2_SETTINGS_NO_RFC7540_PRIORITIES, 1},
    };
    if (nghttp2_submit_settings(*out, NGHTTP2_FLAG_NONE, settings,
                                sizeof settings / sizeof settings[0]) != 0 ||
        nghttp2_session_set_local_window_size(*out, NGHTTP2_FLAG_NONE, 0, kConnectionWindow) != 0) {
        nghttp2_session_del(*out);
        *out = nullptr;
        return false;
    }
    return true;
}

bool Subchannel::submit(const std::shared_ptr<Call>& call) {
    if (closed() || draining) return false;
    auto add = [this](const char* name, size_t name_len, const std::string& value) {
        nva_.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(name)),
                        reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name_len,
                        value.size(), NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE});
    };
    auto add_static = [this](const char* name, size_t name_len, const char* value, size_t value_len) {
        nva_.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(name)),
                        reinterpret_cast<uint8_t*>(const_cast<char*>(value)), name_len, value_len,
                        NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE});
    };
    Call& c = *call;
    nva_.clear();
    // Pseudo-headers first: a peer resets a request that has them later.
    add_static(":method", 7, "POST", 4);
    add(":scheme", 7, core_.scheme);
    add(":path", 5, c.path);
    add(":authority", 10, core_.target.authority);
    add_static("te", 2, "trailers", 8);
    add_static("content-type", 12, "application/grpc", 16);
    add("user-agent", 10, core_.user_agent);
    add_static("grpc-accept-encoding", 20, "identity", 8);
    if (c.has_deadline) {
        double left = std::chrono::duration<double>(c.deadline - Clock::now()).count();
        c.timeout_text = wire::format_timeout(left < 0 ? 0 : left);
        add("grpc-timeout", 12, c.timeout_text);
    }
    for (const auto& kv : c.send_metadata) {
        nva_.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(kv.first.data())),
                        reinterpret_cast<uint8_t*>(const_cast<char*>(kv.second.data())),
                        kv.first.size(), kv.second.size(),
                        NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE});
    }
    nghttp2_data_provider body;
    body.source.ptr = &c;
    body.read_callback = &Subchannel::read_body;
    int32_t id = nghttp2_submit_request(session(), nullptr, nva_.data(), nva_.size(), &body, &c);
    if (id < 0) {
        draining = true;  // stream ids exhausted (or no memory): a new connection takes over
        return false;
    }
    if (c.attempts > 0) {
        // A transparent retry starts from nothing.
        c.deframer = wire::Deframer(receive_limit(core_.options));
        c.headers.clear();
    }
    c.conn = this;
    c.stream_id = id;
    if (c.owner == std::this_thread::get_id() && core_.loop.entered_here() &&
        streams_.empty()) {  // with other calls in flight the loop reads for all
        c.read_conn = this;
        c.read_alive = alive();
    }
    c.headers_sent = false;
    c.cancel_pending = false;
    c.response_started = false;
    c.body_sent = 0;
    c.header_bytes = 0;
    c.http_status = 0;
    c.grpc_status = -1;
    c.held = 0;
    streams_.emplace(id, call);
    return true;
}

void Subchannel::abort_stream(Call& call) {
    if (closed() || call.conn != this) return;
    if (call.headers_sent) {
        nghttp2_submit_rst_stream(session(), NGHTTP2_FLAG_NONE, call.stream_id, NGHTTP2_CANCEL);
        flush();
    } else {
        // Still queued in nghttp2 (behind MAX_CONCURRENT_STREAMS): the stream
        // does not exist yet; before_frame_send resets it once it does.
        call.cancel_pending = true;
    }
}

void Subchannel::give_back(Call& call) {
    if (closed() || call.conn != this || call.held == 0) return;
    nghttp2_session_consume_stream(session(), call.stream_id, call.held);
    call.held = 0;
    flush();
}

void Subchannel::flush_soon() {
    if (flush_posted_) return;
    flush_posted_ = true;
    // The connection is deleted by a task posted after its close, so after this one.
    loop().post([this] {
        flush_posted_ = false;
        if (closed()) return;
        flush();
        if (draining && streams_.empty()) shut_down("drained");
    });
}

void Subchannel::shut_down(const char* why) {
    if (closed()) return;
    auto streams = streams_;
    for (auto& kv : streams) kv.second->finish(kCancelled, "Channel closed!");
    nghttp2_session_terminate_session(session(), NGHTTP2_NO_ERROR);
    flush();
    close(why);
}

void Subchannel::on_closed(const char* why) {
    if (keepalive_timer_) loop().cancel_timer(keepalive_timer_);
    if (watchdog_timer_) loop().cancel_timer(watchdog_timer_);
    keepalive_timer_ = watchdog_timer_ = 0;
    auto streams = std::move(streams_);
    streams_.clear();
    core_.on_connection_closed(*this, why);
    for (auto& kv : streams) {
        std::shared_ptr<Call>& call = kv.second;
        call->conn = nullptr;
        if (call->finished) continue;
        // Never sent: nothing reached the server, so it may go elsewhere.
        if (!call->headers_sent) core_.retry(std::move(call));
        else call->finish(kUnavailable, "Socket closed", nullptr, peer() + ": " + why);
    }
}

void Subchannel::schedule_keepalive() {
    const wire::Options& o = core_.options;
    if (o.keepalive_time_ms <= 0) return;
    keepalive_timer_ = loop().add_timer(
        Clock::now() + std::chrono::milliseconds(o.keepalive_time_ms), [this] {
            keepalive_timer_ = 0;
            if (closed()) return;
            const wire::Options& opts = core_.options;
            if (!watchdog_timer_ && (!streams_.empty() || opts.keepalive_permit_without_calls)) {
                nghttp2_submit_ping(session(), NGHTTP2_FLAG_NONE, nullptr);
                flush();
                watchdog_timer_ = loop().add_timer(
                    Clock::now() + std::chrono::milliseconds(opts.keepalive_timeout_ms), [this] {
                        watchdog_timer_ = 0;
                        close("keepalive watchdog timeout");
                    });
            }
            if (!closed()) schedule_keepalive();
        });
}

Call* Subchannel::find(int32_t stream_id) {
    auto it = streams_.find(stream_id);
    return it == streams_.end() ? nullptr : it->second.get();
}

// ---- nghttp2 callbacks (inside mem_recv/mem_send: submit, never send) ---------------

int Subchannel::on_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    auto* self = static_cast<Subchannel*>(user);
    switch (frame->hd.type) {
        case NGHTTP2_SETTINGS:
            if (!(frame->hd.flags & NGHTTP2_FLAG_ACK) && !self->ready) {
                self->ready = true;
                self->schedule_keepalive();
                self->core_.on_ready(*self);
                self->flush_soon();
            }
            break;
        case NGHTTP2_GOAWAY:
            // Streams above last_stream_id are closed by nghttp2 with
            // REFUSED_STREAM: on_stream_close retries them elsewhere.
            if (!self->draining) {
                self->draining = true;
                self->core_.on_goaway(*self);
            }
            self->flush_soon();
            break;
        case NGHTTP2_PING:
            if ((frame->hd.flags & NGHTTP2_FLAG_ACK) && self->watchdog_timer_) {
                self->loop().cancel_timer(self->watchdog_timer_);
                self->watchdog_timer_ = 0;
            }
            break;
        case NGHTTP2_HEADERS: {
            Call* call = self->find(frame->hd.stream_id);
            if (call && !call->finished) self->headers_done(*call, frame);
            break;
        }
        case NGHTTP2_DATA: {
            if (!(frame->hd.flags & NGHTTP2_FLAG_END_STREAM)) break;
            Call* call = self->find(frame->hd.stream_id);
            if (call && !call->finished) self->trailers(*call);  // ended without trailers
            break;
        }
        default:
            break;
    }
    return 0;
}

int Subchannel::on_stream_close(nghttp2_session*, int32_t stream_id, uint32_t error_code,
                                void* user) {
    auto* self = static_cast<Subchannel*>(user);
    auto it = self->streams_.find(stream_id);
    if (it == self->streams_.end()) return 0;
    std::shared_ptr<Call> call = std::move(it->second);
    self->streams_.erase(it);
    call->conn = nullptr;
    if (!call->finished) {
        if (error_code == NGHTTP2_REFUSED_STREAM && !call->response_started) {
            // Refused (or above a GOAWAY's last stream id): never processed.
            self->core_.retry(std::move(call), true);
        } else {
            call->finish(wire::status_from_h2_error(error_code),
                         "Received RST_STREAM with error code " + std::to_string(error_code));
        }
    }
    if (self->draining && self->streams_.empty()) self->flush_soon();
    return 0;
}

int Subchannel::before_frame_send(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    auto* self = static_cast<Subchannel*>(user);
    Call* call = self->find(frame->hd.stream_id);
    if (!call) return 0;
    call->headers_sent = true;
    // A call that ended while its HEADERS waited still sends them: they are
    // HPACK-encoded already (dropping them now would desynchronise the
    // server's header table), and the stream exists only from here on. The
    // reset follows them; RST_STREAM goes ahead of the body's DATA.
    if (call->cancel_pending || call->finished)
        nghttp2_submit_rst_stream(self->session(), NGHTTP2_FLAG_NONE, frame->hd.stream_id,
                                  NGHTTP2_CANCEL);
    return 0;
}

int Subchannel::on_frame_not_send(nghttp2_session*, const nghttp2_frame* frame, int,
                                  void* user) {
    if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    auto* self = static_cast<Subchannel*>(user);
    auto it = self->streams_.find(frame->hd.stream_id);
    if (it == self->streams_.end()) return 0;
    std::shared_ptr<Call> call = std::move(it->second);
    self->streams_.erase(it);
    call->conn = nullptr;
    call->headers_sent = false;
    // Not sent (after a GOAWAY, say): the call may go to another connection.
    if (!call->finished) self->core_.retry(std::move(call));
    return 0;
}

ssize_t Subchannel::read_body(nghttp2_session*, int32_t, uint8_t* buffer, size_t length,
                              uint32_t* flags, nghttp2_data_source* source, void*) {
    Call& call = *static_cast<Call*>(source->ptr);
    const size_t total = wire::kMessagePrefix + call.body.size();
    size_t n = 0;
    if (call.body_sent < wire::kMessagePrefix) {
        n = std::min(length, wire::kMessagePrefix - call.body_sent);
        std::memcpy(buffer, call.prefix + call.body_sent, n);
        call.body_sent += n;
    }
    if (n < length && call.body_sent < total) {
        size_t from = call.body_sent - wire::kMessagePrefix;
        size_t m = std::min(length - n, call.body.size() - from);
        call.body.copy(from, reinterpret_cast<char*>(buffer) + n, m);
        call.body_sent += m;
        n += m;
    }
    if (call.body_sent == total) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
}

}  // namespace sorvane::native::client
