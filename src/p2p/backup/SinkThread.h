#pragma once

#include "p2p/protocol/AsioSupport.h"

#include <chrono>
#include <optional>
#include <thread>

namespace p2p {

// The thread that file-system sinks do their blocking work on (writes, fsync, SQLite), so a
// slow drive never stalls the transfer thread. One per process, made before any sink and drained
// after the transfer thread has stopped: every sink keeps itself alive while its work is queued,
// so draining lets the calls already queued finish and their files reach the disk or be removed.
class SinkThread {
public:
    SinkThread();
    ~SinkThread(); // drains
    SinkThread(const SinkThread&) = delete;
    SinkThread& operator=(const SinkThread&) = delete;

    asio::any_io_executor executor();

    // Lets queued work finish for at most `limit` (a stalled drive must not hold the exit for
    // ever), drops what is left after that, and joins the thread once the call running then
    // returns. Safe to call more than once; never from the sink thread.
    void drain(std::chrono::milliseconds limit = std::chrono::seconds(3));

private:
    asio::io_context context_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> workGuard_;
    std::thread thread_;
};

} // namespace p2p
