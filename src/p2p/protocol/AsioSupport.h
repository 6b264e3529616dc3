#pragma once

// The one place that reaches Asio. In Asio 1.22 as_tuple, deferred and the
// awaitable operators still live in asio::experimental; everything else in the
// transfer code goes through the names below, so a later Asio only touches this file.

// A standard header first: Asio decides how it allocates from libstdc++'s configuration
// macros, and a translation unit that reached Asio before any standard header would pick
// another allocator than the rest (malloc in one, operator delete in another).
#include <cstddef>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/deferred.hpp>

namespace p2p {

namespace asiox = asio::experimental;

template <typename T>
using Awaitable = asio::awaitable<T>;

// Completion token that yields (error_code, results...) instead of throwing.
inline constexpr auto useNothrowAwaitable = asiox::as_tuple(asio::use_awaitable);

} // namespace p2p
