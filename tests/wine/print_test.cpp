// vellox.exe printing under Wine, black-box from Linux: a "print" of one student goes through
// the Windows spooler and GDI, which Wine hands to the test's private CUPS server, whose printer
// keeps the document under the print task's id.

#include "../printing/printflowkit.h"
#include "winesession.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace pflow;
using namespace vtest;

namespace {

testing::Environment* const printerEnvironment = registerPrinter();

class WindowsPrint : public PrintFlow {
protected:
    static void SetUpTestSuite() { wine = new WineSession; }
    static void TearDownTestSuite()
    {
        delete wine;
        wine = nullptr;
    }

    void SetUp() override
    {
        ASSERT_FALSE(WineSession::windowsProgramFolder().isEmpty()) << "VELLOX_WIN32_BUILD_DIR names no Windows build";
        ASSERT_TRUE(QFileInfo::exists(WineSession::windowsProgramFolder() + "/vellox.exe"));
        ASSERT_TRUE(wine->isRunning());
        sandbox.useWine(wine);
        QDir(sandbox.dataFolder()).removeRecursively();
        PrintFlow::SetUp();
    }

    static WineSession* wine;
};

WineSession* WindowsPrint::wine = nullptr;

TEST_F(WindowsPrint, OneStudentArrivesAsOneDocumentNamedByItsTaskWithEveryPageInOrder)
{
    const auto reply = page.request("print", studentData(4, 3));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->value("ret").toInt(), 200);
    const QList<QJsonObject> result = waitForEvents(page, {"print-end", "error"}, 1);
    ASSERT_EQ(result.size(), 1);
    ASSERT_EQ(result.first().value("cmd").toString(), "print-end") << result.first().value("msg").toString().toStdString();
    EXPECT_EQ(dataOf(result.first()).value("studentName").toString(), "student4");

    ASSERT_TRUE(waitForJobs(1));
    const QString task = jobs().first();
    EXPECT_TRUE(QRegularExpression("^\\d+_\\w+$").match(task).hasMatch()) << qPrintable(task);
    // The job may reach the printer before the agent's log line reaches its file.
    EXPECT_TRUE(sandbox.waitForLog("uniqueId=" + task));
    ASSERT_TRUE(cups().waitForDocument(kQueue, task));
    EXPECT_EQ(pagesOfJob(task), (QList<PrintedPage>{{4, 0}, {4, 1}, {4, 2}}));
}

} // namespace
