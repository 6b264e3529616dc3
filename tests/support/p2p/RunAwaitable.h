#pragma once

#include "p2p/protocol/AsioSupport.h"

#include <exception>
#include <optional>
#include <type_traits>

namespace p2p::testing {

// Runs `work` on `io` until the context has nothing left to do; rethrows its exception.
template <typename T>
T runAwaitable(asio::io_context& io, asio::awaitable<T> work)
{
    std::exception_ptr failure;
    std::optional<T> result;
    asio::co_spawn(io, std::move(work), [&](std::exception_ptr error, T value) {
        failure = error;
        if (!error)
            result.emplace(std::move(value));
    });
    io.restart();
    io.run();
    if (failure)
        std::rethrow_exception(failure);
    return std::move(*result);
}

inline void runAwaitable(asio::io_context& io, asio::awaitable<void> work)
{
    std::exception_ptr failure;
    asio::co_spawn(io, std::move(work), [&](std::exception_ptr error) { failure = error; });
    io.restart();
    io.run();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace p2p::testing
