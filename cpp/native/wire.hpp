// gRPC's rules on top of HTTP/2 (its "gRPC over HTTP2" document) as plain
// functions and one message deframer: no sockets, no nghttp2, no Python, no
// threads. Shared by the server host and the channel host, and the part of the
// engine the fuzz targets drive directly.
#pragma once

#include "transport.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::native::wire {

// ---- limits and defaults ----------------------------------------------------

constexpr size_t kDefaultMaxReceiveMessage = 4 * 1024 * 1024;  // grpcio's default
constexpr size_t kDefaultMaxHeaderList = 16 * 1024;            // hard limit, per stream
constexpr size_t kMessagePrefix = 5;                           // flag byte + 32-bit length
constexpr size_t kReserveRest = 1024 * 1024;                   // a message this far in is expected whole

// ---- metadata ---------------------------------------------------------------

// True for names the protocol owns: pseudo-headers (":path"), "content-type",
// "te", "user-agent" on send, "grpc-*" (except "grpc-status-details-bin", which
// is the application's), and connection-specific HTTP/1 headers. A caller's
// metadata with such a name is refused (send) or kept out of what a handler or
// caller sees (receive), as gRPC's core does.
bool is_reserved_header(std::string_view name);

// A metadata key as gRPC allows it: 1+ characters of [0-9a-z_.-], not starting
// with ':' (upper case is refused, as grpcio refuses it).
bool valid_key(std::string_view key);

// A text (non "-bin") value: printable ASCII, 0x20..0x7e.
bool valid_text_value(std::string_view value);

// True when the key ends with "-bin" (the value is binary, base64 on the wire).
bool is_binary_key(std::string_view key);

// Base64 of `in`, standard alphabet, without padding (what gRPC sends).
std::string base64_encode(std::string_view in);

// Decodes base64 with or without padding (gRPC accepts both); false on any
// character outside the alphabet or an impossible length.
bool base64_decode(std::string_view in, std::string* out);

// ---- status -----------------------------------------------------------------

// grpc-message: percent-encodes every byte outside 0x20..0x7e and '%' itself.
std::string percent_encode(std::string_view in);

// The inverse; a malformed escape is kept literally (the document says decode
// leniently). Never fails.
std::string percent_decode(std::string_view in);

// gRPC code for a response whose HTTP status is not 200 (the document's table:
// 400 INTERNAL, 401 UNAUTHENTICATED, 403 PERMISSION_DENIED, 404 UNIMPLEMENTED,
// 429/502/503/504 UNAVAILABLE, anything else UNKNOWN).
int status_from_http(int http_status);

// gRPC code for a stream reset by the peer with this HTTP/2 error code
// (NO_ERROR/PROTOCOL/INTERNAL/FLOW_CONTROL/SETTINGS_TIMEOUT/FRAME_SIZE/
// COMPRESSION/CONNECT_ERROR -> INTERNAL, REFUSED_STREAM -> UNAVAILABLE,
// CANCEL -> CANCELLED, ENHANCE_YOUR_CALM -> RESOURCE_EXHAUSTED,
// INADEQUATE_SECURITY -> PERMISSION_DENIED).
int status_from_h2_error(uint32_t error_code);

// Parses a grpc-status value: 1-3 ASCII digits; false otherwise.
bool parse_status(std::string_view text, int* code);

// ---- deadlines --------------------------------------------------------------

// grpc-timeout: 1-8 digits and a unit (H M S m u n). Returns false when
// malformed; huge values clamp to about 100 years instead of overflowing.
bool parse_timeout(std::string_view text, int64_t* nanoseconds);

// The shortest grpc-timeout text (at most 8 digits) not less than `seconds`
// (>= 0), rounding up so that a deadline never arrives early at the server.
std::string format_timeout(double seconds);

// ---- content type -----------------------------------------------------------

// "application/grpc", "application/grpc+proto", "application/grpc;..." and
// the like; false for anything else (the server then answers HTTP 415).
bool is_grpc_content_type(std::string_view value);

// ---- messages ---------------------------------------------------------------

// Appends the 5-byte prefix (not compressed) and the message to `out`.
void frame_message(std::string_view message, std::string* out);

// Writes the 5-byte prefix for a message of `length` bytes into `prefix`.
void write_prefix(size_t length, unsigned char prefix[kMessagePrefix]);

// Splits the bytes of a stream's DATA frames into messages, as they come:
// several messages in one frame, one message over many frames. The message
// being assembled is bounded by `max_message` (checked from its prefix, before
// any of it is buffered).
class Deframer {
public:
    enum class Result { ok, too_large, compressed };

    explicit Deframer(size_t max_message) : max_(max_message) {}

    // Consumes `data`; each complete message is appended to `messages`. Stops
    // at the first problem: too_large (the prefix announced more than the
    // limit) or compressed (the flag is set: identity is all we accept).
    // After a problem the deframer refuses everything that follows.
    Result feed(const uint8_t* data, size_t length, std::vector<std::string>* messages);

    // True while part of a message (prefix or body) is buffered: a stream that
    // ends now ended inside a message.
    bool partial() const { return have_ > 0 || in_body_; }
    // The length announced by the most recent prefix (for error details).
    size_t announced() const { return need_; }

private:
    size_t max_;
    unsigned char prefix_[kMessagePrefix] = {};
    size_t have_ = 0;      // prefix bytes buffered
    bool in_body_ = false;
    size_t need_ = 0;      // body length of the current message
    std::string body_;
    bool failed_ = false;
};

// ---- options ----------------------------------------------------------------

// The channel and server arguments the engine understands, read from grpcio's
// option names; unknown names are ignored, as gRPC ignores them.
struct Options {
    long long max_receive_message = kDefaultMaxReceiveMessage;  // -1: no limit
    long long max_send_message = -1;                            // -1: no limit
    long long max_header_list = kDefaultMaxHeaderList;         // grpc.max_metadata_size
    long long max_concurrent_streams = 100;                    // grpc.max_concurrent_streams
    // Keepalive (client pings; the server's policy for pings it receives).
    long long keepalive_time_ms = -1;           // grpc.keepalive_time_ms (-1: none)
    long long keepalive_timeout_ms = 20000;     // grpc.keepalive_timeout_ms
    bool keepalive_permit_without_calls = false;  // grpc.keepalive_permit_without_calls
    long long http2_min_ping_interval_ms = 300000;  // grpc.http2.min_ping_interval_without_data_ms
    long long http2_max_ping_strikes = 2;           // grpc.http2.max_ping_strikes
    long long max_connection_idle_ms = -1;      // grpc.max_connection_idle_ms
    long long max_connection_age_ms = -1;       // grpc.max_connection_age_ms
    long long max_connection_age_grace_ms = -1; // grpc.max_connection_age_grace_ms
    // Client.
    std::string ssl_target_name_override;       // grpc.ssl_target_name_override
    std::string default_authority;              // grpc.default_authority
    std::string primary_user_agent;             // grpc.primary_user_agent
    long long initial_reconnect_backoff_ms = 1000;  // grpc.initial_reconnect_backoff_ms
    long long max_reconnect_backoff_ms = 120000;    // grpc.max_reconnect_backoff_ms
    long long min_reconnect_backoff_ms = 20000;     // grpc.min_reconnect_backoff_ms
    long long dns_min_interval_ms = 30000;  // grpc.dns_min_time_between_resolutions_ms
    long long retry_buffer = 256 * 1024;    // grpc.per_rpc_retry_buffer_size: a larger
                                            // request is sent once
    // Written by the Python channel from grpc.service_config and
    // grpc.lb_policy_name (sorvane's own names).
    std::string lb_policy;        // sorvane.lb_policy: "pick_first" (default), "round_robin"
    std::string retry_policies;   // sorvane.retry_policies (RetryTable::parse)
    std::string channel_error;    // sorvane.channel_error: every call fails with it
    // Server.
    long long handshake_timeout_ms = 5000;      // a connection must send its preface by then
    bool so_reuseport = true;                   // grpc.so_reuseport (gRPC's default on Linux)
    // Admission (sorvane's own names; grpcio ignores them).
    long long max_queued_bytes = -1;   // sorvane.max_queued_bytes: request bytes held before
                                       // a worker takes them (-1: no bound)
    long long request_wait_ms = -1;    // sorvane.request_wait_ms: headers to whole request
    std::string priority_methods;      // sorvane.priority_methods: "/a/B,/c/D", served
                                       // outside max_workers and the concurrent-call limit
};

// Reads the options; false with `error` set for a value of the wrong type or
// out of range for a name it knows.
bool read_options(const std::vector<ChannelArg>& args, Options* out, std::string* error);

}  // namespace sorvane::native::wire
