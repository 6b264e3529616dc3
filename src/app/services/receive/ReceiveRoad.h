#pragma once

#include "app/services/receive/ReceiveTransports.h"

#include "p2p/protocol/messages/PairingCode.h"
#include "p2p/protocol/P2PLog.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace app {

// A phone's stream on its way from a transport to a session. Whoever drops it without taking the
// stream (a report that arrived too late, a model that is gone) closes it on the transfer thread.
class PendingStream {
public:
    PendingStream(asio::any_io_executor executor, std::unique_ptr<p2p::ByteStream> stream);
    ~PendingStream();
    PendingStream(const PendingStream&) = delete;
    PendingStream& operator=(const PendingStream&) = delete;

    // Transfer thread only.
    std::unique_ptr<p2p::ByteStream> take() { return std::move(stream_); }

private:
    asio::any_io_executor executor_;
    std::unique_ptr<p2p::ByteStream> stream_;
};

// What a road tells the receive model. Reports are made on the transfer thread and handed to the
// road's reporter, which posts them to the main thread.
struct RoadReport {
    // The announcement could not start.
    struct AdvertiserStartFailed {
        std::string message;
    };
    // The announcement broke down after it was up.
    struct AdvertiserFailed {
        std::string message;
    };
    // A phone is connected; the model answers with beginSession() or drops it.
    struct Connected {
        std::shared_ptr<PendingStream> stream;
    };
    struct WiredStatus {
        std::string message;
    };
    // Every attempt to find a phone on the cable is used up.
    struct WiredGaveUp {
        std::string message;
    };
    struct SessionEvent {
        p2p::ReceiveEvent event;
        // The sink's backup folder, read on the transfer thread when the event could show it.
        std::optional<std::filesystem::path> backupRoot;
    };
    // A new library's folder was created by the sink.
    struct LibraryMaterialized {
        std::filesystem::path folder;
    };

    std::variant<AdvertiserStartFailed, AdvertiserFailed, Connected, WiredStatus, WiredGaveUp, SessionEvent,
        LibraryMaterialized>
        value;
};

// One opened road of the receive model (network announcement or cable polling) with its sink,
// its one pairing verifier and its sessions. The receive model lives on the main thread and only
// calls the three public operations, which post their work to the transfer thread; everything
// else happens there. Work holds the road through shared pointers, so the model may drop it at
// any time after shutDown().
class ReceiveRoad : public std::enable_shared_from_this<ReceiveRoad> {
public:
    enum class Kind { wireless, wired };
    // Called on the transfer thread; must only post.
    using Reporter = std::function<void(RoadReport)>;

    static constexpr std::uint16_t wiredPort = 47077;
    static constexpr std::int64_t pairingAttempts = 3;

    ReceiveRoad(ReceiveTransports transports, Kind kind, ReceiveDestination destination, p2p::DeviceInfo localDevice,
        p2p::PairingCode code, Reporter report);
    ~ReceiveRoad();

    // Any thread. Creates the sink and opens the road.
    void open();
    // Runs a session on a connected phone's stream, shutting down the one before.
    void beginSession(std::shared_ptr<PendingStream> stream);
    // Stops at once whatever has not started yet, then shuts the session down and stops the
    // announcement; `onDone` runs on the transfer thread afterwards.
    void shutDown(std::function<void()> onDone);

private:
    p2p::Awaitable<void> openWireless();
    p2p::Awaitable<void> pollForPhone();
    p2p::Awaitable<void> runSession(std::shared_ptr<PendingStream> pending);
    p2p::Awaitable<void> closeDown(std::function<void()> onDone);
    void report(RoadReport::Connected connected);
    void onSessionEvent(const p2p::ReceiveEvent& event);
    // A connection that ended before its hello is logged and closed; the wait goes on.
    bool isStranger(const p2p::ReceiveSession& session) const;
    bool isStrangersFailure(const std::shared_ptr<p2p::ReceiveSession>& session, const p2p::ReceiveEvent& event) const;
    void setWiredStatus(std::string message);

    const ReceiveTransports transports_;
    const Kind kind_;
    const ReceiveDestination destination_;
    const p2p::DeviceInfo localDevice_;
    const Reporter report_;
    const p2p::Logger logger_;
    // Set from the main thread the moment the model lets go of the road; read after every wait.
    std::atomic<bool> cancelled_ = false;

    // Transfer thread only.
    std::shared_ptr<p2p::PairingVerifier> verifier_;
    ReceiveSinkHandle sink_;
    std::shared_ptr<ReceiveAdvertiser> advertiser_;
    std::shared_ptr<ReceiveMultiplexer> multiplexer_;
    std::shared_ptr<p2p::ReceiveSession> session_;
    asio::steady_timer pollTimer_;
};

// The message shown for an error met while opening a road.
std::string roadErrorMessage(const std::exception_ptr& error);

} // namespace app
