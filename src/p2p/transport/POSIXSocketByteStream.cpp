#include "p2p/transport/POSIXSocketByteStream.h"

#include "p2p/transport/TransportError.h"

#include <asio/write.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace p2p {

namespace {

// The socket's address family, or -1 when the descriptor is no socket.
int familyOf(int fd)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    return address.ss_family;
}

std::string errorNumber(const asio::error_code& error)
{
    const int number = errnoOf(error);
    return std::to_string(number >= 0 ? number : EIO);
}

} // namespace

POSIXSocketByteStream::POSIXSocketByteStream(
    asio::any_io_executor executor, int fileDescriptor, std::int64_t maximumReceiveByteCount)
    : socket_(executor)
    , maximumReceiveByteCount_(std::max<std::int64_t>(1, maximumReceiveByteCount))
    , logger_(P2PLog::Category::transport)
{
    const int family = familyOf(fileDescriptor);
    if (family < 0) {
        if (fileDescriptor >= 0)
            ::close(fileDescriptor); // owned from now on, even when unusable
        return;
    }
    asio::error_code error;
    socket_.assign(asio::generic::stream_protocol(family, 0), fileDescriptor, error);
    if (error)
        ::close(fileDescriptor);
}

POSIXSocketByteStream::POSIXSocketByteStream(
    asio::generic::stream_protocol::socket socket, std::int64_t maximumReceiveByteCount)
    : socket_(std::move(socket))
    , maximumReceiveByteCount_(std::max<std::int64_t>(1, maximumReceiveByteCount))
    , logger_(P2PLog::Category::transport)
{
}

POSIXSocketByteStream::~POSIXSocketByteStream()
{
    asio::error_code ignored;
    socket_.close(ignored);
}

int POSIXSocketByteStream::fileDescriptor()
{
    return isUsable() ? socket_.native_handle() : -1;
}

asio::awaitable<void> POSIXSocketByteStream::send(Bytes bytes)
{
    if (!isUsable())
        throw TransportError::notReady();
    if (bytes.empty())
        co_return;
    auto [error, written] = co_await asio::async_write(socket_, asio::buffer(bytes), useNothrowAwaitable);
    if (error)
        throw TransportError::connectionFailed("write 失败：" + errorNumber(error));
}

asio::awaitable<std::optional<Bytes>> POSIXSocketByteStream::receive()
{
    Bytes buffer(static_cast<std::size_t>(maximumReceiveByteCount_));
    const std::optional<std::size_t> count = co_await receiveInto(buffer);
    if (!count)
        co_return std::nullopt;
    buffer.resize(*count);
    co_return std::optional<Bytes>(std::move(buffer));
}

asio::awaitable<std::optional<std::size_t>> POSIXSocketByteStream::receiveInto(std::span<std::uint8_t> into)
{
    if (!isUsable())
        throw TransportError::notReady();
    auto [error, count] = co_await socket_.async_read_some(asio::buffer(into.data(), into.size()), useNothrowAwaitable);
    if (!error)
        co_return std::optional<std::size_t>(count);
    // A local close aborts the read: that is the end of the stream, as a shut-down socket reads 0.
    if (error == asio::error::eof || (isClosed_ && error == asio::error::operation_aborted))
        co_return std::nullopt;
    throw TransportError::connectionFailed("read 失败：" + errorNumber(error));
}

asio::awaitable<void> POSIXSocketByteStream::close()
{
    if (isClosed_)
        co_return;
    isClosed_ = true;
    asio::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
    logger_.debug("POSIX socket 已关闭");
}

} // namespace p2p
