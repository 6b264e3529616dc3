#include "p2p/protocol/streams/ByteQueue.h"

#include <algorithm>
#include <system_error>

namespace p2p {

ByteQueue::Waiter::Waiter(const asio::any_io_executor& executor)
    : wakeUp(executor, asio::steady_timer::time_point::max())
{
}

ByteQueue::ByteQueue(asio::any_io_executor executor)
    : executor_(std::move(executor))
{
}

void ByteQueue::wake(Waiter* waiter, std::optional<Bytes> result)
{
    waiter->result = std::move(result);
    waiter->resumed = true;
    waiter->wakeUp.cancel();
}

void ByteQueue::forget(Waiter* waiter)
{
    auto it = std::find(waiters_.begin(), waiters_.end(), waiter);
    if (it != waiters_.end())
        waiters_.erase(it);
}

void ByteQueue::push(Bytes bytes)
{
    if (closed_)
        return;
    if (!waiters_.empty()) {
        Waiter* waiter = waiters_.front();
        waiters_.pop_front();
        wake(waiter, std::move(bytes));
        return;
    }
    chunks_.push_back(std::move(bytes));
}

void ByteQueue::close()
{
    if (closed_)
        return;
    closed_ = true;
    std::deque<Waiter*> waiting;
    waiting.swap(waiters_);
    for (Waiter* waiter : waiting)
        wake(waiter, std::nullopt);
}

asio::awaitable<std::optional<Bytes>> ByteQueue::pop()
{
    if (!chunks_.empty()) {
        Bytes front = std::move(chunks_.front());
        chunks_.pop_front();
        co_return std::optional<Bytes>(std::move(front));
    }
    if (closed_)
        co_return std::nullopt;

    // Keeps the queue alive while this taker waits, and unlists the taker
    // if its frame is destroyed before it was woken (executor torn down).
    auto self = shared_from_this();
    Waiter waiter(executor_);
    struct Unlist {
        ByteQueue* queue;
        Waiter* waiter;
        ~Unlist()
        {
            if (!waiter->resumed)
                queue->forget(waiter);
        }
    } unlist{this, &waiter};
    waiters_.push_back(&waiter);

    auto [ec] = co_await waiter.wakeUp.async_wait(useNothrowAwaitable);
    (void)ec;
    if (!waiter.resumed) {
        // Woken by someone else's cancellation, not by push or close.
        forget(&waiter);
        waiter.resumed = true;
        throw std::system_error(asio::error::operation_aborted);
    }
    co_return std::move(waiter.result);
}

} // namespace p2p
