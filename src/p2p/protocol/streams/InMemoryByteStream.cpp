#include "p2p/protocol/streams/InMemoryByteStream.h"

#include <algorithm>

namespace p2p {

InMemoryByteStream::Pair InMemoryByteStream::makePair(
    asio::any_io_executor executor, std::optional<std::int64_t> maximumChunkByteCount)
{
    auto q1 = std::make_shared<ByteQueue>(executor);
    auto q2 = std::make_shared<ByteQueue>(executor);
    auto a = std::make_unique<InMemoryByteStream>(q2, q1, maximumChunkByteCount);
    auto b = std::make_unique<InMemoryByteStream>(q1, q2, maximumChunkByteCount);
    return Pair(std::move(a), std::move(b));
}

InMemoryByteStream::InMemoryByteStream(std::shared_ptr<ByteQueue> inbox, std::shared_ptr<ByteQueue> outbox,
    std::optional<std::int64_t> maximumChunkByteCount)
    : inbox_(std::move(inbox))
    , outbox_(std::move(outbox))
    , maximumChunkByteCount_(maximumChunkByteCount)
{
    if (maximumChunkByteCount_ && *maximumChunkByteCount_ < 1)
        maximumChunkByteCount_ = 1;
}

asio::awaitable<void> InMemoryByteStream::send(Bytes bytes)
{
    if (!maximumChunkByteCount_ || static_cast<std::int64_t>(bytes.size()) <= *maximumChunkByteCount_) {
        outbox_->push(std::move(bytes));
        co_return;
    }
    const auto limit = static_cast<std::size_t>(*maximumChunkByteCount_);
    for (std::size_t offset = 0; offset < bytes.size(); offset += limit) {
        const std::size_t end = std::min(bytes.size(), offset + limit);
        Bytes slice(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
            bytes.begin() + static_cast<std::ptrdiff_t>(end));
        outbox_->push(std::move(slice));
    }
    co_return;
}

asio::awaitable<std::optional<Bytes>> InMemoryByteStream::receive()
{
    // The queue outlives this call even if this stream is dropped meanwhile.
    std::shared_ptr<ByteQueue> inbox = inbox_;
    co_return co_await inbox->pop();
}

asio::awaitable<void> InMemoryByteStream::close()
{
    outbox_->close();
    co_return;
}

asio::awaitable<void> InMemoryByteStream::simulateDisconnect()
{
    disconnectNow();
    co_return;
}

void InMemoryByteStream::disconnectNow()
{
    outbox_->close();
    inbox_->close();
}

} // namespace p2p
