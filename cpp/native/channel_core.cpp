// ChannelCore: one channel's connectivity state machine (pick_first over the
// resolved addresses, reconnect backoff), the calls waiting for a
// connection, and what the core does when its connection is ready, goes away
// or closes. Runs on the channel's loop; posting a call is safe on any
// thread. The HTTP/2 connection and the calls on it are subchannel.cpp's
// (what the caller sees of a call, channel_call.cpp's); a core's part in a
// round_robin group is balancer.cpp's. No Python here.
//
// Contents: posting and dispatching calls; connecting and backoff;
// connection events; close.
#include "channel.hpp"

#include <algorithm>
#include <random>

namespace sorvane::native::client {

namespace {

constexpr auto kProbeInterval = std::chrono::seconds(1);  // see dispatch()
constexpr int kMaxTransparentRetries = 8;

double jitter() {
    static thread_local std::minstd_rand rng(std::random_device{}());
    return std::uniform_real_distribution<double>(-0.2, 0.2)(rng);
}

}  // namespace

ChannelCore::ChannelCore(EventLoop& loop_, Target target_, wire::Options options_,
                         std::shared_ptr<TlsContext> tls_)
    : loop(loop_), target(std::move(target_)), options(std::move(options_)), tls(std::move(tls_)),
      backoff_ms_(static_cast<double>(options.initial_reconnect_backoff_ms)) {
    scheme = tls ? "https" : "http";
    user_agent = options.primary_user_agent.empty() ? "" : options.primary_user_agent + " ";
    user_agent += "grpc-python-sorvane/0.1.0 (native)";
}

bool ChannelCore::closed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_;
}

int ChannelCore::connectivity(bool try_to_connect) {
    int state = state_.load(std::memory_order_acquire);
    if (try_to_connect && state == 0 && !parked_ && !closed()) {
        auto self = shared_from_this();
        loop.post([self] {
            if (!self->shut_ && !self->retired_ && self->state_.load() == 0 && !self->conn_)
                self->start_connecting();
        });
    }
    return state;
}

bool ChannelCore::post_call(const std::shared_ptr<Call>& call, std::string* error) {
    bool first;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (closed_) {
            *error = "Cannot invoke RPC on closed channel!";
            return false;
        }
        first = incoming_.empty();
        incoming_.push_back(call);
    }
    // One task takes every call queued meanwhile, and the connection writes
    // them in one go. The calls it finds hold this core.
    if (first)
        run_or_post_if(
            loop, [this] { return conn_ && conn_->ready && conn_->active() == 0; },
            [this] { take_incoming(); });
    return true;
}

void ChannelCore::take_incoming() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        taken_.swap(incoming_);
    }
    batching_ = true;
    for (auto& call : taken_) submit(std::move(call));
    batching_ = false;
    taken_.clear();
    if (conn_) conn_->flush();
}

void ChannelCore::set_state(int state) {
    int was = state_.load();
    // close() may store SHUTDOWN meanwhile, from any thread: it stays.
    while (was != 4 && !state_.compare_exchange_weak(was, state, std::memory_order_acq_rel)) {}
    if (grouped_ && was != state && was != 4 && !retired_)
        if (auto group = group_.lock()) group->state_changed(*this, state);
}

void ChannelCore::submit(std::shared_ptr<Call> call) {
    if (call->done()) return;
    if (shut_) {
        call->finish(kCancelled, "Channel closed!");
        return;
    }
    if (call->has_deadline) {
        if (call->deadline <= Clock::now()) {
            call->finish(kDeadlineExceeded, "Deadline Exceeded");
            return;
        }
        Call* raw = call.get();
        // The call outlives its timer: ending it (finish) cancels the timer,
        // and whatever drops a live call ends it first.
        call->timer = loop.add_timer(call->deadline, [this, raw] {
            raw->timer = 0;
            cancel_call(*raw, kDeadlineExceeded, "Deadline Exceeded");
        });
    }
    dispatch(std::move(call), false);
}

// Where a call goes: onto the ready connection; into the queue while
// connecting; failed at once in TRANSIENT_FAILURE unless it waits for ready.
// A call arriving in TRANSIENT_FAILURE more than kProbeInterval after the last
// attempt starts one at once (and waits for it) instead of waiting out the
// backoff: so a server that comes back is used within about a second,
// whatever the backoff has grown to, while the backoff still paces the
// attempts a channel makes on its own.
void ChannelCore::dispatch(std::shared_ptr<Call> call, bool in_callback, bool may_redirect) {
    if (conn_ && conn_->ready && !conn_->draining) {
        if (conn_->submit(call)) {
            if (in_callback) conn_->flush_soon();
            else if (!batching_) conn_->flush();
            return;
        }
        conn_->draining = true;  // stream ids exhausted: a new connection takes the rest
        on_goaway(*conn_);
    }
    if (grouped_) {
        auto group = group_.lock();
        if (may_redirect && group && group->redirect(*this, call)) return;
        if (retired_) {
            call->finish(kCancelled, "Channel closed!");
            return;
        }
        if (parked_) {
            if (state_.load() == 3 && call->wait_for_ready != 1)
                call->finish(kUnavailable, last_error_);
            else
                pending_.push_back(std::move(call));
            return;
        }
    }
    switch (state_.load()) {
        case 0:
            pending_.push_back(std::move(call));
            start_connecting();
            break;
        case 3:
            if (probe_now() || call->wait_for_ready == 1) {
                pending_.push_back(std::move(call));
            } else {
                call->finish(kUnavailable, last_error_);
            }
            break;
        default:
            pending_.push_back(std::move(call));
    }
}

bool ChannelCore::probe_now() {
    if (Clock::now() - last_attempt_ < kProbeInterval) return false;
    if (backoff_timer_) loop.cancel_timer(backoff_timer_);
    backoff_timer_ = 0;
    start_connecting();
    return true;
}

void ChannelCore::cancel_call(Call& call, int code, const char* details) {
    if (call.done()) return;
    call.finish(code, details);
    if (call.conn) call.conn->abort_stream(call);
}

void ChannelCore::call_ended(Call& call) {
    if (call.timer) loop.cancel_timer(call.timer);
    call.timer = 0;
}

void ChannelCore::retry(std::shared_ptr<Call> call, bool refused) {
    call->conn = nullptr;
    call->stream_id = 0;
    if (call->done()) return;
    if (shut_) {
        call->finish(kCancelled, "Channel closed!");
    } else if (++call->attempts > kMaxTransparentRetries) {
        call->finish(kUnavailable, "the server refused the stream too often");
    } else if (refused) {
        // A server at its stream limit may still count streams we already
        // see as closed: try again after a pause that grows (5 ms to 160 ms),
        // so a few refusals in a row do not use up the retries at once.
        auto delay = std::chrono::milliseconds(5 << std::min(call->attempts - 1, 5));
        loop.add_timer(Clock::now() + delay, [call] {
            ChannelCore& core = *call->core;
            if (call->finished) return;
            if (core.shut_) call->finish(kCancelled, "Channel closed!");
            else core.dispatch(call, false);
        });
    } else {
        dispatch(std::move(call), true);
    }
}

// ---- connecting ------------------------------------------------------------------

void ChannelCore::start_connecting() {
    set_state(1);
    last_attempt_ = Clock::now();
    uint64_t attempt = ++attempt_;
    // Each attempt may take as long as the current backoff, and at least the
    // minimum connect timeout.
    double ms = std::max(backoff_ms_, static_cast<double>(options.min_reconnect_backoff_ms));
    if (connect_timer_) loop.cancel_timer(connect_timer_);
    std::weak_ptr<ChannelCore> weak = weak_from_this();
    connect_timer_ = loop.add_timer(
        last_attempt_ + std::chrono::milliseconds(static_cast<long long>(ms)), [weak, attempt] {
            auto self = weak.lock();
            if (!self || self->attempt_ != attempt || self->shut_) return;
            self->connect_timer_ = 0;
            self->attempt_failed("Connect timeout");
        });
    if (target.numeric && !addresses_.empty()) {
        on_resolved(attempt, addresses_, std::string());
        return;
    }
    resolve_later(loop, target.endpoints,
                  [weak, attempt](std::vector<SocketAddress> found, std::string error) {
                      if (auto self = weak.lock())
                          self->on_resolved(attempt, std::move(found), std::move(error));
                  });
}

void ChannelCore::on_resolved(uint64_t attempt, std::vector<SocketAddress> addresses,
                              std::string error) {
    if (shut_ || attempt != attempt_) return;
    if (addresses.empty()) {
        attempt_failed("DNS resolution failed for " + target.authority + ": " + error);
        return;
    }
    addresses_ = std::move(addresses);
    next_address_ = 0;
    try_next_address();
}

// pick_first: the addresses in order; the first that connects and completes
// the HTTP/2 handshake wins.
void ChannelCore::try_next_address() {
    while (next_address_ < addresses_.size()) {
        const SocketAddress& address = addresses_[next_address_];
        bool in_progress = false;
        std::string error;
        SocketHandle s = connect_to(address, &in_progress, &error);
        if (s == kNoSocket) {
            last_error_ = address.text() + ": " + error;
            ++next_address_;
            continue;
        }
        if (!in_progress) {
            on_connected(s, address);
            return;
        }
        connecting_ = s;
        uint64_t attempt = attempt_;
        std::weak_ptr<ChannelCore> weak = weak_from_this();
        loop.watch(s, false, true, [weak, attempt, s](uint32_t) {
            auto self = weak.lock();
            if (!self) return;
            self->loop.unwatch(s);
            if (self->connecting_ != s || self->attempt_ != attempt) return;
            self->connecting_ = kNoSocket;
            int rc = connect_result(s);
            if (rc != 0) {
                socket_close(s);
                self->last_error_ = self->addresses_[self->next_address_].text() + ": " +
                                    std::generic_category().message(rc);
                ++self->next_address_;
                self->try_next_address();
                return;
            }
            // The connection watches the socket itself: made outside this handler.
            SocketAddress peer = self->addresses_[self->next_address_];
            self->loop.post([self, s, peer, attempt] {
                if (self->shut_ || self->attempt_ != attempt) {
                    socket_close(s);
                    return;
                }
                self->on_connected(s, peer);
            });
        });
        return;
    }
    attempt_failed(last_error_.empty() ? std::string("no address to connect to") : last_error_);
}

void ChannelCore::on_connected(SocketHandle socket, const SocketAddress& address) {
    std::unique_ptr<TlsSession> session;
    if (tls) {
        const std::string& name = options.ssl_target_name_override.empty()
                                      ? target.host
                                      : options.ssl_target_name_override;
        session = std::make_unique<TlsSession>(tls, name);
    }
    auto conn = std::make_unique<Subchannel>(*this, socket, std::move(session), address.text());
    if (!conn->start()) {
        // The connection owns the socket and closes it; it is not conn_ yet,
        // so a close inside start() is no event here.
        last_error_ = address.text() + ": could not start an HTTP/2 session";
        ++next_address_;
        drop(conn.release());
        try_next_address();
        return;
    }
    conn_ = std::move(conn);
}

// Whatever of the current attempt is still under way is stale from now on:
// its socket closed, its connect timer (and, with `backoff_too`, the wait
// before the next attempt) cancelled.
void ChannelCore::abandon_attempt(bool backoff_too) {
    ++attempt_;
    if (connecting_ != kNoSocket) {
        loop.unwatch(connecting_);
        socket_close(connecting_);
        connecting_ = kNoSocket;
    }
    for (EventLoop::TimerId* t : {&connect_timer_, &backoff_timer_}) {
        if (t == &backoff_timer_ && !backoff_too) continue;
        if (*t) loop.cancel_timer(*t);
        *t = 0;
    }
}

void ChannelCore::attempt_failed(const std::string& error) {
    if (shut_) return;
    abandon_attempt(false);
    if (conn_) {
        Subchannel* c = conn_.release();  // released first: its close is no event
        c->close("connect attempt abandoned");
        drop(c);
    }
    // Worded as gRPC words it for pick_first, and for round_robin's backends.
    last_error_ = std::string(grouped_ ? "connections to all backends failing"
                                       : "failed to connect to all addresses") +
                  "; last error: UNAVAILABLE: " + error;
    set_state(3);  // a group may take the waiting calls to a core still trying
    fail_pending();
    double delay = backoff_ms_ * (1 + jitter());
    backoff_ms_ = std::min(backoff_ms_ * 1.6, static_cast<double>(options.max_reconnect_backoff_ms));
    std::weak_ptr<ChannelCore> weak = weak_from_this();
    if (backoff_timer_) loop.cancel_timer(backoff_timer_);
    backoff_timer_ = loop.add_timer(
        Clock::now() + std::chrono::microseconds(static_cast<long long>(delay * 1000)), [weak] {
            auto self = weak.lock();
            if (!self || self->shut_) return;
            self->backoff_timer_ = 0;
            if (self->state_.load() == 3) self->start_connecting();
        });
}

// Calls waiting for a connection fail, unless they wait for ready.
void ChannelCore::fail_pending() {
    std::deque<std::shared_ptr<Call>> keep;
    for (auto& call : pending_) {
        if (call->done()) continue;
        if (call->wait_for_ready == 1) keep.push_back(std::move(call));
        else call->finish(kUnavailable, last_error_);
    }
    pending_.swap(keep);
}

// ---- connection events -----------------------------------------------------------

void ChannelCore::on_ready(Subchannel& conn) {
    if (&conn != conn_.get() || shut_) return;
    if (connect_timer_) loop.cancel_timer(connect_timer_);
    connect_timer_ = 0;
    backoff_ms_ = static_cast<double>(options.initial_reconnect_backoff_ms);
    set_state(2);
    std::deque<std::shared_ptr<Call>> queued;
    queued.swap(pending_);
    for (auto& call : queued) {
        if (call->done()) continue;
        if (!conn.draining && conn.submit(call)) continue;
        pending_.push_back(std::move(call));
    }
}

// The connection takes no new calls: it finishes its streams on its own
// while a new connection takes over (now, if calls wait; else on the next).
void ChannelCore::on_goaway(Subchannel& conn) {
    if (&conn != conn_.get()) return;
    draining_.push_back(std::move(conn_));
    if (shut_) return;
    set_state(0);
    if (!pending_.empty()) start_connecting();
}

void ChannelCore::on_connection_closed(Subchannel& conn, const char* why) {
    if (&conn == conn_.get()) {
        bool was_ready = conn.ready;
        drop(conn_.release());
        if (shut_) return;
        if (was_ready) {
            // A connection lost after READY goes IDLE and reconnects on the
            // next call at once: backoff is for attempts that fail in a row.
            set_state(0);
            if (!pending_.empty()) start_connecting();
        } else if (state_.load() == 1) {
            last_error_ = conn.peer() + ": " + why;
            ++next_address_;
            try_next_address();
        }
        return;
    }
    for (auto& d : draining_) {
        if (d.get() == &conn) {
            drop(d.release());
            draining_.erase(std::find(draining_.begin(), draining_.end(), nullptr));
            return;
        }
    }
}

// A closed connection is deleted once its close() has returned.
void ChannelCore::drop(Subchannel* conn) {
    auto self = shared_from_this();
    loop.post([self, conn] { delete conn; });
}

// ---- close ---------------------------------------------------------------------

void ChannelCore::close() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (closed_) return;
        closed_ = true;
    }
    state_.store(4);
    auto self = shared_from_this();
    loop.post([self] { self->shutdown_on_loop(); });
}

void ChannelCore::shutdown_on_loop() {
    shut_ = true;
    abandon_attempt(true);
    std::deque<std::shared_ptr<Call>> queued;
    queued.swap(pending_);
    for (auto& call : queued) call->finish(kCancelled, "Channel closed!");
    std::vector<Subchannel*> conns;
    if (conn_) conns.push_back(conn_.get());
    for (auto& d : draining_) conns.push_back(d.get());
    for (Subchannel* c : conns) c->shut_down("channel closed");
}

}  // namespace sorvane::native::client
