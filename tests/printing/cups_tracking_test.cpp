// Job tracking against a real CUPS queue: a job ends when its own job leaves the queue, a printer
// that needs a person makes it wait (and says why), a stopped printer or a cancelled job fails it,
// and a job given up is cancelled at the queue and never prints.

#include "cupsharness.h"
#include "logcapture.h"
#include "printtestkit.h"
#include "wait.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

using namespace ptest;
using vtest::CupsHarness;

namespace {

testing::Environment* const cupsEnvironment = CupsHarness::registerForProgram({
    CupsHarness::Model(QStringLiteral("track"), QStringLiteral("Vellox Generic Duplex Colour")),
    CupsHarness::Model(QStringLiteral("iradv"), QStringLiteral("Canon Office XPS Class Driver")),
});

// Signals of the printer for one job, as the waiting print task sees them.
struct JobWatch {
    explicit JobWatch(CPrinter& printer, const QString& uniqueId)
    {
        QObject::connect(&printer, &CPrinter::sigPrintJobWaiting, &context,
                         [this, uniqueId](const QString& id, const QString&, const QString& reason, const QString&) {
                             if (id == uniqueId)
                                 reasons.append(reason);
                         });
        QObject::connect(&printer, &CPrinter::sigPrintJobFinished, &context,
                         [this, uniqueId](const QString& id) { finished = finished || id == uniqueId; });
        QObject::connect(&printer, &CPrinter::sigPrintFinish, &context, [this] { ++legacyFinishes; });
        QObject::connect(&printer, &CPrinter::sigPrintJobFailed, &context,
                         [this, uniqueId](const QString& id, const QString& text) {
                             if (id == uniqueId) {
                                 failed = true;
                                 message = text;
                             }
                         });
    }
    QObject context;
    bool finished = false;
    bool failed = false;
    int legacyFinishes = 0;
    QString message;
    QStringList reasons;
};

class CupsTrackingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cups().isRunning()) << cups().errorText().toStdString();
        ASSERT_TRUE(cups().reset()) << "the print server or a printer is still busy:\n"
                                    << cups().stateReport().toStdString();
        page = folders.writePage("page.jpg", 420, 594, Qt::red);
        printer = std::make_unique<CPrinter>(createPlatformPrintSpooler(), folders.config());
        ASSERT_TRUE(printer->selectPrinter(QString()));
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "print server:\n%s\n", cups().stateReport().toUtf8().constData());
    }

    bool submit(const QString& uniqueId, bool legacy = false)
    {
        return printer->configPrinter({{"size", "A4"}, {"type", "whole"}}) != nullptr
            && printFromPool(*printer, uniqueId, {page}, legacy);
    }

    // Waits until the tracker has applied `count` more polls.
    bool waitForPolls(int count)
    {
        const int target = printer->completedPolls() + count;
        return vtest::waitUntil([&] { return printer->completedPolls() >= target; });
    }

    bool queueHolds(const QString& queue, int jobId)
    {
        return printer->queryPrinterQueueSnapshot(queue).jobs.contains(jobId);
    }

    PrintFolders folders;
    QString page;
    std::unique_ptr<CPrinter> printer;
};

TEST_F(CupsTrackingTest, TrackedJobEndsWhenItLeavesTheQueue)
{
    vtest::LogCapture log;
    cups().setFate("track_held", CupsHarness::Fate::Hold);
    JobWatch watch(*printer, "track_held");
    ASSERT_TRUE(submit("track_held"));
    const int jobId = printer->jobId();
    EXPECT_TRUE(log.contains(QString("register tracked print job. uniqueId=track_held, jobId=%1, printerName=track, "
                                     "activeJobCount=1")
                                 .arg(jobId)));
    EXPECT_TRUE(vtest::waitUntil([&] { return printer->isPolling(); }));

    // At the printer and still queued: not finished, however often the tracker looks.
    ASSERT_TRUE(cups().waitForDocument("track", "track_held"));
    ASSERT_TRUE(waitForPolls(2));
    EXPECT_FALSE(watch.finished);
    EXPECT_TRUE(printer->isTracking("track_held"));

    cups().release("track_held");
    ASSERT_TRUE(vtest::waitUntil([&] { return watch.finished; }));
    EXPECT_FALSE(watch.failed);
    EXPECT_EQ(watch.legacyFinishes, 0);
    EXPECT_FALSE(printer->isTracking("track_held"));
    EXPECT_TRUE(log.contains(QString("tracked print job finished. uniqueId=track_held, jobId=%1, printerName=track, "
                                     "activeJobCount=1")
                                 .arg(jobId)));
    EXPECT_TRUE(vtest::waitUntil([&] { return !printer->isPolling(); })) << "the timer stops with the last job";
}

TEST_F(CupsTrackingTest, CanonIrAdvJobEndsWhenItLeavesTheQueue)
{
    ASSERT_TRUE(cups().setDefault("iradv"));
    folders.writePreset("canon-iR-ADV/", "default_A4.dat", devModeBytes(DMPAPER_A4, DMDUP_VERTICAL, DMCOLOR_COLOR, 0));
    const PrintRun run = printStudent(*printer, "track_iradv", {page}, {{"size", "A4"}, {"type", "whole"}});
    EXPECT_TRUE(run.printed);
    EXPECT_TRUE(run.finished);
    EXPECT_TRUE(printer->isCanonIrAdv());
}

TEST_F(CupsTrackingTest, ASinglePrintEndsWhenItsOwnJobLeavesTheQueue)
{
    // A job of someone else's, or one an earlier fault left behind, stays in the queue.
    const int blocker = cups().submitHeldJob("track", "never_finishes");
    ASSERT_GT(blocker, 0);
    JobWatch watch(*printer, "track_legacy");
    ASSERT_TRUE(submit("track_legacy", true));
    ASSERT_TRUE(vtest::waitUntil([&] { return watch.finished; }));
    EXPECT_EQ(watch.legacyFinishes, 1);
    EXPECT_FALSE(watch.failed);
    EXPECT_EQ(cups().queuedJobCount("track"), 1);
    ASSERT_TRUE(cups().cancelJob("track", blocker));
}

TEST_F(CupsTrackingTest, AJobGivenUpIsCancelledAtTheQueueAndNeverPrints)
{
    PrintWaitPolicy policy;
    policy.pollIntervalMs = 100;
    policy.noticeMs = 500;
    policy.giveUpMs = 2500;
    printer->setWaitPolicy(policy);
    ASSERT_TRUE(cups().setReachable("track", false));
    JobWatch watch(*printer, "track_unreachable");
    ASSERT_TRUE(submit("track_unreachable"));
    const int jobId = printer->jobId();

    // The server names no reason for a printer it cannot reach: the page hears it all the same.
    ASSERT_TRUE(vtest::waitUntil([&] { return watch.failed; }));
    EXPECT_EQ(watch.reasons, QStringList {"no-response"});
    EXPECT_EQ(watch.message, QString::fromUtf8("打印超时，请检查打印机状态"));
    EXPECT_FALSE(watch.finished);
    EXPECT_FALSE(queueHolds("track", jobId));

    // Back on the network, the printer gets the next job and never the one given up.
    ASSERT_TRUE(cups().setReachable("track", true));
    JobWatch next(*printer, "track_reachable");
    ASSERT_TRUE(submit("track_reachable"));
    ASSERT_TRUE(vtest::waitUntil([&] { return next.finished; }));
    EXPECT_FALSE(cups().keptDocument("track", "track_reachable").isEmpty());
    EXPECT_TRUE(cups().keptDocument("track", "track_unreachable").isEmpty());
}

TEST_F(CupsTrackingTest, StoppedPrinterFailsItsJobsAndNothingPrintsAfterwards)
{
    vtest::LogCapture log;
    ASSERT_TRUE(cups().disable("track"));
    JobWatch watch(*printer, "track_stopped");
    ASSERT_TRUE(submit("track_stopped"));
    const int jobId = printer->jobId();

    ASSERT_TRUE(vtest::waitUntil([&] { return watch.failed; }));
    EXPECT_EQ(watch.message, QString::fromUtf8("打印机已停止，请检查打印机状态"));
    EXPECT_FALSE(watch.finished);
    EXPECT_TRUE(log.contains(
        QString("[error] tracked print job failed. uniqueId=track_stopped, jobId=%1, reason=printer_stopped").arg(jobId)));
    // Cancelled, so the printer does not print it once it is started again.
    ASSERT_TRUE(vtest::waitUntil([&] { return !queueHolds("track", jobId); }));
    ASSERT_TRUE(cups().enable("track"));
    const QString after = "track_after_stop";
    JobWatch next(*printer, after);
    ASSERT_TRUE(submit(after));
    ASSERT_TRUE(vtest::waitUntil([&] { return next.finished; }));
    EXPECT_TRUE(cups().keptDocument("track", "track_stopped").isEmpty());
}

TEST_F(CupsTrackingTest, CancelledJobFails)
{
    cups().setFate("track_cancel", CupsHarness::Fate::Hold);
    JobWatch watch(*printer, "track_cancel");
    ASSERT_TRUE(submit("track_cancel"));
    const int jobId = printer->jobId();
    ASSERT_TRUE(cups().waitForDocument("track", "track_cancel"));
    ASSERT_TRUE(cups().cancelJob("track", jobId));
    ASSERT_TRUE(vtest::waitUntil([&] { return watch.failed; }));
    EXPECT_EQ(watch.message, QString::fromUtf8("打印出错，请检查打印机状态"));
    EXPECT_FALSE(watch.finished);
    cups().release("track_cancel");
}

TEST_F(CupsTrackingTest, APrinterThatNeedsAPersonMakesItsJobWaitThenItPrints)
{
    printer->setWaitPolicy([] {
        PrintWaitPolicy policy;
        policy.pollIntervalMs = 100;
        return policy;
    }());
    for (const auto& [name, fate, reason] : {std::make_tuple("track_paper", CupsHarness::Fate::MediaEmpty, "media-empty"),
                                             std::make_tuple("track_asleep", CupsHarness::Fate::Offline, "offline")}) {
        SCOPED_TRACE(name);
        cups().setFate(name, fate);
        JobWatch watch(*printer, name);
        ASSERT_TRUE(submit(name));
        ASSERT_TRUE(vtest::waitUntil([&] { return !watch.reasons.isEmpty(); }));
        EXPECT_EQ(watch.reasons.first(), reason);
        // Waiting is no failure, however many polls it lasts.
        const int polls = printer->completedPolls();
        ASSERT_TRUE(vtest::waitUntil([&] { return printer->completedPolls() >= polls + 5; }));
        EXPECT_FALSE(watch.finished || watch.failed);
        cups().release(name);
        ASSERT_TRUE(vtest::waitUntil([&] { return watch.finished; }));
        EXPECT_FALSE(watch.failed);
    }
}

} // namespace
