// The self-upgrade through the real agent on a private X display: a local HTTP server is the
// upgrade API and the package host, a double of the browser shell's window socket answers a
// scripted state and records what the agent asks, and the package is a shell script that
// records how it was started.
#include "agentsandbox.h"
#include "httptestserver.h"
#include "installerscript.h"
#include "wait.h"
#include "packagesigning.h"
#include "testcertificates.h"
#include "xvfbdisplay.h"

#include "upgrade/upgradehelper.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>
#include <QThread>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <memory>
#include <optional>

#include <unistd.h>

namespace {

using upgradetest::InstallerRecord;
using upgradetest::InstallerScript;
using upgradetest::SigningKey;
using vtest::AgentSandbox;
using vtest::HttpReply;
using vtest::HttpRequestRecord;
using vtest::HttpTestServer;
using vtest::XvfbDisplay;

const char* const kCheckPath = "/web-awg/navrel-hub/app/upgrade/check";
const char* const kDialogTitle = "^版本更新$";
constexpr int kWaitMs = 60000;

// The browser shell's window as the agent finds it: a local socket in the agent's temporary
// folder answering "visible" with the state the test sets, and "ok" to the rest. It answers from
// a thread of its own, so a test blocked in an X tool still answers within the agent's deadline.
class BrowserWindowDouble {
public:
    explicit BrowserWindowDouble(const QString& tempFolder)
    {
        thread.start();
        server = new QLocalServer;
        server->moveToThread(&thread);
        const QString path = tempFolder + "/VelloxBrowserWindow";
        QMetaObject::invokeMethod(server, [this, path] {
            listening = server->listen(path);
            QObject::connect(server, &QLocalServer::newConnection, server, [this] { accept(); });
        }, Qt::BlockingQueuedConnection);
    }
    ~BrowserWindowDouble()
    {
        QMetaObject::invokeMethod(server, [this] { delete server; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    bool isListening() const { return listening; }
    void setVisible(bool value) { visible = value; }
    QByteArrayList requests() const
    {
        QMutexLocker lock(&mutex);
        return received;
    }
    int count(const QByteArray& request) const { return requests().count(request); }
    bool waitFor(const QByteArray& request, int times = 1) const
    {
        return vtest::waitUntil([&] { return count(request) >= times; }, kWaitMs);
    }

private:
    void accept()
    {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                while (socket->canReadLine()) {
                    const QByteArray line = socket->readLine().trimmed();
                    {
                        QMutexLocker lock(&mutex);
                        received << line;
                    }
                    socket->write(line == "visible" ? (visible ? "1\n" : "0\n") : "ok\n");
                }
            });
        }
    }

    QThread thread;
    QLocalServer* server = nullptr;
    bool listening = false;
    std::atomic<bool> visible{true};
    mutable QMutex mutex;
    QByteArrayList received;
};

QString sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

class UpgradeAgent : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(display.isRunning());
        ASSERT_TRUE(http.isListening());
        freshSandbox();
    }

    void TearDown() override
    {
        if (HasFailure() && sandbox)
            std::fprintf(stderr, "agent log:\n%s\n", sandbox->readLog().toUtf8().constData());
    }

    void freshSandbox()
    {
        sandbox = std::make_unique<AgentSandbox>();
        sandbox->usePrivateProgramFolder(AgentSandbox::appDatFor(http.url("/")));
        sandbox->setEnv("DISPLAY", display.name());
        sandbox->setEnv("QT_QPA_PLATFORM", "xcb");
        // The agent's own waits (its log's flush, the scanner's start, the dialog's timer) at a tenth.
        sandbox->setEnv("VELLOX_TEST_TIME_SCALE", "0.1");
    }

    // Where the agent keeps the package of version 2.0 with this hash.
    QString packageFile(const QString& hash, const QString& extension = ".sh") const
    {
        return sandbox->dataFolder() + "/temp/package_2.0_" + hash.left(8).toLower() + extension;
    }

    void offer(const QString& version, const QString& url, const QString& hash, bool force = false,
               const QString& signature = QString())
    {
        QJsonObject data{{"hasNewVersion", true}, {"version", version}, {"downloadUrl", url},
                         {"fileHash", hash}, {"forceUpgrade", force},
                         {"upgradeContent", QJsonArray{"更快的扫描", "打印更稳", ""}}};
        if (!signature.isNull())
            data.insert("signature", signature);
        http.answer(kCheckPath, HttpReply::withStatus(200, QJsonDocument(QJsonObject{{"code", 200}, {"data", data}})
                                                                .toJson(QJsonDocument::Compact),
                                                      "application/json"));
    }

    // The stand-in installer, served as version 2.0's package.
    QString offerScript(const InstallerScript& script, bool force = false, const QString& hash = QString(),
                        const QString& signature = QString())
    {
        http.serveFile("/pkg/vellox-2.0.sh", script.bytes());
        const QString offered = hash.isNull() ? sha256(script.bytes()) : hash;
        offer("2.0", http.url("/pkg/vellox-2.0.sh"), offered, force, signature);
        return packageFile(offered);
    }

    // Checks every 1.2 s instead of every minute, and the agent's other fixed waits as short.
    void checkOften()
    {
        sandbox->setConfig("upgradecheckinterval", "1");
        sandbox->setEnv("VELLOX_TEST_TIME_SCALE", "0.02");
    }

    bool startAgent() { return sandbox->startListening({"--hidden"}) != 0; }

    std::optional<quint64> waitForDialog() { return display.waitForWindow(kDialogTitle, kWaitMs); }

    // Clicks a point of the dialog, given from its bottom-right corner.
    bool clickFromBottomRight(quint64 window, int dx, int dy)
    {
        const auto frame = display.geometry(window);
        if (!frame)
            return false;
        return display.run("xdotool", {"mousemove", "--window", QString::number(window),
                                       QString::number(frame->width() - dx), QString::number(frame->height() - dy),
                                       "click", "1"})
                   .exitCode
            == 0;
    }
    // The buttons of the row, right to left, 120 wide with 12 between, 24 and 20 from the edges.
    bool clickButton(quint64 window, int fromRight) { return clickFromBottomRight(window, 24 + 60 + fromRight * 132, 38); }

    QByteArray property(quint64 window, const QString& name)
    {
        return display.run("xprop", {"-id", QString::number(window), name}).output;
    }

    bool agentEnded(int timeoutMs = kWaitMs)
    {
        QProcess* agent = sandbox->agent();
        return agent->state() == QProcess::NotRunning || agent->waitForFinished(timeoutMs);
    }

    XvfbDisplay& display = XvfbDisplay::shared();
    HttpTestServer http;
    std::unique_ptr<AgentSandbox> sandbox;
    QTemporaryDir folder;
};

// The longest run of the progress bar's green (#4CAF50) in one row of the picture.
int longestGreenRow(const QImage& picture)
{
    int longest = 0;
    for (int y = 0; y < picture.height(); ++y) {
        int count = 0;
        for (int x = 0; x < picture.width(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            if (qAbs(c.red() - 0x4C) < 8 && qAbs(c.green() - 0xAF) < 8 && qAbs(c.blue() - 0x50) < 8)
                ++count;
        }
        longest = std::max(longest, count);
    }
    return longest;
}

TEST_F(UpgradeAgent, GoodPackageIsOfferedDownloadedAndInstalledOutsideTheAgent)
{
    BrowserWindowDouble shell(sandbox->runtimeFolder());
    ASSERT_TRUE(shell.isListening());
    InstallerScript script(folder.path());
    const QString package = offerScript(script);
    // The package waits until the dialog is there, so the dialog shows its download.
    std::atomic<bool> holding{true};
    const QByteArray bytes = script.bytes();
    http.handle("/pkg/vellox-2.0.sh", [&holding, bytes](const HttpRequestRecord& request) {
        HttpReply reply = HttpTestServer::fileReply(bytes, request);
        if (holding)
            reply.held();
        return reply;
    });
    ASSERT_TRUE(startAgent());

    const auto dialog = waitForDialog();
    ASSERT_TRUE(dialog);
    holding = false;
    http.releaseAll();
    EXPECT_TRUE(sandbox->waitForLog("Showing upgrade dialog, version: 2.0, force: false"));
    EXPECT_TRUE(shell.waitFor("disable"));
    ASSERT_TRUE(sandbox->waitForLog("Download package completed: " + package, kWaitMs));
    // The bar is full: green across the dialog's width, wider than the green confirm button.
    EXPECT_TRUE(vtest::waitUntil([&] { return longestGreenRow(display.grab(*dialog)) > 300; }, kWaitMs));
    EXPECT_FALSE(QFile::exists(script.record())) << "nothing runs before the user confirms";

    ASSERT_TRUE(clickButton(*dialog, 0));
    EXPECT_TRUE(display.waitUntilGone(*dialog));
    EXPECT_TRUE(shell.waitFor("enable"));
    EXPECT_TRUE(shell.waitFor("activate"));
    const QByteArrayList asked = shell.requests();
    EXPECT_LT(asked.lastIndexOf("enable"), asked.lastIndexOf("activate"));

    InstallerRecord record;
    ASSERT_TRUE(vtest::waitUntil([&] { return (record = script.read()).complete; }, kWaitMs));
    EXPECT_TRUE(sandbox->waitForLog("Launching installer: " + package));
    EXPECT_EQ(record.script, package);
    const qint64 agentPid = sandbox->agent()->processId();
    EXPECT_NE(record.sid, qint64(::getsid(pid_t(agentPid))));
    EXPECT_NE(record.ppid, agentPid);
    const QMap<int, QString> fds = record.heldBesides(package);
    EXPECT_EQ(fds.keys(), (QList<int>{0, 1, 2})) << QStringList(fds.values()).join(", ").toStdString();

    // The installer outlives the agent.
    sandbox->agent()->terminate();
    ASSERT_TRUE(agentEnded());
    ASSERT_TRUE(script.release());
    EXPECT_TRUE(vtest::waitUntil([&] { return script.read().survived; }, kWaitMs));
}

TEST_F(UpgradeAgent, PackagesThatFailTheirCheckAreNeverKept)
{
    // A corrupted package: the hash names other bytes.
    InstallerScript script(folder.path());
    QString package = offerScript(script, false, sha256("something else"));
    ASSERT_TRUE(startAgent());
    EXPECT_TRUE(sandbox->waitForLog("SHA256 verification failed for: " + package, kWaitMs));
    EXPECT_TRUE(sandbox->waitForLog("Toast: 安装包校验失败，请重试"));
    EXPECT_FALSE(QFile::exists(package));
    EXPECT_FALSE(QFile::exists(package + ".download"));

    EXPECT_TRUE(sandbox->waitForLog("Package of version 2.0 refused and not fetched again"));

    // No hash at all: nothing is fetched, and nothing said but the log.
    freshSandbox();
    const int fetched = http.requestCount("/pkg/vellox-2.0.sh");
    package = offerScript(script, false, "");
    ASSERT_TRUE(startAgent());
    EXPECT_TRUE(sandbox->waitForLog("Offered version 2.0 not taken: its SHA256 is not 64 hexadecimal digits", kWaitMs));
    EXPECT_EQ(http.requestCount("/pkg/vellox-2.0.sh"), fetched);
    EXPECT_FALSE(sandbox->readLog().contains("Toast:"));

    // An error page is a failed download, not a package with a wrong hash.
    freshSandbox();
    offer("2.0", http.url("/pkg/missing-2.0.sh"), sha256(script.bytes()));
    ASSERT_TRUE(startAgent());
    EXPECT_TRUE(sandbox->waitForLog("Download package failed, url: " + http.url("/pkg/missing-2.0.sh"), kWaitMs));
    EXPECT_TRUE(sandbox->readLog().contains("HTTP status 404"));
    EXPECT_FALSE(sandbox->readLog().contains("SHA256 verification failed"));
    EXPECT_FALSE(QFile::exists(packageFile(sha256(script.bytes()))));
    EXPECT_FALSE(QFile::exists(packageFile(sha256(script.bytes())) + ".download"));

    // An upper-case hash of the right bytes matches.
    freshSandbox();
    package = offerScript(script, false, sha256(script.bytes()).toUpper());
    ASSERT_TRUE(startAgent());
    EXPECT_TRUE(sandbox->waitForLog("Download package completed: " + package, kWaitMs));
    EXPECT_TRUE(QFile::exists(package));
}

// The package is checked again when the user confirms: what lay in the temporary folder since
// its download may have been changed by anyone who can write there.
TEST_F(UpgradeAgent, APackageChangedAfterItsDownloadIsNotInstalled)
{
    BrowserWindowDouble shell(sandbox->runtimeFolder());
    ASSERT_TRUE(shell.isListening());
    InstallerScript script(folder.path());
    const QString package = offerScript(script);
    ASSERT_TRUE(startAgent());
    const auto dialog = waitForDialog();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(sandbox->waitForLog("Download package completed: " + package, kWaitMs));

    QFile changed(package);
    ASSERT_TRUE(changed.open(QIODevice::WriteOnly | QIODevice::Truncate));
    changed.write("#!/bin/sh\necho replaced\n");
    changed.close();
    ASSERT_TRUE(clickButton(*dialog, 0));
    EXPECT_TRUE(sandbox->waitForLog("SHA256 or signature verification failed for: " + package, kWaitMs));
    EXPECT_TRUE(sandbox->waitForLog("Toast: 安装包校验失败，请重试"));
    EXPECT_FALSE(QFile::exists(package));
    EXPECT_FALSE(sandbox->readLog().contains("Launching installer:"));
    EXPECT_FALSE(QFile::exists(script.record()));
}

TEST_F(UpgradeAgent, InterruptedDownloadResumesAtTheNextStart)
{
    QByteArray content(25 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(17);
    for (int i = 0; i < content.size(); i += 4) {
        const quint32 word = generator.generate();
        std::memcpy(content.data() + i, &word, 4);
    }
    std::atomic<bool> cutting{true};
    http.handle("/pkg/big-2.0.sh", [&](const HttpRequestRecord& request) {
        HttpReply reply = HttpTestServer::fileReply(content, request);
        if (cutting && !request.header("Range").startsWith("bytes=0-"))
            reply.cut(HttpReply::Fault::CloseMidBody, 4096);
        return reply;
    });
    offer("2.0", http.url("/pkg/big-2.0.sh"), sha256(content));
    const QString package = packageFile(sha256(content));
    ASSERT_TRUE(startAgent());
    ASSERT_TRUE(sandbox->waitForLog("Download package failed, url: " + http.url("/pkg/big-2.0.sh"), kWaitMs));
    EXPECT_EQ(QFileInfo(package + ".download").size(), 20971520);
    EXPECT_FALSE(QFile::exists(package));
    sandbox->agent()->terminate();
    ASSERT_TRUE(agentEnded());

    cutting = false;
    const int before = http.requestCount("/pkg/big-2.0.sh");
    ASSERT_TRUE(startAgent());
    ASSERT_TRUE(sandbox->waitForLog("Download package completed: " + package, kWaitMs));
    const auto requests = http.requests("/pkg/big-2.0.sh").mid(before);
    QByteArrayList ranges;
    for (const HttpRequestRecord& request : requests)
        ranges << request.header("Range");
    ASSERT_GE(ranges.size(), 2);
    EXPECT_EQ(ranges[0], "bytes=0-1") << "the probe";
    EXPECT_EQ(ranges[1], "bytes=20971520-");
    QFile file(package);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(sha256(file.readAll()), sha256(content));
}

TEST_F(UpgradeAgent, ForcedOfferLeavesOnlyInstallingOrQuitting)
{
    BrowserWindowDouble shell(sandbox->runtimeFolder());
    InstallerScript script(folder.path());
    offerScript(script, true);
    ASSERT_TRUE(startAgent());
    const auto dialog = waitForDialog();
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(sandbox->waitForLog("Showing upgrade dialog, version: 2.0, force: true"));

    // Motif hints: flags, functions, decorations. Functions are given and close (0x20) is not one.
    const QByteArray hints = property(*dialog, "_MOTIF_WM_HINTS");
    EXPECT_TRUE(hints.contains("_NET_WM_STATE_ABOVE") || property(*dialog, "_NET_WM_STATE").contains("_NET_WM_STATE_ABOVE"));
    const QList<QByteArray> fields = hints.mid(hints.indexOf('=') + 1).trimmed().split(',');
    ASSERT_GE(fields.size(), 3) << hints.constData();
    const uint flags = fields[0].trimmed().toUInt(nullptr, 16);
    const uint functions = fields[1].trimmed().toUInt(nullptr, 16);
    EXPECT_TRUE((flags & 1) && !(functions & 0x20) && !(functions & 1)) << hints.constData();

    // Neither the title bar's close nor Escape ends it.
    ASSERT_TRUE(display.requestClose(*dialog));
    EXPECT_TRUE(sandbox->waitForLog("Upgrade dialog kept open: the upgrade is required"));
    ASSERT_TRUE(display.focus(*dialog));
    ASSERT_TRUE(display.key({"Escape"}));
    EXPECT_TRUE(vtest::waitUntil([&] {
        return sandbox->readLog().count("Upgrade dialog kept open: the upgrade is required") >= 2;
    }, kWaitMs));
    EXPECT_TRUE(display.isMapped(*dialog));
    EXPECT_EQ(shell.count("enable"), 0);

    ASSERT_TRUE(clickButton(*dialog, 1)); // 退出应用
    ASSERT_TRUE(agentEnded());
    EXPECT_EQ(sandbox->agent()->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sandbox->agent()->exitCode(), 0);
    EXPECT_FALSE(QFile::exists(script.record()));
    EXPECT_TRUE(shell.waitFor("enable")) << "the agent gives the shell its input back as it quits";
}

TEST_F(UpgradeAgent, OptionalOfferIsPostponedForTheDay)
{
    BrowserWindowDouble shell(sandbox->runtimeFolder());
    InstallerScript script(folder.path());
    offerScript(script);
    ASSERT_TRUE(startAgent());
    const auto dialog = waitForDialog();
    ASSERT_TRUE(dialog);
    const QByteArray hints = property(*dialog, "_MOTIF_WM_HINTS");
    const QList<QByteArray> fields = hints.mid(hints.indexOf('=') + 1).trimmed().split(',');
    ASSERT_GE(fields.size(), 3) << hints.constData();
    const uint functions = fields[1].trimmed().toUInt(nullptr, 16);
    EXPECT_TRUE((functions & 0x20) || (functions & 1)) << "the optional offer can be closed: " << hints.constData();
    EXPECT_TRUE(property(*dialog, "_NET_WM_STATE").contains("_NET_WM_STATE_ABOVE"));

    ASSERT_TRUE(clickButton(*dialog, 1)); // 暂不升级
    EXPECT_TRUE(display.waitUntilGone(*dialog));
    EXPECT_TRUE(vtest::waitUntil([&] {
        return sandbox->config("last_upgrade_remind_record") == QDate::currentDate().toString("yyyy-MM-dd") + "_2.0";
    }));
    EXPECT_TRUE(shell.waitFor("enable"));
}

TEST_F(UpgradeAgent, DialogWaitsUntilTheUserCanSeeTheShell)
{
    // A forced offer waits while the shell's window is hidden, and comes once it is shown.
    {
        BrowserWindowDouble shell(sandbox->runtimeFolder());
        shell.setVisible(false);
        InstallerScript script(folder.path());
        offerScript(script, true);
        ASSERT_TRUE(startAgent());
        ASSERT_TRUE(shell.waitFor("visible", 3));
        EXPECT_TRUE(display.findWindows(kDialogTitle).isEmpty());
        EXPECT_EQ(shell.count("disable"), 0);
        shell.setVisible(true);
        ASSERT_TRUE(waitForDialog());
        EXPECT_TRUE(shell.waitFor("disable"));
        sandbox->agent()->terminate();
        ASSERT_TRUE(agentEnded());
    }

    // Without a shell at all it comes when the main window opens (a second start shows it).
    freshSandbox();
    {
        InstallerScript script(folder.path());
        offerScript(script);
        // Postponed today: the start-up check still offers it.
        sandbox->setConfig("last_upgrade_remind_record", QDate::currentDate().toString("yyyy-MM-dd") + "_2.0");
        ASSERT_TRUE(startAgent());
        ASSERT_TRUE(sandbox->waitForLog("Download package completed:", kWaitMs));
        EXPECT_TRUE(display.findWindows(kDialogTitle).isEmpty());
        sandbox->start();
        EXPECT_TRUE(waitForDialog());
    }
}

TEST_F(UpgradeAgent, FailedChecksAndUnusableOffersShowNothing)
{
    http.answer(kCheckPath, HttpReply::withStatus(200, R"({"code":500,"msg":"busy"})", "application/json"));
    ASSERT_TRUE(startAgent());
    EXPECT_TRUE(sandbox->waitForLog("Check upgrade API returned error code: 500", kWaitMs));
    EXPECT_TRUE(sandbox->waitForLog("Check upgrade failed, will retry on next interval"));
    EXPECT_FALSE(sandbox->readLog().contains("Toast:"));
    sandbox->agent()->terminate();
    ASSERT_TRUE(agentEnded());

    // A package this system cannot install is no new version.
    for (const char* name : {"/pkg/setup-2.0.exe", "/pkg/vellox-2.0.zip"}) {
        freshSandbox();
        http.serveFile(name, "MZ");
        offer("2.0", http.url(name), sha256("MZ"));
        ASSERT_TRUE(startAgent());
        EXPECT_TRUE(sandbox->waitForLog("not taken: its package cannot be installed here", kWaitMs)) << name;
        EXPECT_EQ(http.requestCount(name), 0);
        EXPECT_FALSE(sandbox->readLog().contains("Found new version"));
        sandbox->agent()->terminate();
        ASSERT_TRUE(agentEnded());
    }
}

// Where the package installed upgrade keys, only a package signed with one of them runs: an
// unsigned offer is never fetched, a badly signed one is fetched once, refused, and never
// fetched or shown again, even when forced; a signed one (here the same version, repackaged)
// is fetched at once and installed.
TEST_F(UpgradeAgent, WithUpgradeKeysOnlySignedPackagesRun)
{
    const SigningKey vendor;
    const SigningKey stranger;
    ASSERT_TRUE(vendor.isValid() && stranger.isValid());
    const QString keys = KELUpgradeHelper::keysFolder(sandbox->programFolder());
    ASSERT_TRUE(QDir().mkpath(keys));
    ASSERT_TRUE(vendor.writePublicKey(keys + "/vendor.pem"));
    BrowserWindowDouble shell(sandbox->runtimeFolder());
    checkOften();
    InstallerScript script(folder.path());
    const QByteArray bytes = script.bytes();

    offerScript(script, true); // unsigned
    ASSERT_TRUE(startAgent());
    EXPECT_TRUE(sandbox->waitForLog("Offered version 2.0 not taken: it carries no valid signature", kWaitMs));

    // Signed by someone else: fetched, refused, the forced dialog that came meanwhile closes.
    http.handle("/pkg/vellox-2.0.sh", [&bytes](const HttpRequestRecord& request) {
        return HttpTestServer::fileReply(bytes, request).delayed(1500);
    });
    offer("2.0", http.url("/pkg/vellox-2.0.sh"), sha256(bytes), true, stranger.sign(bytes));
    const auto dialog = waitForDialog();
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(sandbox->waitForLog("Signature verification failed for: " + packageFile(sha256(bytes)), kWaitMs));
    EXPECT_TRUE(sandbox->waitForLog("Upgrade dialog closed: its version is no longer offered"));
    EXPECT_TRUE(display.waitUntilGone(*dialog));
    EXPECT_TRUE(shell.waitFor("enable"));
    EXPECT_FALSE(QFile::exists(packageFile(sha256(bytes))));
    // Checks go on; the refused offer is neither fetched nor shown again.
    const int fetched = http.requestCount("/pkg/vellox-2.0.sh");
    const int checks = http.requestCount(kCheckPath);
    ASSERT_TRUE(vtest::waitUntil([&] { return http.requestCount(kCheckPath) >= checks + 3; }, kWaitMs));
    EXPECT_EQ(http.requestCount("/pkg/vellox-2.0.sh"), fetched);
    EXPECT_EQ(sandbox->readLog().count("Toast: 安装包校验失败，请重试"), 1);
    EXPECT_TRUE(display.findWindows(kDialogTitle).isEmpty());
    EXPECT_EQ(sandbox->agent()->state(), QProcess::Running);

    // Repackaged and signed by the vendor: a new hash, fetched at once and installed.
    InstallerScript repackaged(folder.path(), "installer-2.sh");
    const QByteArray newBytes = repackaged.bytes() + "# repackaged\n";
    http.serveFile("/pkg/vellox-2.0.sh", newBytes);
    offer("2.0", http.url("/pkg/vellox-2.0.sh"), sha256(newBytes), true, vendor.sign(newBytes));
    EXPECT_TRUE(sandbox->waitForLog("Download package completed: " + packageFile(sha256(newBytes)), kWaitMs));
    const auto signedDialog = waitForDialog();
    ASSERT_TRUE(signedDialog);
    ASSERT_TRUE(vtest::waitUntil([&] { return clickButton(*signedDialog, 0) && display.waitUntilGone(*signedDialog, 2000); },
                                 kWaitMs));
    EXPECT_TRUE(vtest::waitUntil([&] { return repackaged.read().complete; }, kWaitMs));
    ASSERT_TRUE(repackaged.release());
}

// Whoever answers a plain http check or sits between the PC and the server decides what runs:
// upgrades come over https with verified certificates only, whatever "tlsverify" says.
TEST_F(UpgradeAgent, UpgradesComeOnlyOverVerifiedHttps)
{
    checkOften();
    sandbox->usePrivateProgramFolder(AgentSandbox::appDatFor("http://vellox-test.invalid/"));
    ASSERT_TRUE(startAgent());
    EXPECT_TRUE(sandbox->waitForLog("Upgrades are off for the environment http://vellox-test.invalid/", kWaitMs));
    ASSERT_TRUE(vtest::waitUntil([&] { return sandbox->readLog().count("Check upgrade failed") >= 3; }, kWaitMs));
    EXPECT_EQ(sandbox->readLog().count("Upgrades are off for the environment"), 1) << "said once";
    sandbox->agent()->terminate();
    ASSERT_TRUE(agentEnded());

    const vtest::TestCertificates certificates;
    ASSERT_TRUE(certificates.isValid()) << qPrintable(certificates.errorString());
    HttpTestServer https(certificates.signedForLoopback());
    InstallerScript script(folder.path());
    https.serveFile("/pkg/vellox-2.0.sh", script.bytes());
    const QJsonObject data{{"hasNewVersion", true}, {"version", "2.0"}, {"downloadUrl", https.url("/pkg/vellox-2.0.sh")},
                           {"fileHash", sha256(script.bytes())}};
    https.answer(kCheckPath, HttpReply::withStatus(200, QJsonDocument(QJsonObject{{"code", 200}, {"data", data}}).toJson(),
                                                   "application/json"));
    for (const bool withCa : {false, true}) {
        SCOPED_TRACE(withCa ? "the school's CA named in cafile" : "tlsverify=0 and a certificate nobody vouches for");
        freshSandbox();
        sandbox->usePrivateProgramFolder(AgentSandbox::appDatFor(https.url("/")));
        sandbox->setConfig("tlsverify", "0");
        if (withCa)
            sandbox->setConfig("cafile", certificates.caFile());
        ASSERT_TRUE(startAgent());
        if (withCa) {
            EXPECT_TRUE(sandbox->waitForLog("Download package completed: " + packageFile(sha256(script.bytes())), kWaitMs));
        } else {
            EXPECT_TRUE(sandbox->waitForLog("Check upgrade request failed", kWaitMs));
            EXPECT_FALSE(sandbox->readLog().contains("Found new version"));
        }
        sandbox->agent()->terminate();
        ASSERT_TRUE(agentEnded());
    }

    // An https server's offer of a package over plain http is no offer.
    freshSandbox();
    offer("2.0", "http://vellox-test.invalid/pkg/vellox-2.0.sh", sha256(script.bytes()));
    ASSERT_TRUE(startAgent());
    EXPECT_TRUE(sandbox->waitForLog("Offered version 2.0 not taken: its package would come over plain http", kWaitMs));
}

// The teacher learns when the new version cannot be installed: PackageKit is missing (the
// package stays for an administrator and is not offered again), or the installer failed.
TEST_F(UpgradeAgent, AnUpgradeThatCannotInstallSaysSo)
{
    BrowserWindowDouble shell(sandbox->runtimeFolder());
    checkOften();
    // No pkcon: a PATH of nothing but the sandbox's own programs.
    ASSERT_TRUE(QDir().mkpath(sandbox->root() + "/no-programs"));
    sandbox->setEnv("PATH", sandbox->root() + "/no-programs");
    const QByteArray deb = "!<arch>\ndebian-binary   a package\n";
    http.serveFile("/pkg/vellox_2.0_amd64.deb", deb);
    offer("2.0", http.url("/pkg/vellox_2.0_amd64.deb"), sha256(deb), true);
    ASSERT_TRUE(startAgent());
    const auto dialog = waitForDialog();
    ASSERT_TRUE(dialog);
    const QString package = packageFile(sha256(deb), ".deb");
    ASSERT_TRUE(sandbox->waitForLog("Download package completed: " + package, kWaitMs));
    ASSERT_TRUE(vtest::waitUntil([&] { return clickButton(*dialog, 0) && display.waitUntilGone(*dialog, 2000); }, kWaitMs));
    EXPECT_TRUE(sandbox->waitForLog("Toast: 需要管理员安装新版本", kWaitMs));
    EXPECT_TRUE(sandbox->readLog().contains("pkcon, which installs a .deb for a user, is not installed"));
    EXPECT_TRUE(QFile::exists(package)) << "kept for an administrator";
    EXPECT_EQ(sandbox->config("upgrade_admin_needed"), "2.0");
    const int checks = http.requestCount(kCheckPath);
    ASSERT_TRUE(vtest::waitUntil([&] { return http.requestCount(kCheckPath) >= checks + 3; }, kWaitMs));
    EXPECT_TRUE(display.findWindows(kDialogTitle).isEmpty()) << "the forced offer does not come back";
    EXPECT_TRUE(sandbox->readLog().contains("Offered version 2.0 not taken: this user cannot install it"));
    sandbox->agent()->terminate();
    ASSERT_TRUE(agentEnded());

    // An installer that fails.
    freshSandbox();
    BrowserWindowDouble otherShell(sandbox->runtimeFolder());
    const QByteArray failing = "#!/bin/sh\nexit 3\n";
    http.serveFile("/pkg/vellox-2.0.sh", failing);
    offer("2.0", http.url("/pkg/vellox-2.0.sh"), sha256(failing));
    ASSERT_TRUE(startAgent());
    const auto second = waitForDialog();
    ASSERT_TRUE(second);
    ASSERT_TRUE(sandbox->waitForLog("Download package completed: ", kWaitMs));
    ASSERT_TRUE(vtest::waitUntil([&] { return clickButton(*second, 0) && display.waitUntilGone(*second, 2000); }, kWaitMs));
    EXPECT_TRUE(sandbox->waitForLog("Installer of version 2.0 failed with status 3", kWaitMs));
    EXPECT_TRUE(sandbox->waitForLog("Toast: 新版本安装失败，请联系管理员"));
}

// Quitting while a package trickles in ends the agent at once, not at the download's time-out;
// the check names the version the agent was built as, whatever app.dat says.
TEST_F(UpgradeAgent, QuitDuringADownloadEndsAtOnce)
{
    QJsonObject description = AgentSandbox::appDatFor(http.url("/"));
    description.insert("appversion", "0.1-edited");
    sandbox->usePrivateProgramFolder(description);
    const QByteArray package(4 * 1024 * 1024, 'p');
    http.handle("/pkg/vellox-2.0.sh", [&package](const HttpRequestRecord& request) {
        return HttpTestServer::fileReply(package, request, HttpTestServer::Ranges::Ignored).trickled(512, 200);
    });
    offer("2.0", http.url("/pkg/vellox-2.0.sh"), sha256(package));
    ASSERT_TRUE(startAgent());
    ASSERT_TRUE(vtest::waitUntil([&] { return http.requestCount("/pkg/vellox-2.0.sh") >= 1; }, kWaitMs));
    EXPECT_TRUE(http.requests(kCheckPath).front().body.contains(
        QByteArray(R"("currentVersion":")") + VELLOX_VERSION + '"'));

    QElapsedTimer clock;
    clock.start();
    sandbox->agent()->terminate();
    ASSERT_TRUE(agentEnded(5000)) << "still running after 5 s";
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(sandbox->agent()->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sandbox->agent()->exitCode(), 0);
}

} // namespace
