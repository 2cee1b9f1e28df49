// The platform layer's socket calls on POSIX: addresses and their text,
// resolve, listen_on, accept_on, connect_to, non-blocking I/O, waiting for a
// socket to be readable, and the process-wide odds and ends (giving free
// memory back, the process id). POSIX-specific, as loop.cpp (the event loop)
// is; nothing here knows HTTP/2, TLS or Python.
//
// Contents: addresses, resolve, listen_on, accept_on, connect_to, socket I/O,
// process_id, wait_readable(_either), socket_share, release_free_memory.
#include "loop.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace sorvane::native {

// ---- addresses ------------------------------------------------------------------

std::string SocketAddress::text() const {
    sockaddr_storage ss{};
    std::memcpy(&ss, storage, std::min<size_t>(length, sizeof ss));
    char host[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        return std::string("ipv4:") + host + ":" + std::to_string(ntohs(a->sin_port));
    }
    if (ss.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {  // a dual-stack socket's IPv4 peer
            ::inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], host, sizeof host);
            return std::string("ipv4:") + host + ":" + std::to_string(ntohs(a->sin6_port));
        }
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        std::string text = std::string("ipv6:[") + host;
        if (a->sin6_scope_id != 0) {
            char name[IF_NAMESIZE] = {};
            text += "%";
            text += ::if_indextoname(a->sin6_scope_id, name) ? std::string(name)
                                                              : std::to_string(a->sin6_scope_id);
        }
        return text + "]:" + std::to_string(ntohs(a->sin6_port));
    }
    return "unknown:";
}

bool resolve(const std::string& host, const std::string& port, bool passive,
             std::vector<SocketAddress>* out, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        *error = "cannot resolve " + host + ":" + port + ": " +
                 (rc == EAI_SYSTEM ? std::string(std::strerror(errno)) : ::gai_strerror(rc));
        return false;
    }
    out->clear();
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(SocketAddress::storage)) continue;
        SocketAddress a;
        std::memcpy(a.storage, ai->ai_addr, ai->ai_addrlen);
        a.length = static_cast<unsigned>(ai->ai_addrlen);
        out->push_back(a);
    }
    ::freeaddrinfo(list);
    if (out->empty()) {
        *error = "cannot resolve " + host + ":" + port + ": no usable address";
        return false;
    }
    return true;
}

namespace {

int family_of(const SocketAddress& a) {
    return reinterpret_cast<const sockaddr*>(a.storage)->sa_family;
}

void set_nodelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

SocketHandle listen_on(const SocketAddress& address, int backlog, int* port, std::string* error,
                       bool reuse_port) {
    int family = family_of(address);
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno_text("socket", errno);
        return kNoSocket;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#ifdef SO_REUSEPORT
    if (reuse_port) ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
#endif
    if (family == AF_INET6) {
        const auto* a6 = reinterpret_cast<const sockaddr_in6*>(address.storage);
        if (IN6_IS_ADDR_UNSPECIFIED(&a6->sin6_addr)) {
            int zero = 0;  // "[::]" takes IPv4 too
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        }
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(address.storage), address.length) != 0 ||
        ::listen(fd, backlog) != 0) {
        *error = errno_text(("cannot listen on " + address.text()).c_str(), errno);
        ::close(fd);
        return kNoSocket;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    *port = ntohs(bound.ss_family == AF_INET6
                      ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

AcceptResult accept_on(SocketHandle listener, SocketHandle* out, SocketAddress* peer) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&ss), &len,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case ECONNABORTED:
        case EINTR:
        case EPROTO:  // the connection died before accept(); the listener is fine
            return AcceptResult::again;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptResult::out_of_descriptors;
        default:
            return AcceptResult::failed;
        }
    }
    set_nodelay(fd);
    *out = fd;
    peer->length = std::min<unsigned>(len, sizeof peer->storage);
    std::memcpy(peer->storage, &ss, peer->length);
    return AcceptResult::accepted;
}

SocketHandle connect_to(const SocketAddress& address, bool* in_progress, std::string* error) {
    *in_progress = false;
    int fd = ::socket(family_of(address), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno_text("socket", errno);
        return kNoSocket;
    }
    set_nodelay(fd);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(address.storage), address.length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EINPROGRESS) {
            *in_progress = true;
            return fd;
        }
        *error = errno_text(("cannot connect to " + address.text()).c_str(), errno);
        ::close(fd);
        return kNoSocket;
    }
    return fd;
}

int connect_result(SocketHandle s) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

long long socket_recv(SocketHandle s, void* buffer, size_t length, bool* would_block) {
    *would_block = false;
    for (;;) {
        ssize_t n = ::recv(static_cast<int>(s), buffer, length, 0);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) *would_block = true;
        return -1;
    }
}

long long socket_send(SocketHandle s, const void* data, size_t length, bool* would_block) {
    *would_block = false;
    for (;;) {
        // MSG_NOSIGNAL: a peer gone away is an error here, never a SIGPIPE.
        ssize_t n = ::send(static_cast<int>(s), data, length, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) *would_block = true;
        return -1;
    }
}

void socket_close(SocketHandle s) {
    if (s != kNoSocket) ::close(static_cast<int>(s));
}

long long process_id() { return static_cast<long long>(::getpid()); }

bool wait_readable(SocketHandle s, std::chrono::microseconds wait) {
    pollfd p{};
    p.fd = static_cast<int>(s);
    p.events = POLLIN;
    timespec limit{};
    limit.tv_sec = static_cast<time_t>(wait.count() / 1000000);
    limit.tv_nsec = static_cast<long>(wait.count() % 1000000) * 1000;
    int n = ::ppoll(&p, 1, &limit, nullptr);
    return n > 0;
}

int wait_readable_either(SocketHandle s, long long other, std::chrono::microseconds wait) {
    pollfd p[2] = {};
    p[0].fd = static_cast<int>(s);
    p[0].events = POLLIN;
    p[1].fd = static_cast<int>(other);
    p[1].events = POLLIN;
    timespec limit{};
    limit.tv_sec = static_cast<time_t>(wait.count() / 1000000);
    limit.tv_nsec = static_cast<long>(wait.count() % 1000000) * 1000;
    if (::ppoll(p, 2, &limit, nullptr) <= 0) return 0;
    if (p[1].revents) return 2;
    return p[0].revents ? 1 : 0;
}

SocketHandle socket_share(SocketHandle s) {
    int copy = ::fcntl(static_cast<int>(s), F_DUPFD_CLOEXEC, 0);
    return copy < 0 ? kNoSocket : static_cast<SocketHandle>(copy);
}

void release_free_memory() {
#if defined(__GLIBC__)
    // glibc keeps freed chunks of its arenas, and its mmap threshold rises
    // with the largest block freed: without this, memory of large requests
    // stays with the process long after them.
    malloc_trim(0);
#endif
}

}  // namespace sorvane::native
