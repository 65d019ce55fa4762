#pragma once

#include <QtTest/QTest>

#include <functional>

namespace vtest {

// Waits for `condition`, processing Qt events meanwhile; false when the deadline passes.
// Deadlines are generous: tests run on a busy two-core machine.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 30000)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

} // namespace vtest
