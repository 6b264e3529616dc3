#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/Bytes.h"
#include "p2p/receive/AssetSink.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>

namespace p2p {

// The current file's chunks on their way to the sink, so that receiving the next chunks overlaps
// writing this one. Holds at most `byteLimit` bytes (one larger chunk alone): push() waits while it
// is full, so a slow drive slows the phone down instead of filling memory.
//
// Lives on the transfer thread, like the session that owns it. Create with std::make_shared: its
// writer keeps it alive while a chunk is with the sink.
class ChunkQueue : public std::enable_shared_from_this<ChunkQueue> {
public:
    // Told the bytes queued or with the sink whenever that changes; for tests.
    using QueuedBytesObserver = std::function<void(std::int64_t queuedByteCount)>;
    // Told each chunk's size once the sink took it, while its file is still the current one.
    using AcceptedHandler = std::function<void(std::int64_t byteCount)>;

    ChunkQueue(asio::any_io_executor executor, std::shared_ptr<AssetSink> sink, std::int64_t byteLimit,
        AcceptedHandler onAccepted, QueuedBytesObserver onQueuedBytes = {});

    // The file that the following chunks belong to; waits until the previous file's last chunk
    // left the sink, so that sink calls never overlap across files.
    asio::awaitable<void> start(std::shared_ptr<const IncomingFile> file);
    // Queues a chunk of the current file. Throws the sink's failure of an earlier chunk.
    asio::awaitable<void> push(Bytes bytes);
    // Waits until every queued chunk is with the sink and back. Throws the sink's failure.
    asio::awaitable<void> drain();
    // Drops the queued chunks of the current file at once; a chunk the sink has in hand finishes
    // there, unreported. The sink may be told to abort the file right after.
    void discard();
    // Waits until no chunk is with the sink.
    asio::awaitable<void> idle();
    // Completes once a chunk failed; ends early when cancelled.
    asio::awaitable<void> failed();
    bool isWriting() const { return writing_; }

private:
    asio::awaitable<void> write(std::shared_ptr<ChunkQueue> keepAlive);
    asio::awaitable<void> waitForChange();
    void changed();

    asio::any_io_executor executor_;
    std::shared_ptr<AssetSink> sink_;
    std::int64_t byteLimit_;
    AcceptedHandler onAccepted_;
    QueuedBytesObserver onQueuedBytes_;
    asio::steady_timer signal_; // cancelled to wake whoever waits for a change

    std::shared_ptr<const IncomingFile> file_;
    std::deque<Bytes> chunks_;
    std::int64_t queuedByteCount_ = 0; // queued and in the sink's hands
    bool writing_ = false;
    std::exception_ptr failure_;
};

} // namespace p2p
