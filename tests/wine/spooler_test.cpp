// The Windows print spooler seam (winspool and GDI) under Wine, black-box from Linux: Wine's
// printing reaches the test's private CUPS server, whose printer keeps what it receives.

#include "cupsharness.h"
#include "wait.h"
#include "winesession.h"

#include "../printing/printtestkit.h"

#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace vtest;

namespace {

const QString kQueue = QStringLiteral("office");

testing::Environment* const cupsEnvironment = CupsHarness::registerForProgram({
    CupsHarness::Model(kQueue, QStringLiteral("Vellox Office Duplex Colour")),
});

// What the probe answered: each "key: value" line, keys repeated as often as they came.
struct ProbeAnswer {
    std::optional<int> exitCode;
    QMultiMap<QString, QString> lines;
};

class WindowsSpooler : public WineSessionSuite {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CupsHarness::current().isRunning());
        ASSERT_FALSE(WineSession::windowsBuildFolder().isEmpty()) << "VELLOX_WIN32_BUILD_DIR names no Windows build";
        ASSERT_TRUE(wine->isRunning());
    }

    static ProbeAnswer probe(const QStringList& args)
    {
        const QString program = WineSession::windowsBuildFolder() + QStringLiteral("/tests-bin/spooler_probe.exe");
        ProbeAnswer answer;
        const QString output = wine->output(program, args, 120000);
        for (const QString& line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const int colon = line.indexOf(QStringLiteral(": "));
            if (colon > 0)
                answer.lines.insert(line.left(colon), line.mid(colon + 2).trimmed());
        }
        return answer;
    }
};

TEST_F(WindowsSpooler, ReportsTheDefaultPrinterWithThePapersAndBinsOfItsDriverAndKeepsAValidSetting)
{
    const ProbeAnswer answer = probe({QStringLiteral("report")});
    EXPECT_EQ(answer.lines.value(QStringLiteral("default")), kQueue);
    const QStringList papers = answer.lines.values(QStringLiteral("paper"));
    // Each with its size in tenths of a millimetre, as the driver knows it (from points).
    const auto sized = [&papers](const char* name, int width, int height) {
        const QRegularExpression line(QStringLiteral("^\\d+ (\\d+)x(\\d+) %1$").arg(QLatin1String(name)));
        for (const QString& paper : papers) {
            const auto match = line.match(paper);
            if (match.hasMatch() && std::abs(match.captured(1).toInt() - width) <= 2
                && std::abs(match.captured(2).toInt() - height) <= 2)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(sized("A4", 2100, 2970) && sized("A3", 2970, 4200) && sized("Letter", 2159, 2794))
        << papers.join(", ").toStdString();
    EXPECT_GE(answer.lines.values(QStringLiteral("bin")).size(), 2) << "both trays of the driver";
    // A3 from the second tray is a setting the printer can honour: validation keeps it.
    EXPECT_EQ(answer.lines.value(QStringLiteral("validated paper")), QString::number(DMPAPER_A3));
    EXPECT_EQ(answer.lines.value(QStringLiteral("validated bin")), answer.lines.value(QStringLiteral("chosen bin")));
}

TEST_F(WindowsSpooler, ADocumentArrivesWithEveryPageUnderTheTasksNameCannotBeCancelledOnceHandedOverAndAnAbortedOneNever)
{
    const ProbeAnswer printed = probe({QStringLiteral("print"), QStringLiteral("task-7305_2"), QStringLiteral("3")});
    EXPECT_GT(printed.lines.value(QStringLiteral("job")).toInt(), 0);
    EXPECT_EQ(printed.lines.value(QStringLiteral("ended")), QStringLiteral("yes"));
    EXPECT_EQ(printed.lines.value(QStringLiteral("cancelled when handed over")), QStringLiteral("no"));
    ASSERT_TRUE(CupsHarness::current().waitForDocument(kQueue, QStringLiteral("task-7305_2")));
    const QString document = CupsHarness::current().keptDocument(kQueue, QStringLiteral("task-7305_2"));
    EXPECT_EQ(ptest::renderPdf(document, 20).pages.size(), 3);

    const ProbeAnswer aborted = probe({QStringLiteral("abort"), QStringLiteral("task-7306_0")});
    EXPECT_GT(aborted.lines.value(QStringLiteral("job")).toInt(), 0);
    // Nothing of it is left at the server, nor did the printer get it.
    EXPECT_TRUE(waitUntil([] { return CupsHarness::current().queuedJobCount(kQueue) == 0; }));
    EXPECT_FALSE(CupsHarness::current().jobNames(kQueue).contains(QStringLiteral("task-7306_0")));
}

} // namespace
