#pragma once

// What the end-to-end print tests share: the real agent with a page connected, an image server
// whose answers a test can hold per student, page images whose colour says whose page they are,
// and the harness's printer read back job by job.

#include "agentsandbox.h"
#include "cupsharness.h"
#include "httptestserver.h"
#include "wsclient.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

namespace pflow {

inline const QString kQueue = QStringLiteral("flow");
constexpr int kEventWaitMs = 90000;

vtest::CupsHarness& cups();
// The program's harness: one generic colour duplex printer, the default.
testing::Environment* registerPrinter();

// A flat colour that encodes the student (red) and the page (green).
QByteArray studentPage(int student, int page);

struct PrintedPage {
    int student = -1;
    int page = -1;
    bool operator==(const PrintedPage& other) const { return student == other.student && page == other.page; }
};
// The pages of a document the printer kept, read back from their colours.
QList<PrintedPage> printedPages(const QString& pdfPath);

// An answer that waits until the test opens its gate.
class Gate {
public:
    void open();
    bool wait(int timeoutMs);

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
};

class PrintFlow : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sends a command and tells whether it was accepted (200).
    bool accepted(vtest::WsClient& client, const QString& cmd, const QJsonValue& data);
    // A batch of students first..first+count-1 whose jobs are held; returns once the first job
    // is at the printer.
    void startHeldBatch(vtest::WsClient& client, int first, int count);
    // Releases the held jobs one by one as they arrive, until `count` jobs have printed.
    void releaseJobsUntil(int count);

    // The image of page `page` of `student`, answered at once or, when gated, once the
    // student's gate opens.
    QString imageUrl(int student, int page, bool gated = false);
    void openGate(int student);
    // A student for "print" / "printBatch": `pages` images.
    QJsonObject studentData(int student, int pages, bool gated = false);
    QJsonObject studentData(int student, const QStringList& urls) const;
    // Students whose images the server has been asked for.
    QSet<int> requestedStudents() const;

    // Jobs the printer received, in order (their names are the print tasks' ids).
    // Only this test's: the printer lives for the whole program.
    QStringList jobs() const { return cups().jobNames(kQueue).mid(earlierJobs); }
    bool waitForJobs(int count, int timeoutMs = kEventWaitMs) const;
    // The students of each job, by the colour of its first page.
    QList<int> printedStudents() const;
    QList<PrintedPage> pagesOfJob(const QString& jobName) const;
    // Releases a held job and waits until the printer has its document.
    void releaseJob(const QString& jobName);

    // The names of the jobs the agent has sent, in order, as its log tells them.
    QStringList submittedJobs() const;
    // Files the agent keeps under its download folder.
    QStringList downloadedFiles() const;
    int logCount(const QString& text) const;

    // Events of one command on `client`, in arrival order, until `count` have come.
    QList<QJsonObject> waitForEvents(vtest::WsClient& client, const QStringList& cmds, int count,
                                     int timeoutMs = kEventWaitMs);

    vtest::AgentSandbox sandbox;
    vtest::HttpTestServer server;
    vtest::WsClient page;
    quint16 port = 0;

private:
    int earlierJobs = 0;
    std::shared_ptr<Gate> gate(int student);

    mutable std::mutex gatesMutex;
    std::map<int, std::shared_ptr<Gate>> gates;
};

// The "studentId" of each event.
QStringList studentIds(const QList<QJsonObject>& events);

// The "data" of an event.
inline QJsonObject dataOf(const QJsonObject& event)
{
    return event.value(QStringLiteral("data")).toObject();
}

} // namespace pflow
