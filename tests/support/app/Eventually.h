#pragma once

// Waiting in tests for something another thread or a queued call brings about, while the main
// thread's events run. Fails the test on time-out instead of passing silently.

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QtTest/QTest>

#include <chrono>
#include <functional>

namespace app::testing {

// Runs the main thread's events until `condition` holds; false once `timeout` has passed.
[[nodiscard]] inline bool eventually(const std::function<bool()>& condition,
    std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(2);
    }
    return true;
}

} // namespace app::testing

// Waits until `actual == expected`, then asserts it (so a time-out prints both values).
#define ASSERT_EVENTUALLY_EQ(actual, expected)                                                  \
    do {                                                                                         \
        (void)::app::testing::eventually([&] { return (actual) == (expected); });                \
        ASSERT_EQ(actual, expected);                                                             \
    } while (false)

#define ASSERT_EVENTUALLY(condition)                                                            \
    do {                                                                                         \
        ASSERT_TRUE(::app::testing::eventually([&] { return static_cast<bool>(condition); }))    \
            << "never came true: " #condition;                                                   \
    } while (false)
