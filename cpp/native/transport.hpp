// The native engine's platform layer: gRPC's wire protocol (on nghttp2 and
// OpenSSL) behind two plain C++ classes, a server host and a channel host.
// Nothing here touches Python; the module that binds them (module.cpp) sees
// only these declarations, never an HTTP/2 type.
//
// Server threads: event loops (one, or two with cores to spare) own the
// listeners, the connections and every stream's state, and never call the
// hooks, so a handler blocked in Python stalls no connection. A complete
// request goes from its loop straight to one of max_workers + 1 worker threads,
// which runs Hooks::run (the module takes the GIL there) while fewer than
// max_workers handlers run; otherwise it waits in a queue. Closed hooks run on
// a worker too, ahead of waiting handlers, and the one spare worker is always
// free for them. A worker hands its reply (and each streamed message, waiting
// until nghttp2 took it) back to the connection's loop; InboundCall methods
// are safe on any thread. Every worker calls Hooks::thread_exit before it ends.
// Loop state belongs to whoever is in the loop's place: the loop's thread, or,
// while the loop waits for events with nothing posted, a thread that entered
// it (EventLoop::try_enter). A worker whose call is alone on its connection
// writes its reply that way, and then waits a moment on the socket for the
// next request and reads it itself; the loop's thread is not woken for either.
//
// Client: every channel of the process shares one event loop thread, made on
// first use (a forked child must not use its parent's channels: the thread is
// not copied; channels it makes itself start their own). A call is built on
// the caller's thread (metadata checked, body framed) and queued on its
// channel; one loop task takes every queued call and writes them out (the
// caller runs that task itself, in the loop's place, when its connection is
// idle, and then waits a moment on the socket for its reply and reads it;
// a caller on an event loop of its own borrows the socket for its reply the
// same way, its loop watching it, and a loop timer takes it back from a
// borrower slow to give it back).
// Replies, deadlines (loop timers) and cancellations are handled on the loop,
// which finishes a call under its mutex and wakes the waiting caller directly.
// `on_done` hooks never run on the loop: they go to two process-wide
// completion threads (they take the GIL). Name resolution runs on a resolver
// thread of its own. Readers of a response stream take messages as they
// arrive; the stream's flow-control window is given back as they do.
// A round_robin channel is a set of such channels, one per address, on the
// same loop: the caller picks one by reading their states (atomics, no
// lock), and the loop moves waiting calls between them as their states
// change. A call under a retry policy is a series of attempts: each one's end
// is seen where it ends (the loop), which arms a loop timer for the next;
// only the last attempt's end reaches `on_done`, as above.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sorvane::native {

using Metadata = std::vector<std::pair<std::string, std::string>>;

// The bytes of a message to send: a string of the engine's own, or bytes the
// module lends (a large message it already holds, in one piece or several
// to be sent one after the other), kept alive by `keep` until the engine
// drops the last copy of the payload, on whatever thread that happens (the
// module's release must not wait for anything). Copying a lent payload
// shares it.
class Payload {
public:
    struct Part {
        const char* data;
        size_t size;
    };
    Payload() = default;
    Payload(std::string bytes) : own_(std::move(bytes)) {}  // NOLINT: a string is a payload
    Payload(std::vector<Part> parts, std::shared_ptr<const void> keep)
        : keep_(std::move(keep)), parts_(std::move(parts)) {
        for (const Part& p : parts_) size_ += p.size;
    }
    size_t size() const noexcept { return keep_ ? size_ : own_.size(); }
    bool empty() const noexcept { return size() == 0; }
    // Copies `n` bytes from `from` on (within size()) to `out`.
    void copy(size_t from, char* out, size_t n) const noexcept {
        if (!keep_) {
            if (n) std::memcpy(out, own_.data() + from, n);
            return;
        }
        for (const Part& p : parts_) {
            if (!n) return;
            if (from >= p.size) {
                from -= p.size;
                continue;
            }
            const size_t take = std::min(n, p.size - from);
            std::memcpy(out, p.data + from, take);
            out += take;
            n -= take;
            from = 0;
        }
    }
    // Frees the bytes (or drops the loan) now.
    void clear() noexcept {
        std::string().swap(own_);
        keep_.reset();
        parts_.clear();
        size_ = 0;
    }

private:
    std::string own_;
    std::shared_ptr<const void> keep_;
    std::vector<Part> parts_;
    size_t size_ = 0;
};

// One channel argument ("grpc.max_receive_message_length", 1024), integer or text.
struct ChannelArg {
    std::string key;
    bool is_int = true;
    long long int_value = 0;
    std::string str_value;
};

// Status codes as gRPC numbers them (grpc_status_code).
enum StatusCode : int {
    kOk = 0,
    kCancelled = 1,
    kUnknown = 2,
    kInvalidArgument = 3,
    kInternal = 13,
    kUnavailable = 14,
    kUnimplemented = 12,
    kResourceExhausted = 8,
    kDeadlineExceeded = 4,
};

// Transport security for a listening port or a channel: PEM texts; empty means
// absent. A port with `client_ca` requires and verifies client certificates.
struct TlsConfig {
    bool enabled = false;
    std::string root_certs;       // channel: CA to verify the server; port: client CA
    std::string private_key;      // own key
    std::string cert_chain;       // own certificate chain
    bool require_client_cert = false;
};

// What a handler answers.
struct Reply {
    int code = kOk;
    std::string details;
    bool has_body = false;
    Payload body;
    Metadata trailing;
    // Set by a handler that answers later, through InboundCall::finish (its
    // worker is free meanwhile); the rest of this reply is then unused.
    bool deferred = false;
};

// One call accepted by a server host (one request message; one response
// message or a stream of them), as the handler sees it. Valid for
// the duration of the handler; the module keeps it alive longer through
// retain/release (a context object that escapes the handler).
// A failure the engine reports. Every fallible call of this interface
// returns false (0, or an empty pointer) and fills the Error it is given:
// `invalid` when the caller's input is at fault (an option, a target,
// metadata, a closed channel called), `failed` when the system is (an
// address that does not bind, TLS material that does not load, no thread,
// a stopped server). The binding maps the two to one exception each.
struct Error {
    enum class Kind { invalid, failed };
    Kind kind = Kind::failed;
    std::string text;

    // Fills the error; returns false, for `return error->set(...)`.
    bool set(Kind k, std::string why) {
        kind = k;
        text = std::move(why);
        return false;
    }
};

class InboundCall {
public:
    virtual ~InboundCall() = default;
    virtual const std::string& method() const = 0;
    virtual const Metadata& metadata() const = 0;
    virtual std::string_view payload() const = 0;
    // The request has been read (deserialized): its bytes are freed now
    // rather than when the call ends. The handler's worker only.
    virtual void release_payload() = 0;
    // The request's bytes moved out to the caller, released as by
    // release_payload. The handler's worker only.
    virtual std::string take_payload() = 0;
    virtual std::string peer() = 0;
    // Seconds until the client's deadline (negative: passed); `has` false when none.
    virtual double time_remaining(bool* has) const = 0;
    virtual bool cancelled() const = 0;
    virtual bool finished() const = 0;
    virtual void cancel() = 0;
    // Asks for ServerHost::Hooks::closed when the call ends (for callbacks).
    virtual void want_closed_hook() = 0;
    // What Hooks::closed calls once its work is over, on any thread (holding
    // a reference meanwhile if it returns first).
    virtual void closed_hook_done() = 0;
    // Queues one message of a streaming response (the initial metadata goes
    // with the first; the handler's reply then carries no body), without
    // waiting: `queued`; `full` when the call's queue is full with it (the
    // handler returns with its reply deferred, and Hooks::resume follows once
    // the queue has room or the call is over); `over` when the call is over
    // (cancelled, past its deadline, the server stopped): nothing was sent.
    // Called by the handler's thread only, without the GIL.
    enum class Offer { queued, full, over };
    virtual Offer offer_message(std::string&& body) = 0;
    // Answers a call whose handler set Reply::deferred: once, on any thread,
    // before or after the handler returned (the reply goes out once both
    // happened). A call over meanwhile sends nothing.
    virtual void finish(Reply&& reply) = 0;
    virtual void retain() = 0;
    virtual void release() = 0;
    // Opaque slot for the module: the Python context of the call.
    void* user = nullptr;
    // Opaque slot for the module: a streaming handler waiting for Hooks::resume.
    void* stream = nullptr;
};

// A check made from a call's headers, before its body is read: a call whose
// metadata has no `key` equal to one of `values` (compared in constant time)
// ends at once with `code` and `details`; its body is never buffered and no
// handler runs. The token gate installs one.
struct HeaderGate {
    std::string key;
    std::vector<std::string> values;
    int code = 16;  // UNAUTHENTICATED
    std::string details;
};

class ServerHost {
public:
    struct Hooks {
        virtual ~Hooks() = default;
        // Runs the handler; called on a host thread without the GIL.
        virtual void run(InboundCall& call, Reply& reply) = 0;
        // The call ended (completed or cancelled) and want_closed_hook was
        // asked. Calls call.closed_hook_done() when its work is over, here
        // or later on another thread.
        virtual void closed(InboundCall& call) = 0;
        // A streaming handler that offer_message told `full` may go on (its
        // queue has room again, or the call is over): called once per `full`,
        // on a host thread without the GIL, counted among the running handlers.
        virtual void resume(InboundCall& call) = 0;
        // A host thread is about to end.
        virtual void thread_exit() = 0;
    };

    // Returns nullptr with `error` set when an option has the wrong type or range.
    static std::shared_ptr<ServerHost> create(const std::vector<ChannelArg>& args,
                                              int max_workers, int max_concurrent_rpcs,
                                              std::unique_ptr<Hooks> hooks, Error* error);
    virtual ~ServerHost() = default;
    // Binds before start; returns the bound port, 0 (with `error`) when it
    // could not bind.
    virtual int add_port(const std::string& address, const TlsConfig* tls, Error* error) = 0;
    virtual bool start(Error* error) = 0;
    // Installs (or, with an empty key, removes) the header gate; any time.
    virtual void set_header_gate(HeaderGate gate) = 0;
    // Stops accepting calls, lets calls in flight run for `grace` seconds
    // (negative: none), cancels the rest; returns once the server is down.
    // Blocks: call it without the GIL. Safe to call more than once.
    virtual void shutdown(double grace) = 0;
    virtual bool started() const = 0;
    // Waits up to `seconds` (negative: forever) until no handler runs or
    // waits to run; true when none does.
    virtual bool wait_idle(double seconds) = 0;
};

// The outcome of one client call.
struct CallResult {
    int code = kUnknown;
    std::string details;
    std::string debug_error;
    bool has_body = false;
    std::string body;
    Metadata initial;
    Metadata trailing;
};

class PendingCall {
public:
    virtual ~PendingCall() = default;
    // Waits up to `seconds` (negative: forever); true once the call is done.
    virtual bool wait(double seconds) = 0;
    virtual bool done() const = 0;
    virtual void cancel() = 0;
    // Valid once done.
    virtual CallResult& result() = 0;
    // For the thread that started the call when it waits with an event loop
    // of its own (asyncio's), as a blocking caller waits on the socket
    // itself: lend() lends it the connection's socket for the reply (false:
    // the reply comes the usual way). It may then wait_lent(): up to
    // `seconds` on the socket itself, reading what comes, as long as `other`
    // (its own loop's descriptor) has nothing; and ask for lent_handle(), a
    // handle (a socket number, or -1) for its loop to watch. It calls
    // give_back() once, when the handle is readable or it stops waiting:
    // that closes the handle and, with `read`, reads what came (else the
    // engine's loop reads whatever is there). wait_lent and give_back
    // return true when the call ended there and on_done was not run (the
    // caller settles it).
    virtual bool lend() { return false; }
    virtual bool wait_lent(long long /*other*/, double /*seconds*/) { return false; }
    virtual long long lent_handle() { return -1; }
    virtual bool give_back(bool /*read*/) { return false; }
};

// A started call with one request and a stream of responses. The loop stores
// what arrives and wakes the waiters; a reader that falls behind holds back
// the stream's window, so the server waits for it.
class ResponseStream {
public:
    virtual ~ResponseStream() = default;
    // Waits up to `seconds` (negative: forever) for the next message: 1 with
    // `message` set; 0 once the stream has ended and the status is known
    // (result()); -1 when the time ran out first (call again).
    virtual int read(double seconds, std::string* message) = 0;
    // Runs `fn` once there is a message to read or the stream has ended: at
    // once on this thread when there is already, else on the thread that
    // brings it (the loop), or when the stream is destroyed. A `fn` given
    // before and not yet run runs now. `fn` must not block: it wakes a reader
    // that then calls read(0, ...).
    virtual void notify(std::function<void()> fn) = 0;
    // Waits up to `seconds` (negative: forever) until the initial metadata
    // arrived or the call ended; true then (result().initial holds it).
    virtual bool wait_initial(double seconds) = 0;
    // Waits up to `seconds` (negative: forever); true once the status is known.
    virtual bool wait(double seconds) = 0;
    virtual bool done() const = 0;
    virtual void cancel() = 0;
    // Valid once done (`has_body` and `body` unused).
    virtual CallResult& result() = 0;
};

// Wakes an event loop that is not ours (asyncio's) for calls that ended:
// items pushed from any thread wait until drained, and the first after a
// drain writes one byte to `socket` (one end of a connected pair whose other
// end that loop watches). Never blocks; after close() nothing is written and
// items pushed go to `orphan` instead (on the pushing thread).
class Wakeup {
public:
    static std::shared_ptr<Wakeup> create(long long socket, std::function<void(void*)> orphan);
    virtual ~Wakeup() = default;
    virtual void push(void* item) = 0;
    virtual std::vector<void*> drain() = 0;
    virtual void close() = 0;
};

// The completion threads run the on_done hooks of finished calls in
// batches, back to back; `begin` is called before a batch and `end(token)`,
// with what begin returned, after it. The module sets them once (it takes
// the GIL once for a whole batch, not once per hook).
struct CompletionBatch {
    void* (*begin)() = nullptr;
    void (*end)(void* token) = nullptr;
};
void set_completion_batch(CompletionBatch hooks);

class ChannelHost {
public:
    // Returns nullptr with `error` set when the channel cannot be made (bad
    // target or options, TLS material that does not parse). Never connects:
    // that waits for the first call or connectivity(true).
    static std::shared_ptr<ChannelHost> create(const std::string& target,
                                               const std::vector<ChannelArg>& args,
                                               const TlsConfig* tls, Error* error);
    virtual ~ChannelHost() = default;
    // Starts one unary call. `on_done` (may be empty) runs on a completion
    // thread once the call is done. Returns nullptr with `error` set when the call cannot
    // start (closed channel, invalid metadata).
    virtual std::shared_ptr<PendingCall> start(const std::string& method, Payload&& body,
                                               double timeout, const Metadata& metadata,
                                               int wait_for_ready,
                                               std::function<void()> on_done,
                                               Error* error) = 0;
    // Starts one unary call whose end pushes `item` to `wakeup`, on the
    // thread that ends it (no completion thread); as start() otherwise.
    virtual std::shared_ptr<PendingCall> start_woken(const std::string& method,
                                                     Payload&& body, double timeout,
                                                     const Metadata& metadata,
                                                     int wait_for_ready,
                                                     std::shared_ptr<Wakeup> wakeup, void* item,
                                                     Error* error) = 0;
    // Starts one unary-request, streaming-response call; as start(), with
    // `on_done` run once the status is known.
    virtual std::shared_ptr<ResponseStream> stream(const std::string& method, Payload&& body,
                                                   double timeout, const Metadata& metadata,
                                                   int wait_for_ready,
                                                   std::function<void()> on_done,
                                                   Error* error) = 0;
    // 0 idle, 1 connecting, 2 ready, 3 transient failure, 4 shutdown.
    virtual int connectivity(bool try_to_connect) = 0;
    virtual void close() = 0;
};

}  // namespace sorvane::native
