#pragma once

#include <QTest>

namespace app::test {

// Runs the event loop until the condition holds. False on time-out, and the result must be used,
// so a wait that ran out fails its test instead of passing on.
template <typename Condition>
[[nodiscard]] bool waitFor(Condition condition, int timeoutMs = 5000)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

} // namespace app::test
