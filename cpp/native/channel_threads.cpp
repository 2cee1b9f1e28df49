// The threads every channel of the process shares, made on first use: one
// event loop, the resolver thread and the two completion threads (which run
// their hooks in batches the module brackets, set_completion_batch); and the
// Wakeup through which a loop thread hands ended calls to an event loop that
// is not ours (asyncio's). A forked child makes its own. No Python here.
#include "channel.hpp"

#include <system_error>
#include <thread>

namespace sorvane::native {
namespace client {

namespace {

// A queue served by threads of its own that live as long as the process (a
// fork child must make its own channels: these threads are not copied).
std::atomic<void* (*)()> g_batch_begin{nullptr};
std::atomic<void (*)(void*)> g_batch_end{nullptr};

class WorkQueue {
public:
    // `batched`: a thread takes every queued task at once and runs them
    // between the completion batch hooks.
    WorkQueue(int threads, bool batched) : batched_(batched) {
        for (int i = 0; i < threads; ++i) std::thread([this] { serve(); }).detach();
    }
    void push(std::function<void()> fn) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            work_.push_back(std::move(fn));
        }
        cv_.notify_one();
    }

private:
    void serve() {
        std::unique_lock<std::mutex> lock(mu_);
        std::deque<std::function<void()>> batch;
        for (;;) {
            cv_.wait(lock, [this] { return !work_.empty(); });
            if (batched_) {
                batch.swap(work_);
            } else {
                batch.push_back(std::move(work_.front()));
                work_.pop_front();
            }
            lock.unlock();
            auto begin = g_batch_begin.load(std::memory_order_acquire);
            auto end = g_batch_end.load(std::memory_order_acquire);
            void* token = batched_ && begin && end ? begin() : nullptr;
            for (auto& fn : batch) {
                fn();
                fn = nullptr;  // its captures go before the next task
            }
            batch.clear();
            if (token) end(token);
            lock.lock();
        }
    }
    const bool batched_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> work_;
};

// The threads every channel shares, made on first use and never destroyed
// (their threads may be inside a task when static destructors run at exit).
// A forked child has the parent's objects but not their threads: its first
// channel makes new ones, and the parent's are left alone.
struct Shared {
    long long pid = -1;
    LoopGroup* loops = nullptr;
    WorkQueue* completions = nullptr;
    WorkQueue* resolver = nullptr;
};
std::mutex g_shared_mu;
Shared g_shared;
std::atomic<WorkQueue*> g_completions{nullptr};

WorkQueue& resolver() {
    std::lock_guard<std::mutex> lock(g_shared_mu);
    return *g_shared.resolver;
}

}  // namespace

// The loop for a new channel (made, with the other threads, in this process
// if need be); nullptr with `error` set when the system refuses.
EventLoop* shared_loop(std::string* error) {
    std::lock_guard<std::mutex> lock(g_shared_mu);
    long long pid = process_id();
    if (g_shared.pid != pid || !g_shared.loops) {
        auto* loops = new LoopGroup(1, {}, error);
        if (!loops->ok()) {
            delete loops;
            return nullptr;
        }
        g_shared.loops = loops;
        g_shared.completions = new WorkQueue(2, true);
        g_shared.resolver = new WorkQueue(1, false);
        g_shared.pid = pid;
        g_completions.store(g_shared.completions, std::memory_order_release);
    }
    return &g_shared.loops->next();
}

// A channel exists before any call, so its shared threads do too.
void run_completion(std::function<void()> fn) {
    g_completions.load(std::memory_order_acquire)->push(std::move(fn));
}

void resolve_later(EventLoop& loop, std::vector<Endpoint> endpoints,
                   std::function<void(std::vector<SocketAddress>, std::string)> done) {
    // Name resolution blocks: it runs on the resolver thread, never the loop.
    // The loop lives as long as the process.
    resolver().push([&loop, endpoints = std::move(endpoints), done = std::move(done)]() mutable {
        std::vector<SocketAddress> found;
        std::string error;
        for (const Endpoint& ep : endpoints) {
            std::vector<SocketAddress> some;  // resolve() replaces what it is given
            std::string why;
            if (resolve(ep.host, ep.port, false, &some, &why))
                found.insert(found.end(), some.begin(), some.end());
            else if (error.empty())
                error = why;
        }
        if (!found.empty()) error.clear();
        else if (error.empty()) error = "name resolution found no address";
        loop.post([done = std::move(done), found = std::move(found),
                   error = std::move(error)]() mutable { done(std::move(found), std::move(error)); });
    });
}

}  // namespace client

void set_completion_batch(CompletionBatch hooks) {
    client::g_batch_end.store(hooks.end, std::memory_order_release);
    client::g_batch_begin.store(hooks.begin, std::memory_order_release);
}


// ---- waking another loop -------------------------------------------------------------

namespace {

class SocketWakeup final : public Wakeup {
public:
    SocketWakeup(SocketHandle socket, std::function<void(void*)> orphan)
        : socket_(socket), orphan_(std::move(orphan)) {}

    void push(void* item) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!closed_) {
                items_.push_back(item);
                if (!signaled_) {
                    signaled_ = true;
                    bool would_block;  // a full buffer wakes the loop already
                    socket_send(socket_, "w", 1, &would_block);
                }
                return;
            }
        }
        if (orphan_) orphan_(item);
    }

    std::vector<void*> drain() override {
        std::lock_guard<std::mutex> lock(mu_);
        signaled_ = false;
        std::vector<void*> items;
        items.swap(items_);
        return items;
    }

    void close() override {
        std::lock_guard<std::mutex> lock(mu_);
        closed_ = true;
    }

private:
    std::mutex mu_;
    const SocketHandle socket_;
    const std::function<void(void*)> orphan_;
    std::vector<void*> items_;
    bool signaled_ = false;
    bool closed_ = false;
};

}  // namespace

std::shared_ptr<Wakeup> Wakeup::create(long long socket, std::function<void(void*)> orphan) {
    return std::make_shared<SocketWakeup>(static_cast<SocketHandle>(socket), std::move(orphan));
}

}  // namespace sorvane::native
