#include "p2p/transport/NWConnectionByteStream.h"

#include "p2p/transport/P2PService.h"

#include <asio/connect.hpp>
#include <asio/write.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace p2p {

namespace {

// Seconds as a timer duration; negative counts as 0, absurdly long as a day.
std::chrono::steady_clock::duration timerDuration(double seconds)
{
    const double clamped = std::clamp(seconds, 0.0, 86400.0);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(clamped));
}

std::string describe(const asio::ip::tcp::socket& socket)
{
    asio::error_code error;
    const asio::ip::tcp::endpoint remote = socket.remote_endpoint(error);
    if (error)
        return "?";
    return remote.address().to_string() + ":" + std::to_string(remote.port());
}

} // namespace

NWConnectionByteStream::NWConnectionByteStream(
    asio::ip::tcp::socket socket, std::int64_t maximumReceiveByteCount, double ioTimeout)
    : socket_(std::move(socket))
    , endpointDescription_(describe(socket_))
    , maximumReceiveByteCount_(std::max<std::int64_t>(1, maximumReceiveByteCount))
    , ioTimeout_(ioTimeout <= 1 ? 1 : ioTimeout)
    , logger_(P2PLog::Category::transport)
    , lifecycle_(Lifecycle::ready)
    , readySignal_(socket_.get_executor(), asio::steady_timer::time_point::max())
    , connectTimer_(socket_.get_executor())
    , sendTimer_(socket_.get_executor())
{
    P2PService::applyParameters(P2PService::makeParameters(true), socket_);
}

NWConnectionByteStream::NWConnectionByteStream(asio::any_io_executor executor, std::string endpointDescription,
    Resolve resolve, std::int64_t maximumReceiveByteCount, double ioTimeout)
    : socket_(executor)
    , endpointDescription_(std::move(endpointDescription))
    , resolve_(std::move(resolve))
    , maximumReceiveByteCount_(std::max<std::int64_t>(1, maximumReceiveByteCount))
    , ioTimeout_(ioTimeout <= 1 ? 1 : ioTimeout)
    , logger_(P2PLog::Category::transport)
    , lifecycle_(Lifecycle::setup)
    , readySignal_(executor, asio::steady_timer::time_point::max())
    , connectTimer_(executor)
    , sendTimer_(executor)
{
}

NWConnectionByteStream::~NWConnectionByteStream()
{
    asio::error_code ignored;
    socket_.close(ignored);
}

asio::awaitable<void> NWConnectionByteStream::waitUntilReady()
{
    for (;;) {
        switch (lifecycle_) {
        case Lifecycle::ready:
            co_return;
        case Lifecycle::closed:
            throw TransportError::notReady();
        case Lifecycle::failed:
            throw *failure_;
        case Lifecycle::setup:
            co_await readySignal_.async_wait(useNothrowAwaitable);
            break;
        }
    }
}

void NWConnectionByteStream::resumeReadyWaiters()
{
    readySignal_.cancel();
}

asio::awaitable<void> NWConnectionByteStream::start(double timeout)
{
    if (lifecycle_ != Lifecycle::setup || startRunning_) {
        co_await waitUntilReady();
        co_return;
    }
    startRunning_ = true;
    connectTimer_.expires_after(timerDuration(timeout));
    connectTimer_.async_wait([this, alive = std::weak_ptr<int>(alive_), timeout](const asio::error_code& error) {
        if (!error && !alive.expired())
            failIfNotReady(TransportError::connectTimedOut(timeout));
    });
    asio::co_spawn(socket_.get_executor(), dial(alive_, resolve_), asio::detached);

    std::exception_ptr failure;
    try {
        co_await waitUntilReady();
    } catch (...) {
        failure = std::current_exception();
    }
    connectTimer_.cancel();
    if (failure)
        std::rethrow_exception(failure);
}

asio::awaitable<void> NWConnectionByteStream::dial(std::weak_ptr<int> alive, Resolve resolve)
{
    std::vector<asio::ip::tcp::endpoint> endpoints;
    std::string problem = "找不到对方的地址";
    try {
        if (resolve)
            endpoints = co_await resolve();
    } catch (const std::exception& error) {
        problem = error.what();
    }
    if (alive.expired() || lifecycle_ != Lifecycle::setup)
        co_return;
    if (endpoints.empty()) {
        logger_.error("连接失败：" + problem);
        failIfNotReady(TransportError::connectionFailed(problem));
        co_return;
    }
    auto [error, endpoint] = co_await asio::async_connect(socket_, endpoints, useNothrowAwaitable);
    if (alive.expired())
        co_return;
    if (lifecycle_ != Lifecycle::setup) {
        // Timed out or closed meanwhile: the connect may have gone on to the next address.
        asio::error_code ignored;
        socket_.close(ignored);
        co_return;
    }
    if (error) {
        logger_.error("连接失败：" + error.message());
        failIfNotReady(TransportError::connectionFailed(error.message()));
        co_return;
    }
    P2PService::applyParameters(P2PService::makeParameters(true), socket_);
    lifecycle_ = Lifecycle::ready;
    logger_.debug("连接就绪：" + endpointDescription_ + " → " + describe(socket_));
    resumeReadyWaiters();
}

void NWConnectionByteStream::fail(TransportError error)
{
    if (!isTerminal()) {
        lifecycle_ = Lifecycle::failed;
        failure_ = std::move(error);
    }
    asio::error_code ignored;
    socket_.close(ignored);
    resumeReadyWaiters();
}

void NWConnectionByteStream::failIfNotReady(TransportError error)
{
    if (lifecycle_ == Lifecycle::setup)
        fail(std::move(error));
}

void NWConnectionByteStream::armSendTimeout()
{
    // A timer that ran out as its send completed is queued with no error; cancel() cannot recall
    // it, so it must not fail the next send.
    const std::uint64_t generation = ++sendGeneration_;
    sendTimer_.expires_after(timerDuration(ioTimeout_));
    sendTimer_.async_wait([this, alive = std::weak_ptr<int>(alive_), generation](const asio::error_code& error) {
        if (!error && !alive.expired() && generation == sendGeneration_)
            failSendIfStillPending();
    });
}

void NWConnectionByteStream::failSendIfStillPending()
{
    if (!sendPending_)
        return;
    logger_.error("发送超时（" + std::to_string(static_cast<long>(ioTimeout_)) + " 秒），拆掉可能已死的连接");
    // Closing the socket aborts the write and any pending read; both then report this failure.
    fail(TransportError::ioTimedOut(ioTimeout_));
}

void NWConnectionByteStream::throwFailure(const asio::error_code& error) const
{
    if (lifecycle_ == Lifecycle::failed)
        throw *failure_;
    if (isClosedLocally_)
        throw TransportError::notReady();
    throw TransportError::connectionFailed(error.message());
}

asio::awaitable<void> NWConnectionByteStream::send(Bytes bytes)
{
    co_await waitUntilReady();
    if (isClosedLocally_)
        throw TransportError::notReady();
    sendPending_ = true;
    armSendTimeout();
    auto [error, written] = co_await asio::async_write(socket_, asio::buffer(bytes), useNothrowAwaitable);
    sendPending_ = false;
    sendTimer_.cancel();
    if (error)
        throwFailure(error);
}

asio::awaitable<std::optional<Bytes>> NWConnectionByteStream::receive()
{
    Bytes buffer(static_cast<std::size_t>(maximumReceiveByteCount_));
    // Nothing promises this reader a full buffer (a greeting, a message the peer then waits on
    // an answer for): it wakes for the first byte.
    const std::optional<std::size_t> count = co_await readSome(buffer, false);
    if (!count)
        co_return std::nullopt;
    buffer.resize(*count);
    co_return std::optional<Bytes>(std::move(buffer));
}

asio::awaitable<std::optional<std::size_t>> NWConnectionByteStream::receiveInto(std::span<std::uint8_t> into)
{
    co_return co_await readSome(into, true);
}

asio::awaitable<std::optional<std::size_t>> NWConnectionByteStream::readSome(std::span<std::uint8_t> into,
                                                                             bool promised)
{
    co_await waitUntilReady();
    if (isClosedLocally_)
        co_return std::nullopt;
    if (unreadOffset_ < unread_.size()) {
        const std::size_t count = std::min(into.size(), unread_.size() - unreadOffset_);
        std::copy_n(unread_.begin() + std::ptrdiff_t(unreadOffset_), count, into.begin());
        unreadOffset_ += count;
        co_return std::optional<std::size_t>(count);
    }
    wakeAtLeast(promised ? into.size() : 1);
    auto [error, count] = co_await socket_.async_read_some(asio::buffer(into.data(), into.size()), useNothrowAwaitable);
    if (!error)
        co_return std::optional<std::size_t>(count);
    if (error == asio::error::eof || isClosedLocally_)
        co_return std::nullopt;
    if (lifecycle_ == Lifecycle::failed)
        throw *failure_;
    const int number = errnoOf(error);
    if (error == asio::error::operation_aborted || number == ECANCELED || number == ENOTCONN)
        co_return std::nullopt;
    throw TransportError::connectionFailed(error.message());
}

void NWConnectionByteStream::wakeAtLeast(std::size_t wanted)
{
    // Filling a large frame, the thread sleeps until a good part of it is there instead of waking
    // for every segment; any other read wakes for the first byte. A read that finds bytes takes
    // them at once either way; the end of the stream, an error or a full buffer always wake it.
    const int mark = wanted >= largeReadByteCount ? static_cast<int>(largeReadByteCount) : 1;
    if (mark == receiveLowWatermark_)
        return;
    if (setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark) == 0)
        receiveLowWatermark_ = mark;
}

void NWConnectionByteStream::unread(Bytes bytes)
{
    unread_.erase(unread_.begin(), unread_.begin() + std::ptrdiff_t(unreadOffset_));
    unread_.insert(unread_.begin(), bytes.begin(), bytes.end());
    unreadOffset_ = 0;
}

asio::awaitable<void> NWConnectionByteStream::close()
{
    if (isClosedLocally_)
        co_return;
    isClosedLocally_ = true;
    if (!isTerminal())
        lifecycle_ = Lifecycle::closed;
    sendTimer_.cancel();
    connectTimer_.cancel();
    asio::error_code ignored;
    socket_.close(ignored);
    resumeReadyWaiters();
}

} // namespace p2p
