#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct CrashRun {
    QStringList dumps;
    QString report;
    QString output;
    int exitCode = 0; // -1: ended by a signal
    bool finished = false;
};

CrashRun crash(const QString& how)
{
    QTemporaryDir dir;
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    probe.start(CRASH_PROBE, {dir.path(), how});
    CrashRun run;
    run.finished = probe.waitForFinished(60000);
    if (!run.finished)
        probe.kill();
    run.exitCode = probe.exitStatus() == QProcess::CrashExit ? -1 : probe.exitCode();
    run.output = QString::fromUtf8(probe.readAll());
    run.dumps = QDir(dir.path()).entryList(QDir::Files);
    if (run.dumps.size() == 1) {
        QFile file(dir.path() + '/' + run.dumps.front());
        file.open(QIODevice::ReadOnly);
        run.report = QString::fromUtf8(file.readAll());
    }
    return run;
}

const QRegularExpression kGuidDumpName(
    "^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.dmp$");

TEST(CrashHandler, NullDereferenceLeavesOneReportWithABacktrace)
{
    const CrashRun run = crash("null");
    ASSERT_EQ(run.dumps.size(), 1) << run.output.toStdString();
    EXPECT_TRUE(kGuidDumpName.match(run.dumps.front()).hasMatch()) << run.dumps.front().toStdString();
    EXPECT_TRUE(run.report.contains("signal: SIGSEGV")) << run.report.toStdString();
    EXPECT_TRUE(run.report.contains("fault address: ")) << run.report.toStdString();
    EXPECT_TRUE(run.report.contains("program: vellox "));
    EXPECT_TRUE(run.report.contains("crashWithNullPointer")) << run.report.toStdString();
    EXPECT_TRUE(run.output.contains("BreakpadQt crash"));
    EXPECT_NE(run.exitCode, 0);
    EXPECT_FALSE(run.output.contains("did not crash"));
}

TEST(CrashHandler, PureVirtualCallLeavesOneReport)
{
    const CrashRun run = crash("purevirtual");
    ASSERT_EQ(run.dumps.size(), 1) << run.output.toStdString();
    EXPECT_TRUE(kGuidDumpName.match(run.dumps.front()).hasMatch());
    EXPECT_TRUE(run.report.contains("signal: SIGABRT")) << run.report.toStdString();
    EXPECT_TRUE(run.report.contains("crashWithPureVirtualCall")) << run.report.toStdString();
}

TEST(CrashHandler, StackOverflowOnAPoolThreadLeavesOneReport)
{
    const CrashRun run = crash("pooloverflow");
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.dumps.size(), 1) << run.output.toStdString();
    EXPECT_TRUE(run.report.contains("signal: SIGSEGV")) << run.report.toStdString();
    EXPECT_TRUE(run.report.contains("recurseForever")) << run.report.left(4000).toStdString();
    EXPECT_TRUE(run.output.contains("BreakpadQt crash"));
    EXPECT_FALSE(run.output.contains("did not crash"));
}

TEST(CrashHandler, ACrashInsideMallocStillLeavesAReportAndEndsTheProcess)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's allocator replaces the heap whose own check this case sets off";
#endif
    const CrashRun run = crash("malloc");
    // Symbolising cannot allocate here: the deadline ends the process instead of a hang.
    ASSERT_TRUE(run.finished);
    EXPECT_NE(run.exitCode, 0);
    ASSERT_EQ(run.dumps.size(), 1) << run.output.toStdString();
    EXPECT_TRUE(run.report.contains("signal: SIGABRT")) << run.report.toStdString();
    // The frames are on record before any symbol is looked up.
    EXPECT_TRUE(run.report.contains("frames:\n  #0 0x")) << run.report.toStdString();
    EXPECT_TRUE(run.output.contains("BreakpadQt crash"));
}

} // namespace
