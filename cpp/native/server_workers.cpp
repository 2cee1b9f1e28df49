// The server host's worker threads: a complete request handed over by its
// loop (dispatch) and the watchdog that wakes an idle worker, the queues of
// handlers, closed hooks and streaming handlers that may go on, a worker's
// round and the call it runs, and the request bytes the server holds. No
// Python: the hooks are the module's.
//
// Contents: dispatch and the watchdog; queueing work; worker and run_call;
// priority methods; held bytes and giving memory back; wait_idle.
#include "server_host.hpp"

#include <algorithm>
#include <chrono>

namespace sorvane::native {
namespace server {

thread_local bool t_in_closed_hook = false;

namespace {

// How long requests may wait for a busy worker before an idle one is woken.
constexpr auto kWatchdog = std::chrono::milliseconds(1);
// Calls of the priority methods waiting for a worker, at most (they answer
// quickly; past this a flood of them is refused like any other overload).
constexpr size_t kPriorityQueue = 64;
// A request this large counts towards giving freed memory back, and this much
// of them done (with no request bytes waiting) does it.
constexpr size_t kLargeRequest = 1 << 20;
constexpr size_t kTrimAfter = 32 << 20;
// How long a worker that answered waits for the same client's next request.
constexpr auto kNextRequestWait = std::chrono::microseconds(2000);

// Set while a worker that answered reads its connection for the next request
// (it is not counted as running meanwhile, so that calls from elsewhere still
// wake an idle worker); the first request it reads is its own to take.
thread_local bool t_awaiting = false;
thread_local bool t_claimed = false;

}  // namespace

// ---- workers -------------------------------------------------------------------

// A request goes to a worker that is busy when there is one: it takes the
// request as soon as its handler returns, where waking another worker would
// only make the two take turns at the GIL (a context switch each way). The
// loop's watchdog wakes an idle worker when the busy ones take nothing for a
// while (handlers that block).
bool Host::dispatch(ServerCall* call, EventLoop& loop) {
    bool own = t_awaiting && !t_claimed;
    if (!priority_methods_.empty() && is_priority(call->method())) {
        bool wake;
        {
            std::lock_guard<std::mutex> lock(work_mu_);
            if (priority_due_.size() >= kPriorityQueue) return false;
            call->retain();  // the handler's
            priority_due_.push_back(call);
            wake = idle_workers_ > 0;
        }
        if (wake) work_cv_.notify_one();
        return true;
    }
    if (max_concurrent_ > 0 && inflight_.fetch_add(1) >= max_concurrent_) {
        inflight_.fetch_sub(1);
        return false;
    }
    call->retain();  // the handler's
    bool wake = false, watch = false;
    {
        std::lock_guard<std::mutex> lock(work_mu_);
        runs_.push_back(call);
        if (own) {
            t_claimed = true;  // the reading worker takes it next
        } else if (idle_workers_ > 0) {
            // One woken worker takes a whole burst: it has not started
            // running while the loop dispatches the rest of what it read.
            wake = running_ + waking_ == 0;
            watch = !wake && running_ < max_workers_;
            if (wake) ++waking_;
        }
    }
    // Outside the lock: the woken worker would only block on it.
    if (wake) work_cv_.notify_one();
    if (watch) arm_watchdog(slot_of(loop));
    return true;
}

void Host::arm_watchdog(LoopSlot& slot) {
    if (slot.watchdog) return;
    slot.watchdog = true;
    {
        std::lock_guard<std::mutex> lock(work_mu_);
        slot.seen = taken_;
    }
    slot.loop->add_timer(Clock::now() + kWatchdog, [this, &slot] { watchdog(slot); });
}

void Host::watchdog(LoopSlot& slot) {
    slot.watchdog = false;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(work_mu_);
        // With max_workers handlers running, the first to return takes the next.
        if (runs_.empty() || running_ >= max_workers_) return;
        wake = taken_ == slot.seen && idle_workers_ > 0;
        if (wake) ++waking_;
    }
    if (wake) work_cv_.notify_one();
    arm_watchdog(slot);
}

// Queues work of `call` for the workers (`due` is one of their queues),
// holding the call meanwhile.
void Host::queue_work(std::deque<ServerCall*>& due, ServerCall* call) {
    call->retain();
    bool wake;
    {
        std::lock_guard<std::mutex> lock(work_mu_);
        due.push_back(call);
        wake = idle_workers_ > 0;
    }
    if (wake) work_cv_.notify_one();
}

void Host::queue_closed_hook(ServerCall* call) { queue_work(hooks_due_, call); }

void Host::queue_resume(ServerCall* call) { queue_work(resumes_, call); }

// A worker thread: closed hooks first (they are short and a handler may wait
// for one), then handlers while fewer than max_workers run, streaming ones
// that may go on before new ones.
void Host::worker() {
    std::unique_lock<std::mutex> lock(work_mu_);
    for (;;) {
        if (!hooks_due_.empty()) {
            ServerCall* call = hooks_due_.front();
            hooks_due_.pop_front();
            ++hooks_running_;
            lock.unlock();
            t_in_closed_hook = true;
            call->run_closed_hook(*hooks_);
            t_in_closed_hook = false;
            call->release();
            lock.lock();
            --hooks_running_;
            if (hooks_due_.empty() && hooks_running_ == 0) idle_cv_.notify_all();
            continue;
        }
        // Calls of the priority methods are not counted in running_: the
        // worker beyond max_workers takes them while every other one is busy.
        if (!priority_due_.empty()) {
            ServerCall* call = priority_due_.front();
            priority_due_.pop_front();
            ++priority_running_;
            lock.unlock();
            run_call(call, true);
            lock.lock();
            --priority_running_;
            if (priority_running_ == 0 && priority_due_.empty()) idle_cv_.notify_all();
            continue;
        }
        if (!resumes_.empty() && (running_ < max_workers_ || workers_exit_)) {
            ServerCall* call = resumes_.front();
            resumes_.pop_front();
            ++running_;
            ++resumes_running_;
            lock.unlock();
            hooks_->resume(*call);
            call->release();
            lock.lock();
            --running_;
            --resumes_running_;
            if (resumes_.empty() && resumes_running_ == 0) idle_cv_.notify_all();
            if (running_ == 0 && runs_.empty()) idle_cv_.notify_all();
            continue;
        }
        if (!runs_.empty() && running_ < max_workers_) {
            ServerCall* call = runs_.front();
            runs_.pop_front();
            ++running_;
            ++taken_;
            lock.unlock();
            run_call(call, false);
            lock.lock();
            --running_;
            if (running_ == 0 && runs_.empty()) idle_cv_.notify_all();
            continue;
        }
        if (workers_exit_) break;
        ++idle_workers_;
        work_cv_.wait(lock);
        --idle_workers_;
        if (waking_ > 0) --waking_;
    }
    --workers_;
    idle_cv_.notify_all();
    lock.unlock();
    hooks_->thread_exit();
}

void Host::run_call(ServerCall* call, bool priority) {
    call->release_held();  // no longer waiting
    // A call reset while it waited has nobody to answer.
    bool answered_here = false;
    if (!call->finished() && !call->cancelled()) {
        hooks_->run(*call, call->reply_);
        if (call->reply_.deferred)
            call->handler_returned();  // answered later, off this worker
        else
            answered_here = call->post_finish();
    }
    size_t size = call->drop_payload();
    if (!priority && max_concurrent_ > 0) inflight_.fetch_sub(1);
    // A client calling in turn sends its next request on the heels of this
    // reply: with nothing else to do, this worker reads it itself and then
    // takes it from the queue, where the loop would read it and wake a worker.
    if (answered_here) {
        bool idle;
        {
            std::lock_guard<std::mutex> lock(work_mu_);
            idle = runs_.empty() && hooks_due_.empty() && priority_due_.empty() && resumes_.empty() &&
                   !workers_exit_;
            if (idle && !priority) --running_;
        }
        if (idle) {
            t_awaiting = true;
            t_claimed = false;
            call->await_next_request(kNextRequestWait);
            t_awaiting = false;
            if (!priority) {
                std::lock_guard<std::mutex> lock(work_mu_);
                ++running_;
            }
        }
    }
    call->release();
    if (size >= kLargeRequest) after_large_request(size);
}

bool Host::is_priority(const std::string& method) const {
    return std::find(priority_methods_.begin(), priority_methods_.end(), method) !=
           priority_methods_.end();
}

bool Host::hold(size_t n) {
    long long now = held_bytes_.fetch_add(static_cast<long long>(n)) + static_cast<long long>(n);
    if (options_.max_queued_bytes >= 0 && now > options_.max_queued_bytes) {
        held_bytes_.fetch_sub(static_cast<long long>(n));
        return false;
    }
    return true;
}

// Once a burst of large requests is over (no request bytes wait), the memory
// they took goes back to the system instead of staying with the process.
void Host::after_large_request(size_t bytes) {
    if (freed_since_trim_.fetch_add(bytes) + bytes < kTrimAfter) return;
    if (held_bytes_.load() != 0) return;
    if (freed_since_trim_.exchange(0) < kTrimAfter) return;  // another worker did it
    release_free_memory();
}

bool Host::wait_idle(double seconds) {
    std::unique_lock<std::mutex> lock(work_mu_);
    auto idle = [this] {
        return running_ == 0 && runs_.empty() && priority_running_ == 0 &&
               priority_due_.empty() && resumes_.empty();
    };
    if (seconds < 0) {
        idle_cv_.wait(lock, idle);
        return true;
    }
    return idle_cv_.wait_for(lock, std::chrono::duration<double>(seconds), idle);
}

}  // namespace server
}  // namespace sorvane::native
