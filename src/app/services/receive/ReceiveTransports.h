#pragma once

#include "p2p/backup/FileSystemIdentity.h"
#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/streams/ByteStream.h"
#include "p2p/protocol/messages/DeviceInfo.h"
#include "p2p/receive/AssetSink.h"
#include "p2p/receive/ReceiveSession.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace app {

// What the receive model needs of the transports and the sink, as small interfaces: the program
// plugs the real network advertiser, multiplexer client and file-system sink in, tests plug fakes.
// Every object made here lives on the transfer thread and is used only there.

// Announces this computer and hands over one phone's connection at a time.
class ReceiveAdvertiser {
public:
    using ConnectionHandler = std::function<void(std::unique_ptr<p2p::ByteStream>)>;
    // The user's text of a failure after the announcement was up.
    using FailureHandler = std::function<void(std::string message)>;

    virtual ~ReceiveAdvertiser() = default;
    // Returns once the service is announced; throws otherwise. The handlers may be called from
    // the transfer thread only.
    virtual p2p::Awaitable<void> start(ConnectionHandler onConnection, FailureHandler onFailure) = 0;
    // The session slot is free again: the next phone is taken.
    virtual void sessionDidEnd() = 0;
    virtual p2p::Awaitable<void> stop() = 0;
};

// Lists phones attached through the mobile-device multiplexer and tunnels to a port on one.
class ReceiveMultiplexer {
public:
    struct Device {
        std::int64_t deviceID = 0;
        bool isUSB = true;
    };

    virtual ~ReceiveMultiplexer() = default;
    virtual p2p::Awaitable<std::vector<Device>> listDevices() = 0;
    virtual p2p::Awaitable<std::unique_ptr<p2p::ByteStream>> connect(std::int64_t deviceID, std::uint16_t port) = 0;
};

// One receive's sink, and where it writes once it knows (read on the transfer thread only).
struct ReceiveSinkHandle {
    std::shared_ptr<p2p::AssetSink> sink;
    std::function<std::optional<std::filesystem::path>()> resolvedBackupRoot;
};

// Where a road's sink writes: an existing library's folder, or a new one inside `parent`.
struct ReceiveDestination {
    std::filesystem::path libraryRoot;
    std::string libraryName; // UTF-8, as the sidebar shows it
    std::filesystem::path parent;
    std::string folderName;
    bool isNewLibrary = false;
    // The file system of the folder the sink watches, noted as the library store vouched for it.
    std::optional<p2p::FileSystemIdentity> fileSystem;
};

struct ReceiveTransports {
    // The transfer thread's executor.
    asio::any_io_executor executor;
    std::function<std::unique_ptr<ReceiveAdvertiser>(const p2p::DeviceInfo&)> makeAdvertiser;
    std::function<std::unique_ptr<ReceiveMultiplexer>()> makeMultiplexer;
    // An existing library's folder, with the library's name for the text shown when it is gone.
    std::function<ReceiveSinkHandle(const ReceiveDestination& destination)> makeSink;
    // A new library, named after its folder, created inside `parent` when the first file arrives;
    // `onMaterialized` gets the created folder, on the sink's side.
    std::function<ReceiveSinkHandle(
        const ReceiveDestination& destination, std::function<void(const std::filesystem::path&)> onMaterialized)>
        makePendingSink;

    // The wired road asks the multiplexer this often, at most this many times.
    std::chrono::steady_clock::duration pollInterval = std::chrono::seconds(2);
    int pollAttemptLimit = 60;
    p2p::ReceiveSessionTiming sessionTiming;
    // Seconds a connection has to send its hello; the session configuration's when empty.
    std::optional<double> handshakeTimeout;
};

} // namespace app
