// A test fixture around the real data source manager (libtwaindsm.so from the program folder):
// a private folder for the scanner profile and the DSM's trace of every call, and a session
// that is walked back down to state 1 after every test.
#pragma once

#include "scanning/twaindsm_library.h"
#include "scanning/twainsession.h"

#include "closesession.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

namespace vtest {

class VirtualDsmTest : public ::testing::Test {
protected:
    // The session the test drives; closed at the end of every test.
    virtual CTWAINSession& twainSession() = 0;

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        TwainDsmLibrary::setProgramFolder(VELLOX_PROGRAM_DIR);
        qputenv("TWAINDSM_TRACE", QFile::encodeName(tracePath()));
    }

    void TearDown() override
    {
        if (HasFailure()) {
            // What the DSM saw explains most failures here.
            QFile file(tracePath());
            if (file.open(QIODevice::ReadOnly))
                std::fprintf(stderr, "DSM trace:\n%s\n", file.readAll().constData());
        }
        closeTwainSession(twainSession());
        qunsetenv("TWAINDSM_SOURCES");
        qunsetenv("TWAINDSM_TRACE");
    }

    QString tracePath() const { return dir.filePath("trace.jsonl"); }

    // Writes the profile with these scanners and points the DSM at it.
    void writeProfile(const QJsonArray& sources)
    {
        const QString path = dir.filePath("sources.json");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(QJsonObject{ { "sources", sources } }).toJson());
        file.close();
        qputenv("TWAINDSM_SOURCES", QFile::encodeName(path));
    }

    // The trace as JSON objects, all of them or those of one DAT, from line `from` on.
    std::vector<QJsonObject> trace(const QString& dat = {}, int from = 0) const
    {
        std::vector<QJsonObject> lines;
        QFile file(tracePath());
        if (!file.open(QIODevice::ReadOnly))
            return lines;
        const QList<QByteArray> raw = file.readAll().split('\n');
        for (int i = from; i < raw.size(); ++i) {
            const QJsonObject entry = QJsonDocument::fromJson(raw[i]).object();
            if (!entry.isEmpty() && (dat.isEmpty() || entry.value("dat").toString() == dat))
                lines.push_back(entry);
        }
        return lines;
    }

    int traceLineCount() const
    {
        QFile file(tracePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
    }

    QTemporaryDir dir;
};

} // namespace vtest
