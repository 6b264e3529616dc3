#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/transport/TransportError.h"

#include <asio/ip/tcp.hpp>

#include <string>
#include <utility>

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
