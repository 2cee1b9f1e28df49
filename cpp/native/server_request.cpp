// A server call's request, on the connection's loop thread: its headers
// checked against gRPC's rules as they arrive (method, content type,
// grpc-timeout, metadata, the header gate), then its data deframed and
// bounded, and the whole request handed to a worker. A request that breaks a
// rule is refused (server_reply.cpp) before any handler sees it. No Python,
// no threads.
#include "server_host.hpp"

#include <algorithm>
#include <chrono>

namespace sorvane::native::server {

namespace {

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

}  // namespace

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


}  // namespace sorvane::native::server
