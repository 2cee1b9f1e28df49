// One gRPC call on a server connection: what a handler's thread does with it
// (InboundCall), the request checked against gRPC's rules as its headers and
// data arrive, and the reply (headers, length-prefixed messages, trailers or
// Trailers-Only). The stream half runs on the connection's loop thread; the
// InboundCall methods hand work to it. No Python, no threads, no sockets.
//
// Contents: helpers; LoopGate; ServerCall (the handler's side, the request,
// the reply).
#include "server_host.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sorvane::native::server {

namespace {

// A header whose name and value outlive the frame (string literals).
nghttp2_nv literal(const char* name, const char* value) {
    return {reinterpret_cast<uint8_t*>(const_cast<char*>(name)),
            reinterpret_cast<uint8_t*>(const_cast<char*>(value)), std::strlen(name),
            std::strlen(value), NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE};
}

// A header nghttp2 copies (submit_* copy unless told otherwise).
nghttp2_nv copied(std::string_view name, std::string_view value) {
    return {reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
            reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(),
            value.size(), NGHTTP2_NV_FLAG_NONE};
}

// Equality whose time depends on the lengths only, not on where the texts differ.
unsigned same_secret(std::string_view a, std::string_view b) {
    size_t n = std::max(a.size(), b.size());
    size_t diff = a.size() ^ b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<size_t>(x ^ y);
    }
    return diff == 0 ? 1u : 0u;
}

// The status part of a reply as header fields: grpc-status, grpc-message and
// the trailing metadata (binary values in base64). False when the metadata
// cannot be sent (a reserved or malformed key, a text value outside ASCII).
struct StatusFields {
    char code[4] = {};
    std::string message;
    std::vector<std::string> encoded;
    std::vector<nghttp2_nv> fields;

    bool build(int status, std::string_view details, const Metadata* trailing) {
        fields.clear();
        encoded.clear();
        int c = status < 0 || status > 99 ? kUnknown : status;
        if (c >= 10) {
            code[0] = static_cast<char>('0' + c / 10);
            code[1] = static_cast<char>('0' + c % 10);
        } else {
            code[0] = static_cast<char>('0' + c);
            code[1] = 0;
        }
        fields.push_back(copied("grpc-status", code));
        if (!details.empty()) {
            message = wire::percent_encode(details);
            fields.push_back(copied("grpc-message", message));
        }
        if (!trailing) return true;
        encoded.reserve(trailing->size());  // no reallocation: fields point into it
        for (const auto& kv : *trailing) {
            if (!wire::valid_key(kv.first) || wire::is_reserved_header(kv.first)) return false;
            if (wire::is_binary_key(kv.first)) {
                encoded.push_back(wire::base64_encode(kv.second));
                fields.push_back(copied(kv.first, encoded.back()));
            } else {
                if (!wire::valid_text_value(kv.second)) return false;
                fields.push_back(copied(kv.first, kv.second));
            }
        }
        return true;
    }
};

const char* const kBadTrailing = "the server could not send its reply";

}  // namespace

// ---- LoopGate ----------------------------------------------------------------

bool LoopGate::post(EventLoop& loop, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!open_) return false;
    loop.post(std::move(fn));
    return true;
}

void LoopGate::close() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = false;
}

// ---- ServerCall: the handler's side --------------------------------------------

ServerCall::ServerCall(Host* host, Connection* conn, int32_t stream_id)
    : host_(host),
      gate_(host->gate()),
      loop_(&conn->loop()),
      peer_(conn->peer_text()),
      conn_(conn),
      stream_id_(stream_id),
      deframer_(host->options().max_receive_message < 0
                    ? size_t(0xffffffffu)
                    : static_cast<size_t>(host->options().max_receive_message)) {}

ServerCall::~ServerCall() = default;

void ServerCall::release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

double ServerCall::time_remaining(bool* has) const {
    *has = has_deadline_;
    if (!has_deadline_) return 0;
    return std::chrono::duration<double>(deadline_ - Clock::now()).count();
}

// Runs `Step` on the loop with a reference held, at once on this thread when
// the loop is idle (a reply then goes out without waking the loop); false
// (nothing runs) once the server's loops have stopped. The task captures a
// plain pointer so that std::function keeps it inline: posted work always
// runs (see LoopGate).
template <void (ServerCall::*Step)()>
static bool post_step(ServerCall* call, LoopGate& gate, EventLoop& loop,
                      bool* ran_here = nullptr) {
    call->retain();
    if (gate.run_or_post(
            loop,
            [call] {
                (call->*Step)();
                call->release();
            },
            ran_here, [call] { return call->alone_on_connection(); }))
        return true;
    call->release();
    return false;
}

void ServerCall::cancel() {
    if (closed_.load()) return;
    cancelled_.store(true, std::memory_order_release);
    post_step<&ServerCall::reset_cancel>(this, *gate_, *loop_);
}

void ServerCall::want_closed_hook() {
    want_hook_.store(true);
    // The loop may have closed the call just before: then it did not see the wish.
    if (closed_.load()) host_->queue_closed_hook(this);
}

void ServerCall::run_closed_hook(ServerHost::Hooks& hooks) {
    if (hook_claimed_.exchange(true)) return;
    hooks.closed(*this);
}

void ServerCall::closed_hook_done() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        hook_done_ = true;
    }
    cv_.notify_all();
}

bool ServerCall::alone_on_connection() const { return !conn_ || conn_->stream_count() <= 1; }

void ServerCall::await_next_request(std::chrono::microseconds wait) {
    std::shared_ptr<H2Connection::Alive> alive = std::move(read_alive_);
    if (alive) H2Connection::read_in_place(*loop_, alive, read_conn_, wait);
    read_conn_ = nullptr;
}

bool ServerCall::post_finish() {
    bool here = false;
    post_step<&ServerCall::loop_finish>(this, *gate_, *loop_, &here);
    return here && read_conn_;
}

void ServerCall::finish(Reply&& reply) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!handler_returned_) {  // its worker still reads reply_
            early_reply_ = std::move(reply);
            finished_early_ = true;
            return;
        }
    }
    reply_ = std::move(reply);
    reply_.deferred = false;
    post_finish();
}

void ServerCall::handler_returned() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        handler_returned_ = true;
        if (!finished_early_) return;
        finished_early_ = false;
    }
    reply_ = std::move(early_reply_);
    reply_.deferred = false;
    post_finish();
}

void ServerCall::release_held() {
    size_t n = held_.exchange(0);
    if (n) host_->unhold(n);
}

size_t ServerCall::drop_payload() {
    size_t size = std::exchange(released_, 0) + payload_.size();
    std::string().swap(payload_);
    return size;
}

// A streaming handler's messages queue up to this many bytes (beyond one
// message) before it is parked until the loop has written them out: small
// messages go out many to a wake-up of the loop, and a client that stops
// reading stops the handler (without holding its worker) instead of
// letting it buffer the stream.
constexpr size_t kSendQueueBytes = 512 << 10;

// A handler goes on while its queue is below its bound and the server's
// streamed messages, together, below theirs; past the latter, each stream
// keeps one message queued at most, so the total stays within the bound
// plus one message per stream.
bool ServerCall::room_to_queue() const {
    return queued_bytes_ < kSendQueueBytes && (queued_bytes_ == 0 || !host_->stream_budget_spent());
}

// Takes `n` bytes off the queue's count and the host's total. Under mu_.
void ServerCall::unqueue(size_t n) {
    n = std::min(n, queued_bytes_);
    queued_bytes_ -= n;
    host_->stream_queued(-static_cast<long long>(n));
}

InboundCall::Offer ServerCall::offer_message(std::string&& body) {
    std::unique_lock<std::mutex> lock(mu_);
    if (closed_.load() || cancelled_.load() || send_failed_) {
        wait_until_over(lock);
        return Offer::over;
    }
    const size_t size = body.size() + wire::kMessagePrefix;
    queued_bytes_ += size;
    host_->stream_queued(static_cast<long long>(size));
    queue_.push_back(std::move(body));
    if (!post_messages(lock)) {
        wait_until_over(lock);
        return Offer::over;
    }
    if (room_to_queue()) return Offer::queued;
    resume_wanted_ = true;  // message_written or the call's end resumes it
    return Offer::full;
}

// With the messages just queued: asks the loop to take them, unless it has
// been asked already. False (the queue dropped) when the loop is gone.
bool ServerCall::post_messages(std::unique_lock<std::mutex>& lock) {
    if (send_posted_) return true;  // the loop takes them with the others
    send_posted_ = true;
    lock.unlock();
    bool posted = post_step<&ServerCall::loop_send>(this, *gate_, *loop_);
    lock.lock();
    if (posted) return true;
    send_posted_ = false;
    send_failed_ = true;
    std::list<std::string>().swap(queue_);
    unqueue(queued_bytes_);
    return false;
}

// A send that failed means the call is over, but its close may still be on
// its way. The handler hears of it once the call is closed and its closed
// hook's work is over (the hook runs here if no worker ran it yet; its
// callbacks run on a callback thread): its iterator is then closed with the
// context inactive and its callbacks done. Bounded, in case no close comes.
void ServerCall::wait_until_over(std::unique_lock<std::mutex>& lock) {
    const auto bound = std::chrono::seconds(5);
    cv_.wait_for(lock, bound, [this] { return closed_.load(); });
    if (!closed_.load() || !want_hook_.load()) return;
    lock.unlock();
    run_closed_hook(host_->hooks());  // or a worker runs it: wait for that one
    lock.lock();
    cv_.wait_for(lock, bound, [this] { return hook_done_; });
}

// The messages queued and those to come will not go out; a parked handler
// goes on to hear it.
void ServerCall::fail_sends() {
    bool resume;
    {
        std::lock_guard<std::mutex> lock(mu_);
        send_failed_ = true;
        std::list<std::string>().swap(queue_);
        unqueue(queued_bytes_);
        resume = resume_wanted_;
        resume_wanted_ = false;
    }
    if (resume) host_->queue_resume(this);
}

// A streamed message of `size` bytes (with its prefix) is in DATA frames: a
// parked handler goes on once the queue is below its bound.
void ServerCall::message_written(size_t size) {
    bool resume;
    {
        std::lock_guard<std::mutex> lock(mu_);
        unqueue(size);
        resume = resume_wanted_ && room_to_queue();
        if (resume) resume_wanted_ = false;
    }
    if (resume) host_->queue_resume(this);
}

// ---- ServerCall: the request, on the loop ------------------------------------

void ServerCall::on_header(std::string_view name, std::string_view value) {
    if (phase_ != Phase::headers || name.empty()) return;
    // The advertised MAX_HEADER_LIST_SIZE, enforced here: nghttp2 does not.
    header_bytes_ += name.size() + value.size() + 32;
    if (header_bytes_ > static_cast<size_t>(host_->options().max_header_list)) {
        if (!header_list_too_large_) {
            header_list_too_large_ = true;
            Metadata().swap(metadata_);  // keep nothing more of this block
        }
        return;
    }
    if (header_list_too_large_ || refused) return;
    if (name[0] == ':') {
        if (name == ":method") method_post_ = value == "POST";
        else if (name == ":path") method_.assign(value.data(), value.size());
        return;
    }
    if (name == "content-type") {
        grpc_content_type_ = wire::is_grpc_content_type(value);
        return;
    }
    if (name == "grpc-timeout") {
        int64_t ns;
        if (wire::parse_timeout(value, &ns)) timeout_ns_ = ns;  // malformed: no deadline
        return;
    }
    if (name == "grpc-encoding") {
        if (value != "identity") encoding_.assign(value.data(), value.size());
        return;
    }
    if (wire::is_reserved_header(name)) return;
    if (!wire::is_binary_key(name)) {
        metadata_.emplace_back(std::string(name), std::string(value));
        return;
    }
    // Binary values: base64, padded or not; joined with "," when repeated.
    std::string decoded;
    if (wire::base64_decode(value, &decoded)) {
        metadata_.emplace_back(std::string(name), std::move(decoded));
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t comma = value.find(',', start);
        std::string_view part = value.substr(start, comma == std::string_view::npos
                                                        ? std::string_view::npos
                                                        : comma - start);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        if (comma == std::string_view::npos && start == 0) {
            bad_binary_value_ = true;
            return;
        }
        decoded.clear();
        if (!wire::base64_decode(part, &decoded)) {
            bad_binary_value_ = true;
            return;
        }
        metadata_.emplace_back(std::string(name), std::move(decoded));
        if (comma == std::string_view::npos) return;
        start = comma + 1;
    }
}

void ServerCall::on_headers_done(bool end_stream) {
    if (phase_ != Phase::headers) return;
    if (refused) {
        // The server stops: the client may retry this call elsewhere.
        phase_ = Phase::answered;
        nghttp2_submit_rst_stream(conn_->session(), NGHTTP2_FLAG_NONE, stream_id_,
                                  NGHTTP2_REFUSED_STREAM);
        return;
    }
    if (header_list_too_large_)
        return refuse(kResourceExhausted,
                      "received header list larger than max (" + std::to_string(header_bytes_) +
                          " vs. " + std::to_string(host_->options().max_header_list) + ")");
    if (!method_post_) return refuse_http("405");
    if (!grpc_content_type_) return refuse_http("415");
    if (method_.empty() || method_[0] != '/') return refuse(kUnimplemented, "Method not found!");
    if (bad_binary_value_) return refuse(kInternal, "a -bin metadata value is not valid base64");
    if (!check_gate()) return;
    if (timeout_ns_ >= 0) {
        has_deadline_ = true;
        deadline_ = Clock::now() + std::chrono::nanoseconds(timeout_ns_);
        deadline_timer_ = loop_->add_timer(deadline_, [this] {
            deadline_timer_ = 0;
            expire();
        });
    }
    phase_ = Phase::body;
    if (end_stream) return on_end_of_request();
    long long wait_ms = host_->options().request_wait_ms;
    if (wait_ms >= 0)
        wait_timer_ = loop_->add_timer(Clock::now() + std::chrono::milliseconds(wait_ms), [this] {
            wait_timer_ = 0;
            request_too_slow();
        });
}

bool ServerCall::check_gate() {
    std::shared_ptr<const HeaderGate> gate = host_->header_gate();
    if (!gate) return true;
    unsigned admitted = 0;
    for (const auto& kv : metadata_)
        if (kv.first == gate->key)
            for (const auto& allowed : gate->values) admitted |= same_secret(kv.second, allowed);
    if (admitted) return true;
    refuse(gate->code, gate->details);
    return false;
}

void ServerCall::on_data(const uint8_t* data, size_t length) {
    if (phase_ != Phase::body) return;  // refused or answered: dropped unread
    // What waits for a worker is bounded, whatever the message size limit.
    if (!host_->hold(length))
        return refuse(kResourceExhausted, "the server has too many requests waiting");
    held_.fetch_add(length);
    std::vector<std::string>& messages = conn_->scratch();
    messages.clear();
    wire::Deframer::Result r = deframer_.feed(data, length, &messages);
    if (!messages.empty()) {
        if (messages_ == 0) payload_ = std::move(messages.front());
        messages_ += messages.size();
        messages.clear();
    }
    if (r == wire::Deframer::Result::too_large)
        return refuse(kResourceExhausted,
                      "Received message larger than max (" +
                          std::to_string(deframer_.announced()) + " vs. " +
                          std::to_string(host_->options().max_receive_message) + ")");
    if (r == wire::Deframer::Result::compressed)
        return refuse(kUnimplemented,
                      encoding_.empty() ? "a compressed message needs a grpc-encoding"
                                        : "grpc-encoding '" + encoding_ + "' is not supported",
                      true);
    if (messages_ > 1)
        return refuse(kUnimplemented, "\"" + method_ + "\" requires exactly one request message.");
}

void ServerCall::on_end_of_request() {
    if (phase_ != Phase::body) return;
    if (wait_timer_) {
        loop_->cancel_timer(wait_timer_);
        wait_timer_ = 0;
    }
    if (deframer_.partial()) return refuse(kInternal, "the request ended inside a message");
    if (messages_ != 1)
        return refuse(kUnimplemented, "\"" + method_ + "\" requires exactly one request message.");
    phase_ = Phase::dispatched;
    if (!host_->dispatch(this, *loop_)) {
        phase_ = Phase::body;
        refuse(kResourceExhausted, "Concurrent RPC limit exceeded!");
    }
}

void ServerCall::refuse(int code, std::string_view details, bool accept_encoding) {
    phase_ = Phase::answered;
    // Nothing of the request is kept once it is refused.
    deframer_ = wire::Deframer(0);
    std::string().swap(payload_);
    release_held();
    // Connection::on_frame_send resets the stream once this went out, if the
    // client is still sending (an earlier reset would drop the reply).
    submit_trailers_only(code, details, nullptr, accept_encoding);
}

void ServerCall::refuse_http(const char* status) {
    phase_ = Phase::answered;
    nghttp2_nv fields[] = {literal(":status", status)};
    headers_sent_ = true;
    nghttp2_submit_response(conn_->session(), stream_id_, fields, 1, nullptr);
}

// ---- ServerCall: the reply, on the loop ----------------------------------------

void ServerCall::submit_trailers_only(int code, std::string_view details,
                                      const Metadata* trailing, bool accept_encoding) {
    StatusFields status;
    if (!status.build(code, details, trailing)) status.build(kInternal, kBadTrailing, nullptr);
    std::vector<nghttp2_nv> fields;
    fields.reserve(3 + status.fields.size());
    fields.push_back(literal(":status", "200"));
    fields.push_back(literal("content-type", "application/grpc"));
    if (accept_encoding) fields.push_back(literal("grpc-accept-encoding", "identity"));
    fields.insert(fields.end(), status.fields.begin(), status.fields.end());
    headers_sent_ = true;
    nghttp2_submit_response(conn_->session(), stream_id_, fields.data(), fields.size(), nullptr);
}

bool ServerCall::submit_headers_with_body() {
    nghttp2_nv fields[] = {literal(":status", "200"),
                           literal("content-type", "application/grpc"),
                           literal("grpc-accept-encoding", "identity")};
    nghttp2_data_provider provider;
    provider.source.ptr = this;
    provider.read_callback = &ServerCall::read_body;
    headers_sent_ = true;
    return nghttp2_submit_response(conn_->session(), stream_id_, fields, 3, &provider) == 0;
}

void ServerCall::submit_trailers() {
    StatusFields status;
    if (!status.build(status_code_, status_details_, &status_trailing_))
        status.build(kInternal, kBadTrailing, nullptr);
    nghttp2_submit_trailer(conn_->session(), stream_id_, status.fields.data(),
                           status.fields.size());
}

// Moves the message and the status into DATA frames as nghttp2 asks (flow
// control and the connection's output bound decide when), then the trailers.
ssize_t ServerCall::read_body(nghttp2_session*, int32_t, uint8_t* buf, size_t length,
                              uint32_t* flags, nghttp2_data_source* source, void*) {
    auto* call = static_cast<ServerCall*>(source->ptr);
    size_t n = 0;
    for (;;) {
        if (!call->message_out_) {
            if (call->out_queue_.empty()) break;
            std::string next = std::move(call->out_queue_.front());
            call->out_queue_.pop_front();
            call->load_message(std::move(next));  // its size was checked when queued
        }
        if (n == length) break;
        if (call->prefix_pos_ < wire::kMessagePrefix) {
            size_t take = std::min(length - n, wire::kMessagePrefix - call->prefix_pos_);
            std::memcpy(buf + n, call->prefix_ + call->prefix_pos_, take);
            call->prefix_pos_ += take;
            n += take;
        }
        if (call->prefix_pos_ == wire::kMessagePrefix && n < length) {
            size_t take = std::min(length - n, call->body_.size() - call->body_pos_);
            if (take) std::memcpy(buf + n, call->body_.data() + call->body_pos_, take);
            call->body_pos_ += take;
            n += take;
        }
        if (call->prefix_pos_ < wire::kMessagePrefix || call->body_pos_ < call->body_.size())
            break;  // the buffer is full
        size_t size = call->body_.size() + wire::kMessagePrefix;
        call->message_out_ = false;
        std::string().swap(call->body_);
        call->body_pos_ = 0;
        // The handler's thread may queue more.
        if (call->streamed_) call->message_written(size);
    }
    if (!call->message_out_ && call->final_) {
        *flags |= NGHTTP2_DATA_FLAG_EOF | NGHTTP2_DATA_FLAG_NO_END_STREAM;
        call->submit_trailers();
        return static_cast<ssize_t>(n);
    }
    if (n == 0) return NGHTTP2_ERR_DEFERRED;  // resumed by the next message or the status
    return static_cast<ssize_t>(n);
}

// Whether a message of `size` bytes is within the send limit; when it is
// not, the call's status says so (RESOURCE_EXHAUSTED).
bool ServerCall::fits(size_t size) {
    long long max_send = host_->options().max_send_message;
    if (max_send < 0 || size <= static_cast<unsigned long long>(max_send)) return true;
    status_code_ = kResourceExhausted;
    status_details_ = "Sent message larger than max (" + std::to_string(size) + " vs. " +
                      std::to_string(max_send) + ")";
    status_trailing_.clear();
    return false;
}

// Returns false when the message breaks the send limit (the call then ends
// with RESOURCE_EXHAUSTED).
bool ServerCall::load_message(std::string&& body) {
    if (!fits(body.size())) return false;
    wire::write_prefix(body.size(), prefix_);
    prefix_pos_ = 0;
    body_ = std::move(body);
    body_pos_ = 0;
    message_out_ = true;
    return true;
}

// Starts the DATA (and the response headers with the first message), or
// wakes a deferred data provider.
void ServerCall::start_data() {
    if (!headers_sent_) {
        if (!submit_headers_with_body()) reset_cancel();
    } else {
        nghttp2_session_resume_data(conn_->session(), stream_id_);
    }
}

// Ends the call with the status already in status_*: in the trailers when
// headers went out, else Trailers-Only.
void ServerCall::end_with_status() {
    phase_ = Phase::answered;
    if (headers_sent_) {
        final_ = true;
        start_data();
    } else {
        submit_trailers_only(status_code_, status_details_, &status_trailing_, false);
    }
}

void ServerCall::loop_send() {
    std::list<std::string> batch;
    {
        std::lock_guard<std::mutex> lock(mu_);
        send_posted_ = false;
        batch.swap(queue_);
    }
    if (batch.empty()) return;  // taken by loop_finish already
    if (!conn_ || phase_ != Phase::dispatched) return fail_sends();
    queue_out(std::move(batch));
    if (conn_) conn_->flush();
}

// Queues a streaming handler's messages behind the ones going out. False
// when one breaks the send limit: the call then ends with the messages
// before it, and the handler's next send fails.
bool ServerCall::queue_out(std::list<std::string>&& batch) {
    streamed_ = true;
    for (auto& body : batch) {
        if (!fits(body.size())) {
            fail_sends();
            end_with_status();
            return false;
        }
        if (!message_out_ && out_queue_.empty())
            load_message(std::move(body));
        else
            out_queue_.push_back(std::move(body));
    }
    start_data();
    return true;
}

void ServerCall::loop_finish() {
    if (!conn_ || phase_ != Phase::dispatched) return;  // cancelled or refused meanwhile
    // Streamed messages the loop has not taken yet go out before the status.
    std::list<std::string> batch;
    {
        std::lock_guard<std::mutex> lock(mu_);
        batch.swap(queue_);
    }
    if (!batch.empty() && !queue_out(std::move(batch))) {
        if (conn_) conn_->flush();
        return;
    }
    phase_ = Phase::answered;
    // With other calls in flight the loop reads for all of them at once.
    if (conn_->stream_count() == 1) {
        read_conn_ = conn_;
        read_alive_ = conn_->alive();
    }
    status_code_ = reply_.code;
    status_details_ = std::move(reply_.details);
    status_trailing_ = std::move(reply_.trailing);
    if (reply_.has_body && reply_.code == kOk && load_message(std::move(reply_.body))) {
        final_ = true;
        start_data();
    } else {
        end_with_status();
    }
    if (conn_) conn_->flush();
}

// The client's deadline passed: the call is cancelled, and the client hears
// DEADLINE_EXCEEDED as a status (as gRPC's own servers send it), so that a
// client whose own timer runs late does not report CANCELLED. A reply whose
// bytes are already partly out cannot carry it: that stream is reset.
void ServerCall::expire() {
    if (!conn_ || phase_ == Phase::done) return;
    if (phase_ == Phase::answered || message_out_) return reset_cancel();
    retain();  // the flush may end the stream
    cancelled_.store(true, std::memory_order_release);
    status_code_ = kDeadlineExceeded;
    status_details_ = "Deadline Exceeded";
    status_trailing_.clear();
    end_with_status();
    conn_->flush();
    release();
}

void ServerCall::request_too_slow() {
    if (!conn_ || phase_ != Phase::body) return;
    retain();  // the flush may end the stream
    refuse(kDeadlineExceeded, "the request did not arrive in time");
    conn_->flush();
    release();
}

void ServerCall::reset_cancel() {
    if (!conn_ || phase_ == Phase::done) return;
    retain();  // the flush may close the stream, and with it the stream's reference
    if (!status_sent_) cancelled_.store(true, std::memory_order_release);
    nghttp2_submit_rst_stream(conn_->session(), NGHTTP2_FLAG_NONE, stream_id_, NGHTTP2_CANCEL);
    conn_->flush();
    release();
}

void ServerCall::detach() {
    if (phase_ == Phase::done) return;
    // A dispatched call's bytes count until a worker takes it (or the server
    // stops); a call that never got that far counts no more.
    bool waits = phase_ == Phase::dispatched;
    phase_ = Phase::done;
    if (deadline_timer_) {
        loop_->cancel_timer(deadline_timer_);
        deadline_timer_ = 0;
    }
    if (wait_timer_) {
        loop_->cancel_timer(wait_timer_);
        wait_timer_ = 0;
    }
    if (!waits) release_held();
    if (conn_) {
        conn_->unlink(this);
        conn_ = nullptr;
    }
    std::string().swap(body_);
    std::list<std::string>().swap(out_queue_);
    bool resume;
    {
        std::lock_guard<std::mutex> lock(mu_);
        // Ended without its status sent: a reset, a deadline, a lost connection.
        if (!status_sent_) cancelled_.store(true);
        closed_.store(true);
        send_failed_ = true;
        std::list<std::string>().swap(queue_);
        unqueue(queued_bytes_);
        resume = resume_wanted_;
        resume_wanted_ = false;
    }
    cv_.notify_all();
    if (resume) host_->queue_resume(this);  // the handler hears that the call is over
    if (want_hook_.load()) host_->queue_closed_hook(this);
    release();  // the stream's
}

}  // namespace sorvane::native::server
