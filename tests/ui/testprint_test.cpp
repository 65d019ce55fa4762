// The tray's printer checks on the real agent: a private X display with a tray host, and the
// private CUPS whose IPP printer keeps every document. The tray menu, the dialogs and the file
// dialog are driven with xdotool; what happened is read from the printer's documents, the agent's
// log and its settings.
#include "agentsandbox.h"
#include "cupsharness.h"
#include "printtestkit.h"
#include "traymenu.h"
#include "wait.h"
#include "xvfbdisplay.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <optional>

namespace {

using ptest::colorAt;
using ptest::isNear;
using ptest::renderPdf;
using vtest::AgentSandbox;

const QString kQueue = QStringLiteral("TrayPrinter");
const QString kTestPageJob = QStringLiteral("Test Page");
const QString kDialog = QStringLiteral("^自定义打印测试$");
const QString kFileDialog = QStringLiteral("^选择文件$");
const QSizeF kA4(595, 842);
const QSizeF kA3(842, 1191);

[[maybe_unused]] testing::Environment* const cups =
    vtest::CupsHarness::registerForProgram({vtest::CupsHarness::Model(kQueue, QStringLiteral("Tray Printer"))});

vtest::XvfbDisplay& display()
{
    return vtest::XvfbDisplay::shared();
}

bool sameSize(const QSizeF& actual, const QSizeF& expected)
{
    return qAbs(actual.width() - expected.width()) < 2 && qAbs(actual.height() - expected.height()) < 2;
}

class TrayPrints : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(display().isRunning());
        ASSERT_TRUE(display().startTrayHost()) << "trayer did not dock";
        ASSERT_TRUE(vtest::waitUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }));
        ASSERT_TRUE(ptest::cups().isRunning()) << ptest::cups().errorText().toStdString();
        sandbox.setConfig("devmode", "1");
        earlierJobs = ptest::cups().jobNames(kQueue).size();
    }

    void TearDown() override
    {
        if (!HasFailure())
            return;
        std::fprintf(stderr, "agent log:\n%s\n", sandbox.readLog().toUtf8().constData());
        std::fprintf(stderr, "print server:\n%s\n", ptest::cups().stateReport().toUtf8().constData());
    }

    // Starts the agent hidden in the tray and waits for its icon; a second start follows a quit.
    bool startAgent()
    {
        tray.reset();
        return sandbox.startListening({"--hidden"}) != 0 && tray.icon();
    }
    bool stopAgent()
    {
        QProcess* agent = sandbox.latest();
        agent->terminate();
        return agent->waitForFinished(30000) && vtest::waitUntil([] {
                   return display().findWindowsOfClass("^vellox$").isEmpty();
               });
    }

    // With "devmode": the fifth and the sixth item.
    bool pickTestPage() { return tray.pick({"Down", "Down", "Down", "Down", "Down", "Return"}); }
    bool pickCustomPrint() { return tray.pick({"Down", "Down", "Down", "Down", "Down", "Down", "Return"}); }

    // A window of the agent by its title, given the keyboard focus.
    std::optional<quint64> focusedWindow(const QString& title) const
    {
        const auto window = display().waitForWindow(title);
        if (window && !display().focus(*window))
            return std::nullopt;
        return window;
    }

    // Picks files in the open file dialog by typing their names, each in quotes.
    bool chooseFiles(const QStringList& names) const
    {
        const auto dialog = focusedWindow(kFileDialog);
        if (!dialog)
            return false;
        QStringList quoted;
        for (const QString& name : names)
            quoted << '"' + name + '"';
        return display().type(quoted.join(' ')) && display().key({"Return"}) && display().waitUntilGone(*dialog);
    }

    QString writePage(const QString& path, QColor color) const
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QImage image(300, 420, QImage::Format_RGB32);
        image.fill(color);
        image.save(path, "JPG", 90);
        return path;
    }

    // Jobs the printer received during this test, in order.
    QStringList jobs() const { return ptest::cups().jobNames(kQueue).mid(earlierJobs); }

    AgentSandbox sandbox;
    vtest::TrayMenu tray {display()};
    int earlierJobs = 0;
};

TEST_F(TrayPrints, TestPageGoesToTheDefaultPrinterAsOnePage)
{
    ASSERT_TRUE(startAgent());
    ASSERT_TRUE(pickTestPage());
    ASSERT_TRUE(ptest::cups().waitForDocument(kQueue, kTestPageJob));
    EXPECT_EQ(jobs(), QStringList {kTestPageJob});
    EXPECT_EQ(renderPdf(ptest::cups().keptDocument(kQueue, kTestPageJob)).pages.size(), 1);
    EXPECT_TRUE(sandbox.waitForLog("printing test page for: " + kQueue));

    // A queue that takes no jobs: the spooler refuses the test page, and the toast says so.
    ASSERT_FALSE(ptest::cups().run("cupsreject", {kQueue}).isNull());
    ASSERT_TRUE(pickTestPage());
    EXPECT_TRUE(sandbox.waitForLog("test page not printed"));
    EXPECT_TRUE(sandbox.readLog().contains("Toast: 打印测试页失败，请检查打印机"));
    ASSERT_FALSE(ptest::cups().run("cupsaccept", {kQueue}).isNull());
}

TEST_F(TrayPrints, WithoutADefaultPrinterTheTestPageIsAToastAndNothingStarts)
{
    // No print server at all; an "lp" of our own on the path records any start.
    sandbox.setEnv("CUPS_SERVER", sandbox.root() + "/no-cups.sock");
    const QString record = sandbox.recordStarts("lp");

    ASSERT_TRUE(startAgent());
    ASSERT_TRUE(pickTestPage());
    ASSERT_TRUE(sandbox.waitForLog("Toast: 未找到默认打印机"));
    EXPECT_TRUE(sandbox.readLog().contains("failed to get default printer"));
    EXPECT_FALSE(sandbox.readLog().contains("printing test page for"));
    EXPECT_FALSE(QFile::exists(record));
}

TEST_F(TrayPrints, CustomPrintPrintsTheChosenFilesInOrderAndRemembersTheirFolder)
{
    const QString folder = sandbox.root() + "/pages";
    const QString first = writePage(folder + "/first.jpg", Qt::red);
    const QString second = writePage(folder + "/second.jpg", Qt::blue);
    writePage(folder + "/third.jpg", Qt::green);
    ASSERT_TRUE(startAgent());

    // "打印" with no file chosen leaves the dialog open; "取消" closes it, and nothing prints.
    ASSERT_TRUE(pickCustomPrint());
    auto dialog = focusedWindow(kDialog);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(display().key({"Return"}));
    auto files = focusedWindow(kFileDialog);
    ASSERT_TRUE(files);
    ASSERT_TRUE(display().key({"Escape"}));
    ASSERT_TRUE(display().waitUntilGone(*files));
    EXPECT_TRUE(display().isMapped(*dialog));
    ASSERT_TRUE(display().focus(*dialog));
    ASSERT_TRUE(display().key({"Tab", "Tab", "Tab", "space"})); // past both boxes and "打印"
    ASSERT_TRUE(display().waitUntilGone(*dialog));
    EXPECT_TRUE(sandbox.config("lastprintfolder").isEmpty());

    // A4 and the bypass feed: the two files in the order typed, as one job named by its time.
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    ASSERT_TRUE(pickCustomPrint());
    dialog = focusedWindow(kDialog);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(display().key({"Down", "Tab", "Down", "Return"}));
    ASSERT_TRUE(chooseFiles({second, first}));
    ASSERT_TRUE(display().waitUntilGone(*dialog));
    ASSERT_TRUE(vtest::waitUntil([&] { return !jobs().isEmpty(); }, 60000));
    const QString job = jobs().first();
    const QRegularExpressionMatch stamp = QRegularExpression("^(\\d+)_0$").match(job);
    ASSERT_TRUE(stamp.hasMatch()) << job.toStdString();
    EXPECT_GE(stamp.captured(1).toLongLong(), before);
    EXPECT_LE(stamp.captured(1).toLongLong(), QDateTime::currentMSecsSinceEpoch());
    ASSERT_TRUE(ptest::cups().waitForDocument(kQueue, job));
    const ptest::RenderedPdf pdf = renderPdf(ptest::cups().keptDocument(kQueue, job));
    ASSERT_EQ(pdf.pages.size(), 2);
    EXPECT_TRUE(isNear(colorAt(pdf.pages[0], 0.5, 0.5), Qt::blue));
    EXPECT_TRUE(isNear(colorAt(pdf.pages[1], 0.5, 0.5), Qt::red));
    EXPECT_TRUE(sameSize(pdf.pageSizes.value(0), kA4));
    EXPECT_TRUE(sandbox.waitForLog(R"(printConfig={"size":"A4","type":"part"})"));
    EXPECT_TRUE(sandbox.waitForLog("print callback. uniqueId=" + job + ", success=true", 60000));
    EXPECT_EQ(QDir(sandbox.config("lastprintfolder")), QDir(folder));
    EXPECT_EQ(jobs().size(), 1) << "the cancelled dialog printed";

    // The next start's file dialog opens in that folder: a bare name is found there. The
    // defaults are A3 from the paper tray.
    ASSERT_TRUE(stopAgent());
    ASSERT_TRUE(startAgent());
    ASSERT_TRUE(pickCustomPrint());
    dialog = focusedWindow(kDialog);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(display().key({"Return"}));
    ASSERT_TRUE(chooseFiles({"third.jpg"}));
    ASSERT_TRUE(vtest::waitUntil([&] { return jobs().size() == 2; }, 60000));
    ASSERT_TRUE(ptest::cups().waitForDocument(kQueue, jobs().last()));
    const ptest::RenderedPdf third = renderPdf(ptest::cups().keptDocument(kQueue, jobs().last()));
    ASSERT_EQ(third.pages.size(), 1);
    EXPECT_TRUE(isNear(colorAt(third.pages[0], 0.5, 0.5), Qt::green));
    EXPECT_TRUE(sameSize(third.pageSizes.value(0), kA3));
    EXPECT_TRUE(sandbox.waitForLog(R"(printConfig={"size":"A3","type":"whole"})"));

    // One that fails (the queue stopped) says so in a toast.
    ASSERT_TRUE(ptest::cups().disable(kQueue));
    ASSERT_TRUE(pickCustomPrint());
    dialog = focusedWindow(kDialog);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(display().key({"Return"}));
    ASSERT_TRUE(chooseFiles({"third.jpg"}));
    EXPECT_TRUE(sandbox.waitForLog("custom print test failed", 60000));
    EXPECT_TRUE(sandbox.readLog().contains(QString::fromUtf8("Toast: 自定义打印测试失败：打印机已停止，请检查打印机状态")));
    ASSERT_TRUE(ptest::cups().enable(kQueue));
}

} // namespace
