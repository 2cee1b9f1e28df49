// A channel's target as gRPC's naming rules write it: "host[:port]",
// "dns:[//authority/]host[:port]", "ipv4:" and "ipv6:" address lists, a
// missing port being 443. Parsing only: resolving names is the channel's.
#include "channel.hpp"

namespace sorvane::native::client {

namespace {

bool numeric_host(const std::string& host) {
    if (host.find(':') != std::string::npos) return true;  // IPv6
    int dots = 0;
    for (char c : host) {
        if (c == '.') ++dots;
        else if (c < '0' || c > '9') return false;
    }
    return dots == 3;
}

// "host", "host:port", "[v6]", "[v6]:port", bare "v6"; port 443 when absent.
bool split_host_port(const std::string& text, Endpoint* out) {
    if (text.empty()) return false;
    std::string port;
    if (text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) return false;
        out->host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            port = text.substr(close + 2);
        }
    } else {
        size_t colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
            out->host = text.substr(0, colon);
            port = text.substr(colon + 1);
        } else {
            out->host = text;  // no port, or an IPv6 literal without brackets
        }
    }
    if (out->host.empty()) return false;
    for (char c : port)
        if (c < '0' || c > '9') return false;
    out->port = port.empty() ? "443" : port;
    return true;
}

}  // namespace

bool parse_target(const std::string& text, Target* out, std::string* error) {
    std::string rest = text;
    bool list = false;
    if (rest.compare(0, 5, "ipv4:") == 0 || rest.compare(0, 5, "ipv6:") == 0) {
        rest = rest.substr(5);
        list = true;
    } else if (rest.compare(0, 4, "dns:") == 0) {
        rest = rest.substr(4);
        if (rest.compare(0, 2, "//") == 0) {  // dns://authority/host:port: the authority is ignored
            size_t slash = rest.find('/', 2);
            if (slash == std::string::npos) {
                *error = "invalid target " + text;
                return false;
            }
            rest = rest.substr(slash + 1);
        }
    } else if (rest.compare(0, 5, "unix:") == 0) {
        *error = "unix socket targets are not supported by the native engine: " + text;
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t comma = list ? rest.find(',', start) : std::string::npos;
        std::string part = rest.substr(start, comma == std::string::npos ? comma : comma - start);
        Endpoint ep;
        if (!split_host_port(part, &ep) || (list && !numeric_host(ep.host))) {
            *error = "invalid target " + text;
            return false;
        }
        if (out->endpoints.empty()) {
            out->host = ep.host;
            out->authority = part;
        }
        out->numeric = out->numeric && numeric_host(ep.host);
        out->endpoints.push_back(std::move(ep));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

}  // namespace sorvane::native::client
