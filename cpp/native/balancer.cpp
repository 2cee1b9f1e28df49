// round_robin: one channel core (pick_first over a single address) per
// resolved address, every one connected, and each call handed to the next
// READY core in rotation. While none is READY a call waits on a core still
// trying (and moves to the first that becomes READY); when all have failed it
// fails at once unless it waits for ready. Each core reconnects on its own,
// with the channel's backoff; one that loses its connection takes no calls
// until it is READY again. A dns target is resolved on the resolver thread
// (one parked core holds the calls until the first answer) and again, at
// most once per grpc.dns_min_time_between_resolutions_ms, when a core loses
// its connection or fails: cores of addresses that went away are retired
// (their calls in flight finish), new ones are made.
//
// The pick reads an immutable set of cores through an atomic pointer: every
// set ever published stays alive until the channel goes (a picker may still
// hold an old one), which costs one small vector per change of addresses.
// No Python here.
//
// Contents: ChannelCore's part in a group (joining, adopting calls,
// retiring); RoundRobin (the pick, state changes, resolution); make_round_robin.
#include "channel.hpp"

#include <algorithm>

namespace sorvane::native::client {

// ---- ChannelCore in a group -------------------------------------------------------

void ChannelCore::join(std::weak_ptr<CoreGroup> group, bool parked) {
    group_ = std::move(group);
    grouped_ = true;
    parked_ = parked;
    if (parked) state_.store(1);  // resolving, as far as its callers can tell
}

void ChannelCore::adopt(std::shared_ptr<Call> call) {
    if (call->done()) return;
    if (shut_) call->finish(kCancelled, "Channel closed!");
    else dispatch(std::move(call), true, false);
}

std::deque<std::shared_ptr<Call>> ChannelCore::take_pending() {
    std::deque<std::shared_ptr<Call>> taken;
    taken.swap(pending_);
    return taken;
}

void ChannelCore::retire() {
    if (retired_ || shut_) return;
    retired_ = true;
    abandon_attempt(true);
    if (conn_) {
        // It finishes the calls it has, then closes (flush_soon, once drained).
        Subchannel* c = conn_.get();
        c->draining = true;
        draining_.push_back(std::move(conn_));
        c->flush_soon();
    }
    for (auto& call : take_pending())
        if (!call->done()) dispatch(std::move(call), false);
}

void ChannelCore::park_failed(const std::string& error) {
    if (!parked_ || shut_ || retired_) return;
    last_error_ = error;
    set_state(3);
    fail_pending();
}

// ---- RoundRobin -------------------------------------------------------------------

namespace {

class RoundRobin final : public Facade, public CoreGroup {
public:
    RoundRobin(EventLoop& loop, Target target, wire::Options options,
               std::shared_ptr<TlsContext> tls, std::shared_ptr<const RetryTable> retries)
        : Facade(std::move(options), std::move(retries)), loop_(loop), target_(std::move(target)),
          tls_(std::move(tls)),
          resolve_backoff_ms_(static_cast<double>(options_.initial_reconnect_backoff_ms)) {}
    ~RoundRobin() override { close(); }

    // After make_shared, before first use: the first set of cores.
    void init(std::vector<SocketAddress> numeric) {
        auto set = std::make_unique<CoreSet>();
        if (target_.numeric) {
            for (const SocketAddress& address : numeric) add_core(*set, address);
        } else {
            auto parked = std::make_shared<ChannelCore>(loop_, target_, options_, tls_);
            parked->join(group(), true);
            set->cores.push_back(std::move(parked));
            set->keys.emplace_back();
        }
        set_.store(set.get(), std::memory_order_release);
        sets_.push_back(std::move(set));
    }

    std::shared_ptr<ChannelCore> pick() override {
        if (!started_.load(std::memory_order_relaxed)) start();
        const CoreSet& set = *set_.load(std::memory_order_acquire);
        int i = choose(set, nullptr, kFailed);
        return set.cores[i < 0 ? 0 : static_cast<size_t>(i)];
    }

    bool closed() const override { return closed_.load(std::memory_order_acquire); }

    // READY if any core is, else CONNECTING if any is, else TRANSIENT_FAILURE
    // if all failed, else IDLE.
    int connectivity(bool try_to_connect) override {
        if (closed()) return 4;
        if (try_to_connect) start();
        if (!started_.load()) return 0;
        const CoreSet& set = *set_.load(std::memory_order_acquire);
        bool connecting = false, all_failed = true;
        for (const auto& core : set.cores) {
            int state = core->state();
            if (state == 2) return 2;
            connecting = connecting || state == 1;
            all_failed = all_failed && state == 3;
        }
        return connecting ? 1 : all_failed ? 3 : 0;
    }

    void close() override {
        closed_.store(true, std::memory_order_release);
        std::lock_guard<std::mutex> lock(sets_mu_);
        for (auto& set : sets_)
            for (auto& core : set->cores) core->close();
    }

    // Loop: a READY core takes the calls the others hold for want of a
    // connection; the calls of one that failed go to a core still trying;
    // one that lost its connection reconnects at once.
    void state_changed(ChannelCore& core, int state) override {
        if (closed()) return;
        const CoreSet& set = *set_.load(std::memory_order_acquire);
        if (state == 2) {
            for (const auto& other : set.cores) {
                if (other.get() == &core) continue;
                for (auto& call : other->take_pending()) core.adopt(std::move(call));
            }
        } else if (state == 3) {
            int i = choose(set, &core, kIdle);
            if (i >= 0)
                for (auto& call : core.take_pending())
                    set.cores[static_cast<size_t>(i)]->adopt(std::move(call));
            request_resolution();
        } else if (state == 0) {
            core.connectivity(true);
            request_resolution();
        }
    }

    // Loop: a core that cannot send a call now offers it: a READY core takes
    // it; for a failed core, one still trying; for a retired one, any.
    bool redirect(ChannelCore& core, std::shared_ptr<Call>& call) override {
        if (closed()) return false;
        const CoreSet& set = *set_.load(std::memory_order_acquire);
        int worst = core.retired() ? kFailed : core.state() == 3 ? kIdle : kReady;
        int i = choose(set, &core, worst);
        if (i < 0) return false;
        set.cores[static_cast<size_t>(i)]->adopt(std::move(call));
        return true;
    }

private:
    struct CoreSet {
        std::vector<std::shared_ptr<ChannelCore>> cores;
        std::vector<std::string> keys;  // the address of each ("" for the parked core)
    };
    // How much a core's state suits a call, best first.
    enum Rank { kReady, kConnecting, kIdle, kFailed, kNever };
    static Rank rank(int state) {
        static constexpr Rank kRanks[] = {kIdle, kConnecting, kReady, kFailed, kNever};
        return state >= 0 && state < 5 ? kRanks[state] : kNever;
    }

    std::weak_ptr<CoreGroup> group() {
        std::shared_ptr<Facade> self = shared_from_this();
        return std::shared_ptr<CoreGroup>(self, static_cast<CoreGroup*>(this));
    }

    std::shared_ptr<RoundRobin> self() {
        return std::static_pointer_cast<RoundRobin>(shared_from_this());
    }

    // A core of one address, with the whole target's authority and TLS name.
    std::shared_ptr<ChannelCore> add_core(CoreSet& set, const SocketAddress& address) {
        Target one = target_;
        one.numeric = true;
        auto core = std::make_shared<ChannelCore>(loop_, std::move(one), options_, tls_);
        core->seed_addresses({address});
        core->join(group(), false);
        set.cores.push_back(core);
        set.keys.push_back(address.text());
        return core;
    }

    // Any thread: the index of the next READY core in rotation (the
    // rotation counts READY cores only, so each gets an equal share);
    // without one, of the best ranked from there on, if no worse than
    // `worst`; -1 when none is.
    int choose(const CoreSet& set, const ChannelCore* except, int worst) {
        size_t n = set.cores.size();
        size_t turn = next_.fetch_add(1, std::memory_order_relaxed);
        size_t ready = 0;
        int best = -1;
        int best_rank = worst + 1;
        for (size_t k = 0; k < n; ++k) {
            size_t i = (turn + k) % n;
            const ChannelCore* core = set.cores[i].get();
            if (core == except) continue;
            int r = rank(core->state());
            if (r == kReady) {
                ++ready;
            } else if (r < best_rank) {
                best = static_cast<int>(i);
                best_rank = r;
            }
        }
        if (ready == 0) return best;
        // The (turn % ready)-th READY core; states may change meanwhile: then
        // the last READY one seen.
        size_t want = turn % ready;
        int last = -1;
        for (size_t i = 0; i < n; ++i) {
            const ChannelCore* core = set.cores[i].get();
            if (core == except || core->state() != 2) continue;
            last = static_cast<int>(i);
            if (want-- == 0) break;
        }
        return last >= 0 ? last : best;
    }

    // Any thread, once: every core connects; a dns target is resolved.
    void start() {
        if (started_.exchange(true)) return;
        auto self = this->self();
        loop_.post([self] {
            for (const auto& core : self->set_.load()->cores) core->connectivity(true);
            if (!self->target_.numeric) self->resolve_now();
        });
    }

    // ---- resolution (loop) ----

    void resolve_now() {
        if (resolving_ || closed()) return;
        resolving_ = true;
        last_resolution_ = Clock::now();
        std::weak_ptr<RoundRobin> weak = self();
        resolve_later(loop_, target_.endpoints,
                      [weak](std::vector<SocketAddress> found, std::string error) {
                          if (auto self = weak.lock()) self->on_resolved(std::move(found), error);
                      });
    }

    // Resolves again, at most once per dns_min_interval_ms.
    void request_resolution() {
        if (target_.numeric || resolving_ || resolve_timer_ || closed()) return;
        auto due = last_resolution_ + std::chrono::milliseconds(options_.dns_min_interval_ms);
        if (Clock::now() >= due) resolve_now();
        else resolve_at(due);
    }

    void resolve_at(Clock::time_point when) {
        std::weak_ptr<RoundRobin> weak = self();
        resolve_timer_ = loop_.add_timer(when, [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->resolve_timer_ = 0;
            self->resolve_now();
        });
    }

    void on_resolved(std::vector<SocketAddress> found, const std::string& error) {
        resolving_ = false;
        if (closed()) return;
        const CoreSet& current = *set_.load(std::memory_order_acquire);
        if (found.empty()) {
            // Tried again after the channel's reconnect backoff; meanwhile a
            // parked core fails the calls that do not wait for ready.
            if (resolve_timer_) loop_.cancel_timer(resolve_timer_);
            resolve_at(Clock::now() + std::chrono::milliseconds(
                                          static_cast<long long>(resolve_backoff_ms_)));
            resolve_backoff_ms_ = std::min(resolve_backoff_ms_ * 1.6,
                                           static_cast<double>(options_.max_reconnect_backoff_ms));
            std::string why = "DNS resolution failed for " + target_.authority + ": " + error;
            for (const auto& core : current.cores) core->park_failed(why);
            return;
        }
        resolve_backoff_ms_ = static_cast<double>(options_.initial_reconnect_backoff_ms);
        auto next = std::make_unique<CoreSet>();
        std::vector<std::shared_ptr<ChannelCore>> made;
        for (const SocketAddress& address : found) {
            std::string key = address.text();
            if (std::find(next->keys.begin(), next->keys.end(), key) != next->keys.end()) continue;
            auto kept = std::find(current.keys.begin(), current.keys.end(), key);
            if (kept != current.keys.end()) {
                next->cores.push_back(current.cores[static_cast<size_t>(kept - current.keys.begin())]);
                next->keys.push_back(std::move(key));
            } else {
                made.push_back(add_core(*next, address));
            }
        }
        if (next->keys == current.keys) return;
        const CoreSet* old = &current;
        set_.store(next.get(), std::memory_order_release);
        {
            std::lock_guard<std::mutex> lock(sets_mu_);
            sets_.push_back(std::move(next));
        }
        // close() may have run since the check above: it did not see these.
        if (closed())
            for (auto& core : made) core->close();
        for (auto& core : made) core->connectivity(true);
        const CoreSet& now = *set_.load();
        for (const auto& core : old->cores)
            if (std::find(now.cores.begin(), now.cores.end(), core) == now.cores.end())
                core->retire();
    }

    EventLoop& loop_;
    const Target target_;
    const std::shared_ptr<TlsContext> tls_;
    std::atomic<const CoreSet*> set_{nullptr};
    std::atomic<size_t> next_{0};
    std::atomic<bool> started_{false};
    std::atomic<bool> closed_{false};
    std::mutex sets_mu_;                          // sets_: published on the loop, closed anywhere
    std::vector<std::unique_ptr<CoreSet>> sets_;  // every set published
    // Loop.
    bool resolving_ = false;
    Clock::time_point last_resolution_;
    EventLoop::TimerId resolve_timer_ = 0;
    double resolve_backoff_ms_;
};

}  // namespace

std::shared_ptr<Facade> make_round_robin(EventLoop& loop, Target target,
                                         std::vector<SocketAddress> numeric,
                                         wire::Options options, std::shared_ptr<TlsContext> tls,
                                         std::shared_ptr<const RetryTable> retries) {
    auto channel = std::make_shared<RoundRobin>(loop, std::move(target), std::move(options),
                                                std::move(tls), std::move(retries));
    channel->init(std::move(numeric));
    return channel;
}

}  // namespace sorvane::native::client
