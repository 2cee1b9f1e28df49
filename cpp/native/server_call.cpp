// One gRPC call on a server connection, as a handler's thread sees it
// (InboundCall): its deadline, the reply handed to the loop, streamed
// messages queued for the loop with the handler parked while too many wait,
// the closed hook. These methods are safe on any thread and reach the
// connection's loop only through LoopGate. What the loop does with the
// request is server_request.cpp's, with the reply server_reply.cpp's.
// No Python, no sockets.
//
// Contents: LoopGate; ServerCall (construction, the handler's side).
#include "server_host.hpp"

#include <algorithm>
#include <chrono>

namespace sorvane::native::server {

// ---- LoopGate ----------------------------------------------------------------

bool LoopGate::post(EventLoop& loop, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!open_) return false;
    loop.post(std::move(fn));
    return true;
}

void LoopGate::close() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = false;
}

// ---- ServerCall: the handler's side --------------------------------------------

ServerCall::ServerCall(Host* host, Connection* conn, int32_t stream_id)
    : host_(host),
      gate_(host->gate()),
      loop_(&conn->loop()),
      peer_(conn->peer_text()),
      conn_(conn),
      stream_id_(stream_id),
      deframer_(host->options().max_receive_message < 0
                    ? size_t(0xffffffffu)
                    : static_cast<size_t>(host->options().max_receive_message)) {}

ServerCall::~ServerCall() = default;

void ServerCall::release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

double ServerCall::time_remaining(bool* has) const {
    *has = has_deadline_;
    if (!has_deadline_) return 0;
    return std::chrono::duration<double>(deadline_ - Clock::now()).count();
}

// Runs `Step` on the loop with a reference held, at once on this thread when
// the loop is idle (a reply then goes out without waking the loop); false
// (nothing runs) once the server's loops have stopped. The task captures a
// plain pointer so that std::function keeps it inline: posted work always
// runs (see LoopGate).
template <void (ServerCall::*Step)()>
static bool post_step(ServerCall* call, LoopGate& gate, EventLoop& loop,
                      bool* ran_here = nullptr) {
    call->retain();
    if (gate.run_or_post(
            loop,
            [call] {
                (call->*Step)();
                call->release();
            },
            ran_here, [call] { return call->alone_on_connection(); }))
        return true;
    call->release();
    return false;
}

void ServerCall::cancel() {
    if (closed_.load()) return;
    cancelled_.store(true, std::memory_order_release);
    post_step<&ServerCall::reset_cancel>(this, *gate_, *loop_);
}

void ServerCall::want_closed_hook() {
    want_hook_.store(true);
    // The loop may have closed the call just before: then it did not see the wish.
    if (closed_.load()) host_->queue_closed_hook(this);
}

void ServerCall::run_closed_hook(ServerHost::Hooks& hooks) {
    if (hook_claimed_.exchange(true)) return;
    hooks.closed(*this);
}

void ServerCall::closed_hook_done() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        hook_done_ = true;
    }
    cv_.notify_all();
}

bool ServerCall::alone_on_connection() const { return !conn_ || conn_->stream_count() <= 1; }

void ServerCall::await_next_request(std::chrono::microseconds wait) {
    std::shared_ptr<H2Connection::Alive> alive = std::move(read_alive_);
    if (alive) H2Connection::read_in_place(*loop_, alive, read_conn_, wait);
    read_conn_ = nullptr;
}

bool ServerCall::post_finish() {
    bool here = false;
    post_step<&ServerCall::loop_finish>(this, *gate_, *loop_, &here);
    return here && read_conn_;
}

void ServerCall::finish(Reply&& reply) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!handler_returned_) {  // its worker still reads reply_
            early_reply_ = std::move(reply);
            finished_early_ = true;
            return;
        }
    }
    reply_ = std::move(reply);
    reply_.deferred = false;
    post_finish();
}

void ServerCall::handler_returned() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        handler_returned_ = true;
        if (!finished_early_) return;
        finished_early_ = false;
    }
    reply_ = std::move(early_reply_);
    reply_.deferred = false;
    post_finish();
}

void ServerCall::release_held() {
    size_t n = held_.exchange(0);
    if (n) host_->unhold(n);
}

size_t ServerCall::drop_payload() {
    size_t size = std::exchange(released_, 0) + payload_.size();
    std::string().swap(payload_);
    return size;
}

// A streaming handler's messages queue up to this many bytes (beyond one
// message) before it is parked until the loop has written them out: small
// messages go out many to a wake-up of the loop, and a client that stops
// reading stops the handler (without holding its worker) instead of
// letting it buffer the stream.
constexpr size_t kSendQueueBytes = 512 << 10;

// A handler goes on while its queue is below its bound and the server's
// streamed messages, together, below theirs; past the latter, each stream
// keeps one message queued at most, so the total stays within the bound
// plus one message per stream.
bool ServerCall::room_to_queue() const {
    return queued_bytes_ < kSendQueueBytes && (queued_bytes_ == 0 || !host_->stream_budget_spent());
}

// Takes `n` bytes off the queue's count and the host's total. Under mu_.
void ServerCall::unqueue(size_t n) {
    n = std::min(n, queued_bytes_);
    queued_bytes_ -= n;
    host_->stream_queued(-static_cast<long long>(n));
}

InboundCall::Offer ServerCall::offer_message(std::string&& body) {
    std::unique_lock<std::mutex> lock(mu_);
    if (closed_.load() || cancelled_.load() || send_failed_) {
        wait_until_over(lock);
        return Offer::over;
    }
    const size_t size = body.size() + wire::kMessagePrefix;
    queued_bytes_ += size;
    host_->stream_queued(static_cast<long long>(size));
    queue_.push_back(std::move(body));
    if (!post_messages(lock)) {
        wait_until_over(lock);
        return Offer::over;
    }
    if (room_to_queue()) return Offer::queued;
    resume_wanted_ = true;  // message_written or the call's end resumes it
    return Offer::full;
}

// With the messages just queued: asks the loop to take them, unless it has
// been asked already. False (the queue dropped) when the loop is gone.
bool ServerCall::post_messages(std::unique_lock<std::mutex>& lock) {
    if (send_posted_) return true;  // the loop takes them with the others
    send_posted_ = true;
    lock.unlock();
    bool posted = post_step<&ServerCall::loop_send>(this, *gate_, *loop_);
    lock.lock();
    if (posted) return true;
    send_posted_ = false;
    send_failed_ = true;
    std::list<std::string>().swap(queue_);
    unqueue(queued_bytes_);
    return false;
}

// A send that failed means the call is over, but its close may still be on
// its way. The handler hears of it once the call is closed and its closed
// hook's work is over (the hook runs here if no worker ran it yet; its
// callbacks run on a callback thread): its iterator is then closed with the
// context inactive and its callbacks done. Bounded, in case no close comes.
void ServerCall::wait_until_over(std::unique_lock<std::mutex>& lock) {
    const auto bound = std::chrono::seconds(5);
    cv_.wait_for(lock, bound, [this] { return closed_.load(); });
    if (!closed_.load() || !want_hook_.load()) return;
    lock.unlock();
    run_closed_hook(host_->hooks());  // or a worker runs it: wait for that one
    lock.lock();
    cv_.wait_for(lock, bound, [this] { return hook_done_; });
}

// The messages queued and those to come will not go out; a parked handler
// goes on to hear it.
void ServerCall::fail_sends() {
    bool resume;
    {
        std::lock_guard<std::mutex> lock(mu_);
        send_failed_ = true;
        std::list<std::string>().swap(queue_);
        unqueue(queued_bytes_);
        resume = resume_wanted_;
        resume_wanted_ = false;
    }
    if (resume) host_->queue_resume(this);
}

// A streamed message of `size` bytes (with its prefix) is in DATA frames: a
// parked handler goes on once the queue is below its bound.
void ServerCall::message_written(size_t size) {
    bool resume;
    {
        std::lock_guard<std::mutex> lock(mu_);
        unqueue(size);
        resume = resume_wanted_ && room_to_queue();
        if (resume) resume_wanted_ = false;
    }
    if (resume) host_->queue_resume(this);
}


}  // namespace sorvane::native::server
