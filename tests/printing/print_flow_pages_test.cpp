// Which page hears of which print, with the real agent: each page its own results whatever other
// pages send; a page that reloads mid-batch follows the batch, asks what is printing and stops
// it; the login's cookie goes only to the school's servers; and quitting while printing ends at
// once without sending another job.

#include "printflowkit.h"
#include "wait.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace pflow;
using vtest::CupsHarness;
using vtest::HttpReply;
using vtest::WsClient;

namespace {

testing::Environment* const printerEnvironment = registerPrinter();

// Pages of the school's site and of another one, both served on this PC.
const QString kSchool = QStringLiteral("http://localhost:8731");
const QString kOtherSite = QStringLiteral("http://localhost:8732");

class PrintPagesTest : public PrintFlow {
protected:
    static bool isCmd(const QJsonObject& m, const char* cmd) { return m.value("cmd") == QLatin1String(cmd); }
};

TEST_F(PrintPagesTest, EachPageGetsItsOwnResults)
{
    WsClient other;
    ASSERT_TRUE(other.open(port));

    // Page A prints; page B's commands come after it, one of them rejected.
    cups().setDefaultFate(CupsHarness::Fate::Hold);
    ASSERT_TRUE(accepted(page, "print", studentData(0, 1)));
    ASSERT_TRUE(waitForJobs(1));
    const auto rejected = other.request("print", QJsonObject {});
    ASSERT_TRUE(rejected);
    EXPECT_EQ(rejected->value("ret").toInt(), 400);
    cups().setDefaultFate(CupsHarness::Fate::Print);
    ASSERT_TRUE(accepted(other, "print", studentData(1, 1)));
    const auto scan = other.request("start-scan", QJsonObject {});
    ASSERT_TRUE(scan);
    releaseJob(jobs().at(0));

    const auto mine = page.waitForCmd("print-end", kEventWaitMs);
    ASSERT_TRUE(mine);
    EXPECT_EQ(dataOf(*mine).value("studentName").toString(), "student0");
    const auto theirs = other.waitForCmd("print-end", kEventWaitMs);
    ASSERT_TRUE(theirs);
    EXPECT_EQ(dataOf(*theirs).value("studentName").toString(), "student1");

    // A failure goes to the page that asked, whichever page printed last.
    ASSERT_TRUE(accepted(page, "print", studentData(3, QStringList {})));
    const auto failure = page.waitForCmd("error", kEventWaitMs);
    ASSERT_TRUE(failure);
    EXPECT_EQ(dataOf(*failure).value("studentName").toString(), "student3");

    EXPECT_TRUE(waitForEvents(page, {"print-end", "error"}, 1, 0).isEmpty());
    EXPECT_TRUE(waitForEvents(other, {"print-end", "error"}, 1, 0).isEmpty());
    EXPECT_EQ(printedStudents(), (QList<int> {0, 1}));
}

TEST_F(PrintPagesTest, APageThatReloadsFollowsItsBatchAndStopsIt)
{
    WsClient before;
    ASSERT_TRUE(before.open(port, kSchool));
    ASSERT_NO_FATAL_FAILURE(startHeldBatch(before, 0, 5));
    releaseJob(jobs().at(0));
    const auto first = before.waitForCmd("print-end", kEventWaitMs);
    ASSERT_TRUE(first);
    const QString batchId = dataOf(*first).value("batchId").toString();
    ASSERT_TRUE(batchId.startsWith("printBatch_"));

    // The page reloads: the new page of the same site gets the rest, another site nothing.
    before.close();
    WsClient after;
    ASSERT_TRUE(after.open(port, kSchool));
    WsClient stranger;
    ASSERT_TRUE(stranger.open(port, kOtherSite));
    ASSERT_TRUE(waitForJobs(2));
    releaseJob(jobs().at(1));
    const auto second = after.waitForCmd("print-end", kEventWaitMs);
    ASSERT_TRUE(second);
    EXPECT_EQ(dataOf(*second).value("studentId").toString(), "S1");
    EXPECT_EQ(dataOf(*second).value("batchId").toString(), batchId);

    // It asks what is printing; the other site sees nothing of it and cannot stop it.
    ASSERT_TRUE(waitForJobs(3));
    const auto status = after.request("print-status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->value("ret").toInt(), 200);
    const QJsonArray batches = dataOf(*status).value("batches").toArray();
    ASSERT_EQ(batches.size(), 1);
    const QJsonObject running = batches.first().toObject();
    EXPECT_EQ(running.value("batchId").toString(), batchId);
    EXPECT_EQ(running.value("printed").toArray(), (QJsonArray {"S0", "S1"}));
    EXPECT_EQ(running.value("current").toString(), "S2");
    EXPECT_EQ(running.value("queued").toArray(), (QJsonArray {"S3", "S4"}));
    const auto foreign = stranger.request("print-status");
    ASSERT_TRUE(foreign);
    EXPECT_TRUE(dataOf(*foreign).value("batches").toArray().isEmpty());
    stranger.sendRequest("stop-print", "x1");

    // Stopped by the new page: the queued students are dropped, the job at the printer is taken
    // back, and the batch ends with one event.
    after.sendRequest("stop-print", "x2");
    const auto stopped = after.waitFor([](const QJsonObject& m) { return isCmd(m, "print-stopped"); }, kEventWaitMs);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(dataOf(*stopped).value("batchId").toString(), batchId);
    EXPECT_EQ(dataOf(*stopped).value("printedCount").toInt(), 2);
    EXPECT_EQ(dataOf(*stopped).value("notPrinted").toArray(), (QJsonArray {"S2", "S3", "S4"}));
    EXPECT_TRUE(vtest::waitUntil([] { return cups().queuedJobCount(kQueue) == 0; }));
    EXPECT_TRUE(waitForEvents(after, {"print-end", "error"}, 1, 1000).isEmpty()) << "one event, not one per student";
    EXPECT_EQ(jobs().size(), 3);
    EXPECT_EQ(submittedJobs().size(), 3) << "no job was sent after the stop";
    EXPECT_FALSE(stranger.waitFor([](const QJsonObject& m) { return m.value("cmd").toString().startsWith("print"); }, 0))
        << "another site heard of the batch";
    const auto afterwards = after.request("print-status");
    ASSERT_TRUE(afterwards);
    EXPECT_TRUE(dataOf(*afterwards).value("batches").toArray().isEmpty());
}

TEST_F(PrintPagesTest, APageThatClosesWithNoOtherPageOfItsSiteStillGetsItsPapers)
{
    WsClient leaving;
    ASSERT_TRUE(leaving.open(port, kSchool));
    ASSERT_NO_FATAL_FAILURE(startHeldBatch(leaving, 0, 4));
    leaving.close();
    releaseJobsUntil(4);
    // Each result is dropped for want of a page (a warning, written at once).
    ASSERT_TRUE(vtest::waitUntil([&] { return logCount("client has disconnected") >= 4; }));
    EXPECT_EQ(printedStudents(), (QList<int> {0, 1, 2, 3}));
    EXPECT_TRUE(waitForEvents(page, {"print-end", "error"}, 1, 0).isEmpty()) << "another site's page heard it";
}

TEST_F(PrintPagesTest, TheLoginCookieGoesOnlyToTheSchoolsServers)
{
    // The page that logs in is served by the image server; another host is a stranger.
    vtest::HttpTestServer foreign;
    ASSERT_TRUE(foreign.isListening());
    foreign.serveFile("/page.jpg", studentPage(4, 1));
    WsClient school;
    ASSERT_TRUE(school.open(port, server.url("/").chopped(1)));
    const auto login = school.request("login", QJsonObject {{"uploadCredentials", QJsonObject {{"SESSION", "s3cr3t"}}}});
    ASSERT_TRUE(login);
    ASSERT_EQ(login->value("ret").toInt(), 200);

    ASSERT_TRUE(accepted(school, "print", studentData(4, {imageUrl(4, 0), foreign.url("/page.jpg")})));
    const QList<QJsonObject> ends = waitForEvents(school, {"print-end", "error"}, 1);
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(ends.first().value("cmd").toString(), "print-end");
    EXPECT_EQ(pagesOfJob(jobs().first()), (QList<PrintedPage> {{4, 0}, {4, 1}}));

    ASSERT_EQ(foreign.requests().size(), 1);
    EXPECT_FALSE(foreign.requests().first().hasHeader("Cookie"));
    bool schoolGotIt = false;
    for (const vtest::HttpRequestRecord& request : server.requests())
        schoolGotIt = schoolGotIt || request.header("Cookie") == "SESSION=s3cr3t;";
    EXPECT_TRUE(schoolGotIt);
}

TEST_F(PrintPagesTest, QuittingWhilePrintingEndsAtOnceAndSendsNoJobAfter)
{
    // One job at the printer, one task waiting for its turn, one download in flight.
    cups().setDefaultFate(CupsHarness::Fate::Hold);
    ASSERT_TRUE(page.request("print", studentData(0, 1)));
    ASSERT_TRUE(waitForJobs(1));
    ASSERT_TRUE(page.request("print", studentData(1, 1)));
    ASSERT_TRUE(page.request("print", studentData(2, 1, true)));
    ASSERT_TRUE(vtest::waitUntil([&] { return requestedStudents().contains(1) && server.inFlight() == 1; }));

    QProcess* agent = sandbox.agent();
    QElapsedTimer clock;
    clock.start();
    agent->terminate();
    ASSERT_TRUE(agent->waitForFinished(10000)) << "the agent did not end within 10 s";
    EXPECT_EQ(agent->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(sandbox.readLog().contains("print task manager stops."));
    EXPECT_EQ(submittedJobs().size(), 1);
    EXPECT_EQ(cups().queuedJobCount(kQueue), 1);
}

} // namespace
