// The channel host: a grpc_channel and the calls on it, unary ones and ones
// with a stream of responses, completing on a process-wide callback completion
// queue (gRPC's own threads run the completion, which only stores the outcome
// and wakes the waiter). Also the small conversions shared with the server
// host. No Python here.
#include "transport.hpp"

#include <grpc/byte_buffer.h>
#include <grpc/byte_buffer_reader.h>
#include <grpc/grpc.h>
#include <grpc/grpc_security.h>
#include <grpc/support/alloc.h>
#include <grpc/support/time.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <unordered_set>

namespace sorvane::engine {

// gRPC's core starts on first use (not at import), so that a process may fork
// workers after importing the package but before serving.
void ensure_grpc_init() {
    static std::once_flag once;
    std::call_once(once, [] { grpc_init(); });
}

std::string slice_text(const grpc_slice& s) {
    return std::string(reinterpret_cast<const char*>(GRPC_SLICE_START_PTR(s)),
                       GRPC_SLICE_LENGTH(s));
}

// A slice that owns the text's buffer (no copy of large bodies).
grpc_slice slice_owning(std::string&& text) {
    if (text.size() <= 64) return grpc_slice_from_copied_buffer(text.data(), text.size());
    auto* owned = new std::string(std::move(text));
    return grpc_slice_new_with_user_data(
        const_cast<char*>(owned->data()), owned->size(),
        [](void* p) { delete static_cast<std::string*>(p); }, owned);
}

void copy_metadata(const grpc_metadata_array& in, Metadata& out) {
    out.reserve(in.count);
    for (size_t i = 0; i < in.count; ++i)
        out.emplace_back(slice_text(in.metadata[i].key), slice_text(in.metadata[i].value));
}

// Returns a heap grpc_channel_args pointing into `args` and `storage`.
grpc_channel_args* make_channel_args(const std::vector<ChannelArg>& args,
                                     std::vector<grpc_arg>& storage) {
    storage.clear();
    for (const ChannelArg& a : args) {
        grpc_arg g{};
        g.key = const_cast<char*>(a.key.c_str());
        if (a.is_int) {
            g.type = GRPC_ARG_INTEGER;
            long long v = a.int_value;
            if (v > INT32_MAX) v = INT32_MAX;
            if (v < INT32_MIN) v = INT32_MIN;
            g.value.integer = static_cast<int>(v);
        } else {
            g.type = GRPC_ARG_STRING;
            g.value.string = const_cast<char*>(a.str_value.c_str());
        }
        storage.push_back(g);
    }
    auto* out = new grpc_channel_args;
    out->num_args = storage.size();
    out->args = storage.empty() ? nullptr : storage.data();
    return out;
}

namespace {

gpr_timespec deadline_after(double seconds) {
    if (seconds < 0 || !std::isfinite(seconds)) return gpr_inf_future(GPR_CLOCK_MONOTONIC);
    if (seconds > 1e9) seconds = 1e9;
    return gpr_time_add(gpr_now(GPR_CLOCK_MONOTONIC),
                        gpr_time_from_nanos(static_cast<int64_t>(seconds * 1e9), GPR_TIMESPAN));
}

// The process-wide queue every client call completes on, polled by a few
// threads of its own. (A callback queue would rely on gRPC polling by itself,
// which its default poller does not do.) The threads live for the process.
grpc_completion_queue* callback_queue() {
    static grpc_completion_queue* cq = [] {
        ensure_grpc_init();
        grpc_completion_queue* q = grpc_completion_queue_create_for_next(nullptr);
        unsigned n = std::thread::hardware_concurrency();
        n = n < 2 ? 2 : (n > 4 ? 4 : n);
        for (unsigned i = 0; i < n; ++i) {
            std::thread([q] {
                for (;;) {
                    grpc_event ev =
                        grpc_completion_queue_next(q, gpr_inf_future(GPR_CLOCK_MONOTONIC), nullptr);
                    if (ev.type == GRPC_QUEUE_SHUTDOWN) return;
                    if (ev.type != GRPC_OP_COMPLETE) continue;
                    auto* f = static_cast<grpc_completion_queue_functor*>(ev.tag);
                    f->functor_run(f, ev.success);
                }
            }).detach();
        }
        return q;
    }();
    return cq;
}

class Channel;
class StreamCall;

class ClientCall final : public PendingCall {
public:
    struct Functor : grpc_completion_queue_functor {
        ClientCall* owner;
    };

    ClientCall() {
        functor_.functor_run = &ClientCall::on_complete;
        functor_.inlineable = 0;
        functor_.owner = this;
        grpc_metadata_array_init(&recv_initial_);
        grpc_metadata_array_init(&recv_trailing_);
        status_details_ = grpc_empty_slice();
    }
    ~ClientCall() override {
        if (call_) grpc_call_unref(call_);
        if (own_cq_) {
            grpc_completion_queue_shutdown(own_cq_);
            while (grpc_completion_queue_next(own_cq_, gpr_inf_future(GPR_CLOCK_MONOTONIC), nullptr)
                       .type != GRPC_QUEUE_SHUTDOWN) {
            }
            grpc_completion_queue_destroy(own_cq_);
        }
        for (auto& m : send_md_) {
            grpc_slice_unref(m.key);
            grpc_slice_unref(m.value);
        }
        if (send_) grpc_byte_buffer_destroy(send_);
        if (recv_) grpc_byte_buffer_destroy(recv_);
        grpc_metadata_array_destroy(&recv_initial_);
        grpc_metadata_array_destroy(&recv_trailing_);
        grpc_slice_unref(status_details_);
        if (error_string_) gpr_free(const_cast<char*>(error_string_));
    }

    bool wait(double seconds) override {
        if (own_cq_) {
            // A blocking call: the waiting thread polls the call's own queue,
            // so the reply wakes it directly (no hop through another thread).
            std::lock_guard<std::mutex> polling(poll_mu_);
            if (done()) return true;
            grpc_event ev = grpc_completion_queue_next(own_cq_, deadline_after(seconds), nullptr);
            if (ev.type == GRPC_OP_COMPLETE) {
                auto* f = static_cast<grpc_completion_queue_functor*>(ev.tag);
                f->functor_run(f, ev.success);
                return true;
            }
            return done();
        }
        std::unique_lock<std::mutex> lock(mu_);
        if (seconds < 0) {
            cv_.wait(lock, [this] { return done_; });
            return true;
        }
        return cv_.wait_for(lock, std::chrono::microseconds(static_cast<long long>(seconds * 1e6)),
                            [this] { return done_; });
    }
    bool done() const override {
        std::lock_guard<std::mutex> lock(mu_);
        return done_;
    }
    void cancel() override {
        std::lock_guard<std::mutex> lock(mu_);
        if (!done_ && call_) grpc_call_cancel(call_, nullptr);
    }
    CallResult& result() override { return result_; }

    static void on_complete(grpc_completion_queue_functor* f, int ok);

    Functor functor_;
    grpc_call* call_ = nullptr;
    grpc_completion_queue* own_cq_ = nullptr;  // blocking calls only
    std::mutex poll_mu_;
    std::vector<grpc_metadata> send_md_;
    grpc_byte_buffer* send_ = nullptr;
    grpc_byte_buffer* recv_ = nullptr;
    grpc_metadata_array recv_initial_;
    grpc_metadata_array recv_trailing_;
    grpc_status_code status_ = GRPC_STATUS_UNKNOWN;
    grpc_slice status_details_;
    const char* error_string_ = nullptr;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    CallResult result_;
    std::function<void()> on_done_;
    std::shared_ptr<ClientCall> keep_;  // until the completion has run
    std::shared_ptr<Channel> channel_;
};

// A call with one request and a stream of responses: a first batch sends the
// request and receives the initial metadata, a second receives the status, and
// a reader starts one message batch at a time. Completions run on the callback
// queue's threads, in any order; the call's own reference (keep_) lasts while
// any batch is outstanding.
class StreamCall final : public ResponseStream, public std::enable_shared_from_this<StreamCall> {
public:
    enum class Step { start, read, status };
    struct Functor : grpc_completion_queue_functor {
        StreamCall* owner;
        Step step;
    };

    StreamCall() {
        for (Functor* f : {&start_functor_, &read_functor_, &status_functor_}) {
            f->functor_run = &StreamCall::on_complete;
            f->inlineable = 0;
            f->owner = this;
        }
        start_functor_.step = Step::start;
        read_functor_.step = Step::read;
        status_functor_.step = Step::status;
        grpc_metadata_array_init(&recv_initial_);
        grpc_metadata_array_init(&recv_trailing_);
        status_details_ = grpc_empty_slice();
    }
    ~StreamCall() override {
        if (call_) grpc_call_unref(call_);
        for (auto& m : send_md_) {
            grpc_slice_unref(m.key);
            grpc_slice_unref(m.value);
        }
        if (send_) grpc_byte_buffer_destroy(send_);
        if (recv_) grpc_byte_buffer_destroy(recv_);
        grpc_metadata_array_destroy(&recv_initial_);
        grpc_metadata_array_destroy(&recv_trailing_);
        grpc_slice_unref(status_details_);
        if (error_string_) gpr_free(const_cast<char*>(error_string_));
    }

    int read(double seconds, std::string* message) override {
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::microseconds(static_cast<long long>(
                               (seconds < 0 ? 0 : seconds) * 1e6));
        // A second reader may take the message this one waited for: then the
        // next message is asked for again.
        auto ready = [this] { return has_message_ || (ended_ && done_) || (!ended_ && !reading_); };
        std::unique_lock<std::mutex> lock(mu_);
        for (;;) {
            if (has_message_) {
                *message = std::move(message_);
                message_.clear();
                has_message_ = false;
                return 1;
            }
            if (ended_ && done_) return 0;
            if (!ended_ && !reading_) start_read_locked();
            if (seconds < 0) cv_.wait(lock, ready);
            else if (!cv_.wait_until(lock, until, ready)) return -1;
        }
    }

    bool wait_initial(double seconds) override {
        return wait_until_locked(seconds, [this] { return initial_done_ || done_; });
    }
    bool wait(double seconds) override {
        return wait_until_locked(seconds, [this] { return done_; });
    }
    bool done() const override {
        std::lock_guard<std::mutex> lock(mu_);
        return done_;
    }
    void cancel() override {
        std::lock_guard<std::mutex> lock(mu_);
        if (!done_ && call_) grpc_call_cancel(call_, nullptr);
    }
    CallResult& result() override { return result_; }

    template <class Pred>
    bool wait_until_locked(double seconds, Pred ready) {
        std::unique_lock<std::mutex> lock(mu_);
        if (seconds < 0) {
            cv_.wait(lock, ready);
            return true;
        }
        return cv_.wait_for(lock, std::chrono::microseconds(static_cast<long long>(seconds * 1e6)),
                            ready);
    }

    // Starts a batch under mu_; its completion cannot run before mu_ is let go.
    bool start_batch_locked(const grpc_op* ops, size_t n, Functor* functor) {
        if (grpc_call_start_batch(call_, ops, n, functor, nullptr) != GRPC_CALL_OK) return false;
        if (outstanding_++ == 0) keep_ = shared_from_this();
        return true;
    }

    void start_read_locked() {
        grpc_op op{};
        op.op = GRPC_OP_RECV_MESSAGE;
        op.data.recv_message.recv_message = &recv_;
        if (start_batch_locked(&op, 1, &read_functor_)) reading_ = true;
        else ended_ = true;
    }

    static void on_complete(grpc_completion_queue_functor* f, int ok);

    Functor start_functor_;
    Functor read_functor_;
    Functor status_functor_;
    grpc_call* call_ = nullptr;
    std::vector<grpc_metadata> send_md_;
    grpc_byte_buffer* send_ = nullptr;
    grpc_byte_buffer* recv_ = nullptr;
    grpc_metadata_array recv_initial_;
    grpc_metadata_array recv_trailing_;
    grpc_status_code status_ = GRPC_STATUS_UNKNOWN;
    grpc_slice status_details_;
    const char* error_string_ = nullptr;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    // Under mu_.
    bool reading_ = false;       // a message batch is outstanding
    bool ended_ = false;         // no more messages come
    bool has_message_ = false;
    std::string message_;
    bool initial_done_ = false;
    bool status_seen_ = false;
    bool done_ = false;          // status and initial metadata both in result_
    int outstanding_ = 0;
    CallResult result_;
    std::function<void()> on_done_;
    std::shared_ptr<StreamCall> keep_;
    std::shared_ptr<Channel> channel_;
};

class Channel final : public ChannelHost, public std::enable_shared_from_this<Channel> {
public:
    ~Channel() override {
        if (channel_) grpc_channel_destroy(channel_);
    }

    bool init(const std::string& target, const std::vector<ChannelArg>& args,
              const TlsConfig* tls, std::string* error) {
        ensure_grpc_init();
        std::vector<grpc_arg> storage;
        grpc_channel_args* cargs = make_channel_args(args, storage);
        grpc_channel_credentials* creds;
        if (tls && tls->enabled) {
            grpc_ssl_pem_key_cert_pair pair{tls->private_key.c_str(), tls->cert_chain.c_str()};
            bool own = !tls->private_key.empty() && !tls->cert_chain.empty();
            creds = grpc_ssl_credentials_create(
                tls->root_certs.empty() ? nullptr : tls->root_certs.c_str(), own ? &pair : nullptr,
                nullptr, nullptr);
        } else {
            creds = grpc_insecure_credentials_create();
        }
        channel_ = creds ? grpc_channel_create(target.c_str(), creds, cargs) : nullptr;
        if (creds) grpc_channel_credentials_release(creds);
        delete cargs;
        if (!channel_) {
            *error = "gRPC could not create a channel to " + target;
            return false;
        }
        return true;
    }

    std::shared_ptr<PendingCall> start(const std::string& method, std::string&& body,
                                       double timeout, const Metadata& metadata,
                                       int wait_for_ready, std::function<void()> on_done,
                                       std::string* error) override {
        auto call = std::make_shared<ClientCall>();
        grpc_slice body_slice = slice_owning(std::move(body));
        call->send_ = grpc_raw_byte_buffer_create(&body_slice, 1);
        grpc_slice_unref(body_slice);
        for (const auto& kv : metadata) {
            grpc_metadata m{};
            m.key = grpc_slice_from_copied_buffer(kv.first.data(), kv.first.size());
            m.value = grpc_slice_from_copied_buffer(kv.second.data(), kv.second.size());
            call->send_md_.push_back(m);
        }
        call->on_done_ = std::move(on_done);
        // A blocking call polls a queue of its own; only calls with a completion
        // (futures) use the shared queue and its threads, made on first use.
        grpc_completion_queue* cq = call->on_done_
                                        ? callback_queue()
                                        : (call->own_cq_ = grpc_completion_queue_create_for_next(nullptr));

        std::lock_guard<std::mutex> lock(mu_);
        if (!channel_) {
            *error = "Cannot invoke RPC on closed channel!";
            return nullptr;
        }
        grpc_slice method_slice = grpc_slice_from_copied_buffer(method.data(), method.size());
        call->call_ = grpc_channel_create_call(channel_, nullptr, GRPC_PROPAGATE_DEFAULTS,
                                               cq, method_slice, nullptr,
                                               deadline_after(timeout), nullptr);
        grpc_slice_unref(method_slice);
        if (!call->call_) {
            *error = "gRPC could not create the call";
            return nullptr;
        }
        grpc_op ops[6] = {};
        ops[0].op = GRPC_OP_SEND_INITIAL_METADATA;
        ops[0].data.send_initial_metadata.count = call->send_md_.size();
        ops[0].data.send_initial_metadata.metadata =
            call->send_md_.empty() ? nullptr : call->send_md_.data();
        if (wait_for_ready >= 0) {
            ops[0].flags = GRPC_INITIAL_METADATA_WAIT_FOR_READY_EXPLICITLY_SET |
                           (wait_for_ready ? GRPC_INITIAL_METADATA_WAIT_FOR_READY : 0);
        }
        ops[1].op = GRPC_OP_SEND_MESSAGE;
        ops[1].data.send_message.send_message = call->send_;
        ops[2].op = GRPC_OP_SEND_CLOSE_FROM_CLIENT;
        ops[3].op = GRPC_OP_RECV_INITIAL_METADATA;
        ops[3].data.recv_initial_metadata.recv_initial_metadata = &call->recv_initial_;
        ops[4].op = GRPC_OP_RECV_MESSAGE;
        ops[4].data.recv_message.recv_message = &call->recv_;
        ops[5].op = GRPC_OP_RECV_STATUS_ON_CLIENT;
        ops[5].data.recv_status_on_client.trailing_metadata = &call->recv_trailing_;
        ops[5].data.recv_status_on_client.status = &call->status_;
        ops[5].data.recv_status_on_client.status_details = &call->status_details_;
        ops[5].data.recv_status_on_client.error_string = &call->error_string_;
        call->keep_ = call;
        call->channel_ = shared_from_this();
        grpc_call_error rc = grpc_call_start_batch(call->call_, ops, 6, &call->functor_, nullptr);
        if (rc != GRPC_CALL_OK) {
            call->keep_.reset();
            call->channel_.reset();
            *error = rc == GRPC_CALL_ERROR_INVALID_METADATA ? "metadata was invalid"
                                                            : "gRPC could not start the call";
            return nullptr;
        }
        active_.insert(call.get());
        return call;
    }

    std::shared_ptr<ResponseStream> stream(const std::string& method, std::string&& body,
                                           double timeout, const Metadata& metadata,
                                           int wait_for_ready, std::function<void()> on_done,
                                           std::string* error) override {
        auto call = std::make_shared<StreamCall>();
        grpc_slice body_slice = slice_owning(std::move(body));
        call->send_ = grpc_raw_byte_buffer_create(&body_slice, 1);
        grpc_slice_unref(body_slice);
        for (const auto& kv : metadata) {
            grpc_metadata m{};
            m.key = grpc_slice_from_copied_buffer(kv.first.data(), kv.first.size());
            m.value = grpc_slice_from_copied_buffer(kv.second.data(), kv.second.size());
            call->send_md_.push_back(m);
        }

        std::lock_guard<std::mutex> lock(mu_);
        if (!channel_) {
            *error = "Cannot invoke RPC on closed channel!";
            return nullptr;
        }
        grpc_slice method_slice = grpc_slice_from_copied_buffer(method.data(), method.size());
        call->call_ = grpc_channel_create_call(channel_, nullptr, GRPC_PROPAGATE_DEFAULTS,
                                               callback_queue(), method_slice, nullptr,
                                               deadline_after(timeout), nullptr);
        grpc_slice_unref(method_slice);
        if (!call->call_) {
            *error = "gRPC could not create the call";
            return nullptr;
        }
        std::lock_guard<std::mutex> call_lock(call->mu_);
        grpc_op ops[4] = {};
        ops[0].op = GRPC_OP_SEND_INITIAL_METADATA;
        ops[0].data.send_initial_metadata.count = call->send_md_.size();
        ops[0].data.send_initial_metadata.metadata =
            call->send_md_.empty() ? nullptr : call->send_md_.data();
        if (wait_for_ready >= 0) {
            ops[0].flags = GRPC_INITIAL_METADATA_WAIT_FOR_READY_EXPLICITLY_SET |
                           (wait_for_ready ? GRPC_INITIAL_METADATA_WAIT_FOR_READY : 0);
        }
        ops[1].op = GRPC_OP_SEND_MESSAGE;
        ops[1].data.send_message.send_message = call->send_;
        ops[2].op = GRPC_OP_SEND_CLOSE_FROM_CLIENT;
        ops[3].op = GRPC_OP_RECV_INITIAL_METADATA;
        ops[3].data.recv_initial_metadata.recv_initial_metadata = &call->recv_initial_;
        grpc_op status_op{};
        status_op.op = GRPC_OP_RECV_STATUS_ON_CLIENT;
        status_op.data.recv_status_on_client.trailing_metadata = &call->recv_trailing_;
        status_op.data.recv_status_on_client.status = &call->status_;
        status_op.data.recv_status_on_client.status_details = &call->status_details_;
        status_op.data.recv_status_on_client.error_string = &call->error_string_;
        if (!call->start_batch_locked(ops, 4, &call->start_functor_)) {
            *error = "metadata was invalid";
            return nullptr;
        }
        if (!call->start_batch_locked(&status_op, 1, &call->status_functor_)) {
            // The first batch is out: the call lives on (keep_) until it completes.
            grpc_call_cancel(call->call_, nullptr);
            *error = "gRPC could not start the call";
            return nullptr;
        }
        call->on_done_ = std::move(on_done);
        call->channel_ = shared_from_this();
        streams_.insert(call.get());
        return call;
    }

    int connectivity(bool try_to_connect) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (!channel_) return GRPC_CHANNEL_SHUTDOWN;
        return grpc_channel_check_connectivity_state(channel_, try_to_connect ? 1 : 0);
    }

    void close() override {
        std::lock_guard<std::mutex> lock(mu_);
        if (!channel_) return;
        for (ClientCall* c : active_) c->cancel();
        for (StreamCall* c : streams_) c->cancel();
        grpc_channel_destroy(channel_);
        channel_ = nullptr;
    }

    void forget(ClientCall* call) {
        std::lock_guard<std::mutex> lock(mu_);
        active_.erase(call);
    }
    void forget(StreamCall* call) {
        std::lock_guard<std::mutex> lock(mu_);
        streams_.erase(call);
    }

    std::mutex mu_;
    grpc_channel* channel_ = nullptr;
    std::unordered_set<ClientCall*> active_;
    std::unordered_set<StreamCall*> streams_;
};

void ClientCall::on_complete(grpc_completion_queue_functor* f, int /*ok*/) {
    ClientCall* self = static_cast<Functor*>(f)->owner;
    CallResult& r = self->result_;
    r.code = self->status_;
    r.details = slice_text(self->status_details_);
    if (self->error_string_) r.debug_error = self->error_string_;
    if (self->recv_) {
        grpc_byte_buffer_reader reader;
        if (grpc_byte_buffer_reader_init(&reader, self->recv_)) {
            grpc_slice all = grpc_byte_buffer_reader_readall(&reader);
            r.body = slice_text(all);
            r.has_body = true;
            grpc_slice_unref(all);
            grpc_byte_buffer_reader_destroy(&reader);
        }
    }
    copy_metadata(self->recv_initial_, r.initial);
    copy_metadata(self->recv_trailing_, r.trailing);
    std::shared_ptr<ClientCall> keep = std::move(self->keep_);
    std::shared_ptr<Channel> channel = std::move(self->channel_);
    channel->forget(self);
    std::function<void()> on_done;
    {
        std::lock_guard<std::mutex> lock(self->mu_);
        self->done_ = true;
        on_done = std::move(self->on_done_);
    }
    self->cv_.notify_all();
    if (on_done) on_done();
}

void StreamCall::on_complete(grpc_completion_queue_functor* f, int /*ok*/) {
    auto* functor = static_cast<Functor*>(f);
    StreamCall* self = functor->owner;
    std::shared_ptr<StreamCall> keep;  // declared first: the last to go
    std::shared_ptr<Channel> channel;
    std::function<void()> on_done;
    {
        std::lock_guard<std::mutex> lock(self->mu_);
        switch (functor->step) {
            case Step::start:
                copy_metadata(self->recv_initial_, self->result_.initial);
                self->initial_done_ = true;
                break;
            case Step::read:
                // No message: the stream ended (or failed); the status says how.
                self->reading_ = false;
                if (self->recv_) {
                    grpc_byte_buffer_reader reader;
                    if (grpc_byte_buffer_reader_init(&reader, self->recv_)) {
                        grpc_slice all = grpc_byte_buffer_reader_readall(&reader);
                        self->message_ = slice_text(all);
                        self->has_message_ = true;
                        grpc_slice_unref(all);
                        grpc_byte_buffer_reader_destroy(&reader);
                    } else {
                        self->ended_ = true;
                    }
                    grpc_byte_buffer_destroy(self->recv_);
                    self->recv_ = nullptr;
                } else {
                    self->ended_ = true;
                }
                break;
            case Step::status: {
                CallResult& r = self->result_;
                r.code = self->status_;
                r.details = slice_text(self->status_details_);
                if (self->error_string_) r.debug_error = self->error_string_;
                copy_metadata(self->recv_trailing_, r.trailing);
                self->status_seen_ = true;
                break;
            }
        }
        // Done once both the status and the initial metadata are in: the
        // two batches may complete in either order.
        if (self->status_seen_ && self->initial_done_ && !self->done_) {
            self->done_ = true;
            on_done = std::move(self->on_done_);
            channel = std::move(self->channel_);
        }
        if (--self->outstanding_ == 0) keep = std::move(self->keep_);
    }
    self->cv_.notify_all();
    if (channel) channel->forget(self);
    if (on_done) on_done();
}

}  // namespace

std::shared_ptr<ChannelHost> ChannelHost::create(const std::string& target,
                                                 const std::vector<ChannelArg>& args,
                                                 const TlsConfig* tls, std::string* error) {
    auto channel = std::make_shared<Channel>();
    if (!channel->init(target, args, tls, error)) return nullptr;
    return channel;
}

}  // namespace sorvane::engine
