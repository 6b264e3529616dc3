#include "app/services/receive/ReceiveRoad.h"

#include "p2p/protocol/streams/FramedMessageChannel.h"
#include "p2p/protocol/messages/SessionConfiguration.h"
#include "p2p/protocol/errors/UserFacingError.h"
#include "p2p/transport/TransportError.h"

#include <algorithm>

// g++ 12 pairs Asio's coroutine-frame operator delete with the global operator new in some frames
// and warns; the frames are allocated and freed by Asio's own pair (the sanitizer build checks).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace app {

namespace {

const std::string notDetectedText = "未检测到 USB iPhone。请确认已插线，并在手机上点「信任此电脑」。";
const std::string refusedText
    = "已检测到 iPhone，但连接被拒绝。请确认手机一线备份已显示「正在等待电脑经数据线连入」。";
const std::string wiredTimeoutText
    = "等待超时。请确认已用数据线连接 iPhone、已点「信任此电脑」，并在 iPhone 上打开一线备份并点「准备连接」。";

p2p::Awaitable<void> closeStream(std::unique_ptr<p2p::ByteStream> stream)
{
    co_await stream->close();
}

// Road work catches what transports and sessions throw; only resource exhaustion gets here, and it
// must not take the transfer thread down.
struct LogUnexpectedEnd {
    std::shared_ptr<ReceiveRoad> keepAlive;
    void operator()(const std::exception_ptr& error) const
    {
        if (error)
            p2p::Logger("receiveModel").error("接收通道异常结束：" + roadErrorMessage(error));
    }
};

} // namespace

std::string roadErrorMessage(const std::exception_ptr& error)
{
    // The transports' own sentences are written for the user; anything else gets the general one.
    try {
        std::rethrow_exception(error);
    } catch (const p2p::TransportError& transportError) {
        return transportError.description();
    } catch (...) {
        return p2p::UserFacingError::message(error);
    }
}

PendingStream::PendingStream(asio::any_io_executor executor, std::unique_ptr<p2p::ByteStream> stream)
    : executor_(std::move(executor)), stream_(std::move(stream))
{
}

PendingStream::~PendingStream()
{
    if (stream_)
        asio::co_spawn(executor_, closeStream(std::move(stream_)), asio::detached);
}

ReceiveRoad::ReceiveRoad(ReceiveTransports transports, Kind kind, ReceiveDestination destination,
    p2p::DeviceInfo localDevice, p2p::PairingCode code, Reporter report)
    : transports_(std::move(transports))
    , kind_(kind)
    , destination_(std::move(destination))
    , localDevice_(std::move(localDevice))
    , report_(std::move(report))
    , logger_("receiveModel")
    , verifier_(std::make_shared<p2p::PairingVerifier>(std::move(code), pairingAttempts))
    , pollTimer_(transports_.executor)
{
}

ReceiveRoad::~ReceiveRoad() = default;

void ReceiveRoad::open()
{
    auto self = shared_from_this();
    asio::post(transports_.executor, [self] {
        if (self->cancelled_)
            return;
        if (self->destination_.isNewLibrary) {
            std::weak_ptr<ReceiveRoad> weak = self;
            self->sink_ = self->transports_.makePendingSink(self->destination_,
                [weak](const std::filesystem::path& folder) {
                    if (auto road = weak.lock())
                        road->report_(RoadReport{RoadReport::LibraryMaterialized{folder}});
                });
        } else {
            self->sink_ = self->transports_.makeSink(self->destination_);
        }
        auto work = self->kind_ == Kind::wireless ? self->openWireless() : self->pollForPhone();
        asio::co_spawn(self->transports_.executor, std::move(work), LogUnexpectedEnd{self});
    });
}

void ReceiveRoad::beginSession(std::shared_ptr<PendingStream> stream)
{
    auto self = shared_from_this();
    asio::co_spawn(transports_.executor, runSession(std::move(stream)), LogUnexpectedEnd{self});
}

void ReceiveRoad::shutDown(std::function<void()> onDone)
{
    cancelled_ = true;
    auto self = shared_from_this();
    asio::co_spawn(transports_.executor, closeDown(std::move(onDone)), LogUnexpectedEnd{self});
}

void ReceiveRoad::report(RoadReport::Connected connected)
{
    if (cancelled_)
        return; // the pending stream closes itself
    report_(RoadReport{std::move(connected)});
}

p2p::Awaitable<void> ReceiveRoad::openWireless()
{
    auto self = shared_from_this();
    std::shared_ptr<ReceiveAdvertiser> advertiser = transports_.makeAdvertiser(localDevice_);
    advertiser_ = advertiser;
    std::weak_ptr<ReceiveRoad> weak = self;
    auto onConnection = [weak, executor = transports_.executor](std::unique_ptr<p2p::ByteStream> stream) {
        auto pending = std::make_shared<PendingStream>(executor, std::move(stream));
        if (auto road = weak.lock())
            road->report(RoadReport::Connected{std::move(pending)});
    };
    auto onFailure = [weak](std::string message) {
        auto road = weak.lock();
        if (road && !road->cancelled_)
            road->report_(RoadReport{RoadReport::AdvertiserFailed{std::move(message)}});
    };

    std::exception_ptr failure;
    try {
        co_await advertiser->start(std::move(onConnection), std::move(onFailure));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure && !cancelled_)
        co_return;
    // A road given up while the announcement started withdraws it here; so does a failed start.
    if (advertiser_ == advertiser)
        advertiser_.reset();
    co_await advertiser->stop();
    if (failure && !cancelled_)
        report_(RoadReport{RoadReport::AdvertiserStartFailed{roadErrorMessage(failure)}});
}

p2p::Awaitable<void> ReceiveRoad::pollForPhone()
{
    auto self = shared_from_this();
    std::shared_ptr<ReceiveMultiplexer> multiplexer = transports_.makeMultiplexer();
    multiplexer_ = multiplexer;
    std::optional<std::string> lastError;

    for (int attempt = 0; attempt < transports_.pollAttemptLimit; ++attempt) {
        if (cancelled_)
            co_return;
        std::vector<ReceiveMultiplexer::Device> devices;
        std::exception_ptr listFailure;
        try {
            devices = co_await multiplexer->listDevices();
        } catch (...) {
            listFailure = std::current_exception();
        }
        // A request in flight when the road was given up goes no further.
        if (cancelled_)
            co_return;

        if (listFailure) {
            lastError = roadErrorMessage(listFailure);
            setWiredStatus(*lastError);
            logger_.error("一线轮询失败：" + *lastError);
        } else {
            const auto usb = std::find_if(devices.begin(), devices.end(), [](const auto& d) { return d.isUSB; });
            if (usb == devices.end()) {
                setWiredStatus(notDetectedText);
                lastError.reset();
            } else {
                setWiredStatus("已检测到 iPhone，正在连接…");
                std::unique_ptr<p2p::ByteStream> stream;
                std::exception_ptr connectFailure;
                try {
                    stream = co_await multiplexer->connect(usb->deviceID, wiredPort);
                } catch (...) {
                    connectFailure = std::current_exception();
                }
                auto pending = std::make_shared<PendingStream>(transports_.executor, std::move(stream));
                if (cancelled_)
                    co_return;
                if (!connectFailure) {
                    setWiredStatus("USB 已接通，开始协商…");
                    report(RoadReport::Connected{std::move(pending)});
                    co_return;
                }
                lastError = roadErrorMessage(connectFailure);
                setWiredStatus(refusedText);
                logger_.error("一线 Connect 失败：" + *lastError);
            }
        }

        pollTimer_.expires_after(transports_.pollInterval);
        auto [ec] = co_await pollTimer_.async_wait(p2p::useNothrowAwaitable);
        (void)ec; // cut short by shutDown(); the next check ends the loop
    }
    if (!cancelled_)
        report_(RoadReport{RoadReport::WiredGaveUp{lastError.value_or(wiredTimeoutText)}});
}

p2p::Awaitable<void> ReceiveRoad::runSession(std::shared_ptr<PendingStream> pending)
{
    auto self = shared_from_this();
    if (cancelled_)
        co_return; // the pending stream closes itself
    std::unique_ptr<p2p::ByteStream> stream = pending->take();
    pending.reset();
    if (!stream)
        co_return;
    if (std::shared_ptr<p2p::ReceiveSession> previous = std::exchange(session_, nullptr))
        co_await previous->shutdown();
    if (cancelled_) {
        co_await stream->close();
        co_return;
    }

    p2p::SessionConfiguration configuration = p2p::SessionConfiguration::automatic();
    if (transports_.handshakeTimeout)
        configuration.handshakeTimeout = *transports_.handshakeTimeout;
    auto channel = std::make_unique<p2p::FramedMessageChannel>(std::move(stream), configuration);
    std::weak_ptr<ReceiveRoad> weak = self;
    // Events come inline from run(), so the session is there to ask whether its hello came.
    auto running = std::make_shared<std::weak_ptr<p2p::ReceiveSession>>();
    auto onEvent = [weak, running](const p2p::ReceiveEvent& event) {
        auto road = weak.lock();
        if (road && !road->isStrangersFailure(running->lock(), event))
            road->onSessionEvent(event);
    };
    auto session = std::make_shared<p2p::ReceiveSession>(transports_.executor, std::move(channel), sink_.sink,
        localDevice_, configuration, verifier_, true, std::move(onEvent), transports_.sessionTiming);
    *running = session;
    session_ = session;
    co_await session->run();
    if (advertiser_)
        advertiser_->sessionDidEnd();
    if (session_ == session)
        session_.reset();
    if (isStranger(*session))
        logger_.notice("问候之前连接已结束，继续等待");
}

bool ReceiveRoad::isStranger(const p2p::ReceiveSession& session) const
{
    // The announced port is open to the whole network: only a phone that said hello may end the
    // wait. The cable has no stranger, and its wait has no other phone to take.
    return kind_ == Kind::wireless && !session.receivedHello();
}

bool ReceiveRoad::isStrangersFailure(
    const std::shared_ptr<p2p::ReceiveSession>& session, const p2p::ReceiveEvent& event) const
{
    return session && event.is<p2p::ReceiveEvent::Failed>() && isStranger(*session);
}

p2p::Awaitable<void> ReceiveRoad::closeDown(std::function<void()> onDone)
{
    auto self = shared_from_this();
    pollTimer_.cancel();
    std::shared_ptr<p2p::ReceiveSession> session = std::exchange(session_, nullptr);
    std::shared_ptr<ReceiveAdvertiser> advertiser = std::exchange(advertiser_, nullptr);
    multiplexer_.reset();
    if (session)
        co_await session->shutdown();
    if (advertiser)
        co_await advertiser->stop();
    if (onDone)
        onDone();
}

void ReceiveRoad::onSessionEvent(const p2p::ReceiveEvent& event)
{
    RoadReport::SessionEvent report{event, std::nullopt};
    const bool showsFolder = event.is<p2p::ReceiveEvent::ManifestNegotiated>() || event.is<p2p::ReceiveEvent::FileStarted>();
    if (showsFolder && sink_.resolvedBackupRoot)
        report.backupRoot = sink_.resolvedBackupRoot();
    report_(RoadReport{std::move(report)});
}

void ReceiveRoad::setWiredStatus(std::string message)
{
    report_(RoadReport{RoadReport::WiredStatus{std::move(message)}});
}

} // namespace app
