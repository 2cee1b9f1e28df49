// The engine's platform layer: an event loop (readiness of sockets, timers,
// work posted from other threads) and the few socket operations the hosts
// need. Everything POSIX-specific lives behind these declarations, in two
// files: loop.cpp (the loop: epoll, eventfd and timerfd on Linux) and
// sockets.cpp (the socket calls); a Windows build replaces those two only. No
// HTTP/2, no TLS, no Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sorvane::native {

using Clock = std::chrono::steady_clock;

// A socket handle (an fd on POSIX, a SOCKET on Windows). -1 when none.
using SocketHandle = long long;
constexpr SocketHandle kNoSocket = -1;

// Readiness bits passed to an IoHandler.
enum IoEvent : uint32_t { kReadable = 1, kWritable = 2, kHangup = 4 };

class EventLoop {
public:
    using IoHandler = std::function<void(uint32_t events)>;
    using TimerId = uint64_t;

    // Returns nullptr with `error` set when the system refuses (no fds left).
    static std::unique_ptr<EventLoop> create(std::string* error);
    virtual ~EventLoop() = default;

    // Runs the loop on the calling thread until stop(); returns then. Posted
    // work still queued at stop() runs before run() returns.
    virtual void run() = 0;
    // Any thread; run() returns soon after.
    virtual void stop() = 0;
    // Any thread: runs `fn` on the loop's thread, in posting order.
    virtual void post(std::function<void()> fn) = 0;
    // True on the thread inside run(), and on a thread that entered (below).
    virtual bool in_loop() const = 0;
    // Any thread. When the loop is idle (waiting for events, nothing posted,
    // not stopping), the calling thread takes the loop's place until leave():
    // it may then do what the loop's thread does, and the loop's thread
    // waits for it. Saves waking the loop for a short step (a reply, a
    // request) that would otherwise be posted. False: post instead.
    virtual bool try_enter() = 0;
    // As try_enter, but waits while the loop works; false only when the
    // loop is not running (stopped, or not started).
    virtual bool enter() = 0;
    virtual void leave() = 0;
    // True on a thread that entered (not on the loop's own thread).
    virtual bool entered_here() const = 0;

    // Loop thread only. Level-triggered readiness for `s`; one handler per
    // socket. watch() replaces an earlier registration of the same socket.
    virtual bool watch(SocketHandle s, bool read, bool write, IoHandler handler) = 0;
    virtual void modify(SocketHandle s, bool read, bool write) = 0;
    // Stops watching (before the socket is closed); the handler is destroyed
    // after the current dispatch round, so a handler may unwatch itself.
    virtual void unwatch(SocketHandle s) = 0;

    // Loop thread only. One-shot timers, ordered by time (a heap: O(log n)).
    virtual TimerId add_timer(Clock::time_point when, std::function<void()> fn) = 0;
    // Harmless for a timer that already fired or was cancelled.
    virtual void cancel_timer(TimerId id) = 0;
};

// Runs `fn` on the calling thread in the loop's place when the loop is idle,
// else posts it; either way it runs once, in order with posted work.
// True when it ran here. With `worth_it` (checked in the loop's place), only
// when that says so: where the loop would do the work for several at once,
// waking it once is cheaper than each thread doing its own share.
template <class F>
bool run_or_post(EventLoop& loop, F&& fn) {
    if (loop.try_enter()) {
        fn();
        loop.leave();
        return true;
    }
    loop.post(std::forward<F>(fn));
    return false;
}

template <class P, class F>
bool run_or_post_if(EventLoop& loop, P&& worth_it, F&& fn) {
    if (loop.try_enter()) {
        if (worth_it()) {
            fn();
            loop.leave();
            return true;
        }
        loop.leave();
    }
    loop.post(std::forward<F>(fn));
    return false;
}

// A set of loops, each on a thread of its own, started at once; the threads
// call `on_thread_exit` (may be empty) just before they end. Used by a server
// (its connections) and by every channel of the process (one shared set).
class LoopGroup {
public:
    LoopGroup(int count, std::function<void()> on_thread_exit, std::string* error);
    ~LoopGroup();  // stops and joins
    bool ok() const { return !loops_.empty(); }
    int size() const { return static_cast<int>(loops_.size()); }
    EventLoop& at(int i) { return *loops_[static_cast<size_t>(i)]; }
    // Round robin, for spreading connections.
    EventLoop& next();
    // Stops every loop and joins its thread (not from a loop thread).
    void stop_and_join();

private:
    std::vector<std::unique_ptr<EventLoop>> loops_;
    std::vector<std::thread> threads_;
    std::function<void()> on_exit_;
    std::mutex mu_;
    size_t next_ = 0;
    bool joined_ = false;
};

// ---- sockets ----------------------------------------------------------------

struct SocketAddress {
    unsigned char storage[128] = {};  // a sockaddr_storage
    unsigned length = 0;
    std::string text() const;  // "ipv4:127.0.0.1:6565" / "ipv6:[::1]:6565", as gRPC's peer()
};

// Resolves "host" and "port" (numeric or not) to addresses, blocking: call it
// off the loop threads. IPv6 literals come without brackets. False with
// `error` set when nothing resolves.
bool resolve(const std::string& host, const std::string& port, bool passive,
             std::vector<SocketAddress>* out, std::string* error);

// A listening, non-blocking socket bound to `address`; `port` gets the bound
// port (useful for port 0). The dual-stack "[::]" accepts IPv4 too. With
// `reuse_port`, other sockets (and processes) may listen on the same port and
// the system spreads connections between them, where it can (SO_REUSEPORT).
SocketHandle listen_on(const SocketAddress& address, int backlog, int* port, std::string* error,
                       bool reuse_port = false);

enum class AcceptResult { accepted, again, out_of_descriptors, failed };

// Accepts one connection, non-blocking with TCP_NODELAY set, close-on-exec.
// out_of_descriptors is EMFILE/ENFILE/ENOBUFS/ENOMEM: the caller pauses
// accepting and tries again later rather than giving up on the listener.
AcceptResult accept_on(SocketHandle listener, SocketHandle* out, SocketAddress* peer);

// Starts a non-blocking connect (TCP_NODELAY set). `in_progress` true when
// the result comes later: wait until writable, then connect_result().
SocketHandle connect_to(const SocketAddress& address, bool* in_progress, std::string* error);
// 0 when the connect succeeded, else the system error number.
int connect_result(SocketHandle s);

// Non-blocking I/O. Return bytes moved; 0 on EOF (recv only); -1 with
// `would_block` true when nothing can move now; -1 otherwise on an error.
long long socket_recv(SocketHandle s, void* buffer, size_t length, bool* would_block);
long long socket_send(SocketHandle s, const void* data, size_t length, bool* would_block);
void socket_close(SocketHandle s);
// Waits up to `wait` for `s` to have bytes to read (or a hang-up); true when it has.
bool wait_readable(SocketHandle s, std::chrono::microseconds wait);
// Waits up to `wait` until `s` has bytes to read (or a hang-up): 1 then; 2
// when `other` (a descriptor of the caller's, such as another event loop's
// own) became readable first; 0 when the time ran out.
int wait_readable_either(SocketHandle s, long long other, std::chrono::microseconds wait);
// A second handle to the socket of `s`, close-on-exec, for another event
// loop to watch it (closing `s` then leaves that loop's registration alone);
// kNoSocket where the system cannot make one. Closed with socket_close.
SocketHandle socket_share(SocketHandle s);

// Gives memory the allocator keeps but no longer uses back to the system
// (after a burst of large requests); a no-op where the allocator has no way.
void release_free_memory();

// This process's id: a change tells a forked child that threads made before
// the fork are not there.
long long process_id();

// ---- for the platform files --------------------------------------------------

// "what: the system's text for `err`", for an error the system reported.
inline std::string errno_text(const char* what, int err) {
    return std::string(what) + ": " + std::strerror(err);
}

}  // namespace sorvane::native
