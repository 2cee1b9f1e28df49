// gRPC's rules on top of HTTP/2, as its "gRPC over HTTP2" document states
// them: reserved headers, metadata keys and values, base64 for "-bin" values,
// grpc-message percent-encoding, status mappings, grpc-timeout, the message
// prefix and the options grpcio passes. Pure functions on bytes: no sockets,
// no nghttp2, no threads, so the fuzz targets can drive every one.
//
// Contents: metadata, base64, status, deadlines, content type, messages
// (Deframer), options.
#include "wire.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace sorvane::native::wire {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_lower(std::string_view name, std::string_view lower_text) {
    if (name.size() != lower_text.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (lower(name[i]) != lower_text[i]) return false;
    return true;
}

bool starts_with_lower(std::string_view name, std::string_view lower_prefix) {
    return name.size() >= lower_prefix.size() &&
           equals_lower(name.substr(0, lower_prefix.size()), lower_prefix);
}

}  // namespace

// ---- metadata ---------------------------------------------------------------

bool is_reserved_header(std::string_view name) {
    if (name.empty() || name[0] == ':') return true;
    if (starts_with_lower(name, "grpc-")) return !equals_lower(name, "grpc-status-details-bin");
    static constexpr std::string_view kReserved[] = {
        "content-type", "te",   "user-agent", "connection", "keep-alive", "proxy-connection",
        "transfer-encoding", "upgrade", "host",
    };
    for (std::string_view r : kReserved)
        if (equals_lower(name, r)) return true;
    return false;
}

bool valid_key(std::string_view key) {
    if (key.empty()) return false;
    for (char c : key) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_' || c == '-' ||
                  c == '.';
        if (!ok) return false;
    }
    return true;
}

bool valid_text_value(std::string_view value) {
    for (char c : value) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7e) return false;
    }
    return true;
}

bool is_binary_key(std::string_view key) {
    return key.size() >= 4 && equals_lower(key.substr(key.size() - 4), "-bin");
}

// ---- base64 -----------------------------------------------------------------

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64_encode(std::string_view in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    auto byte = [&](size_t k) { return static_cast<unsigned char>(in[k]); };
    for (; i + 3 <= in.size(); i += 3) {
        uint32_t v = (uint32_t(byte(i)) << 16) | (uint32_t(byte(i + 1)) << 8) | byte(i + 2);
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    size_t rest = in.size() - i;
    if (rest == 1) {
        uint32_t v = uint32_t(byte(i)) << 16;
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
    } else if (rest == 2) {
        uint32_t v = (uint32_t(byte(i)) << 16) | (uint32_t(byte(i + 1)) << 8);
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
    }
    return out;
}

bool base64_decode(std::string_view in, std::string* out) {
    // Padding, when present, completes the last quantum and nothing follows it.
    size_t pad = 0;
    while (pad < in.size() && pad < 2 && in[in.size() - 1 - pad] == '=') ++pad;
    if (pad > 0 && in.size() % 4 != 0) return false;
    std::string_view body = in.substr(0, in.size() - pad);
    if (body.size() % 4 == 1) return false;
    out->clear();
    out->reserve(body.size() / 4 * 3 + 2);
    uint32_t acc = 0;
    int bits = 0;
    for (char c : body) {
        int s = sextet(static_cast<unsigned char>(c));
        if (s < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(s);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return true;
}

// ---- status -----------------------------------------------------------------

std::string percent_encode(std::string_view in) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(in.size());
    for (char c : in) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u <= 0x7e && u != '%') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 15]);
        }
    }
    return out;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string percent_decode(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size()) {
            int hi = hex_digit(in[i + 1]), lo = hex_digit(in[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(in[i]);
    }
    return out;
}

int status_from_http(int http_status) {
    switch (http_status) {
    case 400: return kInternal;
    case 401: return 16;  // UNAUTHENTICATED
    case 403: return 7;   // PERMISSION_DENIED
    case 404: return kUnimplemented;
    case 429:
    case 502:
    case 503:
    case 504: return kUnavailable;
    default: return kUnknown;
    }
}

int status_from_h2_error(uint32_t error_code) {
    switch (error_code) {
    case 0x7: return kUnavailable;        // REFUSED_STREAM: nothing ran, retry elsewhere
    case 0x8: return kCancelled;          // CANCEL
    case 0xb: return kResourceExhausted;  // ENHANCE_YOUR_CALM
    case 0xc: return 7;                   // INADEQUATE_SECURITY -> PERMISSION_DENIED
    default: return kInternal;
    }
}

bool parse_status(std::string_view text, int* code) {
    if (text.empty() || text.size() > 3) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *code = v;
    return true;
}

// ---- deadlines --------------------------------------------------------------

namespace {

constexpr int64_t kMaxTimeoutNs = int64_t(100) * 365 * 24 * 3600 * 1000000000LL;  // ~100 years
constexpr int64_t kMaxTimeoutValue = 99999999;                                    // 8 digits

struct TimeUnit {
    char symbol;
    int64_t ns;
};
// Finest first.
constexpr TimeUnit kUnits[] = {
    {'n', 1},
    {'u', 1000},
    {'m', 1000000},
    {'S', 1000000000LL},
    {'M', 60 * 1000000000LL},
    {'H', 3600 * 1000000000LL},
};

}  // namespace

bool parse_timeout(std::string_view text, int64_t* nanoseconds) {
    if (text.size() < 2 || text.size() > 9) return false;
    int64_t unit_ns = 0;
    for (const TimeUnit& u : kUnits)
        if (text.back() == u.symbol) unit_ns = u.ns;
    if (unit_ns == 0) return false;
    int64_t value = 0;
    for (char c : text.substr(0, text.size() - 1)) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *nanoseconds = value > kMaxTimeoutNs / unit_ns ? kMaxTimeoutNs
                                                   : std::min(value * unit_ns, kMaxTimeoutNs);
    return true;
}

std::string format_timeout(double seconds) {
    if (!(seconds > 0)) return "1n";  // also NaN: already due, yet a valid header
    double x = seconds * 1e9;
    if (x >= double(kMaxTimeoutNs)) return std::to_string(kMaxTimeoutValue) + "H";
    // A value a hair above a whole nanosecond is the double's representation
    // error (0.1 s), not a deadline later than that nanosecond.
    double nearest = std::nearbyint(x);
    auto ns = static_cast<int64_t>(std::fabs(x - nearest) < 1e-3 ? nearest : std::ceil(x));
    if (ns < 1) ns = 1;
    // The finest unit that fits 8 digits, then any coarser unit that states the
    // same value exactly (shorter text, same deadline).
    size_t pick = 0;
    int64_t value = 0;
    for (size_t i = 0; i < sizeof kUnits / sizeof kUnits[0]; ++i) {
        value = (ns + kUnits[i].ns - 1) / kUnits[i].ns;
        pick = i;
        if (value <= kMaxTimeoutValue) break;
    }
    int64_t rounded = value * kUnits[pick].ns;
    for (size_t i = pick + 1; i < sizeof kUnits / sizeof kUnits[0]; ++i) {
        if (rounded % kUnits[i].ns != 0) break;
        pick = i;
        value = rounded / kUnits[i].ns;
    }
    return std::to_string(value) + kUnits[pick].symbol;
}

// ---- content type -----------------------------------------------------------

bool is_grpc_content_type(std::string_view value) {
    constexpr std::string_view kType = "application/grpc";
    if (!starts_with_lower(value, kType)) return false;
    return value.size() == kType.size() || value[kType.size()] == '+' ||
           value[kType.size()] == ';';
}

// ---- messages ---------------------------------------------------------------

void write_prefix(size_t length, unsigned char prefix[kMessagePrefix]) {
    auto n = static_cast<uint32_t>(length);
    prefix[0] = 0;
    prefix[1] = static_cast<unsigned char>(n >> 24);
    prefix[2] = static_cast<unsigned char>(n >> 16);
    prefix[3] = static_cast<unsigned char>(n >> 8);
    prefix[4] = static_cast<unsigned char>(n);
}

void frame_message(std::string_view message, std::string* out) {
    unsigned char prefix[kMessagePrefix];
    write_prefix(message.size(), prefix);
    out->reserve(out->size() + kMessagePrefix + message.size());
    out->append(reinterpret_cast<const char*>(prefix), kMessagePrefix);
    out->append(message.data(), message.size());
}

Deframer::Result Deframer::feed(const uint8_t* data, size_t length,
                                std::vector<std::string>* messages) {
    // A failed deframer keeps the prefix that failed it, so it can say why again.
    if (failed_) return prefix_[0] != 0 ? Result::compressed : Result::too_large;
    while (length > 0) {
        if (!in_body_) {
            size_t take = std::min(kMessagePrefix - have_, length);
            std::memcpy(prefix_ + have_, data, take);
            have_ += take;
            data += take;
            length -= take;
            if (have_ < kMessagePrefix) break;
            need_ = (size_t(prefix_[1]) << 24) | (size_t(prefix_[2]) << 16) |
                    (size_t(prefix_[3]) << 8) | size_t(prefix_[4]);
            if (prefix_[0] != 0 || need_ > max_) {
                failed_ = true;
                return prefix_[0] != 0 ? Result::compressed : Result::too_large;
            }
            in_body_ = true;
        }
        // Grow with what arrives, not with what the prefix announces: a peer
        // may announce the limit on every stream and send nothing more.
        size_t take = std::min(need_ - body_.size(), length);
        if (body_.capacity() < body_.size() + take) {
            // Once a good part of a large message is here, the rest is reserved
            // at once: doubling all the way would copy the message about twice
            // over and touch twice its size in fresh pages.
            size_t want = std::max(body_.capacity() * 2, body_.size() + take);
            if (body_.size() + take >= kReserveRest) want = need_;
            body_.reserve(std::min(need_, want));
        }
        body_.append(reinterpret_cast<const char*>(data), take);
        data += take;
        length -= take;
        if (body_.size() < need_) break;
        messages->push_back(std::move(body_));
        body_ = std::string();
        in_body_ = false;
        have_ = 0;
    }
    return Result::ok;
}

// ---- options ----------------------------------------------------------------

namespace {

enum class Kind { integer, flag, text };

struct OptionRule {
    const char* name;
    Kind kind;
    long long minimum;  // integers only
    long long Options::*integer;
    bool Options::*flag;
    std::string Options::*text;
};

constexpr OptionRule int_option(const char* name, long long Options::*field, long long minimum) {
    return {name, Kind::integer, minimum, field, nullptr, nullptr};
}

const OptionRule kOptionRules[] = {
    int_option("grpc.max_receive_message_length", &Options::max_receive_message, -1),
    int_option("grpc.max_send_message_length", &Options::max_send_message, -1),
    int_option("grpc.max_metadata_size", &Options::max_header_list, 1),
    int_option("grpc.max_concurrent_streams", &Options::max_concurrent_streams, 1),
    int_option("grpc.keepalive_time_ms", &Options::keepalive_time_ms, -1),
    int_option("grpc.keepalive_timeout_ms", &Options::keepalive_timeout_ms, 1),
    {"grpc.keepalive_permit_without_calls", Kind::flag, 0, nullptr,
     &Options::keepalive_permit_without_calls, nullptr},
    {"grpc.so_reuseport", Kind::flag, 0, nullptr, &Options::so_reuseport, nullptr},
    int_option("grpc.http2.min_ping_interval_without_data_ms",
               &Options::http2_min_ping_interval_ms, 0),
    int_option("grpc.http2.max_ping_strikes", &Options::http2_max_ping_strikes, 0),
    int_option("grpc.max_connection_idle_ms", &Options::max_connection_idle_ms, -1),
    int_option("grpc.max_connection_age_ms", &Options::max_connection_age_ms, -1),
    int_option("grpc.max_connection_age_grace_ms", &Options::max_connection_age_grace_ms, -1),
    {"grpc.ssl_target_name_override", Kind::text, 0, nullptr, nullptr,
     &Options::ssl_target_name_override},
    {"grpc.default_authority", Kind::text, 0, nullptr, nullptr, &Options::default_authority},
    {"grpc.primary_user_agent", Kind::text, 0, nullptr, nullptr, &Options::primary_user_agent},
    int_option("grpc.initial_reconnect_backoff_ms", &Options::initial_reconnect_backoff_ms, 1),
    int_option("grpc.max_reconnect_backoff_ms", &Options::max_reconnect_backoff_ms, 1),
    int_option("grpc.min_reconnect_backoff_ms", &Options::min_reconnect_backoff_ms, 1),
    int_option("grpc.server_handshake_timeout_ms", &Options::handshake_timeout_ms, 1),
    int_option("grpc.dns_min_time_between_resolutions_ms", &Options::dns_min_interval_ms, 0),
    int_option("grpc.per_rpc_retry_buffer_size", &Options::retry_buffer, 0),
    {"sorvane.lb_policy", Kind::text, 0, nullptr, nullptr, &Options::lb_policy},
    {"sorvane.retry_policies", Kind::text, 0, nullptr, nullptr, &Options::retry_policies},
    {"sorvane.channel_error", Kind::text, 0, nullptr, nullptr, &Options::channel_error},
    int_option("sorvane.max_queued_bytes", &Options::max_queued_bytes, -1),
    int_option("sorvane.request_wait_ms", &Options::request_wait_ms, -1),
    {"sorvane.priority_methods", Kind::text, 0, nullptr, nullptr, &Options::priority_methods},
};

}  // namespace

bool read_options(const std::vector<ChannelArg>& args, Options* out, std::string* error) {
    for (const ChannelArg& arg : args) {
        const OptionRule* rule = nullptr;
        for (const OptionRule& s : kOptionRules)
            if (arg.key == s.name) rule = &s;
        if (!rule) continue;  // gRPC ignores names it does not know; so do we
        if (rule->kind == Kind::text) {
            if (arg.is_int) {
                *error = arg.key + ": expected a string, got an integer";
                return false;
            }
            out->*(rule->text) = arg.str_value;
            continue;
        }
        if (!arg.is_int) {
            *error = arg.key + ": expected an integer, got a string";
            return false;
        }
        if (rule->kind == Kind::flag) {
            if (arg.int_value != 0 && arg.int_value != 1) {
                *error = arg.key + ": expected 0 or 1, got " + std::to_string(arg.int_value);
                return false;
            }
            out->*(rule->flag) = arg.int_value != 0;
            continue;
        }
        if (arg.int_value < rule->minimum) {
            *error = arg.key + ": must be at least " + std::to_string(rule->minimum) + ", got " +
                     std::to_string(arg.int_value);
            return false;
        }
        out->*(rule->integer) = arg.int_value;
    }
    return true;
}

}  // namespace sorvane::native::wire
