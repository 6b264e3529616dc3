#pragma once

// Assertions that wait for something another thread or a queued call brings about, and print
// both values when it never comes.

#include "support/app/Wait.h"

#include <gtest/gtest.h>

// Waits until `actual == expected`, then asserts it.
#define ASSERT_EVENTUALLY_EQ(actual, expected)                                                   \
    do {                                                                                         \
        (void)::app::test::waitFor([&] { return (actual) == (expected); }, 10000);               \
        ASSERT_EQ(actual, expected);                                                             \
    } while (false)

#define ASSERT_EVENTUALLY(condition)                                                             \
    do {                                                                                         \
        ASSERT_TRUE(::app::test::waitFor([&] { return static_cast<bool>(condition); }, 10000))   \
            << "never came true: " #condition;                                                   \
    } while (false)
