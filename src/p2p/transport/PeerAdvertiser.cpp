#include "p2p/transport/PeerAdvertiser.h"

#include "p2p/protocol/messages/SessionConfiguration.h"
#include "p2p/transport/P2PService.h"

#include <asio/ip/v6_only.hpp>

namespace p2p {

namespace {

// One port for IPv4 and IPv6 (the phone may dial either); plain IPv4 where IPv6 is off.
asio::ip::tcp::acceptor openAcceptor(const asio::any_io_executor& executor)
{
    asio::ip::tcp::acceptor acceptor(executor);
    asio::error_code error;
    acceptor.open(asio::ip::tcp::v6(), error);
    if (!error)
        acceptor.set_option(asio::ip::v6_only(false), error);
    if (!error)
        acceptor.bind(asio::ip::tcp::endpoint(asio::ip::address_v6::any(), 0), error);
    if (error) {
        asio::error_code ignored;
        acceptor.close(ignored);
        acceptor.open(asio::ip::tcp::v4(), error);
        if (!error)
            acceptor.bind(asio::ip::tcp::endpoint(asio::ip::address_v4::any(), 0), error);
    }
    if (!error)
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error)
        throw TransportError::advertiserFailed(error.message());
    return acceptor;
}

} // namespace

PeerAdvertiser::PeerAdvertiser(
    asio::any_io_executor executor, DeviceInfo device, bool includePeerToPeer, std::chrono::milliseconds handshakeTimeout)
    : PeerAdvertiser(executor, std::move(device), includePeerToPeer, makeAvahiAnnouncer(executor), defaultStartTimeout,
        handshakeTimeout)
{
}

PeerAdvertiser::PeerAdvertiser(asio::any_io_executor executor, DeviceInfo device, bool includePeerToPeer,
    std::unique_ptr<ServiceAnnouncer> announcer, std::chrono::milliseconds startTimeout,
    std::chrono::milliseconds handshakeTimeout)
    : executor_(executor)
    , device_(std::move(device))
    , includePeerToPeer_(includePeerToPeer)
    , announcer_(std::move(announcer))
    , startTimeout_(startTimeout)
    , logger_(P2PLog::Category::discovery)
    , strangers_(Logger(P2PLog::Category::discovery))
    , greetings_(executor, handshakeTimeout, strangers_)
    , readySignal_(executor)
{
}

PeerAdvertiser::~PeerAdvertiser()
{
    stop();
}

asio::awaitable<void> PeerAdvertiser::start(ConnectionHandler onConnection, FailureHandler onFailure)
{
    if (acceptor_)
        co_return;
    connectionHandler_ = std::move(onConnection);
    failureHandler_ = std::move(onFailure);
    isReady_ = false;
    startFailure_.reset();
    std::optional<TransportError> failure;
    try {
        acceptor_.emplace(openAcceptor(executor_));
        const std::uint16_t listeningPort = acceptor_->local_endpoint().port();
        serviceName_ = P2PService::truncatedUTF8(device_.name, P2PService::maximumServiceNameByteCount);
        ServiceAnnouncer::Handlers handlers;
        handlers.established = [this, listeningPort](const std::string& name) {
            serviceName_ = name;
            if (isReady_)
                return;
            isReady_ = true;
            port_ = listeningPort;
            logger_.info("开始广播，端口 " + std::to_string(listeningPort));
            finishStart(std::nullopt);
        };
        handlers.renamed = [this](const std::string& name) {
            logger_.notice("服务名称冲突，改用：" + name);
            serviceName_ = name;
        };
        handlers.failed = [this](const std::string& reason) { handleFailure(reason); };
        announcer_->announce(serviceName_, listeningPort, P2PService::makeTXTRecord(device_), std::move(handlers));
        asio::co_spawn(executor_, acceptLoop(alive_), asio::detached);
    } catch (const TransportError& error) {
        failure = error;
    }

    if (!failure && !isReady_) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(startTimeout_).count();
        startWaiting_ = true;
        readySignal_.expires_after(startTimeout_);
        co_await readySignal_.async_wait(useNothrowAwaitable);
        startWaiting_ = false;
        if (startFailure_)
            failure = startFailure_;
        else if (!isReady_)
            failure = TransportError::advertiserFailed("启动超时（" + std::to_string(seconds) + " 秒内未就绪）");
    }
    if (failure) {
        // A listener that became ready later must not take a phone into a failed receive.
        if (!startFailure_ || startFailure_->text() != "广播已取消")
            stop();
        throw *failure;
    }
}

void PeerAdvertiser::finishStart(std::optional<TransportError> failure)
{
    if (!startWaiting_)
        return;
    if (failure && !startFailure_)
        startFailure_ = std::move(failure);
    readySignal_.cancel();
}

void PeerAdvertiser::handleFailure(const std::string& reason)
{
    const TransportError failure = TransportError::advertiserFailed(reason);
    logger_.error("广播失败：" + reason);
    if (!isReady_) {
        finishStart(failure);
        return;
    }
    if (failureHandler_)
        failureHandler_(failure);
}

void PeerAdvertiser::stop()
{
    finishStart(TransportError::advertiserFailed("广播已取消"));
    if (acceptor_) {
        // The accept loop wakes aborted and, seeing its token expired, ends without touching this.
        alive_ = std::make_shared<int>(0);
        acceptor_.reset();
    }
    if (announcer_)
        announcer_->withdraw();
    greetings_.closeAll();
    connectionHandler_ = {};
    failureHandler_ = {};
    isReady_ = false;
    port_.reset();
    hasActiveSession_ = false;
}

asio::awaitable<void> PeerAdvertiser::acceptLoop(std::weak_ptr<int> alive)
{
    for (;;) {
        auto [error, socket] = co_await acceptor_->async_accept(useNothrowAwaitable);
        if (alive.expired())
            co_return;
        if (error == asio::error::operation_aborted)
            co_return;
        if (error) {
            // A connection that died in the queue, or no descriptor left for now: keep serving.
            logger_.error("接入失败：" + error.message());
            asio::steady_timer pause(executor_, std::chrono::milliseconds(100));
            co_await pause.async_wait(useNothrowAwaitable);
            if (alive.expired())
                co_return;
            continue;
        }
        accept(std::move(socket));
        // The owner may have stopped or dropped this advertiser from its handler.
        if (alive.expired())
            co_return;
    }
}

void PeerAdvertiser::accept(asio::ip::tcp::socket socket)
{
    if (!connectionHandler_)
        return; // closed as it goes out of scope
    if (hasActiveSession_) {
        strangers_.note(GreetingGate::refusedText);
        return;
    }
    auto stream = std::make_unique<NWConnectionByteStream>(
        std::move(socket), NWConnectionByteStream::defaultMaximumReceiveByteCount, SessionConfiguration::defaults().ioTimeout);
    // The handler in place now gets the stream, as when a phone was taken at once.
    greetings_.add(std::move(stream), [this, handler = connectionHandler_](std::unique_ptr<ByteStream> greeted, Bytes read) {
        hasActiveSession_ = true;
        // Only connection streams are waiting here.
        std::unique_ptr<NWConnectionByteStream> connection(static_cast<NWConnectionByteStream*>(greeted.release()));
        connection->unread(std::move(read));
        handler(std::move(connection));
    });
}

} // namespace p2p
