#include "p2p/transport/PeerBrowser.h"

#include "p2p/protocol/messages/SessionConfiguration.h"
#include "p2p/transport/AvahiClientThread.h"

#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

namespace p2p {

namespace {

constexpr double minimumCandidateTimeout = 8;

P2PService::TXTRecord txtPairs(AvahiStringList* list)
{
    P2PService::TXTRecord record;
    for (AvahiStringList* item = list; item; item = avahi_string_list_get_next(item)) {
        char* key = nullptr;
        char* value = nullptr;
        if (avahi_string_list_get_pair(item, &key, &value, nullptr) == 0) {
            record.emplace_back(key, value ? value : "");
            avahi_free(key);
            avahi_free(value);
        }
    }
    // Avahi hands the strings over last first.
    std::reverse(record.begin(), record.end());
    return record;
}

std::optional<asio::ip::tcp::endpoint> endpointOf(const AvahiAddress* address, std::uint16_t port, int interfaceIndex)
{
    if (!address)
        return std::nullopt;
    if (address->proto == AVAHI_PROTO_INET)
        return asio::ip::tcp::endpoint(asio::ip::address_v4(ntohl(address->data.ipv4.address)), port);
    if (address->proto == AVAHI_PROTO_INET6) {
        asio::ip::address_v6::bytes_type bytes;
        std::copy(std::begin(address->data.ipv6.address), std::end(address->data.ipv6.address), bytes.begin());
        asio::ip::address_v6 v6(bytes);
        if (v6.is_link_local() && interfaceIndex >= 0)
            v6.scope_id(static_cast<unsigned long>(interfaceIndex));
        return asio::ip::tcp::endpoint(v6, port);
    }
    return std::nullopt;
}

// Resolves one service to its addresses through a client of its own, so nothing of the browser
// has to outlive the dial.
asio::awaitable<std::vector<asio::ip::tcp::endpoint>> resolveService(ServiceEndpoint service)
{
    struct Shared {
        explicit Shared(const asio::any_io_executor& executor) : done(executor, asio::steady_timer::time_point::max()) { }
        asio::steady_timer done;
        std::vector<asio::ip::tcp::endpoint> endpoints;
        std::string failure;
        ServiceEndpoint service;
        bool resolverStarted = false;
    };
    auto executor = co_await asio::this_coro::executor;
    auto shared = std::make_shared<Shared>(executor);
    shared->service = std::move(service);

    auto finish = [executor](std::shared_ptr<Shared> state, std::optional<asio::ip::tcp::endpoint> endpoint, std::string failure) {
        asio::post(executor, [state, endpoint, failure] {
            if (endpoint)
                state->endpoints.push_back(*endpoint);
            state->failure = failure;
            state->done.cancel();
        });
    };
    struct Context {
        std::shared_ptr<Shared> state;
        decltype(finish) report;
    };
    auto context = std::make_shared<Context>(Context {shared, finish});

    auto onResolved = [](AvahiServiceResolver* resolver, AvahiIfIndex interfaceIndex, AvahiProtocol, AvahiResolverEvent event,
                          const char*, const char*, const char*, const char*, const AvahiAddress* address,
                          std::uint16_t port, AvahiStringList*, AvahiLookupResultFlags, void* user) {
        auto* context = static_cast<Context*>(user);
        if (event == AVAHI_RESOLVER_FOUND)
            context->report(context->state, endpointOf(address, port, interfaceIndex), {});
        else
            context->report(context->state, std::nullopt,
                avahi_strerror(avahi_client_errno(avahi_service_resolver_get_client(resolver))));
        avahi_service_resolver_free(resolver);
    };

    std::unique_ptr<AvahiClientThread> thread;
    try {
        thread = std::make_unique<AvahiClientThread>([context, onResolved](AvahiClient* client, AvahiClientState state) {
            Shared& shared = *context->state;
            if (state == AVAHI_CLIENT_S_RUNNING && !shared.resolverStarted) {
                shared.resolverStarted = true;
                const ServiceEndpoint& s = shared.service;
                if (!avahi_service_resolver_new(client, s.interfaceIndex, s.protocol, s.name.c_str(), s.type.c_str(),
                        s.domain.c_str(), AVAHI_PROTO_UNSPEC, static_cast<AvahiLookupFlags>(0), onResolved, context.get()))
                    context->report(context->state, std::nullopt, avahi_strerror(avahi_client_errno(client)));
            } else if (state == AVAHI_CLIENT_FAILURE) {
                context->report(context->state, std::nullopt, avahi_strerror(avahi_client_errno(client)));
            }
        });
    } catch (const AvahiClientThread::Failure& failure) {
        throw std::runtime_error(failure.text);
    }
    co_await shared->done.async_wait(useNothrowAwaitable);
    thread.reset();
    if (shared->endpoints.empty())
        throw std::runtime_error(shared->failure.empty() ? "找不到对方的地址" : shared->failure);
    co_return shared->endpoints;
}

} // namespace

// The Avahi side of one browse. Its callbacks run on the poll thread with the lock held; what they
// learn reaches the browser through `post`, which holds the browser weakly.
struct PeerBrowser::Browse {
    using Key = std::tuple<int, int, std::string>;

    std::function<void(std::function<void(PeerBrowser&)>)> post;
    std::unique_ptr<AvahiClientThread> thread;
    AvahiServiceBrowser* browser = nullptr;
    std::set<Key> present;
    std::map<Key, Result> results;

    ~Browse() { thread.reset(); } // stops callbacks before the maps go

    void publish()
    {
        std::vector<Result> snapshot;
        for (const auto& [key, result] : results)
            snapshot.push_back(result);
        post([snapshot](PeerBrowser& owner) { owner.apply(snapshot); });
    }

    void fail(AvahiClient* client, bool beforeReady)
    {
        const std::string reason = avahi_strerror(avahi_client_errno(client));
        post([reason, beforeReady](PeerBrowser& owner) { owner.handleFailure(reason, beforeReady); });
    }

    void onClientState(AvahiClient* client, AvahiClientState state)
    {
        if (state == AVAHI_CLIENT_S_RUNNING && !browser) {
            browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                std::string(P2PService::type).c_str(), "local", static_cast<AvahiLookupFlags>(0), &Browse::onBrowse, this);
            if (!browser) {
                fail(client, true);
                return;
            }
            post([](PeerBrowser& owner) { owner.becomeReady(); });
        } else if (state == AVAHI_CLIENT_FAILURE) {
            fail(client, false);
        }
    }

    static void onBrowse(AvahiServiceBrowser* browser, AvahiIfIndex interfaceIndex, AvahiProtocol protocol,
        AvahiBrowserEvent event, const char* name, const char* type, const char* domain, AvahiLookupResultFlags,
        void* user)
    {
        auto* self = static_cast<Browse*>(user);
        AvahiClient* client = avahi_service_browser_get_client(browser);
        switch (event) {
        case AVAHI_BROWSER_NEW: {
            self->present.emplace(interfaceIndex, protocol, name);
            if (!avahi_service_resolver_new(client, interfaceIndex, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                    static_cast<AvahiLookupFlags>(0), &Browse::onResolve, self)) {
                self->results[{interfaceIndex, protocol, name}] = Result {{name, type, domain, interfaceIndex, protocol, false}, std::nullopt};
                self->publish();
            }
            break;
        }
        case AVAHI_BROWSER_REMOVE:
            self->present.erase({interfaceIndex, protocol, name});
            self->results.erase({interfaceIndex, protocol, name});
            self->publish();
            break;
        case AVAHI_BROWSER_FAILURE:
            self->fail(client, false);
            break;
        case AVAHI_BROWSER_ALL_FOR_NOW:
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            break;
        }
    }

    static void onResolve(AvahiServiceResolver* resolver, AvahiIfIndex interfaceIndex, AvahiProtocol protocol,
        AvahiResolverEvent event, const char* name, const char* type, const char* domain, const char*, const AvahiAddress*,
        std::uint16_t, AvahiStringList* txt, AvahiLookupResultFlags flags, void* user)
    {
        auto* self = static_cast<Browse*>(user);
        const Key key {interfaceIndex, protocol, name};
        if (self->present.count(key)) {
            Result result {{name, type, domain, interfaceIndex, protocol, (flags & AVAHI_LOOKUP_RESULT_LOCAL) != 0}, std::nullopt};
            if (event == AVAHI_RESOLVER_FOUND)
                result.txtRecord = txtPairs(txt);
            self->results[key] = std::move(result);
            self->publish();
        }
        avahi_service_resolver_free(resolver);
    }
};

PeerBrowser::PeerBrowser(asio::any_io_executor executor, bool includePeerToPeer)
    : executor_(executor)
    , includePeerToPeer_(includePeerToPeer)
    , logger_(P2PLog::Category::discovery)
    , readySignal_(executor)
{
}

PeerBrowser::~PeerBrowser()
{
    stop();
}

asio::awaitable<void> PeerBrowser::start(UpdateHandler onUpdate, FailureHandler onFailure)
{
    if (browse_)
        co_return;
    updateHandler_ = std::move(onUpdate);
    failureHandler_ = std::move(onFailure);
    isReady_ = false;
    startFailure_.reset();
    alive_ = std::make_shared<int>(0);
    auto browse = std::make_shared<Browse>();
    browse->post = [this, executor = executor_, alive = std::weak_ptr<int>(alive_)](std::function<void(PeerBrowser&)> call) {
        asio::post(executor, [this, alive, call = std::move(call)] {
            if (!alive.expired())
                call(*this);
        });
    };
    browse_ = browse;
    try {
        browse->thread = std::make_unique<AvahiClientThread>(
            [raw = browse.get()](AvahiClient* client, AvahiClientState state) { raw->onClientState(client, state); });
    } catch (const AvahiClientThread::Failure& failure) {
        browse_.reset();
        logger_.error("搜索失败：" + failure.text);
        throw TransportError::browserFailed(failure.text);
    }
    readySignal_.expires_at(asio::steady_timer::time_point::max());
    while (!isReady_ && !startFailure_)
        co_await readySignal_.async_wait(useNothrowAwaitable);
    if (startFailure_)
        throw *startFailure_;
}

void PeerBrowser::becomeReady()
{
    isReady_ = true;
    logger_.info("搜索已就绪");
    readySignal_.cancel();
}

void PeerBrowser::handleFailure(const std::string& reason, bool beforeReady)
{
    logger_.error("搜索失败：" + reason);
    const TransportError failure = TransportError::browserFailed(reason);
    if (beforeReady || !isReady_) {
        startFailure_ = failure;
        readySignal_.cancel();
    }
    if (failureHandler_)
        failureHandler_(failure);
}

void PeerBrowser::stop()
{
    if (browse_ && !isReady_ && !startFailure_) {
        startFailure_ = TransportError::browserFailed("搜索已取消");
        readySignal_.cancel();
    }
    browse_.reset();
    alive_ = std::make_shared<int>(0);
    updateHandler_ = {};
    failureHandler_ = {};
    isReady_ = false;
    peers_.clear();
}

void PeerBrowser::apply(const std::vector<Result>& results)
{
    peers_ = peersFrom(results);
    logger_.info("发现 " + std::to_string(peers_.size()) + " 台设备（原始结果 " + std::to_string(results.size()) + " 条）");
    if (updateHandler_)
        updateHandler_(peers_);
}

std::vector<DiscoveredPeer> PeerBrowser::peersFrom(const std::vector<Result>& results)
{
    std::vector<DiscoveredPeer> candidates;
    for (const Result& result : results)
        candidates.emplace_back(result.endpoint, result.txtRecord);
    std::vector<DiscoveredPeer> peers = deduplicate(candidates);
    std::stable_sort(peers.begin(), peers.end(), [](const DiscoveredPeer& a, const DiscoveredPeer& b) {
        return std::tie(a.name, a.id) < std::tie(b.name, b.id);
    });
    return peers;
}

std::vector<DiscoveredPeer> PeerBrowser::deduplicate(const std::vector<DiscoveredPeer>& candidates)
{
    std::vector<DiscoveredPeer> peers;
    std::map<std::string, std::size_t> byKey;
    for (const DiscoveredPeer& candidate : candidates) {
        const std::string key = candidate.deviceIdentifier.value_or(candidate.id);
        auto found = byKey.find(key);
        if (found == byKey.end()) {
            byKey.emplace(key, peers.size());
            peers.push_back(candidate);
            continue;
        }
        for (const ServiceEndpoint& endpoint : candidate.endpoints)
            peers[found->second] = peers[found->second].merging(endpoint);
    }
    return peers;
}

std::vector<ServiceEndpoint> PeerBrowser::uniqueEndpoints(const std::vector<ServiceEndpoint>& endpoints)
{
    std::vector<ServiceEndpoint> unique;
    std::set<std::string> seen;
    for (const ServiceEndpoint& endpoint : endpoints) {
        if (seen.insert(endpoint.description()).second)
            unique.push_back(endpoint);
    }
    return unique;
}

double PeerBrowser::candidateTimeout(double timeout, std::size_t count)
{
    return std::max(timeout / static_cast<double>(std::max<std::size_t>(count, 1)), minimumCandidateTimeout);
}

asio::awaitable<std::unique_ptr<NWConnectionByteStream>> PeerBrowser::connect(const DiscoveredPeer& peer, double timeout)
{
    std::vector<ServiceEndpoint> candidates;
    for (const ServiceEndpoint& endpoint : peer.endpoints)
        candidates.push_back(endpoint.withoutInterface());
    candidates = uniqueEndpoints(candidates);
    const double perCandidate = candidateTimeout(timeout, candidates.size());
    const double ioTimeout = std::max(1.0, SessionConfiguration::defaults().ioTimeout);
    TransportError lastError = TransportError::connectionFailed("无法连接到 " + peer.name);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const ServiceEndpoint candidate = candidates[i];
        NWConnectionByteStream::Resolve resolve = [candidate] { return resolveService(candidate); };
        auto stream = std::make_unique<NWConnectionByteStream>(executor_, candidate.description(), std::move(resolve),
            NWConnectionByteStream::defaultMaximumReceiveByteCount, ioTimeout);
        const std::string position = std::to_string(i + 1) + "/" + std::to_string(candidates.size());
        std::optional<TransportError> failure;
        try {
            co_await stream->start(perCandidate);
        } catch (const TransportError& error) {
            failure = error;
        }
        if (!failure) {
            logger_.info("已连接到 " + peer.name + "（候选 " + position + "）");
            co_return stream;
        }
        logger_.notice("连接候选 " + position + " 失败：" + failure->description());
        lastError = *failure;
    }
    throw lastError;
}

} // namespace p2p
