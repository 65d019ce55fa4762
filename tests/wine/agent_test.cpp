// vellox.exe under Wine, black-box from Linux, with the scanning tests' fixture: its own Wine
// folder and data folder, a web page on its command port, the upgrade check and the pages'
// uploads on a Linux loopback server, virtual scanners of our TWAINDSM.dll beside the program.

#include "../scanning/scanagent.h"
#include "../upgrade/packagesigning.h"
#include "winesession.h"

#include <QDir>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <memory>

using namespace vtest;

namespace {

using scantest::kCheckPath;
using scantest::kScanWaitMs;

// One Wine folder for the program's cases: the agent's data folder is emptied between them.
class WindowsAgent : public scantest::ScanAgent {
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
        ScanAgent::SetUp();
    }

    // Our TWAINDSM.dll is not signed: the agent asks whether to load it, and the user agrees.
    std::unique_ptr<QProcess> agreeToTheUnsignedDsm() const
    {
        return wine->start(helper(), {"answer", "The TWAIN DSM Signature", "yes"});
    }

    QString helper() const { return WineSession::windowsBuildFolder() + "/tests-bin/agent_helper.exe"; }

    // The sizes of the agent's visible windows, as "WIDTHxHEIGHT".
    QStringList agentWindows() const
    {
        return wine->output(helper(), {"windows", "vellox.exe"}).split('\n', Qt::SkipEmptyParts);
    }

    // Offers version 2.0, forced, as this package from the loopback server.
    void offerUpgrade(const QByteArray& package, const QString& signature)
    {
        http.serveFile("/pkg/vellox-setup-2.0.exe", package);
        const QJsonObject data{{"hasNewVersion", true}, {"version", "2.0"},
                               {"downloadUrl", http.url("/pkg/vellox-setup-2.0.exe")},
                               {"fileHash", QString(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex())},
                               {"forceUpgrade", true}, {"signature", signature}};
        http.answer(kCheckPath, HttpReply::withStatus(200, QJsonDocument(QJsonObject{{"code", 200}, {"data", data}})
                                                               .toJson(QJsonDocument::Compact),
                                                      "application/json"));
    }

    static WineSession* wine;
};

WineSession* WindowsAgent::wine = nullptr;

TEST_F(WindowsAgent, AnswersThePageKeepsItsDataInTheRoamingFolderAndRefusesASecondAgent)
{
    ASSERT_TRUE(QFile::remove(sandbox.programFolder() + "/TWAINDSM.dll"));
    port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);
    ASSERT_TRUE(page.open(port));
    const auto login = page.request("login", QJsonObject{{"uploadCredentials", QJsonObject{{"SESSION", "3f9a"}}}});
    ASSERT_TRUE(login);
    EXPECT_EQ(login->value("ret").toInt(), 200);

    // The upgrade check reached the Linux server with the version of the program folder's app.dat.
    ASSERT_TRUE(waitUntil([&] { return http.requestCount(kCheckPath) >= 1; }, kScanWaitMs));
    EXPECT_TRUE(http.requests(kCheckPath).front().body.contains(R"("currentVersion":"1.0.0")"));
    // Without a data source manager the page is told there is no scanner.
    const auto canUse = page.waitForCmd("can-use", kScanWaitMs);
    ASSERT_TRUE(canUse);
    EXPECT_FALSE(canUse->value("data").toObject().value("canUse").toBool());
    // Settings, logs and dumps live under the user's roaming application data.
    EXPECT_TRUE(sandbox.dataFolder().endsWith("/AppData/Roaming/kelmora/vellox"));
    EXPECT_TRUE(QFileInfo::exists(sandbox.logFile()));
    EXPECT_TRUE(QFileInfo(sandbox.dumpFolder()).isDir());

    // A second agent finds the first through its named pipe and ends at once with 0.
    QProcess* second = sandbox.start({"--hidden"});
    ASSERT_TRUE(second->waitForFinished(kScanWaitMs));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(sandbox.agent()->state(), QProcess::Running);
    EXPECT_TRUE(page.request("login"));
}

TEST_F(WindowsAgent, ABatchFromTheVirtualScannerReachesTheUploadServerAsJpegs)
{
    const auto agree = agreeToTheUnsignedDsm();
    const auto canUse = startAgent({scanner("Vellox Virtual Scanner", {{"pages", 3}})});
    ASSERT_TRUE(canUse);
    EXPECT_TRUE(canUse->value("data").toObject().value("canUse").toBool());
    ASSERT_TRUE(page.request("login", QJsonObject{{"uploadCredentials", QJsonObject{{"SESSION", "3f9a"}}}}));

    ASSERT_TRUE(startScan("B-win"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    const auto end = page.waitForCmd("uploaded-end", kScanWaitMs);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(),
              (QJsonObject{{"batchNo", "B-win"}, {"imageCount", 3}, {"succeedCount", 3}}));
    expectPagesInOrder("B-win", 3);
    const QList<HttpRequestRecord> uploads = http.requests("/upload");
    ASSERT_EQ(uploads.size(), 3);
    for (const HttpRequestRecord& upload : uploads) {
        EXPECT_EQ(upload.header("Cookie"), "SESSION=3f9a;");
        const QJsonObject body = QJsonDocument::fromJson(upload.body).object();
        const QByteArray jpeg = QByteArray::fromBase64(body.value("file").toString().section(',', 1).toLatin1());
        EXPECT_TRUE(jpeg.startsWith("\xFF\xD8\xFF")) << body.value("sortNo").toInt();
    }
}

// Windows asks the agent to close (the installer does so before it replaces the agent, and so
// does `taskkill` without /F): the agent quits in order, releasing the scanner.
TEST_F(WindowsAgent, ACloseRequestReleasesTheScannerAndEndsTheAgent)
{
    const auto agree = agreeToTheUnsignedDsm();
    ASSERT_TRUE(startAgent({scanner("Vellox Virtual Scanner")}));
    ASSERT_EQ(traceCount("DAT_IDENTITY", "MSG_OPENDS"), 1);

    EXPECT_EQ(wine->run("taskkill", {"/IM", "vellox.exe"}), 0);
    ASSERT_TRUE(sandbox.agent()->waitForFinished(kScanWaitMs));
    EXPECT_EQ(sandbox.agent()->exitCode(), 0);
    EXPECT_EQ(traceCount("DAT_IDENTITY", "MSG_CLOSEDS"), 1);
    EXPECT_EQ(traceCount("DAT_PARENT", "MSG_CLOSEDSM"), 1);
}

TEST_F(WindowsAgent, AFaultLeavesAMinidumpNamedByAGuid)
{
    ASSERT_TRUE(QFile::remove(sandbox.programFolder() + "/TWAINDSM.dll"));
    port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);

    EXPECT_EQ(wine->run(helper(), {"fault", "vellox.exe"}), 0);
    ASSERT_TRUE(sandbox.agent()->waitForFinished(kScanWaitMs));
    EXPECT_NE(sandbox.agent()->exitCode(), 0);
    const QStringList dumps = QDir(sandbox.dumpFolder()).entryList(QDir::Files);
    ASSERT_EQ(dumps.size(), 1) << qPrintable(dumps.join(' '));
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.dmp$")
                    .match(dumps.front()).hasMatch()) << qPrintable(dumps.front());
    QFile dump(sandbox.dumpFolder() + '/' + dumps.front());
    ASSERT_TRUE(dump.open(QIODevice::ReadOnly));
    EXPECT_EQ(dump.read(4), "MDMP");
}

// The desktop-wide Ctrl+Alt+K, pressed in another program, opens the environment list (532
// wide) of the hidden agent.
TEST_F(WindowsAgent, CtrlAltKOpensTheEnvironmentList)
{
    ASSERT_TRUE(QFile::remove(sandbox.programFolder() + "/TWAINDSM.dll"));
    ASSERT_NE(sandbox.startListening({"--hidden"}), 0);
    ASSERT_TRUE(sandbox.waitForLog("Current env is : "));
    EXPECT_FALSE(sandbox.readLog().contains("Ctrl+Alt+K is not available"));
    const auto envList = [&] { return !agentWindows().filter(QRegularExpression("^532x")).isEmpty(); };
    EXPECT_FALSE(envList());

    EXPECT_EQ(wine->run(helper(), {"hotkey"}), 0);
    EXPECT_TRUE(waitUntil(envList, kScanWaitMs)) << qPrintable(agentWindows().join(' '));
}

// The self-upgrade where upgrade keys are installed: a package signed by a stranger is refused
// and never started; the vendor's is started silently, and an installer that fails before it
// takes over is reported to the teacher. The package is a stand-in that records its arguments
// and fails where the agent's temporary folder holds "installer.fails".
TEST_F(WindowsAgent, OnlyASignedInstallerIsStartedSilentlyAndItsFailureIsReported)
{
    const upgradetest::SigningKey vendor;
    const upgradetest::SigningKey stranger;
    ASSERT_TRUE(vendor.isValid() && stranger.isValid());
    ASSERT_TRUE(QDir().mkpath(sandbox.programFolder() + "/upgrade-keys"));
    ASSERT_TRUE(vendor.writePublicKey(sandbox.programFolder() + "/upgrade-keys/vendor.pem"));
    ASSERT_TRUE(QFile::remove(sandbox.programFolder() + "/TWAINDSM.dll"));
    QFile standin(WineSession::windowsBuildFolder() + "/tests-bin/process_standin.exe");
    ASSERT_TRUE(standin.open(QIODevice::ReadOnly));
    const QByteArray installer = standin.readAll();
    const QString temp = sandbox.dataFolder() + "/temp";
    ASSERT_TRUE(QDir().mkpath(temp));
    ASSERT_TRUE(QFile(temp + "/installer.fails").open(QIODevice::WriteOnly));
    // The dialog waits until the teacher can see the shell's window.
    const auto shell = wine->start(helper(), {"shellwindow"});
    sandbox.setConfig("upgradecheckinterval", "1");
    sandbox.setEnv("VELLOX_TEST_TIME_SCALE", "0.02");

    offerUpgrade(installer, stranger.sign(installer));
    ASSERT_NE(sandbox.startListening({"--hidden"}), 0);
    EXPECT_TRUE(sandbox.waitForLog("Signature verification failed for: ", kScanWaitMs));
    EXPECT_TRUE(sandbox.waitForLog("Toast: 安装包校验失败，请重试"));

    const QByteArray repackaged = installer + "repackaged";
    offerUpgrade(repackaged, vendor.sign(repackaged));
    ASSERT_TRUE(sandbox.waitForLog("Download package completed: ", kScanWaitMs));
    // The dialog's confirm button: 84 from its right edge, 38 from its bottom.
    EXPECT_TRUE(waitUntil([&] {
        return wine->run(helper(), {"click", "vellox.exe", "420x320", "84", "38"}) == 0
            && sandbox.waitForLog("Launching installer: ", 3000);
    }, kScanWaitMs));
    EXPECT_TRUE(sandbox.waitForLog("Installer of version 2.0 failed with status 3", kScanWaitMs));
    EXPECT_TRUE(sandbox.waitForLog("Toast: 新版本安装失败，请联系管理员"));
    QFile arguments(temp + "/installer.args");
    ASSERT_TRUE(arguments.open(QIODevice::ReadOnly));
    EXPECT_EQ(arguments.readAll(), "/S\n");
    EXPECT_EQ(sandbox.readLog().count("Launching installer: "), 1);
    EXPECT_FALSE(sandbox.readLog().contains("Toast: 安装包下载失败")) << "the refusal is said once";
    EXPECT_EQ(sandbox.agent()->state(), QProcess::Running);
}

// On a desktop with Wine's taskbar: the agent's icon in its notification area, and the icon's
// menu on a right click, as a user opens it.
class WindowsAgentOnADesktop : public WindowsAgent {
protected:
    static void SetUpTestSuite() { wine = new WineSession(WineSession::Display::Desktop); }
};

TEST_F(WindowsAgentOnADesktop, ShowsItsIconInTheTaskbarWhoseMenuOpensOnARightClick)
{
    ASSERT_TRUE(QFile::remove(sandbox.programFolder() + "/TWAINDSM.dll"));
    const auto trayIcons = [&] { return wine->output(helper(), {"trayicons"}).split('\n', Qt::SkipEmptyParts); };
    EXPECT_TRUE(trayIcons().isEmpty());
    ASSERT_NE(sandbox.startListening({"--hidden"}), 0);
    QStringList icons;
    ASSERT_TRUE(waitUntil([&] { return !(icons = trayIcons()).isEmpty(); }, kScanWaitMs));
    ASSERT_EQ(icons.size(), 1) << qPrintable(icons.join(' '));
    EXPECT_TRUE(agentWindows().isEmpty()) << "a hidden agent shows nothing but its icon";

    const QStringList where = icons.front().trimmed().split(' ');
    ASSERT_EQ(where.size(), 2);
    EXPECT_EQ(wine->run(helper(), {"rightclick", where[0], where[1]}), 0);
    EXPECT_TRUE(waitUntil([&] { return !agentWindows().isEmpty(); }, kScanWaitMs)) << "the menu";
}

} // namespace
