// One attempt of a client call as the caller's threads see it (Call): waiting
// for its end (the thread that sent the request reads the reply itself when
// it comes soon), cancelling, reading a response stream with the window held
// back from a slow reader, and its outcome as the loop sets it (finish, the
// initial metadata, each message). The stream itself is subchannel.cpp's.
// No Python.
//
// Contents: Call (construction, waiting, cancel, read, finish, the response
// as delivered).
#include "channel.hpp"

#include <algorithm>

namespace sorvane::native::client {

namespace {

// How much of its stream's window a slow reader may leave unread before the
// window is held back (so the server stops sending).
constexpr size_t kReadAhead = 256 * 1024;
// How long the thread that sent a unary request waits on the socket for the
// reply itself before leaving it to the loop's thread.
constexpr auto kReadWait = std::chrono::microseconds(5000);

}  // namespace

// ---- Call ------------------------------------------------------------------------

Call::Call(std::shared_ptr<ChannelCore> core_, bool streaming_)
    : core(std::move(core_)), streaming(streaming_), deframer(receive_limit(core->options)) {}

Call::~Call() {
    if (notify_) notify_();
    // A loan never given back: its handle closes, and the loan ends by itself.
    if (loan_.handle != kNoSocket) socket_close(loan_.handle);
}

template <class Pred>
bool Call::wait_for(double seconds, std::unique_lock<std::mutex>& lock, Pred ready) {
    if (seconds < 0) {
        cv_.wait(lock, ready);
        return true;
    }
    return cv_.wait_for(lock, std::chrono::duration<double>(std::min(seconds, 1e7)), ready);
}

bool Call::wait(double seconds) {
    // The owner that sent the request itself reads the reply itself when it
    // comes soon, rather than being woken by the loop's thread.
    if (read_alive && owner == std::this_thread::get_id()) {
        std::shared_ptr<H2Connection::Alive> alive = std::move(read_alive);
        auto budget = std::chrono::duration<double>(seconds < 0 ? 1.0 : seconds);
        auto until = Clock::now() + std::min(std::chrono::duration_cast<Clock::duration>(budget),
                                             std::chrono::duration_cast<Clock::duration>(kReadWait));
        while (!done()) {
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
            if (left.count() <= 0 ||
                H2Connection::read_in_place(core->loop, alive, read_conn, left) <= 0)
                break;
        }
    }
    std::unique_lock<std::mutex> lock(mu_);
    return wait_for(seconds, lock, [this] { return done_; });
}

bool Call::lend() {
    if (!read_alive || owner != std::this_thread::get_id() || loan_.alive || done()) return false;
    std::shared_ptr<H2Connection::Alive> alive = std::move(read_alive);
    return H2Connection::lend(core->loop, alive, read_conn, kReadWait, &loan_);
}

long long Call::lent_handle() {
    if (owner != std::this_thread::get_id()) return -1;
    return H2Connection::share_lent(core->loop, &loan_);
}

bool Call::wait_lent(long long other, double seconds) {
    if (!loan_.alive || owner != std::this_thread::get_id() || seconds <= 0) return false;
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(std::min(seconds, 1.0)));
    {
        std::lock_guard<std::mutex> lock(mu_);
        claim_here_ = true;
    }
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
        if (left.count() <= 0 || wait_readable_either(loan_.socket, other, left) != 1 ||
            H2Connection::read_lent(core->loop, loan_) <= 0)
            break;
    }
    std::lock_guard<std::mutex> lock(mu_);
    claim_here_ = false;
    return claimed_;
}

bool Call::give_back(bool read) {
    if (!loan_.alive || owner != std::this_thread::get_id()) return false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        claim_here_ = true;
    }
    H2Connection::give_back(core->loop, &loan_, read);
    std::lock_guard<std::mutex> lock(mu_);
    claim_here_ = false;
    return claimed_;
}

bool Call::done() const {
    std::lock_guard<std::mutex> lock(mu_);
    return done_;
}

void Call::cancel() {
    if (done()) return;
    auto self = shared_from_this();
    run_or_post(core->loop, [self] {
        self->core->cancel_call(*self, kCancelled, "Locally cancelled by application!");
    });
}

int Call::read(double seconds, std::string* message) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!wait_for(seconds, lock, [this] { return !messages_.empty() || done_; })) return -1;
    if (messages_.empty()) return 0;
    *message = std::move(messages_.front());
    messages_.pop_front();
    queued_ -= message->size();
    bool give = owed_ && queued_ < kReadAhead;
    if (give) owed_ = false;
    lock.unlock();
    if (give) {
        auto self = shared_from_this();
        core->loop.post([self] {
            if (self->conn) self->conn->give_back(*self);
        });
    }
    return 1;
}

void Call::notify(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (messages_.empty() && !done_) std::swap(fn, notify_);
    }
    if (fn) fn();
}

bool Call::wait_initial(double seconds) {
    std::unique_lock<std::mutex> lock(mu_);
    return wait_for(seconds, lock, [this] { return initial_done_ || done_; });
}

void Call::finish(int code, std::string details, Metadata* trailing, std::string debug) {
    std::function<void()> hook, reader;
    bool inline_hook;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (done_) return;
        inline_hook = done_inline;
        result_.code = code;
        result_.details = std::move(details);
        result_.debug_error = std::move(debug);
        if (trailing) result_.trailing = std::move(*trailing);
        done_ = true;
        initial_done_ = true;
        hook = std::move(on_done);
        reader = std::move(notify_);
        if (claim_here_ && hook) {
            claimed_ = true;  // the reader that gives the socket back settles it
            hook = nullptr;
        }
    }
    finished = true;
    cv_.notify_all();
    if (reader) reader();
    core->call_ended(*this);
    if (hook && inline_hook)
        hook();
    else if (hook)
        run_completion(std::move(hook));
}

void Call::set_initial(Metadata&& initial) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (done_) return;
        result_.initial = std::move(initial);
        initial_done_ = true;
        committed_ = true;
    }
    if (on_commit) on_commit();
    if (streaming) cv_.notify_all();
}

bool Call::committed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return committed_;
}

void Call::deliver(std::string&& message) {
    std::function<void()> reader;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (done_) return;
        if (!streaming) {
            if (!result_.has_body) {
                result_.body = std::move(message);
                result_.has_body = true;
            }
            return;
        }
        queued_ += message.size();
        messages_.push_back(std::move(message));
        reader = std::move(notify_);
    }
    cv_.notify_all();
    if (reader) reader();
}

bool Call::hold_back() {
    std::lock_guard<std::mutex> lock(mu_);
    if (queued_ < kReadAhead || done_) return false;
    owed_ = true;
    return true;
}

}  // namespace sorvane::native::client
