// The shell over the PC's own browser, as Windows runs it, tried on Linux with Debian's
// Chromium under Xvfb: the real shell core (devtools_shell_host) with an agent stand-in, front
// ends on local HTTP servers, and the browser's pages read over its own DevTools port.
#include "devtoolsprobe.h"
#include "httptestserver.h"
#include "processinfo.h"
#include "shellsandbox.h"
#include "wait.h"
#include "xvfbdisplay.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>

namespace {

using vtest::DevToolsProbe;
using vtest::HttpReply;
using vtest::HttpTestServer;
using vtest::ShellSandbox;
using vtest::waitUntil;
using vtest::XvfbDisplay;
namespace processinfo = vtest::processinfo;

constexpr int kStartMs = 60000; // a cold Chromium on a busy machine
const QString kDeviceId = QStringLiteral("02:00:5e:10:00:01");
const QString kCookie = "deviceId=" + kDeviceId;

const XvfbDisplay& display()
{
    return XvfbDisplay::shared();
}

// One run of the shell in its own sandbox, its lines read as they come.
class ShellRun {
public:
    explicit ShellRun(const QJsonObject& appDat)
        : sandbox(display())
    {
        sandbox.usePrivateProgramFolder(appDat, {{"vellox-browser", DEVTOOLS_SHELL_HOST}, {"vellox", AGENT_STANDIN}});
    }
    void start(const QStringList& options = {})
    {
        shell = sandbox.startProgram("vellox-browser",
                                     QStringList {"--switch", "--disable-gpu", "--device-id", kDeviceId} + options);
    }

    // The first line that starts with `prefix` (without it); none at the deadline.
    std::optional<QString> waitForLine(const QString& prefix, int timeoutMs = kStartMs)
    {
        std::optional<QString> found;
        waitUntil([&] {
            while (shell->canReadLine()) {
                const QString line = QString::fromUtf8(shell->readLine()).trimmed();
                lines << line;
                if (!found && line.startsWith(prefix))
                    found = line.mid(prefix.size());
            }
            return found.has_value() || shell->state() == QProcess::NotRunning;
        }, timeoutMs);
        return found;
    }
    bool ready()
    {
        const std::optional<QString> pids = waitForLine("ready ");
        if (!pids)
            return false;
        browserPid = pids->section(' ', 0, 0).toLongLong();
        agentPid = pids->section(' ', 1, 1).toLongLong();
        return browserPid > 0 && agentPid > 0;
    }
    void send(const QByteArray& command) { shell->write(command + '\n'); }
    bool endsWith(int code, int timeoutMs = kStartMs)
    {
        if (shell->state() != QProcess::NotRunning && !shell->waitForFinished(timeoutMs))
            return false;
        return shell->exitStatus() == QProcess::NormalExit && shell->exitCode() == code;
    }
    QStringList startupLog() const
    {
        QStringList messages;
        for (const QString& line : QString::fromUtf8(ShellSandbox::readFile(sandbox.startupLog())).split('\n')) {
            if (!line.isEmpty())
                messages << line.section("] ", 1);
        }
        return messages;
    }
    // A page of the browser, attached over its DevTools port.
    bool attach(DevToolsProbe& probe, const QString& urlPart)
    {
        return probe.attach([&](const QString& url) { return url.contains(urlPart); }, kStartMs);
    }

    ShellSandbox sandbox;
    QProcess* shell = nullptr;
    QStringList lines;
    qint64 browserPid = 0;
    qint64 agentPid = 0;
};

// One environment's front end at <prefix>reviewer/, titled for the window, with a link away.
class FrontEnd {
public:
    FrontEnd(const QString& prefix, const QString& title, const QString& elsewhere = {})
        : prefix(prefix)
    {
        server.answer(entryPath(), HttpReply::withStatus(200,
                                                         QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                                                                        "<title>%1</title></head><body>"
                                                                        "<a id=\"away\" href=\"%2\">away</a></body></html>")
                                                             .arg(title, elsewhere)
                                                             .toUtf8(),
                                                         "text/html; charset=utf-8"));
    }
    QString entryPath() const { return prefix + "reviewer/"; }
    QString base(const QString& host = "127.0.0.1") const
    {
        return server.url(prefix).replace("127.0.0.1", host);
    }
    QList<vtest::HttpRequestRecord> entryRequests() const { return server.requests(entryPath()); }
    bool waitForEntryRequests(int count) const
    {
        return waitUntil([&] { return server.requestCount(entryPath()) >= count; }, kStartMs);
    }

private:
    const QString prefix;
    HttpTestServer server;
};

QJsonObject appDat(const QJsonArray& domains)
{
    return {{"appname", "DevTools Shell Test"}, {"current", "a"}, {"domains", domains}};
}

QStringList pageUrls(const DevToolsProbe& probe)
{
    QStringList urls;
    for (const QJsonValue& target : probe.targets()) {
        if (target.toObject().value("type").toString() == "page")
            urls << target.toObject().value("url").toString();
    }
    return urls;
}

TEST(DevToolsShell, ShowsTheEnvironmentWithItsCookieKeepsOtherSitesOutAndEndsWithItsWindow)
{
    HttpTestServer elsewhere;
    const QString away = elsewhere.url("/away");
    const FrontEnd a("/a/", "Front end A", away);
    const FrontEnd b("/b/", "Front end B");
    // "b" on another host name of this machine, without a name of its own.
    ShellRun run(appDat({QJsonObject {{"key", "a"}, {"name", "A"}, {"url", a.base()}},
                         QJsonObject {{"key", "b"}, {"url", b.base("localhost")}}}));
    run.start();
    ASSERT_TRUE(run.ready()) << run.lines.join('\n').toStdString();
    {
        SCOPED_TRACE("the current environment, its first request already tagged");
        ASSERT_TRUE(a.waitForEntryRequests(1));
        const vtest::HttpRequestRecord first = a.entryRequests().front();
        EXPECT_EQ(first.target, "/a/reviewer/?isWindows=1");
        EXPECT_TRUE(first.header("Cookie").contains(kCookie.toUtf8())) << first.header("Cookie").toStdString();
        EXPECT_TRUE(first.header("Accept-Language").startsWith("zh-CN")) << first.header("Accept-Language").toStdString();
    }
    DevToolsProbe page(run.sandbox.browserDevToolsPort());
    ASSERT_TRUE(run.attach(page, "/a/reviewer/")) << page.errorString().toStdString();
    {
        SCOPED_TRACE("the device cookie: a year, the whole site, this host alone");
        const QJsonArray cookies = page.cookies({a.base()}).value_or(QJsonArray());
        ASSERT_EQ(cookies.size(), 1);
        const QJsonObject cookie = cookies.first().toObject();
        EXPECT_EQ(cookie.value("name").toString() + "=" + cookie.value("value").toString(), kCookie);
        EXPECT_EQ(cookie.value("domain").toString(), "127.0.0.1");
        EXPECT_EQ(cookie.value("path").toString(), "/");
        const double lifetime = cookie.value("expires").toDouble() - QDateTime::currentSecsSinceEpoch();
        EXPECT_GT(lifetime, 364.0 * 86400);
        EXPECT_LE(lifetime, 365.0 * 86400 + 60);
        EXPECT_EQ(page.cookies({b.base("localhost"), "http://127.0.0.2/"}).value_or(QJsonArray({1})), QJsonArray());
    }
    quint64 window = 0;
    {
        SCOPED_TRACE("an app window of 0.8 of the screen, centred");
        const std::optional<quint64> found = display().waitForWindow("^Front end A$", kStartMs);
        ASSERT_TRUE(found);
        window = *found;
        EXPECT_EQ(display().geometry(window), QRect(128, 80, 1024, 640));
    }
    {
        SCOPED_TRACE("a link to another site stays out of the window, offered to the desktop");
        ASSERT_TRUE(page.evaluate("document.getElementById('away').click(), true"));
        EXPECT_EQ(run.waitForLine("elsewhere "), away);
        EXPECT_EQ(page.evaluate("location.pathname").value_or(QJsonValue()).toString(), "/a/reviewer/");
    }
    {
        SCOPED_TRACE("so does a window opened for another site, and it closes");
        ASSERT_TRUE(page.call("Runtime.evaluate",
                              {{"expression", "window.open('" + away + "?popup'), true"}, {"userGesture", true}}));
        EXPECT_EQ(run.waitForLine("elsewhere "), away + "?popup");
        EXPECT_TRUE(waitUntil([&] { return pageUrls(page).size() == 1; })) << pageUrls(page).join(' ').toStdString();
        EXPECT_EQ(elsewhere.requestCount(), 0);
    }
    {
        SCOPED_TRACE("DevTools close at once without devmode");
        ASSERT_TRUE(display().focus(window));
        ASSERT_TRUE(display().key({"F12"}));
        EXPECT_TRUE(waitUntil([&] {
            return run.startupLog().contains("Closing a window: DevTools are off (devmode is not 1)");
        }));
        EXPECT_TRUE(waitUntil([&] { return display().findWindows("DevTools").isEmpty(); }));
    }
    {
        SCOPED_TRACE("the second environment: chosen for good, tagged before it is asked for");
        run.send("env 1");
        ASSERT_TRUE(b.waitForEntryRequests(1));
        const vtest::HttpRequestRecord first = b.entryRequests().front();
        EXPECT_EQ(first.header("Host"), "localhost:" + QByteArray::number(QUrl(b.base()).port()));
        EXPECT_TRUE(first.header("Cookie").contains(kCookie.toUtf8())) << first.header("Cookie").toStdString();
        EXPECT_EQ(ShellSandbox::readFile(run.sandbox.envDat()), "b");
        EXPECT_TRUE(display().waitForWindow("^Front end B$"));
    }
    {
        SCOPED_TRACE("closing the window ends the shell, its agent and the browser within 3 s");
        QElapsedTimer closing;
        closing.start();
        ASSERT_TRUE(display().requestClose(window));
        EXPECT_TRUE(waitUntil([&] {
            return run.shell->state() == QProcess::NotRunning && !processinfo::isAlive(run.agentPid)
                && !processinfo::isAlive(run.browserPid);
        }, 3000)) << closing.elapsed() << " ms";
        EXPECT_TRUE(run.endsWith(0));
    }
    EXPECT_EQ(run.startupLog().filter(QRegularExpression("^(===|Config|vellox|Browser window|Message|Child)")),
              QStringList({"=== Browser shell starting ===",
                           "Config loaded, URL: " + a.base() + "reviewer/?isWindows=1#/home", "vellox launched",
                           "Browser window gone: the window was closed", "Message loop exited",
                           "Child process terminated", "=== Browser shell exiting ==="}));
}

TEST(DevToolsShell, WithoutEnvironmentSaysSoOpensDevToolsInDevModeAndEndsWithTheAgent)
{
    QJsonObject withDevMode = appDat({});
    withDevMode.insert("devmode", "1");
    ShellRun run(withDevMode);
    run.start();
    ASSERT_TRUE(run.ready()) << run.lines.join('\n').toStdString();
    DevToolsProbe page(run.sandbox.browserDevToolsPort());
    ASSERT_TRUE(run.attach(page, "data:text/html;charset=utf-8;base64,")) << page.errorString().toStdString();
    const auto text = page.waitForValue("document.body ? document.body.innerText : ''", [](const QJsonValue& v) {
        return v.toString().contains("lists no server environment");
    });
    const QString shown = text.value_or(QJsonValue()).toString();
    EXPECT_TRUE(shown.contains(QString::fromUtf8("没有列出任何服务器环境"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(run.sandbox.programFolder() + "/app.dat")) << shown.toStdString();
    EXPECT_EQ(page.cookies({"http://127.0.0.1/"}).value_or(QJsonArray({1})), QJsonArray());
    {
        SCOPED_TRACE("F12 opens DevTools, which stay");
        const std::optional<quint64> window = display().waitForWindow("No server environment");
        ASSERT_TRUE(window);
        ASSERT_TRUE(display().focus(*window));
        ASSERT_TRUE(display().key({"F12"}));
        EXPECT_TRUE(display().waitForWindow("^DevTools"));
        EXPECT_FALSE(run.startupLog().join('\n').contains("DevTools are off"));
    }

    ASSERT_EQ(kill(pid_t(run.agentPid), SIGKILL), 0);
    EXPECT_TRUE(run.endsWith(0));
    EXPECT_TRUE(waitUntil([&] { return !processinfo::isAlive(run.browserPid); }));
    EXPECT_TRUE(run.startupLog().contains("vellox ended: closing the window"));
}

TEST(DevToolsShell, SaysWhatKeepsItFromStarting)
{
    {
        SCOPED_TRACE("no app.dat: nothing started");
        ShellRun run(appDat({}));
        ASSERT_TRUE(QFile::remove(run.sandbox.programFolder() + "/app.dat"));
        run.start();
        EXPECT_TRUE(run.endsWith(1));
        EXPECT_EQ(run.waitForLine("error "), "Failed to load app.dat");
        EXPECT_EQ(run.startupLog(), QStringList({"=== Browser shell starting ===", "ERROR: Failed to load app.dat"}));
    }
    const QJsonObject oneEnvironment = appDat({QJsonObject {{"key", "a"}, {"url", "http://127.0.0.1:9/"}}});
    {
        SCOPED_TRACE("no browser where it was found: the agent ends too");
        ShellRun run(oneEnvironment);
        run.start({"--browser", "/nonexistent/chromium"});
        EXPECT_TRUE(run.endsWith(1));
        const QString error = run.waitForLine("error ").value_or(QString());
        EXPECT_TRUE(error.contains("/nonexistent")) << error.toStdString();
        EXPECT_TRUE(run.startupLog().contains("vellox launched"));
        EXPECT_TRUE(run.startupLog().last().startsWith("ERROR: cannot start Chromium")) << run.startupLog().last().toStdString();
        EXPECT_TRUE(processinfo::runningProgram(run.sandbox.programFolder() + "/vellox").isEmpty());
    }
    {
        SCOPED_TRACE("a browser that ends before it listens; the last run's engine log is kept");
        ShellRun run(oneEnvironment);
        QDir().mkpath(run.sandbox.shellDataFolder());
        QFile earlier(run.sandbox.engineLog());
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier run\n") > 0);
        earlier.close();
        run.start({"--browser", "/bin/true"});
        EXPECT_TRUE(run.endsWith(1));
        EXPECT_EQ(run.startupLog().last(), "ERROR: Chromium ended before it opened its DevTools port");
        EXPECT_EQ(ShellSandbox::readFile(run.sandbox.engineLog() + ".1"), "earlier run\n");
    }
}

} // namespace
