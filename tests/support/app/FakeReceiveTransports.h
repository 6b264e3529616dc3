#pragma once

#include "app/services/receive/ReceiveTransports.h"

#include "p2p/protocol/streams/InMemoryByteStream.h"
#include "p2p/protocol/streams/TransferRuntime.h"
#include "p2p/transport/TransportError.h"
#include "support/p2p/FakePhone.h"
#include "support/p2p/RecordingSink.h"

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace app::testing {

// Fake transports and sinks for the receive model, on a real transfer thread. Counters are read
// from the main thread; everything else is touched on the transfer thread only. A phone is a
// FakePhone on the other end of an in-memory stream, running a script to its end.
class FakeReceiveWorld {
public:
    using Script = std::function<asio::awaitable<void>(p2p::testing::FakePhone&)>;

    struct ListStep {
        std::vector<ReceiveMultiplexer::Device> devices;
        std::optional<std::string> failure;
    };

    FakeReceiveWorld() = default;
    ~FakeReceiveWorld() { runtime.stop(); }

    ReceiveTransports transports()
    {
        ReceiveTransports t;
        t.executor = runtime.executor();
        t.makeAdvertiser = [this](const p2p::DeviceInfo& device) -> std::unique_ptr<ReceiveAdvertiser> {
            announcedDevice = device;
            return std::make_unique<Advertiser>(*this);
        };
        t.makeMultiplexer = [this]() -> std::unique_ptr<ReceiveMultiplexer> { return std::make_unique<Multiplexer>(*this); };
        t.makeSink = [this](const ReceiveDestination&) { return makeSink(); };
        t.makePendingSink = [this](const ReceiveDestination& destination,
                                std::function<void(const std::filesystem::path&)> onMaterialized) {
            pendingFolder = destination.parent / destination.folderName;
            ReceiveSinkHandle handle = makeSink();
            sink->beforeCall = [this, onMaterialized, materialized = false](std::string_view operation,
                                   const p2p::IncomingFile*) mutable {
                if (operation == "beginFile" && !materialized) {
                    materialized = true;
                    std::filesystem::create_directories(*pendingFolder);
                    onMaterialized(*pendingFolder);
                }
            };
            return handle;
        };
        t.pollInterval = pollInterval;
        t.pollAttemptLimit = pollAttemptLimit;
        t.sessionTiming.wrongCodeDelay = {};
        return t;
    }

    // A phone connects to the running announcement and plays `script`.
    void connectPhone(Script script)
    {
        asio::post(runtime.executor(), [this, script = std::move(script)]() mutable {
            auto [desktop, phone] = p2p::InMemoryByteStream::makePair(runtime.executor());
            if (!onConnection)
                throw std::logic_error("no announcement to connect to");
            playPhone(std::move(phone), std::move(script));
            onConnection(std::move(desktop));
        });
    }

    // A phone on a stream some transport made plays `script`; on the transfer thread.
    void playPhone(std::unique_ptr<p2p::ByteStream> stream, Script script)
    {
        auto phone = std::make_shared<p2p::testing::FakePhone>(std::move(stream));
        asio::co_spawn(runtime.executor(), play(phone, std::move(script)), asio::detached);
    }

    // The announcement breaks down after it was up.
    void failAnnouncement(std::string message)
    {
        asio::post(runtime.executor(), [this, message] { onFailure(message); });
    }

    // Returns once everything queued on the transfer thread so far has run.
    void flush()
    {
        std::promise<void> done;
        asio::post(runtime.executor(), [&] { done.set_value(); });
        done.get_future().wait();
    }

    // Opens a gate that holds every listDevices() until releaseList().
    void holdList() { holdingList = true; }
    void releaseList()
    {
        asio::post(runtime.executor(), [this] {
            holdingList = false;
            listGate.cancel();
        });
    }

    p2p::TransferRuntime runtime;
    std::optional<std::string> startFailure;
    std::function<ListStep(int attempt)> listScript = [](int) { return ListStep{}; };
    // A connect that fails throws this text (not a transport error); none connects to wiredPhone.
    std::function<std::optional<std::string>(int attempt)> connectScript = [](int) { return std::nullopt; };
    Script wiredPhone;
    std::chrono::steady_clock::duration pollInterval = std::chrono::milliseconds(1);
    int pollAttemptLimit = 60;
    std::optional<std::filesystem::path> backupRoot; // what the sink reports once prepared

    std::atomic<bool> announcing = false;
    std::atomic<int> starts = 0, stops = 0, sessionEnds = 0, lists = 0, listsInFlight = 0, listsReturned = 0;
    std::atomic<int> connects = 0;
    std::atomic<int> phonesDone = 0;
    std::mutex lock;
    std::vector<std::string> phoneErrors; // under lock
    std::vector<std::int64_t> connectedDeviceIDs;  // under lock

    // Transfer thread.
    std::shared_ptr<p2p::testing::RecordingSink> sink;
    std::optional<p2p::DeviceInfo> announcedDevice;
    std::optional<std::filesystem::path> pendingFolder;
    ReceiveAdvertiser::ConnectionHandler onConnection;
    ReceiveAdvertiser::FailureHandler onFailure;

private:
    class Advertiser final : public ReceiveAdvertiser {
    public:
        explicit Advertiser(FakeReceiveWorld& world) : world_(world) {}
        p2p::Awaitable<void> start(ConnectionHandler connection, FailureHandler failure) override
        {
            ++world_.starts;
            if (world_.startFailure)
                throw p2p::TransportError::advertiserFailed(*world_.startFailure);
            world_.onConnection = std::move(connection);
            world_.onFailure = std::move(failure);
            world_.announcing = true;
            co_return;
        }
        void sessionDidEnd() override { ++world_.sessionEnds; }
        p2p::Awaitable<void> stop() override
        {
            ++world_.stops;
            world_.announcing = false;
            world_.onConnection = nullptr;
            world_.onFailure = nullptr;
            co_return;
        }

    private:
        FakeReceiveWorld& world_;
    };

    class Multiplexer final : public ReceiveMultiplexer {
    public:
        explicit Multiplexer(FakeReceiveWorld& world) : world_(world) {}
        p2p::Awaitable<std::vector<Device>> listDevices() override
        {
            const int attempt = world_.lists++;
            if (world_.holdingList) {
                ++world_.listsInFlight;
                world_.listGate.expires_at(asio::steady_timer::time_point::max());
                auto [ec] = co_await world_.listGate.async_wait(p2p::useNothrowAwaitable);
                (void)ec;
            }
            ListStep step = world_.listScript(attempt);
            ++world_.listsReturned;
            if (step.failure)
                throw p2p::TransportError::usbmuxFailed(*step.failure);
            co_return step.devices;
        }
        p2p::Awaitable<std::unique_ptr<p2p::ByteStream>> connect(std::int64_t deviceID, std::uint16_t port) override
        {
            const int attempt = world_.connects++;
            {
                std::lock_guard guard(world_.lock);
                world_.connectedDeviceIDs.push_back(deviceID);
            }
            if (port != 47077)
                throw std::runtime_error("wrong port");
            if (std::optional<std::string> failure = world_.connectScript(attempt))
                throw std::runtime_error(*failure);
            auto [desktop, phone] = p2p::InMemoryByteStream::makePair(world_.runtime.executor());
            world_.playPhone(std::move(phone), world_.wiredPhone);
            co_return std::move(desktop);
        }

    private:
        FakeReceiveWorld& world_;
    };

    ReceiveSinkHandle makeSink()
    {
        sink = std::make_shared<p2p::testing::RecordingSink>(runtime.executor());
        std::weak_ptr<p2p::testing::RecordingSink> weak = sink;
        return {sink, [this, weak]() -> std::optional<std::filesystem::path> {
                    auto s = weak.lock();
                    return s && s->preparedSessionID ? backupRoot : std::nullopt;
                }};
    }


    asio::awaitable<void> play(std::shared_ptr<p2p::testing::FakePhone> phone, Script script)
    {
        std::string error;
        try {
            if (script)
                co_await script(*phone);
            co_await phone->close();
        } catch (const std::exception& e) {
            error = e.what();
        }
        {
            std::lock_guard guard(lock);
            if (!error.empty())
                phoneErrors.push_back(error);
        }
        ++phonesDone;
    }

    bool holdingList = false;
    asio::steady_timer listGate{runtime.context()};
};

} // namespace app::testing
