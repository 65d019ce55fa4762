// Quitting while printing, with the real agent: it ends at once and sends no job after.

#include "printflowkit.h"
#include "wait.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace pflow;
using vtest::CupsHarness;

namespace {

testing::Environment* const printerEnvironment = registerPrinter();

class PrintFlowSlowTest : public PrintFlow {};

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
    // No task sent a job after the quit began.
    EXPECT_EQ(submittedJobs().size(), 1);
    EXPECT_EQ(cups().queuedJobCount(kQueue), 1);
}

} // namespace
