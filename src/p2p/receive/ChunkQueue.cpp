#include "p2p/receive/ChunkQueue.h"

#include <utility>

// g++ 12 pairs Asio's coroutine-frame operator delete with the global operator new in some frames
// and warns; the frames are allocated and freed by Asio's own pair (the sanitizer build checks).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace p2p {

ChunkQueue::ChunkQueue(asio::any_io_executor executor, std::shared_ptr<AssetSink> sink, std::int64_t byteLimit,
    AcceptedHandler onAccepted, QueuedBytesObserver onQueuedBytes)
    : executor_(std::move(executor))
    , sink_(std::move(sink))
    , byteLimit_(byteLimit)
    , onAccepted_(std::move(onAccepted))
    , onQueuedBytes_(std::move(onQueuedBytes))
    , signal_(executor_, asio::steady_timer::time_point::max())
{
}

asio::awaitable<void> ChunkQueue::start(std::shared_ptr<const IncomingFile> file)
{
    discard();
    co_await idle();
    file_ = std::move(file);
    failure_ = nullptr;
}

asio::awaitable<void> ChunkQueue::push(Bytes bytes)
{
    const std::shared_ptr<const IncomingFile> file = file_;
    const auto size = static_cast<std::int64_t>(bytes.size());
    for (;;) {
        if (failure_)
            std::rethrow_exception(failure_);
        if (file_ != file || !file)
            co_return; // discarded while waiting
        if (queuedByteCount_ == 0 || queuedByteCount_ + size <= byteLimit_)
            break;
        co_await waitForChange();
    }
    chunks_.push_back(std::move(bytes));
    queuedByteCount_ += size;
    if (onQueuedBytes_)
        onQueuedBytes_(queuedByteCount_);
    if (!writing_) {
        writing_ = true;
        asio::co_spawn(executor_, write(shared_from_this()), asio::detached);
    }
}

asio::awaitable<void> ChunkQueue::drain()
{
    while (writing_ && !failure_)
        co_await waitForChange();
    if (failure_)
        std::rethrow_exception(failure_);
}

void ChunkQueue::discard()
{
    file_.reset();
    for (const Bytes& chunk : chunks_)
        queuedByteCount_ -= static_cast<std::int64_t>(chunk.size());
    chunks_.clear();
    changed();
}

asio::awaitable<void> ChunkQueue::idle()
{
    while (writing_)
        co_await waitForChange();
}

asio::awaitable<void> ChunkQueue::failed()
{
    const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    while (!failure_ && state.cancelled() == asio::cancellation_type::none)
        co_await waitForChange();
}

asio::awaitable<void> ChunkQueue::write(std::shared_ptr<ChunkQueue> keepAlive)
{
    (void)keepAlive;
    while (!chunks_.empty()) {
        const std::shared_ptr<const IncomingFile> file = file_;
        const Bytes chunk = std::move(chunks_.front());
        chunks_.pop_front();
        const auto size = static_cast<std::int64_t>(chunk.size());
        std::exception_ptr failure;
        try {
            co_await sink_->appendChunk(chunk, *file);
        } catch (...) {
            failure = std::current_exception();
        }
        queuedByteCount_ -= size;
        if (file_ == file) {
            if (failure) {
                // The file is lost: nothing after the failed chunk may reach the sink.
                failure_ = failure;
                for (const Bytes& rest : chunks_)
                    queuedByteCount_ -= static_cast<std::int64_t>(rest.size());
                chunks_.clear();
            } else if (onAccepted_) {
                onAccepted_(size);
            }
        }
        if (onQueuedBytes_)
            onQueuedBytes_(queuedByteCount_);
        changed();
    }
    writing_ = false;
    changed();
}

asio::awaitable<void> ChunkQueue::waitForChange()
{
    // Never re-armed: setting the expiry would wake other waiters, which would re-arm in turn.
    auto [ec] = co_await signal_.async_wait(useNothrowAwaitable);
    (void)ec;
}

void ChunkQueue::changed()
{
    signal_.cancel();
}

} // namespace p2p
