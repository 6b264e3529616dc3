#include "app/services/receive/ReceiveServices.h"

#include "p2p/backup/FileSystemAssetSink.h"
#include "p2p/transport/PeerAdvertiser.h"
#include "p2p/transport/UsbmuxClient.h"

#include "p2p/protocol/messages/SessionConfiguration.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace app {

namespace {

// Where a sink writes, as the sink last said; written on the sink thread, read on the transfer thread.
struct BackupRootHolder {
    std::mutex lock;
    std::optional<std::filesystem::path> root;
};

ReceiveSinkHandle handleFor(const std::shared_ptr<p2p::FileSystemAssetSink>& sink)
{
    auto holder = std::make_shared<BackupRootHolder>();
    sink->setBackupRootHandler([holder](const std::optional<std::filesystem::path>& root) {
        std::lock_guard guard(holder->lock);
        holder->root = root;
    });
    return {sink, [holder] {
                std::lock_guard guard(holder->lock);
                return holder->root;
            }};
}

class NetworkAdvertiser final : public ReceiveAdvertiser {
public:
    NetworkAdvertiser(asio::any_io_executor executor, const p2p::DeviceInfo& device,
        std::chrono::milliseconds handshakeTimeout, std::function<void(std::uint16_t)> onAnnounced)
        : advertiser_(std::move(executor), device, true, handshakeTimeout), onAnnounced_(std::move(onAnnounced))
    {
    }

    p2p::Awaitable<void> start(ConnectionHandler onConnection, FailureHandler onFailure) override
    {
        auto connection = [onConnection](std::unique_ptr<p2p::NWConnectionByteStream> stream) {
            onConnection(std::move(stream));
        };
        auto failure = [onFailure](const p2p::TransportError& error) {
            if (onFailure)
                onFailure(error.description());
        };
        co_await advertiser_.start(std::move(connection), std::move(failure));
        if (onAnnounced_ && advertiser_.port())
            onAnnounced_(*advertiser_.port());
    }

    void sessionDidEnd() override { advertiser_.sessionDidEnd(); }

    p2p::Awaitable<void> stop() override
    {
        advertiser_.stop();
        co_return;
    }

private:
    p2p::PeerAdvertiser advertiser_;
    std::function<void(std::uint16_t)> onAnnounced_;
};

class UsbmuxMultiplexer final : public ReceiveMultiplexer {
public:
    UsbmuxMultiplexer(asio::any_io_executor executor, std::string socketPath) : client_(std::move(executor), std::move(socketPath)) {}

    p2p::Awaitable<std::vector<Device>> listDevices() override
    {
        std::vector<Device> devices;
        for (const p2p::UsbmuxDevice& device : co_await client_.listDevices())
            devices.push_back({device.deviceID, device.isUSB()});
        co_return devices;
    }

    p2p::Awaitable<std::unique_ptr<p2p::ByteStream>> connect(std::int64_t deviceID, std::uint16_t port) override
    {
        co_return co_await client_.connect(deviceID, port);
    }

private:
    p2p::UsbmuxClient client_;
};

} // namespace

void useNetworkAdvertiser(ReceiveTransports& transports, std::function<void(std::uint16_t port)> onAnnounced)
{
    // A connection has as long to say hello as a session has.
    const double seconds = transports.handshakeTimeout.value_or(p2p::SessionConfiguration::automatic().handshakeTimeout);
    const auto handshakeTimeout = std::chrono::milliseconds(std::llround(std::clamp(seconds, 0.001, 86400.0) * 1000));
    transports.makeAdvertiser = [executor = transports.executor, handshakeTimeout, onAnnounced](
                                    const p2p::DeviceInfo& device) -> std::unique_ptr<ReceiveAdvertiser> {
        return std::make_unique<NetworkAdvertiser>(executor, device, handshakeTimeout, onAnnounced);
    };
}

void useUsbmux(ReceiveTransports& transports, std::string socketPath)
{
    transports.makeMultiplexer = [executor = transports.executor, socketPath]() -> std::unique_ptr<ReceiveMultiplexer> {
        return std::make_unique<UsbmuxMultiplexer>(executor, socketPath);
    };
}

void useFileSystemSinks(ReceiveTransports& transports, p2p::SinkThread& sinks)
{
    transports.makeSink = [&sinks](const ReceiveDestination& destination) {
        auto sink = std::make_shared<p2p::FileSystemAssetSink>(sinks.executor(), destination.libraryRoot);
        sink->setLibraryName(destination.libraryName);
        sink->expectFileSystem(destination.fileSystem);
        return handleFor(sink);
    };
    transports.makePendingSink = [&sinks](const ReceiveDestination& destination,
                                     std::function<void(const std::filesystem::path&)> onMaterialized) {
        auto sink = std::make_shared<p2p::FileSystemAssetSink>(
            sinks.executor(), destination.parent, destination.folderName, std::move(onMaterialized));
        sink->setLibraryName(destination.libraryName);
        sink->expectFileSystem(destination.fileSystem);
        return handleFor(sink);
    };
}

ReceiveServices::ReceiveServices()
{
    transports_.executor = runtime_.executor();
    useFileSystemSinks(transports_, sinks_);
    useNetworkAdvertiser(transports_);
    useUsbmux(transports_, std::string(p2p::UsbmuxClient::defaultSocketPath));
}

ReceiveServices::~ReceiveServices()
{
    runtime_.stop();
    sinks_.drain();
}

} // namespace app
