#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/Bytes.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/protocol/streams/ByteStream.h"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace p2p {

// A line that strangers on an open port could cause thousands of times a second: written at once
// the first time, then at most once a second, with how often each kind came since the last line.
class ThrottledLog {
public:
    using Clock = std::chrono::steady_clock;

    explicit ThrottledLog(Logger logger, std::function<Clock::time_point()> now = {});
    // Writes what is still counted.
    ~ThrottledLog();
    ThrottledLog(const ThrottledLog&) = delete;
    ThrottledLog& operator=(const ThrottledLog&) = delete;

    void note(const std::string& kind);

private:
    void write(Clock::time_point now);

    Logger logger_;
    std::function<Clock::time_point()> now_;
    std::optional<Clock::time_point> lastLine_;
    std::vector<std::pair<std::string, std::int64_t>> counts_; // since the last line, first seen first
};

// Connections to the announced port that have not said hello yet. Each waits here, at most the
// handshake time-out, until its hello arrives: a ping is answered with a pong; a hello hands the
// connection on with the bytes read after the pings (its reader must see them first) and closes
// every other waiting one; any other frame, an end or the time-out closes it. At most `maximumPending` wait: one more closes
// the oldest, so strangers can neither hold the port nor keep a phone out. Lives on one executor.
class GreetingGate {
public:
    static constexpr std::size_t maximumPending = 8;
    using Greeted = std::function<void(std::unique_ptr<ByteStream> stream, Bytes read)>;

    GreetingGate(asio::any_io_executor executor, std::chrono::milliseconds handshakeTimeout, ThrottledLog& log);
    ~GreetingGate();
    GreetingGate(const GreetingGate&) = delete;
    GreetingGate& operator=(const GreetingGate&) = delete;

    void add(std::unique_ptr<ByteStream> stream, Greeted onGreeted);
    // Closes every waiting connection.
    void closeAll();
    std::size_t pendingCount() const { return pending_.size(); }

    static inline const std::string refusedText = "已有设备在传输，拒绝新连接";

private:
    struct Pending;
    asio::awaitable<void> greet(std::shared_ptr<Pending> pending, std::weak_ptr<int> alive);
    void close(std::shared_ptr<Pending> pending, const std::string& why);
    void closeAll(const std::string& why);
    void admit(std::shared_ptr<Pending> pending);
    void forget(std::shared_ptr<Pending> pending);

    asio::any_io_executor executor_;
    std::chrono::milliseconds handshakeTimeout_;
    ThrottledLog& log_;
    std::list<std::shared_ptr<Pending>> pending_; // oldest first
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace p2p
