// Retries as a channel's service config asks for them (its retryPolicy): a
// call whose attempt ends with a retryable status before any of the response
// arrived goes out again, up to maxAttempts in all, after a randomised
// exponential backoff (or the server's grpc-retry-pushback-ms), within the
// call's deadline. Each attempt is a call of its own on the core the channel
// picks then, so under round_robin a retry goes to the next server. Calls
// without a policy never come here. Transparent retries (a stream the server
// never saw) stay inside an attempt and are not counted. No Python here.
//
// Contents: RetryTable (reading the policies); RetryingCall (the call the
// module holds: attempts, backoff, commit, waiting, reading a stream).
#include "channel.hpp"

#include <algorithm>
#include <cmath>
#include <locale>
#include <random>
#include <sstream>

namespace sorvane::native::client {

// ---- RetryTable -----------------------------------------------------------------

bool RetryTable::parse(const std::string& text, RetryTable* out, std::string* error) {
    std::istringstream lines(text);
    lines.imbue(std::locale::classic());
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        size_t tab = line.find('\t');
        if (tab == std::string::npos) return *error = "sorvane.retry_policies: " + line, false;
        std::istringstream fields(line.substr(tab + 1));
        fields.imbue(std::locale::classic());
        RetryPolicy p;
        std::string codes;
        if (!(fields >> p.max_attempts >> p.initial_ms >> p.max_ms >> p.multiplier >> codes) ||
            p.max_attempts < 2 || p.initial_ms <= 0 || p.max_ms <= 0 || !(p.multiplier > 0)) {
            *error = "sorvane.retry_policies: " + line;
            return false;
        }
        p.max_attempts = std::min(p.max_attempts, 5);
        std::istringstream each(codes);
        std::string code;
        while (std::getline(each, code, ',')) {
            int n = std::atoi(code.c_str());
            if (n > 0 && n < 32) p.codes |= 1u << n;
        }
        out->by_name_[line.substr(0, tab)] = p;
    }
    return true;
}

const RetryPolicy* RetryTable::find(const std::string& path) const {
    auto it = by_name_.find(path);
    if (it == by_name_.end()) {
        size_t slash = path.rfind('/');
        if (slash != std::string::npos) it = by_name_.find(path.substr(0, slash + 1));
    }
    if (it == by_name_.end()) it = by_name_.find(std::string());
    return it == by_name_.end() ? nullptr : &it->second;
}

// ---- RetryingCall ---------------------------------------------------------------

namespace {

double uniform(double upper) {
    static thread_local std::minstd_rand rng(std::random_device{}());
    return std::uniform_real_distribution<double>(0, upper)(rng);
}

// The attempt a caller sees is the committed one (its stream is read), or
// the last one; until one of them is known, readers wait. Fields marked
// "loop" are touched on the loop (or in its place) only.
class RetryingCall final : public ClientCall, public std::enable_shared_from_this<RetryingCall> {
public:
    RetryingCall(std::weak_ptr<Facade> channel, const RetryPolicy& policy, const Call& first)
        : channel_(std::move(channel)), policy_(policy), loop_(first.core->loop),
          streaming_(first.streaming), wait_for_ready_(first.wait_for_ready),
          has_deadline_(first.has_deadline), deadline_(first.deadline), path_(first.path),
          metadata_(first.send_metadata), body_(first.body), backoff_ms_(policy.initial_ms) {}
    ~RetryingCall() override {
        if (notify_) notify_();
    }

    // Takes the user's hook from the first attempt and posts it.
    bool launch(std::shared_ptr<Call> first, std::string* error) {
        on_done_ = std::move(first->on_done);
        done_inline_ = first->done_inline;
        attempts_ = 1;
        arm(*first);
        current_ = first;
        return first->core->post_call(first, error);
    }

    bool wait(double seconds) override {
        auto until = Clock::now() + to_duration(seconds);
        std::shared_ptr<Call> attempt;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (done_) return true;
            attempt = current_;
        }
        // The attempt's own wait reads its reply in place when it can.
        if (attempt) attempt->wait(seconds < 0 ? -1.0 : left(until));
        std::unique_lock<std::mutex> lock(mu_);
        return wait_until(seconds, until, lock, [this] { return done_; });
    }

    bool done() const override {
        std::lock_guard<std::mutex> lock(mu_);
        return done_;
    }

    void cancel() override {
        std::shared_ptr<Call> attempt;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (done_) return;
            cancelled_ = true;
            attempt = current_;
        }
        if (attempt && !attempt->done()) {
            attempt->cancel();  // its end finishes this call (cancelled_ is set)
            return;
        }
        // Between attempts: the backoff timer is the loop's.
        auto self = shared_from_this();
        run_or_post(loop_, [self] {
            if (self->timer_) self->loop_.cancel_timer(self->timer_);
            self->timer_ = 0;
            self->finish_here(kCancelled, "Locally cancelled by application!");
        });
    }

    CallResult& result() override {
        std::lock_guard<std::mutex> lock(mu_);
        return final_ ? final_->result() : result_;
    }

    int read(double seconds, std::string* message) override {
        auto until = Clock::now() + to_duration(seconds);
        std::shared_ptr<Call> attempt;
        {
            std::unique_lock<std::mutex> lock(mu_);
            if (!wait_until(seconds, until, lock, [this] { return final_ || done_; })) return -1;
            if (!final_) return 0;
            attempt = final_;
        }
        return attempt->read(seconds < 0 ? -1.0 : left(until), message);
    }

    // Before an attempt is the one read (its response began), or while none
    // runs, the wish waits here and goes to that attempt.
    void notify(std::function<void()> fn) override {
        std::shared_ptr<Call> attempt;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (final_)
                attempt = final_;
            else if (!done_)
                std::swap(fn, notify_);
        }
        if (attempt)
            attempt->notify(std::move(fn));
        else if (fn)
            fn();
    }

    bool wait_initial(double seconds) override {
        auto until = Clock::now() + to_duration(seconds);
        std::shared_ptr<Call> attempt;
        {
            std::unique_lock<std::mutex> lock(mu_);
            if (!wait_until(seconds, until, lock, [this] { return final_ || done_; })) return false;
            if (!final_) return true;
            attempt = final_;
        }
        return attempt->wait_initial(seconds < 0 ? -1.0 : left(until));
    }

private:
    static Clock::duration to_duration(double seconds) {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::min(std::max(seconds, 0.0), 1e7)));
    }
    static double left(Clock::time_point until) {
        return std::max(0.0, std::chrono::duration<double>(until - Clock::now()).count());
    }
    template <class Pred>
    bool wait_until(double seconds, Clock::time_point until, std::unique_lock<std::mutex>& lock,
                    Pred ready) {
        if (seconds < 0) {
            cv_.wait(lock, ready);
            return true;
        }
        return cv_.wait_until(lock, until, ready);
    }

    // Hooks the attempt's end (where it ends: the loop, or a thread in its
    // place) and, for a stream, its commit. The attempt holds this call
    // until it ends; the commit hook runs before that.
    void arm(Call& attempt) {
        auto self = shared_from_this();
        Call* raw = &attempt;
        attempt.done_inline = true;
        attempt.on_done = [self, raw] { self->attempt_done(*raw); };
        if (streaming_) attempt.on_commit = [this, raw] { committed(*raw); };
    }

    void committed(Call& attempt) {
        std::function<void()> reader;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (done_ || current_.get() != &attempt) return;
            final_ = current_;
            reader = std::move(notify_);
        }
        cv_.notify_all();
        if (reader) attempt.notify(std::move(reader));
    }

    // Loop (or in its place): an attempt ended; retry it or end the call.
    void attempt_done(Call& attempt) {
        const CallResult& r = attempt.result();
        std::unique_lock<std::mutex> lock(mu_);
        if (done_) return;
        bool retry = !cancelled_ && !attempt.committed() && attempts_ < policy_.max_attempts &&
                     r.code > 0 && r.code < 32 && (policy_.codes & (1u << r.code)) &&
                     attempt.pushback_ms != -2;
        if (!retry) {
            final_ = current_;
            finish_locked(lock);
            return;
        }
        // random(0, min(initial * multiplier^(n-1), max)); a pushback from the
        // server replaces it, and the backoff starts over after it.
        double delay_ms;
        if (attempt.pushback_ms >= 0) {
            delay_ms = static_cast<double>(attempt.pushback_ms);
            backoff_ms_ = policy_.initial_ms;
        } else {
            delay_ms = uniform(std::min(backoff_ms_, policy_.max_ms));
            backoff_ms_ = std::min(backoff_ms_ * policy_.multiplier, policy_.max_ms);
        }
        lock.unlock();
        auto when = Clock::now() + std::chrono::microseconds(static_cast<long long>(delay_ms * 1000));
        if (has_deadline_) when = std::min(when, deadline_);
        auto self = shared_from_this();
        auto arm_timer = [self, when] {
            self->timer_ = self->loop_.add_timer(when, [self] {
                self->timer_ = 0;
                self->next_attempt();
            });
        };
        if (loop_.in_loop()) arm_timer();
        else loop_.post(std::move(arm_timer));
    }

    // Loop: the backoff is over.
    void next_attempt() {
        if (has_deadline_ && Clock::now() >= deadline_)
            return finish_here(kDeadlineExceeded, "Deadline Exceeded");
        auto channel = channel_.lock();
        if (!channel || channel->closed()) return finish_here(kCancelled, "Channel closed!");
        auto attempt = std::make_shared<Call>(channel->pick(), streaming_);
        attempt->path = path_;
        attempt->send_metadata = metadata_;
        std::string previous;  // attempts so far, as gRPC tells the server
        attempt->body = body_;
        wire::write_prefix(body_.size(), attempt->prefix);
        attempt->wait_for_ready = wait_for_ready_;
        attempt->has_deadline = has_deadline_;
        attempt->deadline = deadline_;
        {
            std::unique_lock<std::mutex> lock(mu_);
            if (done_) return;
            if (cancelled_) return finish_own(lock, kCancelled, "Locally cancelled by application!");
            previous = std::to_string(attempts_++);
            arm(*attempt);
            current_ = attempt;
        }
        attempt->send_metadata.emplace_back("grpc-previous-rpc-attempts", std::move(previous));
        std::string why;
        if (!attempt->core->post_call(attempt, &why)) attempt->finish(kCancelled, "Channel closed!");
    }

    void finish_here(int code, const char* details) {
        std::unique_lock<std::mutex> lock(mu_);
        finish_own(lock, code, details);
    }

    // Ends the call with an outcome of its own (no attempt's).
    void finish_own(std::unique_lock<std::mutex>& lock, int code, const char* details) {
        if (done_) return;
        final_.reset();
        result_.code = code;
        result_.details = details;
        finish_locked(lock);
    }

    // Ends the call once; the user's hook runs where gRPC's would (see Call::finish).
    void finish_locked(std::unique_lock<std::mutex>& lock) {
        done_ = true;
        std::function<void()> hook = std::move(on_done_);
        std::function<void()> reader = std::move(notify_);
        lock.unlock();
        cv_.notify_all();
        if (reader) reader();
        if (!hook) return;
        if (done_inline_) hook();
        else run_completion(std::move(hook));
    }

    const std::weak_ptr<Facade> channel_;
    const RetryPolicy policy_;
    EventLoop& loop_;
    // What every attempt sends; set before the first, read-only after.
    const bool streaming_;
    const int wait_for_ready_;
    const bool has_deadline_;
    const Clock::time_point deadline_;
    const std::string path_;
    const Metadata metadata_;
    const Payload body_;
    std::function<void()> on_done_;
    std::function<void()> notify_;  // a reader's wish, until an attempt is read (notify)
    bool done_inline_ = false;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    // Under mu_.
    std::shared_ptr<Call> current_;  // the attempt under way, or the last one
    std::shared_ptr<Call> final_;    // the one the caller reads
    int attempts_ = 0;
    double backoff_ms_;
    bool cancelled_ = false;
    bool done_ = false;
    CallResult result_;              // an outcome of this call's own
    EventLoop::TimerId timer_ = 0;   // loop
};

}  // namespace

std::shared_ptr<ClientCall> start_retrying(const std::shared_ptr<Facade>& channel,
                                           const RetryPolicy& policy,
                                           std::shared_ptr<Call> first, std::string* error) {
    auto call = std::make_shared<RetryingCall>(channel, policy, *first);
    if (!call->launch(std::move(first), error)) return nullptr;
    return call;
}

}  // namespace sorvane::native::client
