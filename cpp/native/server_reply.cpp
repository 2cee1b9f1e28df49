// A server call's reply, on the connection's loop thread: headers, then the
// length-prefixed messages as flow control lets them out, then the trailers;
// or Trailers-Only for a status without a message (a refusal among them).
// Also the call's end there: its deadline, a request too slow, a reset, the
// stream closed. No Python, no threads.
//
// Contents: header fields; refusing; submitting headers and trailers;
// read_body; loading and queueing messages; finishing; the call's end.
#include "server_host.hpp"

#include <algorithm>
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
            call->body_.copy(call->body_pos_, reinterpret_cast<char*>(buf) + n, take);
            call->body_pos_ += take;
            n += take;
        }
        if (call->prefix_pos_ < wire::kMessagePrefix || call->body_pos_ < call->body_.size())
            break;  // the buffer is full
        size_t size = call->body_.size() + wire::kMessagePrefix;
        call->message_out_ = false;
        call->body_.clear();
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
bool ServerCall::load_message(Payload&& body) {
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
    body_.clear();
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
