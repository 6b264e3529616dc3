#include "p2p/backup/SinkThread.h"

#include <future>

namespace p2p {

SinkThread::SinkThread()
    : context_(1)
    , workGuard_(asio::make_work_guard(context_))
{
    thread_ = std::thread([this] { context_.run(); });
}

SinkThread::~SinkThread()
{
    drain();
}

asio::any_io_executor SinkThread::executor()
{
    return context_.get_executor();
}

void SinkThread::drain(std::chrono::milliseconds limit)
{
    if (!thread_.joinable())
        return;
    // Without the guard the loop ends by itself once the queue is empty.
    workGuard_.reset();
    std::promise<void> idle;
    std::future<void> idleFuture = idle.get_future();
    std::thread waiter([this, &idle] {
        thread_.join();
        idle.set_value();
    });
    if (idleFuture.wait_for(limit) != std::future_status::ready)
        context_.stop();
    waiter.join();
}

} // namespace p2p
