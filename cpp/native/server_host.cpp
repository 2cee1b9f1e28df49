// The server host: listening ports and their acceptors, the event loops that
// carry the connections, and the server's shutdown. The worker threads that
// run handlers and closed hooks are in server_workers.cpp; what a connection
// does with its bytes is in server_connection.cpp, server_call.cpp,
// server_request.cpp and server_reply.cpp. No Python: the hooks are the
// module's.
//
// Contents: address parsing; Host (construction, ports, start, accepting,
// shutdown); ServerHost::create.
#include "server_host.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace sorvane::native {
namespace server {

namespace {

constexpr int kBacklog = 1024;
constexpr int kAcceptBurst = 64;  // per wake-up, so a flood cannot starve the loop
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// One loop carries thousands of connections at a few microseconds per call;
// the handlers (and the GIL) are the bound, so a second loop pays off only
// with cores to spare.
int loop_count() { return std::thread::hardware_concurrency() >= 8 ? 2 : 1; }

// "host:port" or "[v6]:port" as grpcio takes them; false when malformed.
bool split_address(const std::string& address, std::string* host, std::string* port) {
    size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon + 1 == address.size()) return false;
    *host = address.substr(0, colon);
    *port = address.substr(colon + 1);
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    else if (host->find(':') != std::string::npos)
        return false;  // an IPv6 address needs its brackets
    return true;
}

}  // namespace

// ---- construction -------------------------------------------------------------

Host::Host(const wire::Options& options, int max_workers, int max_concurrent,
           std::unique_ptr<Hooks> hooks)
    : options_(options),
      max_workers_(std::max(max_workers, 1)),
      max_concurrent_(max_concurrent),
      hooks_(std::move(hooks)) {
    callbacks_ = make_server_callbacks();
    const std::string& listed = options_.priority_methods;
    for (size_t start = 0; start <= listed.size();) {
        size_t comma = std::min(listed.find(',', start), listed.size());
        size_t a = listed.find_first_not_of(' ', start), b = comma;
        while (b > start && listed[b - 1] == ' ') --b;
        if (a < b) priority_methods_.push_back(listed.substr(a, b - a));
        start = comma + 1;
    }
    if (nghttp2_option_new(&session_option_) != 0) session_option_ = nullptr;
    if (!session_option_) return;
    nghttp2_option* o = session_option_;
    nghttp2_option_set_no_closed_streams(o, 1);  // no RFC 7540 priority tree to keep
    nghttp2_option_set_max_continuations(o, 8);
    nghttp2_option_set_max_settings(o, 32);
    nghttp2_option_set_max_outbound_ack(o, 1000);
    nghttp2_option_set_max_deflate_dynamic_table_size(o, 4096);
    // Rapid reset: a client cancelling many calls stays well inside this.
    nghttp2_option_set_stream_reset_rate_limit(o, 1000, 100);
}

Host::~Host() {
    // Started hosts end after shutdown (the workers hold them until then).
    if (group_) {
        gate_->close();
        group_->stop_and_join();
    }
    for (auto& l : listeners_)
        if (l->socket != kNoSocket) socket_close(l->socket);
    // Connections left on stopped loops (the object went without shutdown).
    for (auto& slot : slots_)
        for (Connection* c : std::vector<Connection*>(slot.connections.begin(),
                                                      slot.connections.end()))
            delete c;
    group_.reset();
    if (session_option_) nghttp2_option_del(session_option_);
    if (callbacks_) nghttp2_session_callbacks_del(callbacks_);
}

// ---- ports and start ---------------------------------------------------------

int Host::add_port(const std::string& address, const TlsConfig* tls, Error* failure) {
    const auto fail = [failure](std::string why) { return failure->set(Error::Kind::failed, std::move(why)), 0; };
    std::shared_ptr<TlsContext> context;
    std::string host, port, error;
    if (!split_address(address, &host, &port)) return fail("not a host:port address");
    if (tls && tls->enabled) {
        context = TlsContext::for_server(*tls, &error);
        if (!context) return fail(error);
    }
    std::vector<SocketAddress> addresses;
    if (!resolve(host, port, true, &addresses, &error)) return fail(error);
    std::lock_guard<std::mutex> lock(mu_);
    if (started_ || stopping_) return fail("the server has started");
    // Every address the name resolves to, on one port (the first one's, when 0).
    int bound = 0;
    for (size_t i = 0; i < addresses.size(); ++i) {
        int got = 0;
        SocketHandle s = listen_on(addresses[i], kBacklog, &got, &error, options_.so_reuseport);
        if (s == kNoSocket) continue;
        if (bound == 0 && port == "0" && addresses.size() > i + 1) {
            bound = got;
            std::vector<SocketAddress> rest;
            if (resolve(host, std::to_string(got), true, &rest, &error)) {
                addresses.resize(i + 1);
                addresses.insert(addresses.end(), rest.begin() + std::min(rest.size(), i + 1),
                                 rest.end());
            }
        }
        bound = got;
        auto l = std::make_unique<Listener>();
        l->socket = s;
        l->tls = context;
        listeners_.push_back(std::move(l));
    }
    if (bound == 0) return fail(error);
    return bound;
}

bool Host::start(Error* failure) {
    const auto fail = [failure](std::string why) { return failure->set(Error::Kind::failed, std::move(why)); };
    std::unique_lock<std::mutex> lock(mu_);
    if (started_) return true;
    if (stopping_) return fail("the server has been stopped");
    if (!callbacks_ || !session_option_) return fail("nghttp2 could not be set up");
    std::string error;
    group_ = std::make_unique<LoopGroup>(loop_count(), nullptr, &error);
    if (!group_->ok()) {
        group_.reset();
        return fail(error);
    }
    slots_.resize(static_cast<size_t>(group_->size()));
    for (int i = 0; i < group_->size(); ++i) slots_[static_cast<size_t>(i)].loop = &group_->at(i);
    // max_workers run handlers; one more is always free for closed hooks.
    auto self = shared_from_this();
    try {
        for (int i = 0; i < max_workers_ + 1; ++i) {
            std::thread([self] { self->worker(); }).detach();
            std::lock_guard<std::mutex> work(work_mu_);
            ++workers_;
        }
    } catch (const std::system_error& e) {
        error = std::string("cannot start a thread: ") + e.what();
        stopping_ = true;
        stopping_flag_.store(true);
        {
            std::lock_guard<std::mutex> work(work_mu_);
            workers_exit_ = true;
            work_cv_.notify_all();
        }
        gate_->close();
        group_->stop_and_join();
        return fail(error);
    }
    started_ = true;
    for (size_t i = 0; i < listeners_.size(); ++i) {
        Listener* l = listeners_[i].get();
        l->loop = &group_->at(static_cast<int>(i % static_cast<size_t>(group_->size())));
        gate_->post(*l->loop, [this, l] {
            l->loop->watch(l->socket, true, false, [this, l](uint32_t) { accept_some(*l); });
        });
    }
    return true;
}

bool Host::started() const {
    std::lock_guard<std::mutex> lock(mu_);
    return started_;
}

void Host::set_header_gate(HeaderGate gate) {
    std::shared_ptr<const HeaderGate> next;
    if (!gate.key.empty()) next = std::make_shared<const HeaderGate>(std::move(gate));
    std::lock_guard<std::mutex> lock(gate_mu_);
    header_gate_ = std::move(next);
    has_header_gate_.store(header_gate_ != nullptr, std::memory_order_release);
}

std::shared_ptr<const HeaderGate> Host::header_gate() {
    if (!has_header_gate_.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard<std::mutex> lock(gate_mu_);
    return header_gate_;
}

// ---- accepting (on the listener's loop) ---------------------------------------

void Host::accept_some(Listener& listener) {
    for (int i = 0; i < kAcceptBurst && !listener.paused; ++i) {
        SocketHandle s;
        SocketAddress peer;
        AcceptResult r = accept_on(listener.socket, &s, &peer);
        if (r == AcceptResult::accepted) {
            EventLoop& target = group_->next();
            if (&target == listener.loop) {
                adopt(target, s, listener.tls, peer.text());
            } else if (!gate_->post(target, [this, &target, s, tls = listener.tls,
                                            text = peer.text()] { adopt(target, s, tls, text); })) {
                socket_close(s);
            }
            continue;
        }
        if (r == AcceptResult::out_of_descriptors) {
            // Never give up on the listener: pause, and try again on a timer
            // or as soon as a connection of this server closes.
            listener.paused = true;
            paused_listeners_.fetch_add(1);
            listener.loop->modify(listener.socket, false, false);
            listener.retry = listener.loop->add_timer(Clock::now() + kAcceptRetry, [this, &listener] {
                listener.retry = 0;
                resume_accepting(listener);
            });
        }
        return;  // again (nothing waiting) or failed (try on the next wake-up)
    }
}

void Host::resume_accepting(Listener& listener) {
    if (!listener.paused || listener.socket == kNoSocket) return;
    listener.paused = false;
    paused_listeners_.fetch_sub(1);
    if (listener.retry) listener.loop->cancel_timer(listener.retry);
    listener.retry = 0;
    listener.loop->modify(listener.socket, true, false);
    accept_some(listener);
}

void Host::adopt(EventLoop& loop, SocketHandle socket, std::shared_ptr<TlsContext> tls,
                 std::string peer) {
    if (stopping()) {
        socket_close(socket);
        return;
    }
    std::unique_ptr<TlsSession> session;
    if (tls) session = std::make_unique<TlsSession>(std::move(tls), std::string());
    auto* conn = new Connection(this, loop, socket, std::move(session), std::move(peer));
    slot_of(loop).connections.insert(conn);
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++connections_;
    }
    if (!conn->start()) {
        if (!conn->closed()) conn->close("the connection could not be set up");
        return;
    }
    if (!conn->closed()) conn->arm_timers();
}

Host::LoopSlot& Host::slot_of(EventLoop& loop) {
    for (auto& slot : slots_)
        if (slot.loop == &loop) return slot;
    return slots_.front();
}

void Host::connection_closed(Connection* conn) {
    EventLoop& loop = conn->loop();
    slot_of(loop).connections.erase(conn);
    // Deleted once the current callbacks are done with it.
    loop.post([conn] { delete conn; });
    // A descriptor is free again: a paused listener tries at once (on its loop,
    // after this connection's teardown).
    if (paused_listeners_.load() > 0)
        for (auto& l : listeners_)
            if (l->loop) gate_->post(*l->loop, [this, lp = l.get()] { resume_accepting(*lp); });
    std::lock_guard<std::mutex> lock(mu_);
    if (--connections_ == 0) state_cv_.notify_all();
}

// ---- shutdown --------------------------------------------------------------------

void Host::on_all_loops(void (Host::*step)(LoopSlot&)) {
    for (auto& slot : slots_) gate_->post(*slot.loop, [this, &slot, step] { (this->*step)(slot); });
}

void Host::stop_listening_and_drain(LoopSlot& slot) {
    for (auto& l : listeners_) {
        if (l->loop != slot.loop || l->socket == kNoSocket) continue;
        if (l->retry) slot.loop->cancel_timer(l->retry);
        slot.loop->unwatch(l->socket);
        socket_close(l->socket);
        l->socket = kNoSocket;
    }
    // A copy: a connection that cannot drain closes at once.
    for (Connection* c : std::vector<Connection*>(slot.connections.begin(), slot.connections.end()))
        c->begin_drain();
}

void Host::abort_connections(LoopSlot& slot) {
    for (Connection* c : std::vector<Connection*>(slot.connections.begin(), slot.connections.end()))
        c->abort();
}

void Host::shutdown(double grace) {
    std::unique_lock<std::mutex> lock(mu_);
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(grace > 0 ? grace : 0));
    if (stopping_) {
        // A second call with less grace cuts the first one short.
        if (until < grace_until_) {
            grace_until_ = until;
            state_cv_.notify_all();
        }
        state_cv_.wait(lock, [this] { return down_; });
        return;
    }
    stopping_ = true;
    stopping_flag_.store(true, std::memory_order_release);
    grace_until_ = until;
    if (!started_) {
        down_ = true;  // the destructor closes the listeners
        state_cv_.notify_all();
        return;
    }
    lock.unlock();
    on_all_loops(&Host::stop_listening_and_drain);
    lock.lock();
    while (connections_ > 0 && Clock::now() < grace_until_)
        state_cv_.wait_until(lock, grace_until_);
    if (connections_ > 0) {
        lock.unlock();
        on_all_loops(&Host::abort_connections);
        lock.lock();
        state_cv_.wait(lock, [this] { return connections_ == 0; });
    }
    lock.unlock();
    // Every stream is detached now. Stop the loops; handlers still running
    // find nothing to answer (their posts are refused).
    gate_->close();
    group_->stop_and_join();
    {
        std::unique_lock<std::mutex> work(work_mu_);
        for (ServerCall* call : runs_) {  // reset while waiting: nobody to answer
            if (max_concurrent_ > 0) inflight_.fetch_sub(1);
            call->release_held();
            call->release();
        }
        runs_.clear();
        for (ServerCall* call : priority_due_) {
            call->release_held();
            call->release();
        }
        priority_due_.clear();
        workers_exit_ = true;
        work_cv_.notify_all();
        idle_cv_.notify_all();
        // The closed hooks of the calls just ended run before shutdown
        // returns, and so do the streaming handlers waiting to hear of it.
        if (!t_in_closed_hook)
            idle_cv_.wait(work, [this] {
                return hooks_due_.empty() && hooks_running_ == 0 && resumes_.empty() &&
                       resumes_running_ == 0;
            });
    }
    lock.lock();
    down_ = true;
    state_cv_.notify_all();
}

}  // namespace server

std::shared_ptr<ServerHost> ServerHost::create(const std::vector<ChannelArg>& args,
                                               int max_workers, int max_concurrent_rpcs,
                                               std::unique_ptr<Hooks> hooks, Error* error) {
    wire::Options options;
    std::string why;
    if (!wire::read_options(args, &options, &why))
        return error->set(Error::Kind::invalid, why), nullptr;
    auto host = std::make_shared<server::Host>(options, max_workers, max_concurrent_rpcs,
                                               std::move(hooks));
    if (!host->callbacks() || !host->session_option())
        return error->set(Error::Kind::failed, "nghttp2 could not be set up"), nullptr;
    return host;
}

}  // namespace sorvane::native
