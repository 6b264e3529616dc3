#pragma once

#include "p2p/protocol/streams/ByteQueue.h"
#include "p2p/protocol/streams/ByteStream.h"

#include <memory>
#include <optional>
#include <utility>

namespace p2p {

// One end of a connected pair of byte streams inside one process; both ends of
// a session can run side by side over it (tests, benchmarks). Never throws.
class InMemoryByteStream final : public ByteStream {
public:
    using Pair = std::pair<std::unique_ptr<InMemoryByteStream>, std::unique_ptr<InMemoryByteStream>>;

    // a sends into Q1 and receives from Q2, b the other way round. With a chunk
    // limit every send is cut into pieces of at most that many bytes (a limit
    // below 1 counts as 1).
    static Pair makePair(asio::any_io_executor executor,
        std::optional<std::int64_t> maximumChunkByteCount = std::nullopt);

    InMemoryByteStream(std::shared_ptr<ByteQueue> inbox, std::shared_ptr<ByteQueue> outbox,
        std::optional<std::int64_t> maximumChunkByteCount);

    asio::awaitable<void> send(Bytes bytes) override;
    asio::awaitable<std::optional<Bytes>> receive() override;

    // Ends only this end's sending direction: the peer sees end of stream after
    // the queued pieces; this end can still receive. A receive waiting on this
    // end is not woken.
    asio::awaitable<void> close() override;

    // Cuts both directions at once: waiting receives here wake with no value.
    asio::awaitable<void> simulateDisconnect();

    // Synchronous forms, for callers outside a coroutine.
    void closeNow() { outbox_->close(); }
    void disconnectNow();

    std::optional<std::int64_t> maximumChunkByteCount() const { return maximumChunkByteCount_; }

private:
    std::shared_ptr<ByteQueue> inbox_;
    std::shared_ptr<ByteQueue> outbox_;
    std::optional<std::int64_t> maximumChunkByteCount_;
};

} // namespace p2p
