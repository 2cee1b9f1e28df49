// The platform layer's event loop on Linux: an epoll loop (level-triggered)
// woken by an eventfd for posted work, a binary-heap timer queue on a
// timerfd, and the loop group's threads. POSIX-specific, as sockets.cpp (the
// socket calls) is; nothing here knows HTTP/2, TLS or Python.
//
// Contents: EpollLoop (readiness, timers, posted work), EventLoop::create,
// LoopGroup.
#include "loop.hpp"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <queue>
#include <system_error>
#include <unordered_map>

namespace sorvane::native {

namespace {

// Runs a callback of the loop. Callbacks do not throw; should one (out of
// memory), the loop's thread goes on rather than ending the process.
template <class F>
void invoke(F& fn) noexcept {
    try {
        fn();
    } catch (...) {
    }
}

// ---- the loop ---------------------------------------------------------------

// Timers are kept in a heap and fire through a timerfd armed for the
// earliest one, so that a thread that entered the loop (try_enter) can add a
// timer without waking the loop's thread: it re-arms the timerfd when its
// timer comes first. A cancelled timer leaves the timerfd armed; the loop
// wakes once for it and re-arms for the next live one.
class EpollLoop final : public EventLoop {
public:
    EpollLoop(int epfd, int wakefd, int timerfd)
        : epfd_(epfd), wakefd_(wakefd), timerfd_(timerfd) {}
    ~EpollLoop() override {
        ::close(timerfd_);
        ::close(wakefd_);
        ::close(epfd_);
    }

    void run() override;
    void stop() override {
        stopping_.store(true, std::memory_order_release);
        wake();
    }
    void post(std::function<void()> fn) override {
        bool first;
        {
            std::lock_guard<std::mutex> lock(post_mu_);
            first = posted_.empty();
            posted_.push_back(std::move(fn));
        }
        if (first) wake();
    }
    bool in_loop() const override {
        auto me = std::this_thread::get_id();
        return loop_thread_.load(std::memory_order_acquire) == me ||
               entered_.load(std::memory_order_acquire) == me;
    }
    bool try_enter() override;
    bool entered_here() const override {
        return entered_.load(std::memory_order_acquire) == std::this_thread::get_id();
    }
    bool enter() override {
        if (in_loop()) return false;
        exec_mu_.lock();
        if (!running_) {
            exec_mu_.unlock();
            return false;
        }
        entered_.store(std::this_thread::get_id(), std::memory_order_release);
        return true;
    }
    void leave() override {
        entered_.store(std::thread::id(), std::memory_order_release);
        exec_mu_.unlock();
    }

    bool watch(SocketHandle s, bool read, bool write, IoHandler handler) override;
    void modify(SocketHandle s, bool read, bool write) override;
    void unwatch(SocketHandle s) override;

    TimerId add_timer(Clock::time_point when, std::function<void()> fn) override;
    void cancel_timer(TimerId id) override { timers_.erase(id); }

private:
    struct Watch {
        uint32_t token;  // tells this registration from an earlier one of a reused fd
        IoHandler handler;
    };
    struct TimerEntry {
        Clock::time_point when;
        TimerId id;
        bool operator>(const TimerEntry& o) const {
            return when != o.when ? when > o.when : id > o.id;
        }
    };

    void wake() {
        uint64_t one = 1;
        // A full counter (EAGAIN) already means "wake up"; nothing to do then.
        ssize_t n = ::write(wakefd_, &one, sizeof one);
        (void)n;
    }
    void run_posted();
    void run_due_timers();
    // The earliest live timer (cancelled ones on top are dropped); max() when none.
    Clock::time_point next_due();
    void arm(Clock::time_point when);
    static uint32_t mask(bool read, bool write) {
        return (read ? uint32_t(EPOLLIN) : 0u) | (write ? uint32_t(EPOLLOUT) : 0u);
    }

    int epfd_;
    int wakefd_;
    int timerfd_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::thread::id> loop_thread_{};

    // Held by the loop's thread except while it waits for events, and by a
    // thread that entered the loop.
    std::mutex exec_mu_;
    bool running_ = false;  // under exec_mu_: inside run()
    std::atomic<std::thread::id> entered_{};
    Clock::time_point armed_ = Clock::time_point::max();  // the timerfd's expiry

    std::mutex post_mu_;
    std::vector<std::function<void()>> posted_;

    std::unordered_map<int, Watch> watches_;
    std::vector<IoHandler> retired_;  // unwatched during a dispatch round
    uint32_t next_token_ = 1;

    std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<TimerEntry>> heap_;
    std::unordered_map<TimerId, std::function<void()>> timers_;  // live ones only
    TimerId next_timer_ = 1;
};

bool EpollLoop::watch(SocketHandle s, bool read, bool write, IoHandler handler) {
    int fd = static_cast<int>(s);
    auto it = watches_.find(fd);
    uint32_t token = next_token_++;
    if (next_token_ == 0) next_token_ = 1;
    epoll_event ev{};
    ev.events = mask(read, write);
    ev.data.u64 = (uint64_t(token) << 32) | uint32_t(fd);
    int op = it == watches_.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    int rc = ::epoll_ctl(epfd_, op, fd, &ev);
    // A socket closed without unwatch() left epoll on its own; its number is
    // now another socket's.
    if (rc != 0 && op == EPOLL_CTL_MOD && errno == ENOENT)
        rc = ::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
    if (rc != 0) return false;
    if (it != watches_.end()) {
        retired_.push_back(std::move(it->second.handler));
        it->second = Watch{token, std::move(handler)};
    } else {
        watches_.emplace(fd, Watch{token, std::move(handler)});
    }
    return true;
}

void EpollLoop::modify(SocketHandle s, bool read, bool write) {
    int fd = static_cast<int>(s);
    auto it = watches_.find(fd);
    if (it == watches_.end()) return;
    epoll_event ev{};
    ev.events = mask(read, write);
    ev.data.u64 = (uint64_t(it->second.token) << 32) | uint32_t(fd);
    ::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev);
}

void EpollLoop::unwatch(SocketHandle s) {
    int fd = static_cast<int>(s);
    auto it = watches_.find(fd);
    if (it == watches_.end()) return;
    ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
    // The handler may be the one running now: destroy it after the round.
    retired_.push_back(std::move(it->second.handler));
    watches_.erase(it);
}

EventLoop::TimerId EpollLoop::add_timer(Clock::time_point when, std::function<void()> fn) {
    TimerId id = next_timer_++;
    timers_.emplace(id, std::move(fn));
    heap_.push(TimerEntry{when, id});
    // The loop's thread arms the timerfd before it waits; a thread that
    // entered must do it for a timer earlier than the loop's wake-up.
    if (when < armed_ && entered_.load(std::memory_order_relaxed) == std::this_thread::get_id())
        arm(when);
    // Cancelled entries stay in the heap until due; rebuild when they
    // dominate, so far-off cancelled deadlines cannot pile up.
    if (heap_.size() > 64 && heap_.size() > 2 * timers_.size()) {
        std::vector<TimerEntry> live;
        live.reserve(timers_.size());
        while (!heap_.empty()) {
            if (timers_.count(heap_.top().id)) live.push_back(heap_.top());
            heap_.pop();
        }
        heap_ = decltype(heap_)(std::greater<TimerEntry>(), std::move(live));
    }
    return id;
}

Clock::time_point EpollLoop::next_due() {
    while (!heap_.empty() && !timers_.count(heap_.top().id)) heap_.pop();
    return heap_.empty() ? Clock::time_point::max() : heap_.top().when;
}

void EpollLoop::arm(Clock::time_point when) {
    itimerspec expiry{};
    if (when != Clock::time_point::max()) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch())
                      .count();
        if (ns <= 0) ns = 1;  // zero would disarm
        expiry.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        expiry.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    // steady_clock is CLOCK_MONOTONIC, the timerfd's clock.
    ::timerfd_settime(timerfd_, TFD_TIMER_ABSTIME, &expiry, nullptr);
    armed_ = when;
}

bool EpollLoop::try_enter() {
    if (in_loop()) return false;  // already in its place: post, as before
    if (!exec_mu_.try_lock()) return false;
    bool idle = running_ && !stopping_.load(std::memory_order_acquire);
    if (idle) {
        std::lock_guard<std::mutex> lock(post_mu_);
        idle = posted_.empty();  // posted work comes first
    }
    if (!idle) {
        exec_mu_.unlock();
        return false;
    }
    entered_.store(std::this_thread::get_id(), std::memory_order_release);
    return true;
}

void EpollLoop::run_due_timers() {
    auto now = Clock::now();
    while (!heap_.empty() && heap_.top().when <= now) {
        TimerId id = heap_.top().id;
        heap_.pop();
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;  // cancelled
        std::function<void()> fn = std::move(it->second);
        timers_.erase(it);
        invoke(fn);
    }
}

void EpollLoop::run_posted() {
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(post_mu_);
        batch.swap(posted_);
    }
    for (auto& fn : batch) invoke(fn);
}

void EpollLoop::run() {
    std::unique_lock<std::mutex> exec(exec_mu_);
    running_ = true;
    loop_thread_.store(std::this_thread::get_id(), std::memory_order_release);
    for (int fd : {wakefd_, timerfd_}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = uint32_t(fd);  // token 0: never a socket's
        ::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
    }
    constexpr int kMaxEvents = 128;
    epoll_event events[kMaxEvents];
    while (!stopping_.load(std::memory_order_acquire)) {
        Clock::time_point due = next_due();
        if (due < armed_ || armed_ <= Clock::now()) arm(due);
        exec.unlock();  // others may enter while the loop waits
        int n = ::epoll_wait(epfd_, events, kMaxEvents, -1);
        int err = errno;
        exec.lock();
        if (n < 0 && err != EINTR) break;
        for (int i = 0; i < n; ++i) {
            uint64_t data = events[i].data.u64;
            auto fd = static_cast<int>(uint32_t(data));
            auto token = static_cast<uint32_t>(data >> 32);
            if (token == 0) {
                uint64_t count;
                ssize_t r = ::read(fd, &count, sizeof count);
                (void)r;
                if (fd == timerfd_) armed_ = Clock::time_point::max();  // it fired
                continue;
            }
            auto it = watches_.find(fd);
            // Unwatched (or re-registered for a new socket) earlier this round.
            if (it == watches_.end() || it->second.token != token) continue;
            uint32_t e = events[i].events;
            uint32_t bits = ((e & EPOLLIN) ? kReadable : 0u) | ((e & EPOLLOUT) ? kWritable : 0u) |
                            ((e & (EPOLLHUP | EPOLLERR)) ? kHangup : 0u);
            // A copy: the handler may unwatch or re-watch its own socket.
            IoHandler handler = it->second.handler;
            auto call = [&] { handler(bits); };
            invoke(call);
        }
        run_due_timers();
        run_posted();
        retired_.clear();
    }
    // Work posted before stop() still runs (it may post more: drain it all).
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(post_mu_);
            if (posted_.empty()) break;
        }
        run_posted();
    }
    retired_.clear();
    running_ = false;
    loop_thread_.store(std::thread::id(), std::memory_order_release);
}

// Loop threads leave asynchronous signals to the interpreter's main thread.
void block_async_signals() {
    sigset_t set;
    sigfillset(&set);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) sigdelset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

std::unique_ptr<EventLoop> EventLoop::create(std::string* error) {
    int epfd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) {
        *error = errno_text("epoll_create1", errno);
        return nullptr;
    }
    int wakefd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakefd < 0) {
        *error = errno_text("eventfd", errno);
        ::close(epfd);
        return nullptr;
    }
    int timerfd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerfd < 0) {
        *error = errno_text("timerfd_create", errno);
        ::close(wakefd);
        ::close(epfd);
        return nullptr;
    }
    return std::unique_ptr<EventLoop>(new EpollLoop(epfd, wakefd, timerfd));
}

// ---- LoopGroup ----------------------------------------------------------------

LoopGroup::LoopGroup(int count, std::function<void()> on_thread_exit, std::string* error)
    : on_exit_(std::move(on_thread_exit)) {
    for (int i = 0; i < std::max(count, 1); ++i) {
        std::unique_ptr<EventLoop> loop = EventLoop::create(error);
        if (!loop) {
            loops_.clear();
            return;
        }
        loops_.push_back(std::move(loop));
    }
    try {
        for (size_t i = 0; i < loops_.size(); ++i) {
            EventLoop* loop = loops_[i].get();
            threads_.emplace_back([this, loop, i] {
                block_async_signals();
                std::string name = "sorvane-io-" + std::to_string(i);
                pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
                loop->run();
                if (on_exit_) on_exit_();
            });
        }
    } catch (const std::system_error& e) {
        *error = std::string("cannot start a thread: ") + e.what();
        stop_and_join();
        joined_ = false;
        loops_.clear();
        threads_.clear();
    }
}

LoopGroup::~LoopGroup() { stop_and_join(); }

EventLoop& LoopGroup::next() {
    std::lock_guard<std::mutex> lock(mu_);
    EventLoop& loop = *loops_[next_ % loops_.size()];
    ++next_;
    return loop;
}

void LoopGroup::stop_and_join() {
    {
        // Not held while joining: a thread's exit hook may still call next().
        std::lock_guard<std::mutex> lock(mu_);
        if (joined_) return;
        joined_ = true;
    }
    for (auto& loop : loops_) loop->stop();
    for (size_t i = 0; i < threads_.size(); ++i) {
        if (!threads_[i].joinable()) continue;
        if (threads_[i].get_id() == std::this_thread::get_id()) {
            // Misuse (a loop stopping its own group): joining would deadlock,
            // so let that thread finish on its own and keep its loop alive.
            threads_[i].detach();
            (void)loops_[i].release();
            continue;
        }
        threads_[i].join();
    }
}

}  // namespace sorvane::native
