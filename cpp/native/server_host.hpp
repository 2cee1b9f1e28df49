// The server host's parts, shared by its sources: the host itself
// (server_host.cpp: ports, acceptors, shutdown; server_workers.cpp: the
// worker threads), one call
// (server_call.cpp: the handler's side; server_request.cpp: gRPC's request
// rules; server_reply.cpp: the reply and the call's end) and one HTTP/2
// connection (server_connection.cpp: the nghttp2 session's callbacks and the
// connection's policies). Private to the engine; module.cpp sees only
// transport.hpp.
//
// Who touches what: a Connection and the stream half of a ServerCall live on
// their loop's thread; workers run handlers and closed hooks and reach the
// loop only through LoopGate::post. A call's shared half (flags, the send
// hand-over) is atomics and the call's own mutex.
#pragma once

#include "h2.hpp"
#include "loop.hpp"
#include "tls.hpp"
#include "transport.hpp"
#include "wire.hpp"

#include <nghttp2/nghttp2.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace sorvane::native::server {

class Host;
class Connection;

// Work for a loop from any thread, refused once the server's loops stop (so
// nothing is queued on a loop that will never run it).
class LoopGate {
public:
    bool post(EventLoop& loop, std::function<void()> fn);
    // Runs `fn` on this thread in the loop's place when the loop is idle,
    // else posts it (see run_or_post); false, and nothing runs, once closed.
    template <class F, class P>
    bool run_or_post(EventLoop& loop, F&& fn, bool* ran_here, P&& worth_it) {
        std::unique_lock<std::mutex> lock(mu_);
        if (!open_) return false;
        if (loop.try_enter()) {
            if (worth_it()) {
                lock.unlock();  // the loop cannot stop while this thread is in its place
                fn();
                loop.leave();
                if (ran_here) *ran_here = true;
                return true;
            }
            loop.leave();
        }
        loop.post(std::forward<F>(fn));
        return true;
    }
    void close();

private:
    std::mutex mu_;
    bool open_ = true;
};

// Where a call's stream stands, on its loop thread.
enum class Phase {
    headers,     // the header block is arriving
    body,        // headers accepted; the request message is arriving
    dispatched,  // a handler has it (or waits for a worker)
    answered,    // the reply (or a refusal) is on its way out
    done,        // the stream is gone
};

class ServerCall final : public InboundCall {
public:
    ServerCall(Host* host, Connection* conn, int32_t stream_id);
    ~ServerCall() override;

    // InboundCall (any thread).
    const std::string& method() const override { return method_; }
    const Metadata& metadata() const override { return metadata_; }
    std::string_view payload() const override { return payload_; }
    void release_payload() override {
        released_ += payload_.size();
        std::string().swap(payload_);
    }
    std::string take_payload() override {
        released_ += payload_.size();
        return std::exchange(payload_, std::string());
    }
    std::string peer() override { return *peer_; }
    double time_remaining(bool* has) const override;
    bool cancelled() const override { return cancelled_.load(std::memory_order_acquire); }
    bool finished() const override { return closed_.load(std::memory_order_acquire); }
    void cancel() override;
    void want_closed_hook() override;
    void closed_hook_done() override;
    Offer offer_message(std::string&& body) override;
    void finish(Reply&& reply) override;
    void retain() override { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() override;

    // Worker side. Runs the closed hook unless it already ran (it may be due
    // on two paths: the worker queue and a failed send).
    void run_closed_hook(ServerHost::Hooks& hooks);
    // After the handler: hands reply_ to the loop. True when it went out
    // from this thread, in the loop's place; read_conn_ then names the
    // connection, where the next request of a client calling in turn comes.
    bool post_finish();
    // After a handler that deferred its reply returned: sends the reply if
    // finish() already came.
    void handler_returned();
    // After post_finish() returned true: waits up to `wait` for the next
    // request on read_conn_ and reads it on this thread.
    void await_next_request(std::chrono::microseconds wait);
    // In the loop's place: no other call is open on its connection (then
    // the loop could not write for several calls at once).
    bool alone_on_connection() const;
    Connection* read_conn_ = nullptr;
    std::shared_ptr<H2Connection::Alive> read_alive_;
    // The request bytes this call holds against the server's bound are no
    // longer waiting (a worker took the call, or it ended). Any thread.
    void release_held();
    // After the handler: the request is no longer needed; returns its size.
    size_t drop_payload();
    Reply reply_;  // filled by the handler, then read on the loop

    // ---- loop thread only ---------------------------------------------------
    void on_header(std::string_view name, std::string_view value);
    void on_headers_done(bool end_stream);
    void on_data(const uint8_t* data, size_t length);
    void on_end_of_request();
    void on_status_sent() { status_sent_ = true; }
    // The stream is gone (closed, reset, or its connection went away).
    void detach();
    // Resets the stream with CANCEL (cancel(), a server that stops).
    void reset_cancel();
    void expire();
    // The request did not arrive in the time the server allows.
    void request_too_slow();
    bool refused = false;      // arrived while the server stops
    ServerCall* prev = nullptr;  // the connection's list of its streams
    ServerCall* next = nullptr;

    // The data provider's read callback.
    static ssize_t read_body(nghttp2_session* session, int32_t stream_id, uint8_t* buf,
                             size_t length, uint32_t* flags, nghttp2_data_source* source,
                             void* user_data);

private:
    void refuse(int code, std::string_view details, bool accept_encoding = false);
    void refuse_http(const char* status);
    void submit_trailers_only(int code, std::string_view details, const Metadata* trailing,
                              bool accept_encoding);
    bool submit_headers_with_body();
    void submit_trailers();
    bool fits(size_t size);
    bool load_message(Payload&& body);
    bool queue_out(std::list<std::string>&& batch);
    void fail_sends();
    void message_written(size_t size);
    bool room_to_queue() const;  // under mu_
    void unqueue(size_t n);      // under mu_
    bool post_messages(std::unique_lock<std::mutex>& lock);
    void start_data();
    void end_with_status();
    void loop_send();
    void loop_finish();
    void wait_until_over(std::unique_lock<std::mutex>& lock);
    bool check_gate();

    // A deferred reply (under mu_): whether the handler returned, and the
    // reply finish() gave before it did.
    bool handler_returned_ = false;
    bool finished_early_ = false;
    Reply early_reply_;

    // Set on the loop before dispatch, read-only afterwards.
    Host* host_;  // valid on loop threads and on the handler's worker
    std::shared_ptr<LoopGate> gate_;
    EventLoop* loop_;
    std::shared_ptr<const std::string> peer_;
    std::string method_;
    Metadata metadata_;
    std::string payload_;
    size_t released_ = 0;  // the size of a payload released early
    bool has_deadline_ = false;
    Clock::time_point deadline_;

    // Loop thread only.
    Connection* conn_;  // null once detached
    int32_t stream_id_;
    Phase phase_ = Phase::headers;
    size_t header_bytes_ = 0;
    bool method_post_ = false;
    bool grpc_content_type_ = false;
    bool header_list_too_large_ = false;
    bool bad_binary_value_ = false;
    int64_t timeout_ns_ = -1;
    std::string encoding_;  // grpc-encoding other than identity
    wire::Deframer deframer_;
    size_t messages_ = 0;
    EventLoop::TimerId deadline_timer_ = 0;
    EventLoop::TimerId wait_timer_ = 0;  // sorvane.request_wait_ms
    bool headers_sent_ = false;
    bool status_sent_ = false;
    bool final_ = false;        // trailers follow once the body is out
    bool message_out_ = false;  // a message is being moved into DATA frames
    bool streamed_ = false;     // the handler streams (offer_message)
    int status_code_ = kOk;     // the status the trailers carry
    std::string status_details_;
    Metadata status_trailing_;
    unsigned char prefix_[wire::kMessagePrefix] = {};
    size_t prefix_pos_ = wire::kMessagePrefix;  // == size: no prefix pending
    Payload body_;                              // the message being sent
    size_t body_pos_ = 0;
    // Lists, not deques: libstdc++'s deque allocates even while empty, and
    // every call has these though only streaming ones use them.
    std::list<std::string> out_queue_;          // streamed messages behind it

    // Shared.
    std::atomic<int> refs_{1};  // the stream's
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> closed_{false};
    std::atomic<bool> want_hook_{false};
    std::atomic<bool> hook_claimed_{false};
    std::atomic<size_t> held_{0};  // request bytes counted in the host's bound
    std::mutex mu_;
    std::condition_variable cv_;
    bool hook_done_ = false;            // under mu_: the closed hook's work is over
    // A streaming handler's messages (under mu_): queued for the loop, their
    // bytes until written out, whether the loop has been asked to take them,
    // and whether sending has failed (the call is over).
    std::list<std::string> queue_;
    size_t queued_bytes_ = 0;  // changed through unqueue, so the host's total follows
    bool send_posted_ = false;
    bool send_failed_ = false;
    bool resume_wanted_ = false;  // offer_message said `full`: Hooks::resume is due

    friend class Connection;
};

// The session callbacks every server connection shares (user_data: the Connection).
nghttp2_session_callbacks* make_server_callbacks();

// One accepted connection: an nghttp2 server session and its streams.
class Connection final : public H2Connection {
public:
    Connection(Host* host, EventLoop& loop, SocketHandle socket, std::unique_ptr<TlsSession> tls,
               std::string peer);
    ~Connection() override;

    Host* host() const { return host_; }
    const std::shared_ptr<const std::string>& peer_text() const { return peer_text_; }
    // Arms the connection's timers (handshake, idle, age); after start().
    void arm_timers();
    // Graceful end: a GOAWAY notice, a PING round trip, the final GOAWAY;
    // the connection closes once its streams are done.
    void begin_drain();
    // Grace is over: every stream is reset with CANCEL and the connection closes.
    void abort();
    void link(ServerCall* call);
    void unlink(ServerCall* call);
    std::vector<std::string>& scratch() { return scratch_; }
    size_t stream_count() const { return stream_count_; }

    // nghttp2 callbacks (user_data is the Connection).
    int on_begin_headers(const nghttp2_frame* frame);
    int on_frame_recv(const nghttp2_frame* frame);
    int on_frame_send(const nghttp2_frame* frame);
    int on_stream_close(int32_t stream_id);

protected:
    bool make_session(nghttp2_session** out) override;
    void on_closed(const char* why) override;

private:
    void on_ping(const nghttp2_frame* frame);
    void send_final_goaway();
    void maybe_finish_drain();
    void arm_idle_timer();
    void cancel_timer(EventLoop::TimerId& id);

    Host* host_;
    std::shared_ptr<const std::string> peer_text_;
    ServerCall* streams_ = nullptr;  // intrusive list head
    size_t stream_count_ = 0;
    std::vector<std::string> scratch_;  // the deframer's output, reused
    bool preface_seen_ = false;
    bool draining_ = false;
    bool final_goaway_ = false;
    bool ended_ = false;
    EventLoop::TimerId handshake_timer_ = 0;
    EventLoop::TimerId idle_timer_ = 0;
    EventLoop::TimerId age_timer_ = 0;
    EventLoop::TimerId drain_timer_ = 0;
    EventLoop::TimerId force_timer_ = 0;
    // PING policy: pings received since the server last sent headers or data.
    bool pinged_ = false;
    Clock::time_point last_ping_{};
    long long ping_strikes_ = 0;
};

// Set while a worker runs a closed hook: a callback may stop the server, and
// that shutdown must not wait for the hooks, its own among them
// (server_workers.cpp sets it, Host::shutdown reads it).
extern thread_local bool t_in_closed_hook;

// The server host (ServerHost's implementation).
class Host final : public ServerHost, public std::enable_shared_from_this<Host> {
public:
    Host(const wire::Options& options, int max_workers, int max_concurrent,
         std::unique_ptr<Hooks> hooks);
    ~Host() override;

    // ServerHost.
    int add_port(const std::string& address, const TlsConfig* tls, Error* error) override;
    bool start(Error* error) override;
    void set_header_gate(HeaderGate gate) override;
    void shutdown(double grace) override;
    bool started() const override;
    bool wait_idle(double seconds) override;

    // For calls and connections.
    const wire::Options& options() const { return options_; }
    nghttp2_session_callbacks* callbacks() const { return callbacks_; }
    nghttp2_option* session_option() const { return session_option_; }
    const std::shared_ptr<LoopGate>& gate() const { return gate_; }
    Hooks& hooks() { return *hooks_; }
    bool stopping() const { return stopping_flag_.load(std::memory_order_acquire); }
    std::shared_ptr<const HeaderGate> header_gate();
    // Loop side (`loop` is the caller's): a complete request for a handler;
    // false when the concurrent-call limit refuses it.
    bool dispatch(ServerCall* call, EventLoop& loop);
    // Loop side: counts `n` more request bytes held; false (nothing counted)
    // past sorvane.max_queued_bytes.
    bool hold(size_t n);
    void unhold(size_t n) { held_bytes_.fetch_sub(static_cast<long long>(n)); }
    // Any thread: streamed messages of all calls waiting to be sent, in bytes
    // (`n` more, or fewer when negative), and whether they have reached
    // their bound, sorvane.max_queued_bytes (256 MiB when unbounded).
    void stream_queued(long long n) { stream_bytes_.fetch_add(n, std::memory_order_relaxed); }
    bool stream_budget_spent() const {
        return stream_bytes_.load(std::memory_order_relaxed) >= stream_budget();
    }
    long long stream_budget() const {
        return options_.max_queued_bytes >= 0 ? options_.max_queued_bytes : 256LL << 20;
    }
    // Any thread: runs the call's closed hook on a worker.
    void queue_closed_hook(ServerCall* call);
    // Any thread: runs Hooks::resume for the call on a worker.
    void queue_resume(ServerCall* call);
    // Loop side: a connection ended (after its streams were detached).
    void connection_closed(Connection* conn);

private:
    struct Listener {
        SocketHandle socket = kNoSocket;
        std::shared_ptr<TlsContext> tls;
        EventLoop* loop = nullptr;
        bool paused = false;  // on its loop: out of descriptors, retrying
        EventLoop::TimerId retry = 0;
    };
    struct LoopSlot {
        EventLoop* loop = nullptr;
        std::unordered_set<Connection*> connections;  // on that loop only
        bool watchdog = false;  // its timer is armed
        unsigned long long seen = 0;  // taken_ when it was armed
    };

    void accept_some(Listener& listener);
    void resume_accepting(Listener& listener);
    void adopt(EventLoop& loop, SocketHandle socket, std::shared_ptr<TlsContext> tls,
               std::string peer);
    LoopSlot& slot_of(EventLoop& loop);
    void on_all_loops(void (Host::*step)(LoopSlot&));
    void stop_listening_and_drain(LoopSlot& slot);
    void abort_connections(LoopSlot& slot);
    void arm_watchdog(LoopSlot& slot);
    void watchdog(LoopSlot& slot);
    void worker();
    void queue_work(std::deque<ServerCall*>& due, ServerCall* call);
    void run_call(ServerCall* call, bool priority);
    bool is_priority(const std::string& method) const;
    void after_large_request(size_t bytes);
    void close_listeners_unstarted();

    const wire::Options options_;
    const int max_workers_;
    const int max_concurrent_;
    std::unique_ptr<Hooks> hooks_;
    nghttp2_session_callbacks* callbacks_ = nullptr;
    nghttp2_option* session_option_ = nullptr;
    std::shared_ptr<LoopGate> gate_ = std::make_shared<LoopGate>();

    mutable std::mutex mu_;  // lifecycle, listeners, connection count
    std::condition_variable state_cv_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::unique_ptr<LoopGroup> group_;
    std::vector<LoopSlot> slots_;
    bool started_ = false;
    bool stopping_ = false;
    bool down_ = false;
    Clock::time_point grace_until_;
    int connections_ = 0;
    std::atomic<bool> stopping_flag_{false};
    std::atomic<int> paused_listeners_{0};

    std::mutex gate_mu_;
    std::shared_ptr<const HeaderGate> header_gate_;
    std::atomic<bool> has_header_gate_{false};

    std::mutex work_mu_;  // the worker queues
    std::condition_variable work_cv_;
    std::condition_variable idle_cv_;
    std::deque<ServerCall*> runs_;   // complete requests waiting for a worker
    std::deque<ServerCall*> hooks_due_;  // calls whose closed hook is due
    std::deque<ServerCall*> resumes_;    // calls whose streaming handler may go on
    int resumes_running_ = 0;
    std::deque<ServerCall*> priority_due_;  // calls of sorvane.priority_methods
    int priority_running_ = 0;
    int running_ = 0;       // handlers running
    unsigned long long taken_ = 0;  // requests workers took, ever
    int hooks_running_ = 0;
    int idle_workers_ = 0;
    int waking_ = 0;        // notified, not yet awake
    int workers_ = 0;       // worker threads alive
    bool workers_exit_ = false;
    std::atomic<int> inflight_{0};
    std::vector<std::string> priority_methods_;  // set at construction
    std::atomic<long long> held_bytes_{0};       // request bytes no worker took yet
    std::atomic<long long> stream_bytes_{0};     // streamed messages not yet sent
    std::atomic<size_t> freed_since_trim_{0};    // bytes of large requests done since
};

}  // namespace sorvane::native::server
