// The channel host as the module holds it: the facade, which builds a call
// on the caller's thread (metadata checked and encoded, the body framed) and
// posts it to the core its policy picks; pick_first's facade over one core;
// and ChannelHost::create (target, options, retry policies, TLS, policy).
// The core is channel_core.cpp's, the shared threads channel_threads.cpp's,
// round_robin balancer.cpp's, retries retry.cpp's. No Python here.
#include "channel.hpp"

#include <algorithm>

namespace sorvane::native {

namespace client {

Facade::Facade(wire::Options options, std::shared_ptr<const RetryTable> retries)
    : options_(std::move(options)), retries_(std::move(retries)) {}

std::shared_ptr<PendingCall> Facade::start(const std::string& method, Payload&& body,
                                           double timeout, const Metadata& metadata,
                                           int wait_for_ready, std::function<void()> on_done,
                                           Error* error) {
    return begin(false, method, std::move(body), timeout, metadata, wait_for_ready,
                 std::move(on_done), error);
}

std::shared_ptr<PendingCall> Facade::start_woken(const std::string& method, Payload&& body,
                                                 double timeout, const Metadata& metadata,
                                                 int wait_for_ready,
                                                 std::shared_ptr<Wakeup> wakeup, void* item,
                                                 Error* error) {
    auto push = [wakeup = std::move(wakeup), item] { wakeup->push(item); };
    return begin(false, method, std::move(body), timeout, metadata, wait_for_ready,
                 std::move(push), error, true);
}

std::shared_ptr<ResponseStream> Facade::stream(const std::string& method, Payload&& body,
                                               double timeout, const Metadata& metadata,
                                               int wait_for_ready, std::function<void()> on_done,
                                               Error* error) {
    return begin(true, method, std::move(body), timeout, metadata, wait_for_ready,
                 std::move(on_done), error);
}

// Builds the call on the caller's thread (metadata checked and encoded, the
// body framed) and posts it to the loop, through the core pick() chose.
std::shared_ptr<ClientCall> Facade::begin(bool streaming, const std::string& method,
                                          Payload&& body, double timeout,
                                          const Metadata& metadata, int wait_for_ready,
                                          std::function<void()> on_done, Error* error,
                                          bool done_inline) {
    // Calling a closed channel, or with metadata gRPC cannot carry, is
    // the caller's doing.
    const auto invalid = [error](std::string why) {
        return error->set(Error::Kind::invalid, std::move(why)), nullptr;
    };
    if (closed()) return invalid("Cannot invoke RPC on closed channel!");
    auto call = std::make_shared<Call>(pick(), streaming);
    call->send_metadata.reserve(metadata.size());
    for (const auto& kv : metadata) {
        const std::string& key = kv.first;
        if (!wire::valid_key(key) || wire::is_reserved_header(key))
            return invalid("metadata was invalid");
        if (wire::is_binary_key(key)) {
            call->send_metadata.emplace_back(key, wire::base64_encode(kv.second));
        } else {
            if (!wire::valid_text_value(kv.second)) return invalid("metadata was invalid");
            call->send_metadata.push_back(kv);
        }
    }
    call->path = method;
    call->wait_for_ready = wait_for_ready;
    if (timeout >= 0) {
        call->has_deadline = true;
        double capped = std::min(timeout, 1e9);
        call->deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(capped));
    }
    call->on_done = std::move(on_done);
    call->done_inline = done_inline;
    if (!options_.channel_error.empty()) {
        call->finish(kInvalidArgument, options_.channel_error);
        return call;
    }
    long long max_send = options_.max_send_message;
    if (max_send >= 0 && body.size() > static_cast<unsigned long long>(max_send)) {
        call->finish(kResourceExhausted, "Sent message larger than max (" +
                                             std::to_string(body.size()) + " vs. " +
                                             std::to_string(max_send) + ")");
        return call;
    }
    wire::write_prefix(body.size(), call->prefix);
    call->body = std::move(body);
    std::string why;
    if (retries_) {
        // A request larger than the retry buffer is sent once, as gRPC does.
        const RetryPolicy* policy = retries_->find(method);
        if (policy && call->body.size() + wire::kMessagePrefix <=
                          static_cast<unsigned long long>(options_.retry_buffer)) {
            std::shared_ptr<ClientCall> retried =
                start_retrying(shared_from_this(), *policy, std::move(call), &why);
            if (!retried) return invalid(why);
            return retried;
        }
    }
    if (!call->core->post_call(call, &why)) return invalid(why);
    return call;
}

}  // namespace client

namespace {

using client::ChannelCore;

// pick_first: one core, which connects to the first address that answers.
class PickFirst final : public client::Facade {
public:
    PickFirst(std::shared_ptr<ChannelCore> core, std::shared_ptr<const client::RetryTable> retries)
        : Facade(core->options, std::move(retries)), core_(std::move(core)) {}
    ~PickFirst() override { core_->close(); }

    std::shared_ptr<ChannelCore> pick() override { return core_; }
    bool closed() const override { return core_->closed(); }
    int connectivity(bool try_to_connect) override {
        // A channel whose options gRPC refuses never connects.
        if (!options_.channel_error.empty()) return core_->closed() ? 4 : 3;
        return core_->connectivity(try_to_connect);
    }
    void close() override { core_->close(); }

private:
    std::shared_ptr<ChannelCore> core_;
};

}  // namespace

std::shared_ptr<ChannelHost> ChannelHost::create(const std::string& target,
                                                 const std::vector<ChannelArg>& args,
                                                 const TlsConfig* tls, Error* error) {
    // The target, the options and the TLS material are the caller's; only
    // the shared loop is the system's.
    std::string why;
    const auto invalid = [error, &why] { return error->set(Error::Kind::invalid, why), nullptr; };
    wire::Options options;
    if (!wire::read_options(args, &options, &why)) return invalid();
    client::Target parsed;
    if (!client::parse_target(target, &parsed, &why)) return invalid();
    if (!options.default_authority.empty()) parsed.authority = options.default_authority;
    std::shared_ptr<const client::RetryTable> retries;
    if (!options.retry_policies.empty()) {
        auto table = std::make_shared<client::RetryTable>();
        if (!client::RetryTable::parse(options.retry_policies, table.get(), &why)) return invalid();
        if (!table->empty()) retries = std::move(table);
    }
    bool round_robin = options.lb_policy == "round_robin" && options.channel_error.empty();
    if (!round_robin && !options.lb_policy.empty() && options.lb_policy != "pick_first" &&
        options.lb_policy != "round_robin") {
        why = "sorvane.lb_policy: unknown policy " + options.lb_policy;
        return invalid();
    }
    std::shared_ptr<TlsContext> context;
    if (tls && tls->enabled) {
        context = TlsContext::for_client(*tls, &why);
        if (!context) return invalid();
    }
    EventLoop* loop = client::shared_loop(&why);
    if (!loop) return error->set(Error::Kind::failed, why), nullptr;
    std::vector<SocketAddress> numeric;
    if (parsed.numeric) {
        for (const auto& ep : parsed.endpoints) {
            std::vector<SocketAddress> one;  // resolve() replaces what it is given
            if (!resolve(ep.host, ep.port, false, &one, &why)) {
                why = "invalid target " + target + ": " + why;
                return invalid();
            }
            numeric.insert(numeric.end(), one.begin(), one.end());
        }
    }
    if (round_robin)
        return client::make_round_robin(*loop, std::move(parsed), std::move(numeric),
                                        std::move(options), std::move(context), std::move(retries));
    auto core = std::make_shared<ChannelCore>(*loop, std::move(parsed), std::move(options),
                                              std::move(context));
    core->seed_addresses(std::move(numeric));
    return std::make_shared<PickFirst>(std::move(core), std::move(retries));
}

}  // namespace sorvane::native
