#pragma once

#include "p2p/protocol/streams/ByteStream.h"

#include <deque>
#include <memory>

namespace p2p {

// One direction of an in-memory stream pair: a queue of byte pieces with
// waiting takers. Chunks pushed before close() are still handed out after it.
// Used on one executor only (no locking). Hold it in a shared_ptr: a waiting
// pop() keeps the queue alive.
class ByteQueue : public std::enable_shared_from_this<ByteQueue> {
public:
    explicit ByteQueue(asio::any_io_executor executor);
    ByteQueue(const ByteQueue&) = delete;
    ByteQueue& operator=(const ByteQueue&) = delete;

    // Hands the bytes to the oldest waiting taker, else queues them.
    // Bytes pushed after close() are dropped.
    void push(Bytes bytes);

    // Wakes every waiting taker, oldest first, with no value.
    void close();

    // The oldest queued piece; no value once the queue is closed and empty.
    asio::awaitable<std::optional<Bytes>> pop();

    bool isClosed() const { return closed_; }
    std::size_t queuedChunkCount() const { return chunks_.size(); }
    std::size_t waiterCount() const { return waiters_.size(); }

private:
    struct Waiter {
        explicit Waiter(const asio::any_io_executor& executor);
        asio::steady_timer wakeUp;
        std::optional<Bytes> result;
        bool resumed = false;
    };

    void wake(Waiter* waiter, std::optional<Bytes> result);
    void forget(Waiter* waiter);

    asio::any_io_executor executor_;
    std::deque<Bytes> chunks_;
    std::deque<Waiter*> waiters_;
    bool closed_ = false;
};

} // namespace p2p
