// The channel host's parts, shared by channel_host.cpp (the facade and
// create()), channel_core.cpp (a channel core: connectivity, backoff, queued
// calls), channel_threads.cpp (the threads every channel shares),
// subchannel.cpp (one HTTP/2 connection to the server and the streams on it),
// subchannel_response.cpp (reading a response there), channel_call.cpp (a
// call as the caller's threads see it), balancer.cpp (round_robin over
// several channel cores) and retry.cpp (the service config's retry policy).
// Not part of the boundary: only those files include it.
//
// Every member marked "loop" is touched on the channel's loop thread only;
// the call's outcome (under Call::mu_) is what other threads see.
#pragma once

#include "h2.hpp"
#include "loop.hpp"
#include "tls.hpp"
#include "transport.hpp"
#include "wire.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sorvane::native::client {

class ChannelCore;
class Subchannel;

// Runs `fn` on the process-wide completion threads (hooks that take the GIL
// never run on a loop thread: that would stall every channel).
void run_completion(std::function<void()> fn);

// The largest response message a call may receive (SIZE_MAX: no limit); a
// call's deframer is made with it (channel_call.cpp, subchannel.cpp).
inline size_t receive_limit(const wire::Options& options) {
    return options.max_receive_message < 0 ? SIZE_MAX
                                           : static_cast<size_t>(options.max_receive_message);
}

// A client call as the module holds it: unary (PendingCall) or with a
// stream of responses (ResponseStream); the two interfaces share
// wait/done/cancel/result. One attempt (Call), or a call retried by its
// channel's retry policy (retry.cpp).
class ClientCall : public PendingCall, public ResponseStream {};

// One attempt of a client call, on one channel core.
class Call final : public ClientCall, public std::enable_shared_from_this<Call> {
public:
    Call(std::shared_ptr<ChannelCore> core, bool streaming);
    ~Call() override;

    // PendingCall and ResponseStream.
    bool wait(double seconds) override;
    bool done() const override;
    void cancel() override;
    CallResult& result() override { return result_; }
    bool lend() override;
    bool wait_lent(long long other, double seconds) override;
    long long lent_handle() override;
    bool give_back(bool read) override;
    // ResponseStream.
    int read(double seconds, std::string* message) override;
    void notify(std::function<void()> fn) override;
    bool wait_initial(double seconds) override;

    // Loop: ends the call once (later outcomes are ignored), wakes the
    // waiters and hands on_done to a completion thread. Also called by the
    // starting thread for a call that never reached the loop.
    void finish(int code, std::string details, Metadata* trailing = nullptr,
                std::string debug = std::string());
    // Loop: the response's headers arrived (not Trailers-Only).
    void set_initial(Metadata&& initial);
    // Loop: one response message.
    void deliver(std::string&& message);
    // Loop: true when the reader is behind (the stream's window is then
    // held back, and given back once the reader catches up).
    bool hold_back();
    // Any thread: the response's headers arrived (a retry may no longer
    // replace this attempt).
    bool committed() const;

    // Set by the starting thread before the call is posted; read-only after.
    const std::shared_ptr<ChannelCore> core;
    const bool streaming;
    int wait_for_ready = -1;
    bool has_deadline = false;
    Clock::time_point deadline;
    std::string path;
    Metadata send_metadata;  // "-bin" values already base64
    Payload body;
    unsigned char prefix[wire::kMessagePrefix] = {};
    std::function<void()> on_done;
    bool done_inline = false;  // on_done runs where the call ends (it only wakes a loop)
    std::function<void()> on_commit;  // a retried stream: run by set_initial, on the loop
    const std::thread::id owner = std::this_thread::get_id();  // the starting thread
    // Set by the owner when it submitted the call itself, in the loop's place
    // (Subchannel::submit); the owner then waits for the reply on the
    // connection's socket itself for a moment (wait()).
    Subchannel* read_conn = nullptr;
    std::shared_ptr<H2Connection::Alive> read_alive;

    // Loop.
    bool finished = false;        // finish() ran
    Subchannel* conn = nullptr;
    int32_t stream_id = 0;
    bool headers_sent = false;    // nghttp2 committed our HEADERS: RST_STREAM is allowed
    bool cancel_pending = false;  // reset the stream as soon as its HEADERS go out
    bool response_started = false;
    int attempts = 0;
    size_t body_sent = 0;         // bytes of prefix + body handed to nghttp2
    EventLoop::TimerId timer = 0;
    std::string timeout_text;
    wire::Deframer deframer;
    std::vector<std::string> scratch;
    Metadata headers;             // the header block being received
    size_t header_bytes = 0;
    int http_status = 0;
    int grpc_status = -1;
    std::string grpc_message;
    std::string grpc_encoding;
    std::string content_type;
    bool header_overflow = false;
    size_t held = 0;              // stream bytes received but not yet given back (window)
    long long pushback_ms = -1;   // grpc-retry-pushback-ms: -1 absent, -2 malformed

private:
    template <class Pred>
    bool wait_for(double seconds, std::unique_lock<std::mutex>& lock, Pred ready);

    mutable std::mutex mu_;
    std::condition_variable cv_;
    // Under mu_.
    bool done_ = false;
    bool initial_done_ = false;
    bool committed_ = false;
    bool claim_here_ = false;     // give_back() reads: an end there skips on_done
    bool claimed_ = false;        // ... and it did
    H2Connection::Loan loan_;     // the starting thread's (lend, give_back)
    bool owed_ = false;           // the loop holds back window until the reader catches up
    std::list<std::string> messages_;  // a list allocates nothing while empty
    size_t queued_ = 0;
    std::function<void()> notify_;  // a reader to wake for the next message or the end
    CallResult result_;
};

// A server address the channel connects to, as written in the target.
struct Endpoint {
    std::string host;  // without brackets
    std::string port;
};

// The target's parts: where to connect and what to call the server.
struct Target {
    std::vector<Endpoint> endpoints;
    bool numeric = true;   // every host is an IP literal: no resolver needed
    std::string authority;
    std::string host;      // the first endpoint's host (the TLS name by default)
};

// Parses "host[:port]", "dns:[//authority/]host[:port]", "ipv4:a[:p][,...]",
// "ipv6:[a][:p][,...]" (a missing port is 443); false with `error` set.
bool parse_target(const std::string& text, Target* out, std::string* error);

// One HTTP/2 connection of a channel, made by the channel on its loop.
class Subchannel final : public H2Connection {
public:
    Subchannel(ChannelCore& core, SocketHandle socket, std::unique_ptr<TlsSession> tls,
               std::string peer);
    ~Subchannel() override;

    // Loop: starts `call` on this connection; false when the connection takes
    // no more streams (stream ids exhausted), and the call is untouched.
    bool submit(const std::shared_ptr<Call>& call);
    // Loop: ends the call's stream with RST_STREAM(CANCEL), at once or once
    // its HEADERS go out; the call itself is finished by the caller.
    void abort_stream(Call& call);
    // Loop: gives `bytes` of the call's stream window back to the server.
    void give_back(Call& call);
    // Loop: ends the calls on it (CANCELLED), sends GOAWAY and closes.
    void shut_down(const char* why);
    // Loop: flush() from a task of its own, for code running inside an
    // nghttp2 callback (where sending is not allowed).
    void flush_soon();

    bool ready = false;        // the server's SETTINGS arrived
    bool draining = false;     // GOAWAY received or stream ids exhausted: no new calls
    size_t active() const { return streams_.size(); }

protected:
    bool make_session(nghttp2_session** out) override;
    void on_closed(const char* why) override;

private:
    static int on_header(nghttp2_session*, const nghttp2_frame*, const uint8_t*, size_t,
                         const uint8_t*, size_t, uint8_t, void*);
    static int on_frame_recv(nghttp2_session*, const nghttp2_frame*, void*);
    static int on_data_chunk(nghttp2_session*, uint8_t, int32_t, const uint8_t*, size_t, void*);
    static int on_stream_close(nghttp2_session*, int32_t, uint32_t, void*);
    static int before_frame_send(nghttp2_session*, const nghttp2_frame*, void*);
    static int on_frame_not_send(nghttp2_session*, const nghttp2_frame*, int, void*);
    static ssize_t read_body(nghttp2_session*, int32_t, uint8_t*, size_t, uint32_t*,
                             nghttp2_data_source*, void*);

    Call* find(int32_t stream_id);
    void headers_done(Call& call, const nghttp2_frame* frame);
    void trailers(Call& call);
    void schedule_keepalive();

    ChannelCore& core_;
    std::unordered_map<int32_t, std::shared_ptr<Call>> streams_;
    std::vector<nghttp2_nv> nva_;  // reused for every request's header list
    EventLoop::TimerId keepalive_timer_ = 0;
    EventLoop::TimerId watchdog_timer_ = 0;
    bool flush_posted_ = false;
};

// The cores of one round_robin channel as each core sees them (balancer.cpp):
// told of the core's state changes, offered the calls it cannot send at once.
// Loop only.
class CoreGroup {
public:
    virtual ~CoreGroup() = default;
    virtual void state_changed(ChannelCore& core, int state) = 0;
    // True when another core took `call`; false leaves it with `core`.
    virtual bool redirect(ChannelCore& core, std::shared_ptr<Call>& call) = 0;
};

// The channel: everything but the facade the module holds. Lives as long as
// the facade, a call or a posted task needs it. Under pick_first it is the
// whole channel; under round_robin there is one per address, in a CoreGroup.
class ChannelCore : public std::enable_shared_from_this<ChannelCore> {
public:
    ChannelCore(EventLoop& loop, Target target, wire::Options options,
                std::shared_ptr<TlsContext> tls);

    // Before first use: makes the core a member of `group`. A `parked` core
    // only holds calls (its group has no addresses yet) and never connects.
    void join(std::weak_ptr<CoreGroup> group, bool parked);
    // Any thread: 0 idle, 1 connecting, 2 ready, 3 transient failure, 4 shutdown.
    int state() const { return state_.load(std::memory_order_acquire); }
    // Loop (group members): a call another core hands over; the calls
    // waiting here for a connection, taken away; no more calls here (they
    // go to the group) while the connection finishes those it has; a parked
    // core's resolution failed.
    void adopt(std::shared_ptr<Call> call);
    std::deque<std::shared_ptr<Call>> take_pending();
    void retire();
    void park_failed(const std::string& error);
    bool retired() const { return retired_; }
    const std::string& last_error() const { return last_error_; }

    // Any thread.
    bool closed() const;
    int connectivity(bool try_to_connect);
    void close();
    // Before first use: the addresses of a target of IP literals.
    void seed_addresses(std::vector<SocketAddress> addresses) { addresses_ = std::move(addresses); }
    // Any thread: hands a started call to the loop.
    bool post_call(const std::shared_ptr<Call>& call, std::string* error);

    // Loop.
    void cancel_call(Call& call, int code, const char* details);
    void on_ready(Subchannel& conn);
    void on_goaway(Subchannel& conn);
    void on_connection_closed(Subchannel& conn, const char* why);
    // Loop: a call the server never processed goes out again (a bounded
    // number of times); one the server refused, after a pause.
    void retry(std::shared_ptr<Call> call, bool refused = false);
    void call_ended(Call& call);

    EventLoop& loop;
    const Target target;
    const wire::Options options;
    const std::shared_ptr<TlsContext> tls;
    std::string scheme;
    std::string user_agent;

private:
    void take_incoming();
    void submit(std::shared_ptr<Call> call);
    // in_callback: inside an nghttp2 callback, where sending must wait;
    // may_redirect: the group may take the call elsewhere.
    void dispatch(std::shared_ptr<Call> call, bool in_callback, bool may_redirect = true);
    void fail_pending();
    void start_connecting();
    bool probe_now();
    void on_resolved(uint64_t attempt, std::vector<SocketAddress> addresses, std::string error);
    void try_next_address();
    void on_connected(SocketHandle socket, const SocketAddress& address);
    void abandon_attempt(bool backoff_too);
    void attempt_failed(const std::string& error);
    void shutdown_on_loop();
    void set_state(int state);
    void drop(Subchannel* conn);

    std::atomic<int> state_{0};
    mutable std::mutex mu_;
    bool closed_ = false;  // under mu_
    std::vector<std::shared_ptr<Call>> incoming_;  // under mu_: started, not yet on the loop

    // Loop.
    bool shut_ = false;
    bool batching_ = false;                        // take_incoming() flushes once at the end
    std::vector<std::shared_ptr<Call>> taken_;
    std::unique_ptr<Subchannel> conn_;             // ready, or completing its handshake
    std::vector<std::unique_ptr<Subchannel>> draining_;
    std::deque<std::shared_ptr<Call>> pending_;    // waiting for a ready connection
    uint64_t attempt_ = 0;
    std::vector<SocketAddress> addresses_;
    size_t next_address_ = 0;
    SocketHandle connecting_ = kNoSocket;
    EventLoop::TimerId connect_timer_ = 0;
    EventLoop::TimerId backoff_timer_ = 0;
    double backoff_ms_;
    Clock::time_point last_attempt_;
    std::string last_error_;
    // Set by join() before first use.
    std::weak_ptr<CoreGroup> group_;
    bool grouped_ = false;
    bool parked_ = false;
    bool retired_ = false;  // loop
};

// The shared loop for a new channel (made, with the other shared threads,
// in this process if need be); nullptr with `error` set when the system
// refuses.
EventLoop* shared_loop(std::string* error);

// Runs `done` on the loop once `endpoints` are resolved (on the resolver
// thread): the addresses, or none and why.
void resolve_later(EventLoop& loop, std::vector<Endpoint> endpoints,
                   std::function<void(std::vector<SocketAddress>, std::string)> done);

// A retry policy of the service config (retryPolicy), as the Python channel
// hands it over, validated.
struct RetryPolicy {
    int max_attempts = 0;          // the first attempt included; at most 5
    double initial_ms = 0;
    double max_ms = 0;
    double multiplier = 1;
    uint32_t codes = 0;            // bit n: status code n is retryable
};

// The retry policies of a channel by method name: "/service/method", then
// "/service/", then "" (every method).
class RetryTable {
public:
    // Reads sorvane.retry_policies: a line per name, "name\tmax_attempts\t
    // initial_ms\tmax_ms\tmultiplier\tcode,code"; false with `error` set.
    static bool parse(const std::string& text, RetryTable* out, std::string* error);
    // The policy for `path` ("/service/method"), or nullptr.
    const RetryPolicy* find(const std::string& path) const;
    bool empty() const { return by_name_.empty(); }

private:
    std::unordered_map<std::string, RetryPolicy> by_name_;
};

// What the module holds: builds each call on the caller's thread and gives
// it to a core its policy picks (pick_first's one, or round_robin's next).
class Facade : public ChannelHost, public std::enable_shared_from_this<Facade> {
public:
    Facade(wire::Options options, std::shared_ptr<const RetryTable> retries);

    std::shared_ptr<PendingCall> start(const std::string& method, Payload&& body,
                                       double timeout, const Metadata& metadata,
                                       int wait_for_ready, std::function<void()> on_done,
                                       Error* error) override;
    std::shared_ptr<PendingCall> start_woken(const std::string& method, Payload&& body,
                                             double timeout, const Metadata& metadata,
                                             int wait_for_ready, std::shared_ptr<Wakeup> wakeup,
                                             void* item, Error* error) override;
    std::shared_ptr<ResponseStream> stream(const std::string& method, Payload&& body,
                                           double timeout, const Metadata& metadata,
                                           int wait_for_ready, std::function<void()> on_done,
                                           Error* error) override;

    // Any thread: the core the next call (or attempt) goes to.
    virtual std::shared_ptr<ChannelCore> pick() = 0;
    virtual bool closed() const = 0;

protected:
    // options_.channel_error, when set, fails every call (a service config
    // gRPC refuses).
    const wire::Options options_;

private:
    std::shared_ptr<ClientCall> begin(bool streaming, const std::string& method,
                                      Payload&& body, double timeout,
                                      const Metadata& metadata, int wait_for_ready,
                                      std::function<void()> on_done, Error* error,
                                      bool done_inline = false);

    const std::shared_ptr<const RetryTable> retries_;  // nullptr: no call is retried
};

// Starts a call under `policy` whose first attempt `first` is built (not yet
// posted): later attempts are picked from `channel` again. Returns nullptr
// with `error` set when the first cannot be posted (a closed channel).
std::shared_ptr<ClientCall> start_retrying(const std::shared_ptr<Facade>& channel,
                                           const RetryPolicy& policy,
                                           std::shared_ptr<Call> first, std::string* error);

// A round_robin channel over `target` (balancer.cpp); the cores share `loop`.
std::shared_ptr<Facade> make_round_robin(EventLoop& loop, Target target,
                                         std::vector<SocketAddress> numeric,
                                         wire::Options options, std::shared_ptr<TlsContext> tls,
                                         std::shared_ptr<const RetryTable> retries);

}  // namespace sorvane::native::client
