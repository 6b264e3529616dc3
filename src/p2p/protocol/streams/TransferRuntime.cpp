#include "p2p/protocol/streams/TransferRuntime.h"

namespace p2p {

TransferRuntime::TransferRuntime()
    : context_(1)
    , workGuard_(asio::make_work_guard(context_))
{
    thread_ = std::thread([this] { context_.run(); });
}

TransferRuntime::~TransferRuntime()
{
    stop();
}

asio::any_io_executor TransferRuntime::executor()
{
    return context_.get_executor();
}

bool TransferRuntime::isTransferThread() const
{
    return const_cast<asio::io_context&>(context_).get_executor().running_in_this_thread();
}

void TransferRuntime::stop()
{
    workGuard_.reset();
    context_.stop();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

} // namespace p2p
