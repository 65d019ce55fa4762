// The slow ends of printing with the real agent: a job that never finishes times out after the
// fixed minute, and an agent told to quit while printing ends at once.

#include "printflowkit.h"
#include "wait.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace pflow;
using vtest::CupsHarness;

namespace {

testing::Environment* const printerEnvironment = registerPrinter();

class PrintFlowSlowTest : public PrintFlow {};

TEST_F(PrintFlowSlowTest, AJobThatNeverFinishesTimesOutTheBatch)
{
    cups().setDefaultFate(CupsHarness::Fate::Hold);
    QJsonArray students;
    for (int s = 0; s < 3; ++s)
        students.append(studentData(s, 1));
    ASSERT_TRUE(page.request("printBatch", students));
    ASSERT_TRUE(waitForJobs(1));
    const QList<QJsonObject> errors = waitForEvents(page, {"error", "print-end"}, 3, 150000);
    ASSERT_EQ(errors.size(), 3);
    for (const QJsonObject& error : errors) {
        EXPECT_EQ(error.value("cmd").toString(), "error");
        EXPECT_EQ(error.value("msg").toString(), QString::fromUtf8("打印超时，请检查打印机状态"));
    }
    EXPECT_EQ(jobs().size(), 1);

    // Once the printer lets the job go, printing goes on as usual.
    cups().setDefaultFate(CupsHarness::Fate::Print);
    releaseJob(jobs().first());
    ASSERT_TRUE(vtest::waitUntil([] { return cups().queuedJobCount(kQueue) == 0; }));
    ASSERT_TRUE(page.request("print", studentData(5, 1)));
    const QList<QJsonObject> ends = waitForEvents(page, {"error", "print-end"}, 1);
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(ends.first().value("cmd").toString(), "print-end");
}

TEST_F(PrintFlowSlowTest, QuittingWhilePrintingEndsAtOnce)
{
    // One job at the printer, one task waiting for its turn, one download in flight.
    cups().setDefaultFate(CupsHarness::Fate::Hold);
    ASSERT_TRUE(page.request("print", studentData(0, 1)));
    ASSERT_TRUE(waitForJobs(1));
    ASSERT_TRUE(page.request("print", studentData(1, 1)));
    ASSERT_TRUE(page.request("print", studentData(2, 1, true)));
    ASSERT_TRUE(waitForLogCount("task wait for print turn", 2));
    ASSERT_TRUE(vtest::waitUntil([&] { return server.inFlight() == 1; }));

    QProcess* agent = sandbox.agent();
    QElapsedTimer clock;
    clock.start();
    agent->terminate();
    ASSERT_TRUE(agent->waitForFinished(10000)) << "the agent did not end within 10 s";
    EXPECT_EQ(agent->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_LT(clock.elapsed(), 10000);
    EXPECT_TRUE(sandbox.readLog().contains("print task manager stops."));
}

} // namespace
