// The real `vellox-browser` under Xvfb, with the real agent, front ends on local HTTP servers,
// and the page read over the DevTools protocol. WebEngine is slow to start, so each case is
// one run of the shell, its steps traced.
#include "deviceid.h"

#include "devtoolsprobe.h"
#include "httptestserver.h"
#include "processinfo.h"
#include "shellsandbox.h"
#include "wait.h"
#include "wsclient.h"
#include "xvfbdisplay.h"

#include <QColor>
#include <QDateTime>
#include <QDir>
#include <QGuiApplication>
#include <QCryptographicHash>
#include <QImage>
#include <QJsonDocument>
#include <QJsonArray>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>
#include <QUrl>
#include <QWidget>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

using vtest::DevToolsProbe;
using vtest::HttpReply;
using vtest::HttpTestServer;
using vtest::ShellSandbox;
using vtest::waitUntil;
using vtest::XvfbDisplay;
namespace processinfo = vtest::processinfo;

const QString kAppName = QStringLiteral("Vellox Shell Test");
const QString kMainWindow = QStringLiteral("^Vellox Shell Test$");
const QString kShellClass = QStringLiteral("^vellox-browser$");
constexpr int kShellWaitMs = 90000; // a cold WebEngine on a busy machine

const XvfbDisplay& display()
{
    return XvfbDisplay::shared();
}

// The runs that share their folders: the second restarts the shell the first left behind.
QString restartFolder()
{
    return QStringLiteral(VELLOX_SHELL_RESTART_FOLDER);
}

// One server environment's front end: a page in a colour of its own at <prefix>reviewer/.
class FrontEnd {
public:
    FrontEnd(const QString& prefix, const QColor& colour)
        : prefix(prefix)
        , colour(colour)
    {
        const QByteArray page = QStringLiteral(
            "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Front end %1</title></head>"
            "<body style=\"margin:0;background:%2\"><input id=\"field\" autofocus></body></html>")
                                    .arg(prefix, colour.name())
                                    .toUtf8();
        server.answer(entryPath(), HttpReply::withStatus(200, page, "text/html; charset=utf-8"));
    }

    QString entryPath() const { return prefix + "reviewer/"; }
    QString base() const { return server.url(prefix); } // with its trailing slash
    HttpTestServer& http() { return server; }
    QList<vtest::HttpRequestRecord> entryRequests() const { return server.requests(entryPath()); }
    bool waitForEntryRequests(int count) const
    {
        return waitUntil([&] { return server.requestCount(entryPath()) >= count; }, kShellWaitMs);
    }

    const QString prefix;
    const QColor colour;

private:
    HttpTestServer server;
};

QJsonObject appDat(const QJsonArray& domains)
{
    return {{"appname", kAppName}, {"current", "a"}, {"domains", domains}};
}

// "a" named, its address with a trailing slash; "b" unnamed, without one. The site lets its
// staff open DevTools.
QJsonObject twoEnvironments(const FrontEnd& a, const FrontEnd& b)
{
    QString bBase = b.base();
    bBase.chop(1);
    QJsonObject description = appDat({QJsonObject {{"key", "a"}, {"name", QString::fromUtf8("测试A")}, {"url", a.base()}},
                                       QJsonObject {{"key", "b"}, {"url", bBase}}});
    description.insert("devmode", "1");
    return description;
}

// The messages of a log written by the shell, without their time stamps.
QStringList logMessages(const QString& path, const QString& stampPattern)
{
    QStringList messages;
    const QRegularExpression line("^\\[" + stampPattern + "\\] (.*)$");
    for (const QString& text : QString::fromUtf8(ShellSandbox::readFile(path)).split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = line.match(text);
        messages << (match.hasMatch() ? match.captured(1) : "unstamped: " + text);
    }
    return messages;
}

QStringList startupMessages(const ShellSandbox& sandbox)
{
    return logMessages(sandbox.startupLog(), "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}");
}

QStringList keyMessages(const ShellSandbox& sandbox)
{
    return logMessages(sandbox.keyLog(), "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}");
}

// The agent's command channel takes a WebSocket client.
bool portAnswers(quint16 port)
{
    return waitUntil([&] {
        vtest::WsClient client;
        return client.open(port, {}, QStringLiteral("127.0.0.1"), 2000);
    }, kShellWaitMs);
}

std::optional<qint64> waitForOneAgent(const ShellSandbox& sandbox, const QProcess* shell)
{
    QList<qint64> agents;
    waitUntil([&] {
        agents = sandbox.agentsOf(shell);
        return !agents.isEmpty();
    }, kShellWaitMs);
    if (agents.size() != 1)
        return std::nullopt;
    return agents.front();
}

QSet<QString> socketsOf(qint64 pid, int fromDescriptor = 0)
{
    QSet<QString> sockets;
    for (const auto& descriptor : processinfo::descriptors(pid)) {
        if (descriptor.first >= fromDescriptor && descriptor.second.startsWith("socket:"))
            sockets.insert(descriptor.second);
    }
    return sockets;
}

QColor screenColourAt(const QPoint& point)
{
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    return screen.pixelColor(point);
}

bool closeTo(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) <= 8 && qAbs(a.green() - b.green()) <= 8 && qAbs(a.blue() - b.blue()) <= 8;
}

// A window of another program (this test's), to hold the focus away from the shell.
struct OtherProgramWindow : QWidget {
    OtherProgramWindow()
    {
        setWindowTitle("other program");
        setGeometry(10, 10, 200, 100);
        show();
    }
    bool takeFocus() const
    {
        return display().focus(winId()) && waitUntil([&] { return display().focusedWindow() == winId(); });
    }
};

// A window of the shell's (its menu, a popup) that shows up besides those it had.
std::optional<quint64> waitForNewShellWindow(const QList<quint64>& known)
{
    std::optional<quint64> menu;
    waitUntil([&] {
        for (quint64 window : display().findWindowsOfClass(kShellClass)) {
            if (!known.contains(window))
                menu = window;
        }
        return menu.has_value();
    });
    return menu;
}

// Gives the shell's window the focus, as a click on it would, and waits until its page knows.
bool focusShell(quint64 window, DevToolsProbe& page)
{
    if (!display().focus(window))
        return false;
    const auto focused = page.waitForValue("document.hasFocus()", [](const QJsonValue& v) { return v == true; });
    return focused && *focused == true;
}

// Ctrl+Alt+K typed as by the keyboard while the shell's window is in front (whoever holds the
// desktop-wide grab, the shell or its agent); the menu's window once it shows.
std::optional<quint64> openEnvMenu(const ShellSandbox& sandbox, DevToolsProbe& page, quint64 window,
                                   const QList<quint64>& shellWindows)
{
    if (!focusShell(window, page)) {
        ADD_FAILURE() << "the shell's window did not take the focus";
        return std::nullopt;
    }
    if (!display().key({"ctrl+alt+k"}))
        return std::nullopt;
    const std::optional<quint64> menu = waitForNewShellWindow(shellWindows);
    if (!menu) {
        ADD_FAILURE() << "no menu; keys seen:\n" << ShellSandbox::readFile(sandbox.keyLog()).toStdString()
                      << "windows:\n" << display().run("xwininfo", {"-root", "-children"}).output.toStdString()
                      << "focus: " << display().focusedWindow() << "\nengine log:\n"
                      << ShellSandbox::readFile(sandbox.engineLog()).right(4000).toStdString();
    }
    return menu;
}

// A short command's exit code and output.
struct RunResult {
    int exitCode = -1;
    QString output;
};
RunResult run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    RunResult result;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.output = QString::fromLocal8Bit(process.readAll());
    return result;
}

bool waitForExit(QProcess* process, int expectedCode)
{
    if (process->state() != QProcess::NotRunning && !process->waitForFinished(kShellWaitMs))
        return false;
    return process->exitStatus() == QProcess::NormalExit && process->exitCode() == expectedCode;
}

TEST(BrowserShell, StartsTheAgentShowsTheFrontEndAndSwitchesEnvironment)
{
    QDir(restartFolder()).removeRecursively();
    ShellSandbox sandbox(display(), restartFolder());
    const FrontEnd one("/a/", QColor(30, 144, 255));
    const FrontEnd two("/b/", QColor(255, 140, 0));
    sandbox.usePrivateProgramFolder(twoEnvironments(one, two));
    const std::string deviceId = computeDeviceId();
    if (deviceId.empty())
        std::cout << "No network adapter qualifies for a device id here: the cookie is not checked.\n";
    const QString cookie = "deviceId=" + QString::fromStdString(deviceId);

    QProcess* shell = sandbox.startShell();
    qint64 agent = 0;
    {
        SCOPED_TRACE("the front end of the current environment");
        ASSERT_TRUE(one.waitForEntryRequests(1));
        EXPECT_EQ(one.entryRequests().front().target, "/a/reviewer/?isWindows=1");
        EXPECT_TRUE(one.entryRequests().front().header("Accept-Language").startsWith("zh-CN"));
    }
    {
        SCOPED_TRACE("the agent: the shell's child, hidden, in the program folder, nothing of the shell's");
        const std::optional<qint64> found = waitForOneAgent(sandbox, shell);
        ASSERT_TRUE(found);
        agent = *found;
        EXPECT_EQ(processinfo::arguments(agent), QStringList({sandbox.programFolder() + "/vellox", "--hidden"}));
        EXPECT_EQ(QDir(processinfo::workingFolder(agent)), QDir(sandbox.programFolder()));
        const QSet<QString> shellSockets = socketsOf(shell->processId());
        EXPECT_TRUE(socketsOf(agent, 3).intersect(shellSockets).isEmpty());
        for (const auto& descriptor : processinfo::descriptors(agent))
            EXPECT_FALSE(descriptor.second.endsWith("VelloxBrowserMutex.lock")) << descriptor.first;
        EXPECT_TRUE(portAnswers(sandbox.agentPort()));
    }
    quint64 window = 0;
    QList<quint64> shellWindows;
    {
        SCOPED_TRACE("one window named for the application, 0.8 of the screen, centred");
        const std::optional<quint64> found = display().waitForWindow(kMainWindow, kShellWaitMs);
        ASSERT_TRUE(found);
        window = *found;
        shellWindows << window;
        EXPECT_EQ(display().findWindows(kMainWindow).size(), 1);
        EXPECT_EQ(display().geometry(window), QRect(128, 80, 1024, 640));
    }
    DevToolsProbe page(sandbox.devToolsPort());
    ASSERT_TRUE(page.attach([](const QString& url) { return url.contains("/a/reviewer/"); }, kShellWaitMs))
        << qPrintable(page.errorString());
    if (!deviceId.empty()) {
        SCOPED_TRACE("the device cookie");
        const auto seen = page.waitForValue("document.cookie", [&](const QJsonValue& v) { return v.toString() == cookie; });
        EXPECT_EQ(seen.value_or(QJsonValue()).toString(), cookie);
        // For a year, on the whole site, for its host alone (not its domain's other hosts).
        const QJsonArray cookies = page.cookies().value_or(QJsonArray());
        ASSERT_EQ(cookies.size(), 1);
        const QJsonObject deviceCookie = cookies.first().toObject();
        EXPECT_EQ(deviceCookie.value("path").toString(), "/");
        EXPECT_EQ(deviceCookie.value("domain").toString(), QUrl(one.base()).host());
        const double lifetime = deviceCookie.value("expires").toDouble() - QDateTime::currentSecsSinceEpoch();
        EXPECT_GT(lifetime, 364.0 * 86400);
        EXPECT_LE(lifetime, 365.0 * 86400 + 60);
    }
    {
        SCOPED_TRACE("the page fills the window and follows a resize");
        const auto size = [&](const char* expected) {
            const auto seen = page.waitForValue("innerWidth + 'x' + innerHeight",
                                                [&](const QJsonValue& v) { return v.toString() == expected; });
            return seen.value_or(QJsonValue()).toString();
        };
        EXPECT_EQ(size("1024x640"), "1024x640");
        ASSERT_TRUE(display().resize(window, 800, 500));
        EXPECT_EQ(size("800x500"), "800x500");
        const QPoint centre = display().geometry(window).value_or(QRect()).center();
        QColor seen;
        waitUntil([&] { return closeTo(seen = screenColourAt(centre), one.colour); });
        EXPECT_TRUE(closeTo(seen, one.colour)) << qPrintable(seen.name());
    }
    OtherProgramWindow other;
    {
        SCOPED_TRACE("F12 opens DevTools where the site allows them");
        ASSERT_TRUE(focusShell(window, page));
        ASSERT_TRUE(display().key({"F12"}));
        const std::optional<quint64> devTools = display().waitForWindow("^DevTools$");
        ASSERT_TRUE(devTools);
        shellWindows << *devTools;
    }
    {
        SCOPED_TRACE("a second start brings the window forward and leaves");
        ASSERT_TRUE(other.takeFocus());
        QProcess* second = sandbox.startShell();
        EXPECT_TRUE(waitForExit(second, 0));
        EXPECT_TRUE(waitUntil([&] { return display().focusedWindow() == window; }));
        EXPECT_EQ(sandbox.agentsOf(shell), QList<qint64>({agent}));
        EXPECT_EQ(display().findWindows(kMainWindow).size(), 1);
    }
    {
        SCOPED_TRACE("typed text reaches the page and is not written down");
        ASSERT_TRUE(page.evaluate("document.getElementById('field').focus()"));
        ASSERT_TRUE(display().key({"s", "e", "c", "r", "e", "t"}));
        const auto typed = page.waitForValue("document.getElementById('field').value",
                                             [](const QJsonValue& v) { return v.toString() == "secret"; });
        EXPECT_EQ(typed.value_or(QJsonValue()).toString(), "secret");
    }
    {
        SCOPED_TRACE("Ctrl+Alt+K, then the second environment");
        const std::optional<quint64> menu = openEnvMenu(sandbox, page, window, shellWindows);
        ASSERT_TRUE(menu);
        // The menu takes the keyboard once it shows.
        ASSERT_TRUE(display().key({"Down", "Down", "Return"}));
        ASSERT_TRUE(two.waitForEntryRequests(1));
        const vtest::HttpRequestRecord request = two.entryRequests().front();
        EXPECT_EQ(request.target, "/b/reviewer/?isWindows=1");
        if (!deviceId.empty())
            EXPECT_TRUE(request.header("Cookie").contains(cookie.toUtf8())) << request.header("Cookie").toStdString();
        EXPECT_EQ(ShellSandbox::readFile(sandbox.envDat()), "b");
        EXPECT_TRUE(display().waitUntilGone(*menu));
    }
    {
        SCOPED_TRACE("Escape closes the menu and changes nothing");
        const std::optional<quint64> menu = openEnvMenu(sandbox, page, window, shellWindows);
        ASSERT_TRUE(menu);
        ASSERT_TRUE(display().key({"Escape"}));
        EXPECT_TRUE(display().waitUntilGone(*menu));
        EXPECT_EQ(ShellSandbox::readFile(sandbox.envDat()), "b");
        EXPECT_TRUE(page.evaluate("location.href").value_or(QJsonValue()).toString().contains("/b/reviewer/"));
        EXPECT_EQ(one.entryRequests().size(), 1);
        EXPECT_EQ(two.entryRequests().size(), 1);
    }
    {
        SCOPED_TRACE("the agent's end ends the shell");
        ASSERT_EQ(kill(pid_t(agent), SIGKILL), 0);
        EXPECT_TRUE(waitForExit(shell, 0));
    }
    // Ctrl+Alt+K reached the shell by its own grab or from the agent's, as the race between
    // them went at start; what the shell saw of it is written down only in the second case.
    QStringList keys = keyMessages(sandbox);
    keys.removeAll("Ctrl+Alt+K handed over by the agent, showing env switch");
    EXPECT_EQ(keys, QStringList({"KeyDown: code=123 modifiers=0x0", "F12 detected, opening DevTools"}));
    EXPECT_EQ(startupMessages(sandbox),
              QStringList({"=== Browser shell starting ===",
                           "Config loaded, URL: " + one.base() + "reviewer/?isWindows=1#/home", "vellox launched",
                           "CefInitialize succeeded", "Window created", "CreateBrowser called, entering message loop",
                           "Message loop exited", "Child process terminated", "=== Browser shell exiting ==="}));
}

TEST(BrowserShell, RestartOpensTheChosenEnvironmentAndEndsTheAgentWithIt)
{
    ShellSandbox sandbox(display(), restartFolder());
    ASSERT_EQ(ShellSandbox::readFile(sandbox.envDat()), "b") << "works on the folders the first run left";
    // The same environments, at the addresses their servers have now.
    const FrontEnd one("/a/", QColor(30, 144, 255));
    const FrontEnd two("/b/", QColor(255, 140, 0));
    sandbox.usePrivateProgramFolder(twoEnvironments(one, two));
    const int earlierLines = startupMessages(sandbox).size();

    QProcess* shell = sandbox.startShell();
    {
        SCOPED_TRACE("the environment chosen in the last run");
        ASSERT_TRUE(two.waitForEntryRequests(1));
        EXPECT_EQ(two.entryRequests().front().target, "/b/reviewer/?isWindows=1");
        const std::string deviceId = computeDeviceId();
        if (!deviceId.empty()) // kept by the profile from the last run
            EXPECT_TRUE(two.entryRequests().front().header("Cookie").contains(QByteArray("deviceId=") + deviceId.c_str()));
        EXPECT_EQ(one.entryRequests().size(), 0);
    }
    {
        SCOPED_TRACE("SIGTERM closes the shell and the agent goes first");
        const std::optional<qint64> agent = waitForOneAgent(sandbox, shell);
        ASSERT_TRUE(agent);
        ASSERT_TRUE(portAnswers(sandbox.agentPort())); // up, with its own quit handling in place
        shell->terminate();
        EXPECT_TRUE(waitForExit(shell, 0));
        EXPECT_FALSE(processinfo::isAlive(*agent));
        EXPECT_EQ(startupMessages(sandbox).mid(earlierLines + 6),
                  QStringList({"Message loop exited", "Child process terminated", "=== Browser shell exiting ==="}));
    }
}

TEST(BrowserShell, WithoutEnvironmentShowsItsOwnPageBesideARunningAgent)
{
    ShellSandbox sandbox(display());
    sandbox.usePrivateProgramFolder(appDat({}));
    const quint16 agentPort = sandbox.startListening({"--hidden"});
    ASSERT_NE(agentPort, 0);

    QProcess* shell = sandbox.startShell();
    DevToolsProbe page(sandbox.devToolsPort());
    ASSERT_TRUE(page.attach([](const QString& url) { return url.startsWith("qrc:"); }, kShellWaitMs))
        << qPrintable(page.errorString());
    const auto text = page.waitForValue("document.body.innerText", [](const QJsonValue& v) {
        return v.toString().contains("app.dat");
    });
    const QString shown = text.value_or(QJsonValue()).toString();
    EXPECT_TRUE(shown.contains(QString::fromUtf8("没有列出任何服务器环境"))) << qPrintable(shown);
    EXPECT_TRUE(shown.contains("lists no server environment"));
    EXPECT_TRUE(shown.contains(sandbox.programFolder() + "/app.dat"));
    EXPECT_EQ(page.evaluate("document.cookie").value_or(QJsonValue()).toString(), "");

    EXPECT_TRUE(startupMessages(sandbox).contains("vellox already running"));
    EXPECT_TRUE(sandbox.agentsOf(shell).isEmpty());
    {
        SCOPED_TRACE("a popup opens in a window of its own and closing it leaves the shell");
        const std::optional<quint64> window = display().waitForWindow(kMainWindow);
        ASSERT_TRUE(window);
        ASSERT_EQ(page.evaluate("window.popup = window.open('about:blank', 'popup', 'width=300,height=200'),"
                                "window.popup !== null"),
                  QJsonValue(true));
        const std::optional<quint64> popup = waitForNewShellWindow({*window});
        ASSERT_TRUE(popup);
        ASSERT_TRUE(page.evaluate("window.popup.close(), true"));
        EXPECT_TRUE(display().waitUntilGone(*popup));
        EXPECT_TRUE(display().isMapped(*window));
    }
    EXPECT_EQ(shell->state(), QProcess::Running);

    shell->terminate();
    EXPECT_TRUE(waitForExit(shell, 0));
    EXPECT_EQ(sandbox.agent()->state(), QProcess::Running); // not the shell's to end
    EXPECT_TRUE(portAnswers(agentPort));
}

TEST(BrowserShell, WithoutAppDatSaysSoAndStartsNothing)
{
    ShellSandbox sandbox(display());
    sandbox.usePrivateProgramFolder({});
    ASSERT_TRUE(QFile::remove(sandbox.programFolder() + "/app.dat"));

    QProcess* shell = sandbox.startShell();
    ASSERT_TRUE(display().waitForWindow("^Error$", kShellWaitMs));
    // Qt may replace the box's window right after showing it: focus the one there is and
    // press Return until the box is gone and the shell has ended.
    EXPECT_TRUE(waitUntil([&] {
        for (quint64 box : display().findWindows("^Error$")) {
            if (display().focus(box))
                display().key({"Return"});
        }
        return shell->waitForFinished(200);
    }, kShellWaitMs));
    EXPECT_TRUE(waitForExit(shell, 1));
    EXPECT_EQ(startupMessages(sandbox), QStringList({"=== Browser shell starting ===", "ERROR: Failed to load app.dat"}));
    EXPECT_FALSE(QDir(sandbox.dataFolder() + "/log").exists()); // the agent never ran
}

TEST(BrowserShell, WithoutItsEngineSaysSoAndEndsItsAgent)
{
    ShellSandbox sandbox(display());
    sandbox.usePrivateProgramFolder(appDat({}));
    sandbox.setEnv("QTWEBENGINEPROCESS_PATH", sandbox.root() + "/missing/QtWebEngineProcess");
    QProcess* shell = sandbox.startShell();
    EXPECT_TRUE(waitForExit(shell, 1));
    const QStringList lines = startupMessages(sandbox);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.mid(lines.size() - 2, 1), QStringList({"ERROR: CefInitialize failed"}));
    EXPECT_TRUE(lines.last().startsWith("ERROR: missing: the engine's process (" + sandbox.root() + "/missing/"))
        << qPrintable(lines.last());
    EXPECT_TRUE(lines.contains("vellox launched"));
    EXPECT_TRUE(processinfo::runningProgram(sandbox.programFolder() + "/vellox").isEmpty()) << "its agent ended with it";
}

// As installed: the agent runs on its own (started at login), the shell finds it. The site
// allows no DevTools, the page links to another site, and the agent offers a forced upgrade
// and then dies with its dialog over the shell.
TEST(BrowserShell, BesideAnAgentOfItsOwnKeepsToTheSitesOwnPagesAndIsNeverLeftDisabled)
{
    ShellSandbox sandbox(display());
    FrontEnd one("/a/", QColor(30, 144, 255));
    HttpTestServer foreign;
    sandbox.usePrivateProgramFolder(appDat({QJsonObject {{"key", "a"}, {"name", "A"}, {"url", one.base()}}}));
    // What goes to the desktop's browser is written down.
    const QString opened = sandbox.recordStarts("xdg-open");
    // A forced offer, held back until the test is ready for it.
    const QByteArray package = "#!/bin/sh\nexit 0\n";
    one.http().serveFile("/a/pkg/vellox-9.0.sh", package);
    const QJsonObject offer {{"hasNewVersion", true}, {"version", "9.0"}, {"downloadUrl", one.http().url("/a/pkg/vellox-9.0.sh")},
                             {"fileHash", QString(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex())},
                             {"forceUpgrade", true}};
    one.http().answer("/a/web-awg/navrel-hub/app/upgrade/check",
                      HttpReply::withStatus(200, QJsonDocument(QJsonObject {{"code", 200}, {"data", offer}}).toJson(),
                                            "application/json").held());

    ASSERT_NE(sandbox.startListening({"--hidden"}), 0);
    ASSERT_TRUE(sandbox.waitForLog("The environment switch shortcut Ctrl+Alt+K is registered"));
    QProcess* shell = sandbox.startShell();
    const std::optional<quint64> found = display().waitForWindow(kMainWindow, kShellWaitMs);
    ASSERT_TRUE(found);
    const quint64 window = *found;
    DevToolsProbe page(sandbox.devToolsPort());
    ASSERT_TRUE(page.attach([](const QString& url) { return url.contains("/a/reviewer/"); }, kShellWaitMs))
        << qPrintable(page.errorString());
    EXPECT_TRUE(startupMessages(sandbox).contains("vellox already running"));
    const auto logged = [&](const QString& path, const QString& text) {
        return waitUntil([&] { return ShellSandbox::readFile(path).contains(text.toUtf8()); });
    };
    {
        SCOPED_TRACE("F12 opens nothing");
        ASSERT_TRUE(focusShell(window, page));
        ASSERT_TRUE(display().key({"F12"}));
        EXPECT_TRUE(logged(sandbox.keyLog(), "F12 detected, DevTools are off (devmode is not 1)"));
        EXPECT_TRUE(display().findWindows("^DevTools$").isEmpty());
    }
    {
        SCOPED_TRACE("Ctrl+Alt+K in the shell's window opens the shell's menu, though the agent holds the key");
        const std::optional<quint64> menu = openEnvMenu(sandbox, page, window, {window});
        ASSERT_TRUE(menu);
        EXPECT_TRUE(logged(sandbox.keyLog(), "Ctrl+Alt+K handed over by the agent, showing env switch"));
        EXPECT_TRUE(sandbox.waitForLog("Ctrl+Alt+K handed to the browser shell"));
        ASSERT_TRUE(display().key({"Escape"}));
        EXPECT_TRUE(display().waitUntilGone(*menu));
        for (quint64 agentWindow : display().findWindowsOfClass("^vellox$"))
            EXPECT_NE(display().geometry(agentWindow).value_or(QRect()).width(), 532) << "the agent's own list stays shut";
    }
    {
        SCOPED_TRACE("another site stays out of the shell's windows and goes to the desktop's browser");
        const QString away = foreign.url("/away");
        ASSERT_TRUE(page.evaluate("location.href = '" + away + "'; true"));
        const QString popup = foreign.url("/popup");
        ASSERT_TRUE(page.evaluate("window.open('" + popup + "', 'x', 'width=300,height=200'); true"));
        EXPECT_TRUE(waitUntil([&] {
            return ShellSandbox::readFile(opened) == (away + "\n" + popup + "\n").toUtf8();
        })) << ShellSandbox::readFile(opened).toStdString();
        EXPECT_TRUE(waitUntil([&] { return display().findWindowsOfClass(kShellClass) == QList<quint64>({window}); }))
            << "the popup's window closed";
        EXPECT_EQ(foreign.requestCount(), 0);
        EXPECT_TRUE(page.evaluate("location.href").value_or(QJsonValue()).toString().contains("/a/reviewer/"));
        ASSERT_TRUE(focusShell(window, page));
        ASSERT_TRUE(page.evaluate("document.getElementById('field').focus(), true"));
        ASSERT_TRUE(display().type("ab"));
        EXPECT_TRUE(page.waitForValue("document.getElementById('field').value",
                                      [](const QJsonValue& v) { return v.toString() == "ab"; }));
    }
    {
        SCOPED_TRACE("the agent's forced upgrade dialog disables the shell, and its death enables it again");
        one.http().releaseAll();
        ASSERT_TRUE(display().waitForWindow("^版本更新$", kShellWaitMs));
        ASSERT_TRUE(logged(sandbox.engineLog(), "window disabled"));
        ASSERT_TRUE(display().focus(window));
        ASSERT_TRUE(display().type("x")); // swallowed: the window takes no input
        ASSERT_EQ(kill(pid_t(sandbox.agent()->processId()), SIGKILL), 0);
        EXPECT_TRUE(logged(sandbox.engineLog(), "the link that disabled the window closed"));
        ASSERT_TRUE(focusShell(window, page));
        ASSERT_TRUE(display().type("y"));
        const auto typed = page.waitForValue("document.getElementById('field').value",
                                             [](const QJsonValue& v) { return v.toString().endsWith("y"); });
        EXPECT_EQ(typed.value_or(QJsonValue()).toString(), "aby");
    }
    EXPECT_EQ(shell->state(), QProcess::Running) << "the agent was not the shell's";
    shell->terminate();
    EXPECT_TRUE(waitForExit(shell, 0));
}

// Two users of one PC, with its one temporary folder and no session runtime folder: each runs a
// shell and an agent of their own side by side, their locks and sockets in a folder that is theirs
// alone. The second user is a local account the tests make.
TEST(BrowserShell, TwoUsersRunShellsAndAgentsSideBySide)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to run programs as a second local user";
    const QString account = QStringLiteral("vellox-test-user");
    if (run("id", {"-u", account}).exitCode != 0)
        ASSERT_EQ(run("useradd", {"--system", "--no-create-home", "--shell", "/usr/sbin/nologin", account}).exitCode, 0);
    const uint uid = run("id", {"-u", account}).output.trimmed().toUInt();
    const uint gid = run("id", {"-g", account}).output.trimmed().toUInt();
    ASSERT_NE(uid, 0u);

    // The PC's temporary folder, as /tmp is: everyone writes there and removes only their own.
    QTemporaryDir pc(QStringLiteral("/tmp/vellox-two-users-XXXXXX"));
    const QString temporary = pc.path() + "/tmp";
    ASSERT_TRUE(QDir().mkpath(temporary));
    ASSERT_EQ(run("chmod", {"755", pc.path()}).exitCode, 0);
    ASSERT_EQ(run("chmod", {"1777", temporary}).exitCode, 0);

    std::vector<std::unique_ptr<ShellSandbox>> users;
    for (const char* name : {"first", "second"}) {
        auto sandbox = std::make_unique<ShellSandbox>(display(), pc.path() + "/" + name);
        // Without app.dat a shell stops at the box that says so, its lock held, its engine not started.
        sandbox->usePrivateProgramFolder({});
        ASSERT_TRUE(QFile::remove(sandbox->programFolder() + "/app.dat"));
        sandbox->setEnv("TMPDIR", temporary);
        sandbox->setEnv("XDG_RUNTIME_DIR", QString());
        users.push_back(std::move(sandbox));
    }
    users.back()->runAs(uid, gid);

    for (const auto& user : users)
        ASSERT_NE(user->startListening({"--hidden"}), 0) << "an agent of each user's serves";
    for (const auto& user : users)
        user->startShell();
    EXPECT_TRUE(waitUntil([] { return display().findWindows("^Error$").size() == 2; }, kShellWaitMs))
        << "a shell of each user's runs";
    for (const auto& user : users) {
        EXPECT_EQ(user->agent()->state(), QProcess::Running) << "neither agent is the other's second instance";
        EXPECT_EQ(user->latest()->state(), QProcess::Running) << "neither shell is the other's second instance";
    }
    for (const uint owner : {uint(::geteuid()), uid}) {
        SCOPED_TRACE(owner);
        const QFileInfo own(temporary + "/vellox-" + QString::number(owner));
        EXPECT_TRUE(own.isDir());
        EXPECT_EQ(own.ownerId(), owner);
        EXPECT_EQ(own.permissions() & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                       | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther),
                  QFileDevice::Permissions());
        for (const char* name : {"VelloxBrowserMutex.lock", "VelloxBrowserWindow", "kelmora-vellox"})
            EXPECT_TRUE(QFileInfo::exists(own.filePath() + '/' + name)) << name;
    }
}

} // namespace
