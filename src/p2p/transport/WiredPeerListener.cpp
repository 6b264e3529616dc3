#include "p2p/transport/WiredPeerListener.h"

#include "p2p/transport/POSIXSocketByteStream.h"

#include <cerrno>

namespace p2p {

namespace {

std::string number(const asio::error_code& error)
{
    return std::to_string(errnoOf(error));
}

} // namespace

WiredPeerListener::WiredPeerListener(asio::any_io_executor executor, std::uint16_t port)
    : executor_(std::move(executor))
    , requestedPort_(port)
    , logger_(P2PLog::Category::discovery)
{
}

WiredPeerListener::~WiredPeerListener()
{
    stop();
}

asio::awaitable<void> WiredPeerListener::start(ConnectionHandler onConnection, FailureHandler onFailure)
{
    if (acceptor_)
        co_return;
    connectionHandler_ = std::move(onConnection);
    failureHandler_ = std::move(onFailure);

    asio::ip::tcp::acceptor acceptor(executor_);
    asio::error_code error;
    acceptor.open(asio::ip::tcp::v4(), error);
    if (error)
        throw TransportError::wiredListenFailed("创建 socket 失败：" + number(error));
    acceptor.set_option(asio::socket_base::reuse_address(true), error);
    acceptor.bind(asio::ip::tcp::endpoint(asio::ip::address_v4::any(), requestedPort_), error);
    if (error) {
        throw TransportError::wiredListenFailed(
            "绑定端口 " + std::to_string(requestedPort_) + " 失败：" + number(error));
    }
    acceptor.listen(1, error);
    if (error)
        throw TransportError::wiredListenFailed("listen 失败：" + number(error));

    port_ = acceptor.local_endpoint().port();
    acceptor_.emplace(std::move(acceptor));
    isAccepting_ = true;
    logger_.info("一线 POSIX 监听就绪，端口 " + std::to_string(*port_));
    asio::co_spawn(executor_, acceptLoop(alive_), asio::detached);
}

asio::awaitable<void> WiredPeerListener::acceptLoop(std::weak_ptr<int> alive)
{
    for (;;) {
        auto [error, socket] = co_await acceptor_->async_accept(useNothrowAwaitable);
        if (alive.expired())
            co_return; // the listener is gone; the socket closes with this frame
        if (error == asio::error::interrupted)
            continue;
        if (error) {
            // After stop() the aborted accept is no failure.
            if (isAccepting_ && failureHandler_)
                failureHandler_(TransportError::wiredListenFailed("accept 失败：" + number(error)));
            co_return;
        }
        handleAccepted(std::move(socket));
        // The owner may have stopped or dropped this listener from its handler.
        if (alive.expired())
            co_return;
    }
}

void WiredPeerListener::handleAccepted(asio::ip::tcp::socket socket)
{
    if (!isAccepting_ || !connectionHandler_)
        return; // closed as it goes out of scope
    if (hasActiveSession_) {
        logger_.notice("一线：已有会话，拒绝新连接");
        return;
    }
    hasActiveSession_ = true;
    logger_.info("一线：已接受 usbmux/TCP 连接 fd=" + std::to_string(socket.native_handle()));
    P2PService::applyParameters(P2PService::makeParameters(false), socket);
    auto stream = std::make_unique<POSIXSocketByteStream>(
        asio::generic::stream_protocol::socket(std::move(socket)), POSIXSocketByteStream::defaultMaximumReceiveByteCount);
    connectionHandler_(std::move(stream));
}

void WiredPeerListener::stop()
{
    isAccepting_ = false;
    if (acceptor_) {
        // The accept loop wakes aborted and, seeing its token expired, ends without touching this.
        alive_ = std::make_shared<int>(0);
        acceptor_.reset();
    }
    connectionHandler_ = {};
    failureHandler_ = {};
    port_.reset();
    hasActiveSession_ = false;
}

} // namespace p2p
