#pragma once

#include "http/curlrequest.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <gtest/gtest.h>

namespace httptest {

// Bytes that differ from position to position and from seed to seed, so a misplaced or
// repeated range shows in a comparison.
inline QByteArray patternBytes(qint64 size, quint32 seed = 1)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 1;
    for (qint64 i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[int(i)] = char(state >> 24);
    }
    return bytes;
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Every percentage a request reports, in order.
struct ProgressLog {
    explicit ProgressLog(CUrlRequest& request)
    {
        QObject::connect(&request, &CUrlRequest::sigOnProgress, [this](int value) { values.append(value); });
    }
    QList<int> values;
};

// libcurl is initialised once, from the main thread, as the agent's entry function does.
class CurlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CUrlRequest::globalInit()); }
};

} // namespace httptest
