#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/transport/TransportError.h"

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>
#include <algorithm>

namespace p2p::testing {

// What `work` ended with: "" when it returned, else the description of the error it threw.
template <typename T>
asio::awaitable<std::string> failureOf(asio::awaitable<T> work)
{
    try {
        co_await std::move(work);
    } catch (const TransportError& error) {
        co_return error.description();
    } catch (const std::exception& error) {
        co_return std::string("other error: ") + error.what();
    }
    co_return std::string();
}

// Runs `work` on `io` until it ends, while other work (accept loops, daemons) stays pending; throws
// what it threw, or a time-out after `limit`.
template <typename T>
T runUntilDone(asio::io_context& io, asio::awaitable<T> work, std::chrono::seconds limit = std::chrono::seconds(30))
{
    std::exception_ptr failure;
    std::optional<T> result;
    bool done = false;
    asio::co_spawn(io, std::move(work), [&](std::exception_ptr error, T value) {
        failure = error;
        if (!error)
            result.emplace(std::move(value));
        done = true;
    });
    io.restart();
    // Results posted from other threads (Avahi's, a daemon's) must find the loop running.
    auto keepRunning = asio::make_work_guard(io);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done && std::chrono::steady_clock::now() < deadline)
        io.run_one_until(deadline);
    if (!done)
        throw std::runtime_error("timed out");
    if (failure)
        std::rethrow_exception(failure);
    return std::move(*result);
}

inline asio::awaitable<bool> completed(asio::awaitable<void> work)
{
    co_await std::move(work);
    co_return true;
}

inline void runUntilDone(asio::io_context& io, asio::awaitable<void> work, std::chrono::seconds limit = std::chrono::seconds(30))
{
    runUntilDone(io, completed(std::move(work)), limit);
}

// Runs `io` until `condition` holds; false when `limit` passed first.
template <typename Condition>
bool runUntil(asio::io_context& io, Condition condition, std::chrono::seconds limit = std::chrono::seconds(30))
{
    io.restart();
    auto keepRunning = asio::make_work_guard(io);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        io.run_one_until(deadline);
    return condition();
}

// Collects the log's messages while it lives.
class LogCapture {
public:
    LogCapture()
    {
        setLogSink([this](LogLevel, std::string_view, std::string_view, std::string_view message) {
            messages.emplace_back(message);
        });
    }
    ~LogCapture() { setLogSink({}); }
    bool contains(std::string_view message) const
    {
        return std::find(messages.begin(), messages.end(), message) != messages.end();
    }
    std::vector<std::string> messages;
};

// A phone's first frame: what lets a connection to the advertiser in.
inline Bytes helloFrame()
{
    Hello hello;
    hello.protocolVersion = 1;
    hello.device.name = "iPhone";
    hello.device.identifier = "PHONE-1";
    return MessageCoder::encode(Message(hello));
}

// Two connected TCP sockets on loopback: the dialled end and the accepted end.
inline std::pair<asio::ip::tcp::socket, asio::ip::tcp::socket> loopbackPair(asio::io_context& io)
{
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    asio::ip::tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    asio::ip::tcp::socket accepted = acceptor.accept();
    return {std::move(client), std::move(accepted)};
}

} // namespace p2p::testing
