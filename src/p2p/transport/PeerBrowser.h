#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/transport/DiscoveredPeer.h"
#include "p2p/transport/NWConnectionByteStream.h"
#include "p2p/transport/TransportError.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace p2p {

class AvahiClientThread;

// The sending side's discovery: browses for "_kalvenstroud._tcp" through Avahi, keeps a de-duplicated
// sorted list of peers, and dials a chosen one. The desktop never creates one; the test phone does.
// Our own machine's services are listed too (the test phone and the desktop share one). Lives on
// one executor.
class PeerBrowser {
public:
    using UpdateHandler = std::function<void(const std::vector<DiscoveredPeer>&)>;
    using FailureHandler = std::function<void(const TransportError&)>;

    // One sighting: the endpoint and its TXT record in wire order, if it could be read.
    struct Result {
        ServiceEndpoint endpoint;
        std::optional<P2PService::TXTRecord> txtRecord;
    };

    PeerBrowser(asio::any_io_executor executor, bool includePeerToPeer);
    ~PeerBrowser();

    PeerBrowser(const PeerBrowser&) = delete;
    PeerBrowser& operator=(const PeerBrowser&) = delete;

    // The last list passed to the update handler.
    const std::vector<DiscoveredPeer>& peers() const { return peers_; }

    // Returns once browsing runs; throws browserFailed. While started it returns at once and keeps
    // the first handlers.
    asio::awaitable<void> start(UpdateHandler onUpdate, FailureHandler onFailure = {});
    void stop();
    // A started stream to the peer, trying its endpoints one after another without interface;
    // throws the last candidate's error.
    asio::awaitable<std::unique_ptr<NWConnectionByteStream>> connect(const DiscoveredPeer& peer, double timeout);

    // The pure parts of building the list.
    static std::vector<DiscoveredPeer> peersFrom(const std::vector<Result>& results);
    static std::vector<DiscoveredPeer> deduplicate(const std::vector<DiscoveredPeer>& candidates);
    static std::vector<ServiceEndpoint> uniqueEndpoints(const std::vector<ServiceEndpoint>& endpoints);
    // timeout / count, but never below 8 seconds.
    static double candidateTimeout(double timeout, std::size_t count);

private:
    struct Browse;
    void apply(const std::vector<Result>& results);
    void becomeReady();
    void handleFailure(const std::string& reason, bool beforeReady);

    asio::any_io_executor executor_;
    bool includePeerToPeer_; // no Linux counterpart; kept for callers
    Logger logger_;
    std::shared_ptr<Browse> browse_;
    UpdateHandler updateHandler_;
    FailureHandler failureHandler_;
    bool isReady_ = false;
    std::optional<TransportError> startFailure_;
    asio::steady_timer readySignal_;
    std::vector<DiscoveredPeer> peers_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace p2p
