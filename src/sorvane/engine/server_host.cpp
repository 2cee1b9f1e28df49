// The server host: a grpc_server with one completion queue, polled by
// max_workers + 1 threads, serving every method generically (the module decides
// what a method means). Each accepted call is one ServerCall, freed when its
// last outstanding operation and its handler are done. A streaming handler
// sends its messages one batch at a time, each awaited before the next (gRPC
// allows one send in flight per call). No Python here.
#include "transport.hpp"

#include <grpc/byte_buffer.h>
#include <grpc/byte_buffer_reader.h>
#include <grpc/grpc.h>
#include <grpc/grpc_security.h>
#include <grpc/support/alloc.h>
#include <grpc/support/time.h>

#include <chrono>
#include <deque>
#include <thread>

namespace sorvane::engine {

void ensure_grpc_init();
std::string slice_text(const grpc_slice& s);
grpc_slice slice_owning(std::string&& text);
void copy_metadata(const grpc_metadata_array& in, Metadata& out);
grpc_channel_args* make_channel_args(const std::vector<ChannelArg>& args,
                                     std::vector<grpc_arg>& storage);

namespace {

class Host;

enum class TagKind { accept, read, close, send, finish, shutdown };

struct Tag {
    TagKind kind;
    void* owner;
};

class ServerCall final : public InboundCall {
public:
    explicit ServerCall(Host* host) : host_(host) {
        grpc_call_details_init(&details_);
        grpc_metadata_array_init(&request_md_);
    }
    ~ServerCall() override {
        if (call_) grpc_call_unref(call_);
        if (recv_) grpc_byte_buffer_destroy(recv_);
        if (payload_set_) grpc_slice_unref(payload_);
        grpc_call_details_destroy(&details_);
        grpc_metadata_array_destroy(&request_md_);
        for (auto& m : send_trailing_) {
            grpc_slice_unref(m.key);
            grpc_slice_unref(m.value);
        }
        if (status_details_set_) grpc_slice_unref(status_details_);
        if (send_) grpc_byte_buffer_destroy(send_);
        if (stream_send_) grpc_byte_buffer_destroy(stream_send_);
    }

    // InboundCall
    const std::string& method() const override { return method_; }
    const Metadata& metadata() const override { return metadata_; }
    std::string_view payload() const override {
        if (!payload_set_) return {};
        return {reinterpret_cast<const char*>(GRPC_SLICE_START_PTR(payload_)),
                GRPC_SLICE_LENGTH(payload_)};
    }
    std::string peer() override {
        std::lock_guard<std::mutex> lock(mu_);
        if (!call_) return peer_;
        if (peer_.empty()) {
            char* p = grpc_call_get_peer(call_);
            if (p) {
                peer_ = p;
                gpr_free(p);
            }
        }
        return peer_;
    }
    double time_remaining(bool* has) const override {
        gpr_timespec deadline = gpr_convert_clock_type(details_.deadline, GPR_CLOCK_MONOTONIC);
        if (gpr_time_cmp(deadline, gpr_inf_future(GPR_CLOCK_MONOTONIC)) == 0) {
            *has = false;
            return 0;
        }
        *has = true;
        gpr_timespec left = gpr_time_sub(deadline, gpr_now(GPR_CLOCK_MONOTONIC));
        return static_cast<double>(left.tv_sec) + left.tv_nsec / 1e9;
    }
    bool cancelled() const override { return cancelled_flag_.load(std::memory_order_acquire); }
    bool finished() const override { return closed_.load(std::memory_order_acquire); }
    void cancel() override {
        std::lock_guard<std::mutex> lock(mu_);
        if (call_ && !closed_.load()) grpc_call_cancel(call_, nullptr);
    }
    void want_closed_hook() override { want_hook_.store(true, std::memory_order_release); }
    bool send_message(std::string&& body) override;
    bool call_is_over(std::unique_lock<std::mutex>& lock);
    void retain() override { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() override;

    Host* host_;
    grpc_call* call_ = nullptr;
    grpc_call_details details_;
    grpc_metadata_array request_md_;
    grpc_byte_buffer* recv_ = nullptr;
    grpc_slice payload_;
    bool payload_set_ = false;
    int cancelled_int_ = 0;
    std::string method_;
    Metadata metadata_;
    std::string peer_;
    std::atomic<int> refs_{1};  // the accept
    std::atomic<bool> cancelled_flag_{false};
    std::atomic<bool> closed_{false};
    std::atomic<bool> want_hook_{false};
    bool running_ = false;    // under mu_
    bool finishing_ = false;  // under mu_
    bool initial_sent_ = false;  // under mu_: a streamed message carried it
    bool sending_ = false;       // under mu_: a message batch is in flight
    bool send_ok_ = false;       // under mu_: how the last one completed
    bool close_seen_ = false;    // under mu_: on_close ran, callbacks included
    mutable std::mutex mu_;
    std::condition_variable send_cv_;

    Tag accept_tag{TagKind::accept, this};
    Tag read_tag{TagKind::read, this};
    Tag close_tag{TagKind::close, this};
    Tag send_tag{TagKind::send, this};
    Tag finish_tag{TagKind::finish, this};

    // The finishing batch's storage, alive until the batch completes.
    grpc_op ops_[3];
    std::vector<grpc_metadata> send_trailing_;
    grpc_slice status_details_;
    bool status_details_set_ = false;
    grpc_byte_buffer* send_ = nullptr;
    grpc_byte_buffer* stream_send_ = nullptr;  // the streamed message in flight
};

class Host final : public ServerHost, public std::enable_shared_from_this<Host> {
public:
    Host(int max_workers, int max_concurrent, std::unique_ptr<Hooks> hooks)
        : max_workers_(max_workers < 1 ? 1 : max_workers),
          max_concurrent_(max_concurrent),
          hooks_(std::move(hooks)) {}

    ~Host() override {
        if (server_) {
            // Never started, or start failed: shut down on this thread.
            grpc_server_shutdown_and_notify(server_, cq_, &shutdown_tag_);
            for (;;) {
                grpc_event ev = grpc_completion_queue_next(
                    cq_, gpr_inf_future(GPR_CLOCK_MONOTONIC), nullptr);
                if (ev.type != GRPC_OP_COMPLETE) break;
                if (ev.tag == &shutdown_tag_) break;
                on_event(static_cast<Tag*>(ev.tag), ev.success != 0);
            }
            grpc_server_destroy(server_);
            server_ = nullptr;
        }
        if (cq_) {
            if (!cq_shut_) grpc_completion_queue_shutdown(cq_);
            while (grpc_completion_queue_next(cq_, gpr_inf_future(GPR_CLOCK_MONOTONIC), nullptr)
                       .type != GRPC_QUEUE_SHUTDOWN) {
            }
            grpc_completion_queue_destroy(cq_);
        }
    }

    bool init(const std::vector<ChannelArg>& args, std::string* error) {
        ensure_grpc_init();
        std::vector<grpc_arg> storage;
        grpc_channel_args* cargs = make_channel_args(args, storage);
        server_ = grpc_server_create(cargs, nullptr);
        delete cargs;
        if (!server_) {
            *error = "gRPC refused the server options";
            return false;
        }
        cq_ = grpc_completion_queue_create_for_next(nullptr);
        grpc_server_register_completion_queue(server_, cq_, nullptr);
        return true;
    }

    int add_port(const std::string& address, const TlsConfig* tls) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (!server_ || started_) return 0;
        grpc_server_credentials* creds;
        if (tls && tls->enabled) {
            grpc_ssl_pem_key_cert_pair pair{tls->private_key.c_str(), tls->cert_chain.c_str()};
            creds = grpc_ssl_server_credentials_create_ex(
                tls->root_certs.empty() ? nullptr : tls->root_certs.c_str(), &pair, 1,
                tls->require_client_cert ? GRPC_SSL_REQUEST_AND_REQUIRE_CLIENT_CERTIFICATE_AND_VERIFY
                                         : GRPC_SSL_DONT_REQUEST_CLIENT_CERTIFICATE,
                nullptr);
        } else {
            creds = grpc_insecure_server_credentials_create();
        }
        if (!creds) return 0;
        int port = grpc_server_add_http2_port(server_, address.c_str(), creds);
        grpc_server_credentials_release(creds);
        return port;
    }

    bool start(std::string* error) override {
        std::unique_lock<std::mutex> lock(mu_);
        if (started_) return true;
        if (!server_ || stopping_) {
            *error = "the server has been stopped";
            return false;
        }
        grpc_server_start(server_);
        started_ = true;
        accepting_ = true;
        for (int i = 0; i < max_workers_ + 1; ++i) request_call_locked();
        lock.unlock();
        auto self = shared_from_this();
        for (int i = 0; i < max_workers_ + 1; ++i) std::thread([self] { self->poll(); }).detach();
        std::thread([self] { self->watch(); }).detach();
        return true;
    }

    bool started() const override {
        std::lock_guard<std::mutex> lock(mu_);
        return started_;
    }

    bool wait_idle(double seconds) override {
        std::unique_lock<std::mutex> lock(mu_);
        auto idle = [this] { return running_ == 0 && waiting_.empty(); };
        if (seconds < 0) {
            idle_cv_.wait(lock, idle);
            return true;
        }
        return idle_cv_.wait_for(
            lock, std::chrono::microseconds(static_cast<long long>(seconds * 1e6)), idle);
    }

    void shutdown(double grace) override {
        std::unique_lock<std::mutex> lock(mu_);
        if (!started_) {
            stopping_ = true;
            return;  // the destructor tears an unstarted server down
        }
        if (!stopping_) {
            stopping_ = true;
            accepting_ = false;
            grpc_server_shutdown_and_notify(server_, cq_, &shutdown_tag_);
        }
        if (grace > 0 && !shutdown_done_) {
            auto until = std::chrono::steady_clock::now() +
                         std::chrono::microseconds(static_cast<long long>(grace * 1e6));
            shutdown_cv_.wait_until(lock, until, [this] { return shutdown_done_; });
        }
        // Grace is over (or none was given): cancel what still runs. A later
        // call with less grace than an earlier one cuts the earlier short.
        if (!shutdown_done_ && server_) grpc_server_cancel_all_calls(server_);
        shutdown_cv_.wait(lock, [this] { return shutdown_done_; });
        if (server_) {
            grpc_server_destroy(server_);
            server_ = nullptr;
            grpc_completion_queue_shutdown(cq_);
            cq_shut_ = true;
        }
        // Wait until the queue is drained; threads still inside a handler
        // finish on their own and find no call left to answer.
        shutdown_cv_.wait(lock, [this] { return queue_drained_; });
    }

    // A host thread: follows until no thread leads, then leads (polls the
    // queue and runs the handlers of the calls it receives) until the watchdog
    // hands leadership to another thread because a handler runs long.
    void poll() {
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            follower_cv_.wait(lock, [this] { return !leader_ || queue_drained_; });
            if (queue_drained_) break;
            leader_ = true;
            t_token = ++leader_token_;
            lock.unlock();
            bool drained = lead();
            lock.lock();
            if (drained) {
                // No more events come; threads still inside a handler will
                // find no call left to finish.
                queue_drained_ = true;
                leader_ = false;
                follower_cv_.notify_all();
                shutdown_cv_.notify_all();
                watchdog_cv_.notify_all();
                break;
            }
        }
        lock.unlock();
        hooks_->thread_exit();
    }

    // Returns true once the queue is shut down, false when leadership passed.
    bool lead() {
        for (;;) {
            grpc_event ev =
                grpc_completion_queue_next(cq_, gpr_inf_future(GPR_CLOCK_MONOTONIC), nullptr);
            if (ev.type == GRPC_QUEUE_SHUTDOWN) return true;
            if (ev.type == GRPC_OP_COMPLETE) on_event(static_cast<Tag*>(ev.tag), ev.success != 0);
            std::lock_guard<std::mutex> lock(mu_);
            if (!leading_locked()) return false;
        }
    }

    bool leading_locked() const { return leader_ && leader_token_ == t_token; }

    // The calling handler thread is about to wait for a completion that this
    // queue delivers: if it leads, a follower must poll in its place. One
    // always can: at most max_workers of the max_workers + 1 threads run
    // handlers.
    void step_aside() {
        std::lock_guard<std::mutex> lock(mu_);
        if (!leading_locked()) return;
        leader_ = false;
        handler_active_ = false;
        follower_cv_.notify_one();
    }

    // The watchdog: while the leader runs a handler for more than about a
    // millisecond, it wakes a follower to lead. It ticks while calls come in
    // (so that starting a handler wakes nobody) and sleeps when idle.
    void watch() {
        using clock = std::chrono::steady_clock;
        const auto tick = std::chrono::milliseconds(1);
        std::unique_lock<std::mutex> lock(mu_);
        auto idle_since = clock::now();
        unsigned long long seen = 0;
        while (!queue_drained_) {
            auto now = clock::now();
            if (handler_active_) {
                if (handler_seq_ == seen && now - handler_since_ >= tick) {
                    leader_ = false;
                    handler_active_ = false;
                    follower_cv_.notify_one();
                }
                seen = handler_seq_;
                idle_since = now;
                watchdog_cv_.wait_for(lock, tick);
            } else if (now - idle_since < std::chrono::milliseconds(200)) {
                watchdog_cv_.wait_for(lock, tick);
            } else {
                watchdog_idle_ = true;
                watchdog_cv_.wait(lock);
                watchdog_idle_ = false;
                idle_since = clock::now();
            }
        }
    }

    void on_event(Tag* tag, bool ok) {
        if (tag == &shutdown_tag_) {
            std::lock_guard<std::mutex> lock(mu_);
            shutdown_done_ = true;
            shutdown_cv_.notify_all();
            return;
        }
        auto* call = static_cast<ServerCall*>(tag->owner);
        switch (tag->kind) {
            case TagKind::accept: on_accept(call, ok); break;
            case TagKind::read: on_read(call, ok); break;
            case TagKind::close: on_close(call); break;
            case TagKind::send: on_sent(call, ok); break;
            case TagKind::finish: call->release(); break;
            case TagKind::shutdown: break;
        }
    }

    void request_call_locked() {
        if (!accepting_) return;
        auto* call = new ServerCall(this);
        grpc_call_error rc = grpc_server_request_call(server_, &call->call_, &call->details_,
                                                      &call->request_md_, cq_, cq_,
                                                      &call->accept_tag);
        if (rc != GRPC_CALL_OK) delete call;
    }

    void on_accept(ServerCall* call, bool ok) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            request_call_locked();
        }
        if (!ok) {
            delete call;  // shutting down: the call never started
            return;
        }
        call->method_ = slice_text(call->details_.method);
        copy_metadata(call->request_md_, call->metadata_);
        call->refs_.fetch_add(1, std::memory_order_relaxed);  // the read; the accept's ref moves to close
        grpc_op close_op{};
        close_op.op = GRPC_OP_RECV_CLOSE_ON_SERVER;
        close_op.data.recv_close_on_server.cancelled = &call->cancelled_int_;
        grpc_op read_op{};
        read_op.op = GRPC_OP_RECV_MESSAGE;
        read_op.data.recv_message.recv_message = &call->recv_;
        if (grpc_call_start_batch(call->call_, &close_op, 1, &call->close_tag, nullptr) !=
            GRPC_CALL_OK) {
            call->release();
            call->release();
            return;
        }
        if (grpc_call_start_batch(call->call_, &read_op, 1, &call->read_tag, nullptr) !=
            GRPC_CALL_OK) {
            grpc_call_cancel(call->call_, nullptr);
            call->release();
        }
    }

    void on_read(ServerCall* call, bool ok) {
        if (!ok || !call->recv_) {
            // The client ended its side without the one request message.
            if (!call->cancelled()) {
                Reply reply;
                reply.code = kUnimplemented;
                reply.details = "\"" + call->method_ + "\" requires exactly one request message.";
                finish(call, reply);
            }
            call->release();
            return;
        }
        grpc_byte_buffer_reader reader;
        if (grpc_byte_buffer_reader_init(&reader, call->recv_)) {
            call->payload_ = grpc_byte_buffer_reader_readall(&reader);
            call->payload_set_ = true;
            grpc_byte_buffer_reader_destroy(&reader);
        }
        grpc_byte_buffer_destroy(call->recv_);
        call->recv_ = nullptr;

        if (max_concurrent_ > 0 && inflight_.fetch_add(1) >= max_concurrent_) {
            inflight_.fetch_sub(1);
            Reply reply;
            reply.code = kResourceExhausted;
            reply.details = "Concurrent RPC limit exceeded!";
            finish(call, reply);
            call->release();
            return;
        }
        {
            std::unique_lock<std::mutex> lock(mu_);
            if (running_ >= max_workers_) {
                waiting_.push_back(call);
                return;
            }
            ++running_;
            if (leading_locked()) {
                handler_active_ = true;
                ++handler_seq_;
                handler_since_ = std::chrono::steady_clock::now();
                if (watchdog_idle_) watchdog_cv_.notify_one();
            }
        }
        for (;;) {
            run(call);
            std::lock_guard<std::mutex> lock(mu_);
            if (waiting_.empty()) {
                --running_;
                if (leading_locked()) handler_active_ = false;
                if (running_ == 0) idle_cv_.notify_all();
                break;
            }
            call = waiting_.front();
            waiting_.pop_front();
        }
    }

    // Runs the handler of one call and starts its finishing batch; drops the
    // reference the read handed over.
    void run(ServerCall* call) {
        if (!call->cancelled() && !call->closed_.load()) {
            {
                std::lock_guard<std::mutex> lock(call->mu_);
                call->running_ = true;
            }
            Reply reply;
            hooks_->run(*call, reply);
            {
                std::lock_guard<std::mutex> lock(call->mu_);
                call->running_ = false;
            }
            finish(call, reply);
        }
        if (max_concurrent_ > 0) inflight_.fetch_sub(1);
        call->release();
    }

    void finish(ServerCall* call, Reply& reply) {
        std::lock_guard<std::mutex> lock(call->mu_);
        if (!call->call_ || call->closed_.load() || call->finishing_) return;
        call->finishing_ = true;
        size_t n = 0;
        grpc_op* ops = call->ops_;
        if (!call->initial_sent_) {
            ops[n] = grpc_op{};
            ops[n].op = GRPC_OP_SEND_INITIAL_METADATA;
            ++n;
        }
        if (reply.has_body && reply.code == kOk) {
            grpc_slice body = slice_owning(std::move(reply.body));
            call->send_ = grpc_raw_byte_buffer_create(&body, 1);
            grpc_slice_unref(body);
            ops[n] = grpc_op{};
            ops[n].op = GRPC_OP_SEND_MESSAGE;
            ops[n].data.send_message.send_message = call->send_;
            ++n;
        }
        for (auto& kv : reply.trailing) {
            grpc_metadata m{};
            m.key = slice_owning(std::move(kv.first));
            m.value = slice_owning(std::move(kv.second));
            call->send_trailing_.push_back(m);
        }
        call->status_details_ = slice_owning(std::move(reply.details));
        call->status_details_set_ = true;
        ops[n] = grpc_op{};
        ops[n].op = GRPC_OP_SEND_STATUS_FROM_SERVER;
        ops[n].data.send_status_from_server.trailing_metadata_count = call->send_trailing_.size();
        ops[n].data.send_status_from_server.trailing_metadata =
            call->send_trailing_.empty() ? nullptr : call->send_trailing_.data();
        ops[n].data.send_status_from_server.status = static_cast<grpc_status_code>(reply.code);
        ops[n].data.send_status_from_server.status_details = &call->status_details_;
        ++n;
        call->refs_.fetch_add(1, std::memory_order_relaxed);
        if (grpc_call_start_batch(call->call_, ops, n, &call->finish_tag, nullptr) != GRPC_CALL_OK) {
            // Invalid trailing metadata and the like: end the call without it.
            grpc_call_cancel_with_status(call->call_, GRPC_STATUS_INTERNAL,
                                         "the server could not send its reply", nullptr);
            call->refs_.fetch_sub(1, std::memory_order_relaxed);
        }
    }

    void on_sent(ServerCall* call, bool ok) {
        {
            std::lock_guard<std::mutex> lock(call->mu_);
            call->sending_ = false;
            call->send_ok_ = ok;
            grpc_byte_buffer_destroy(call->stream_send_);
            call->stream_send_ = nullptr;
        }
        call->send_cv_.notify_all();
        call->release();
    }

    void on_close(ServerCall* call) {
        bool cancelled = call->cancelled_int_ != 0;
        call->cancelled_flag_.store(cancelled, std::memory_order_release);
        call->closed_.store(true, std::memory_order_release);
        if (call->want_hook_.load(std::memory_order_acquire)) hooks_->closed(*call);
        {
            std::lock_guard<std::mutex> lock(call->mu_);
            // A handler still runs on a call that is over: let go of the core's
            // call now, so that a server shutdown need not wait for the handler.
            if (call->running_ && call->call_ && !call->finishing_) {
                call->peer_.clear();
                char* p = grpc_call_get_peer(call->call_);
                if (p) {
                    call->peer_ = p;
                    gpr_free(p);
                }
                grpc_call_unref(call->call_);
                call->call_ = nullptr;
            }
            call->close_seen_ = true;
        }
        call->send_cv_.notify_all();
        call->release();
    }

    grpc_server* server_ = nullptr;
    grpc_completion_queue* cq_ = nullptr;
    const int max_workers_;
    const int max_concurrent_;
    std::unique_ptr<Hooks> hooks_;
    mutable std::mutex mu_;
    std::condition_variable shutdown_cv_;
    bool started_ = false;
    bool stopping_ = false;
    bool accepting_ = false;
    bool shutdown_done_ = false;
    bool queue_drained_ = false;
    bool cq_shut_ = false;
    int running_ = 0;
    std::deque<ServerCall*> waiting_;
    // Leadership (under mu_): one thread polls at a time.
    std::condition_variable follower_cv_;
    std::condition_variable idle_cv_;
    std::condition_variable watchdog_cv_;
    bool leader_ = false;
    unsigned long long leader_token_ = 0;
    bool handler_active_ = false;  // the leader runs a handler
    unsigned long long handler_seq_ = 0;
    std::chrono::steady_clock::time_point handler_since_;
    bool watchdog_idle_ = false;
    static thread_local unsigned long long t_token;
    std::atomic<int> inflight_{0};
    Tag shutdown_tag_{TagKind::shutdown, nullptr};
};

thread_local unsigned long long Host::t_token = 0;

void ServerCall::release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

// A message that could not be sent means the call is over, but its close
// may still be on its way through the queue. The handler is told only once
// the close is in: the context is inactive and its callbacks have run before
// the handler closes its iterator. Bounded, in case the close never comes.
bool ServerCall::call_is_over(std::unique_lock<std::mutex>& lock) {
    send_cv_.wait_for(lock, std::chrono::seconds(5), [this] { return close_seen_; });
    return false;
}

bool ServerCall::send_message(std::string&& body) {
    {
        std::unique_lock<std::mutex> lock(mu_);
        // on_close lets go of call_ when the call ends while its handler runs.
        if (!call_ || closed_.load()) return call_is_over(lock);
        if (finishing_) return false;
        grpc_slice slice = slice_owning(std::move(body));
        stream_send_ = grpc_raw_byte_buffer_create(&slice, 1);
        grpc_slice_unref(slice);
        grpc_op ops[2] = {};
        size_t n = 0;
        if (!initial_sent_) ops[n++].op = GRPC_OP_SEND_INITIAL_METADATA;
        ops[n].op = GRPC_OP_SEND_MESSAGE;
        ops[n].data.send_message.send_message = stream_send_;
        ++n;
        refs_.fetch_add(1, std::memory_order_relaxed);  // the send
        if (grpc_call_start_batch(call_, ops, n, &send_tag, nullptr) != GRPC_CALL_OK) {
            refs_.fetch_sub(1, std::memory_order_relaxed);
            grpc_byte_buffer_destroy(stream_send_);
            stream_send_ = nullptr;
            return false;
        }
        initial_sent_ = true;
        sending_ = true;
    }
    // The completion comes through the queue; a cancelled or ended call
    // completes the batch too (as failed), so this wait always ends.
    host_->step_aside();
    std::unique_lock<std::mutex> lock(mu_);
    send_cv_.wait(lock, [this] { return !sending_; });
    return send_ok_ || call_is_over(lock);
}

}  // namespace

std::shared_ptr<ServerHost> ServerHost::create(const std::vector<ChannelArg>& args,
                                               int max_workers, int max_concurrent_rpcs,
                                               std::unique_ptr<Hooks> hooks, std::string* error) {
    auto host = std::make_shared<Host>(max_workers, max_concurrent_rpcs, std::move(hooks));
    if (!host->init(args, error)) return nullptr;
    return host;
}

}  // namespace sorvane::engine
