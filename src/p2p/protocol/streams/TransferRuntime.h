#pragma once

#include "p2p/protocol/AsioSupport.h"

#include <optional>
#include <thread>

namespace p2p {

// The transfer thread: one io_context run by one thread, kept alive by a work
// guard. Every stream, channel and session runs on its executor, so they need
// no locks; they interleave only at co_await.
class TransferRuntime {
public:
    TransferRuntime();
    ~TransferRuntime();
    TransferRuntime(const TransferRuntime&) = delete;
    TransferRuntime& operator=(const TransferRuntime&) = delete;

    asio::any_io_executor executor();
    asio::io_context& context() { return context_; }

    // True on the transfer thread itself.
    bool isTransferThread() const;

    // Stops the loop and joins the thread; pending operations are dropped.
    // Safe to call more than once; not from the transfer thread.
    void stop();

private:
    asio::io_context context_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> workGuard_;
    std::thread thread_;
};

} // namespace p2p
