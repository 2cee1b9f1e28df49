// A client call's response as its Subchannel reads it, inside nghttp2's
// callbacks on the loop: the header blocks (gRPC's reserved headers, the
// metadata, the limit on their size), the response's headers or
// Trailers-Only, the length-prefixed messages and the stream window they
// take, and the trailers' status. No Python.
//
// Contents: on_header; headers_done; trailers; on_data_chunk.
#include "channel.hpp"

namespace sorvane::native::client {

// ---- nghttp2 callbacks (inside mem_recv/mem_send: submit, never send) ---------------

int Subchannel::on_header(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name,
                          size_t name_len, const uint8_t* value, size_t value_len, uint8_t,
                          void* user) {
    auto* self = static_cast<Subchannel*>(user);
    if (frame->hd.type != NGHTTP2_HEADERS) return 0;
    Call* call = self->find(frame->hd.stream_id);
    if (!call || call->finished) return 0;
    const wire::Options& o = self->core_.options;
    call->header_bytes += name_len + value_len + 32;
    if (o.max_header_list >= 0 && call->header_bytes > static_cast<size_t>(o.max_header_list)) {
        // nghttp2 resets the stream; the call ends here with the reason.
        call->finish(kResourceExhausted, "received metadata size exceeds limit (" +
                                             std::to_string(call->header_bytes) + " vs. " +
                                             std::to_string(o.max_header_list) + ")");
        return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
    std::string_view n(reinterpret_cast<const char*>(name), name_len);
    std::string_view v(reinterpret_cast<const char*>(value), value_len);
    if (!n.empty() && n[0] == ':') {
        if (n == ":status") {
            int status = 0;
            for (char ch : v) status = ch >= '0' && ch <= '9' && status < 1000 ? status * 10 + (ch - '0') : 1000;
            call->http_status = status;
        }
        return 0;
    }
    if (n == "grpc-status") {
        if (!wire::parse_status(v, &call->grpc_status)) call->grpc_status = kUnknown;
        return 0;
    }
    if (n == "grpc-message") {
        call->grpc_message.assign(v);
        return 0;
    }
    if (n == "grpc-encoding") {
        call->grpc_encoding.assign(v);
        return 0;
    }
    if (n == "content-type") {
        call->content_type.assign(v);
        return 0;
    }
    if (wire::is_reserved_header(n)) {
        if (n == "grpc-retry-pushback-ms") {
            long long ms = v.empty() || v.size() > 9 ? -2 : 0;
            for (char ch : v) ms = ms >= 0 && ch >= '0' && ch <= '9' ? ms * 10 + (ch - '0') : -2;
            call->pushback_ms = ms;
        }
        return 0;
    }
    if (wire::is_binary_key(n)) {
        std::string decoded;
        if (wire::base64_decode(v, &decoded)) call->headers.emplace_back(std::string(n), std::move(decoded));
    } else {
        call->headers.emplace_back(std::string(n), std::string(v));
    }
    return 0;
}

void Subchannel::headers_done(Call& call, const nghttp2_frame* frame) {
    bool end = (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0;
    if (frame->headers.cat == NGHTTP2_HCAT_RESPONSE) {
        call.response_started = true;
        if (call.http_status != 200 && call.grpc_status < 0) {
            call.finish(wire::status_from_http(call.http_status),
                        "Received http2 header with status: " + std::to_string(call.http_status));
        } else if (!end && !wire::is_grpc_content_type(call.content_type)) {
            call.finish(kUnknown, "Received unexpected content-type \"" + call.content_type + "\"");
        } else if (!end) {
            call.set_initial(std::move(call.headers));
            call.headers.clear();
            call.header_bytes = 0;
            return;
        } else {
            trailers(call);  // Trailers-Only
            return;
        }
        if (!end) {
            nghttp2_submit_rst_stream(session(), NGHTTP2_FLAG_NONE, call.stream_id, NGHTTP2_CANCEL);
            flush_soon();
        }
        return;
    }
    if (end) trailers(call);
}

void Subchannel::trailers(Call& call) {
    int code = kUnknown;
    std::string details;
    if (call.grpc_status >= 0) {
        code = call.grpc_status;
        details = wire::percent_decode(call.grpc_message);
    } else {
        details = "No status received";
    }
    if (code == kOk && call.deframer.partial()) {
        code = kInternal;
        details = "the stream ended inside a message";
    }
    Metadata trailing = std::move(call.headers);
    call.headers.clear();
    call.finish(code, std::move(details), &trailing);
}

int Subchannel::on_data_chunk(nghttp2_session* session, uint8_t, int32_t stream_id,
                              const uint8_t* data, size_t length, void* user) {
    auto* self = static_cast<Subchannel*>(user);
    // The connection window always opens at once; a stream's follows its reader.
    nghttp2_session_consume_connection(session, length);
    Call* call = self->find(stream_id);
    if (!call || call->finished) {
        nghttp2_session_consume_stream(session, stream_id, length);
        return 0;
    }
    call->scratch.clear();
    auto outcome = call->deframer.feed(data, length, &call->scratch);
    for (std::string& message : call->scratch) call->deliver(std::move(message));
    call->scratch.clear();
    if (outcome != wire::Deframer::Result::ok) {
        if (outcome == wire::Deframer::Result::too_large) {
            call->finish(kResourceExhausted,
                         "Received message larger than max (" +
                             std::to_string(call->deframer.announced()) + " vs. " +
                             std::to_string(self->core_.options.max_receive_message) + ")");
        } else if (call->grpc_encoding.empty() || call->grpc_encoding == "identity") {
            call->finish(kInternal, "Compressed message received without grpc-encoding");
        } else {
            call->finish(kUnimplemented,
                         "Compression algorithm \"" + call->grpc_encoding + "\" is not supported");
        }
        nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, stream_id, NGHTTP2_CANCEL);
        nghttp2_session_consume_stream(session, stream_id, length);
        self->flush_soon();
        return 0;
    }
    if (!call->streaming) {
        nghttp2_session_consume_stream(session, stream_id, length);
        return 0;
    }
    call->held += length;
    if (!call->hold_back()) {
        nghttp2_session_consume_stream(session, stream_id, call->held);
        call->held = 0;
    }
    return 0;
}

}  // namespace sorvane::native::client
