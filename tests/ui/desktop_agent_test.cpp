// The real agent on a private X display with a tray host: its status window as the screen
// shows it, the tray icon and menu, and the environment switch behind Ctrl+Alt+K. The pointer
// and the keyboard are xdotool's; what happened is read from the screen, the agent's log and
// settings, and the requests the local server received.
#include "agentsandbox.h"
#include "cupsharness.h"
#include "httptestserver.h"
#include "traymenu.h"
#include "wait.h"
#include "wsclient.h"
#include "xvfbdisplay.h"

#include "ui/globalshortcut.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QUrl>

#include <gtest/gtest.h>

#include <optional>

namespace {

using vtest::AgentSandbox;
using vtest::HttpReply;
using vtest::HttpTestServer;
using vtest::WsClient;

const char* const kCheckPath = "web-awg/navrel-hub/app/upgrade/check";
constexpr double kTimeScale = 0.1;
constexpr int kBatchEndMs = int(5000 * kTimeScale); // after the last page, as the agent waits it
const QString kPrinter = QStringLiteral("DesktopPrinter");

[[maybe_unused]] testing::Environment* const cups =
    vtest::CupsHarness::registerForProgram({vtest::CupsHarness::Model(kPrinter, QStringLiteral("Desktop Printer"))});

vtest::XvfbDisplay& display()
{
    return vtest::XvfbDisplay::shared();
}

bool near(QRgb pixel, QRgb wanted, int tolerance = 4)
{
    return qAbs(qRed(pixel) - qRed(wanted)) <= tolerance && qAbs(qGreen(pixel) - qGreen(wanted)) <= tolerance
        && qAbs(qBlue(pixel) - qBlue(wanted)) <= tolerance;
}
bool white(QRgb pixel) { return qRed(pixel) > 248 && qGreen(pixel) > 248 && qBlue(pixel) > 248; }
bool blue(QRgb pixel) { return qBlue(pixel) > qRed(pixel) + 60; }
bool yellow(QRgb pixel) { return qRed(pixel) > 200 && qGreen(pixel) > 130 && qBlue(pixel) < 120; }
bool green(QRgb pixel) { return qGreen(pixel) > qRed(pixel) + 60 && qGreen(pixel) > qBlue(pixel) + 30; }
bool red(QRgb pixel) { return qRed(pixel) > 150 && qGreen(pixel) < 90 && qBlue(pixel) < 90; }
bool orange(QRgb pixel) { return qRed(pixel) > 200 && qGreen(pixel) > 60 && qGreen(pixel) < 150 && qBlue(pixel) < 70; }

// Whether any pixel of `box` (screen coordinates) passes `test`.
bool anyIn(const QImage& shot, const QRect& box, bool (*test)(QRgb))
{
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            if (shot.valid(x, y) && test(shot.pixel(x, y)))
                return true;
    return false;
}

// Screenshots for a person to look at, where VELLOX_SCREENSHOT_DIR names a folder.
void keepScreenshot(const QImage& shot, const QString& name)
{
    const QString folder = qEnvironmentVariable("VELLOX_SCREENSHOT_DIR");
    if (!folder.isEmpty())
        shot.save(folder + "/" + name + ".png");
}

class DesktopAgent : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(display().isRunning());
        ASSERT_TRUE(display().startTrayHost()) << "trayer did not dock";
        ASSERT_TRUE(http.isListening());
        for (const QString& base : {QStringLiteral("/"), QStringLiteral("/env2/"), QStringLiteral("/env3/")})
            http.answer(base + kCheckPath, HttpReply::withStatus(200, R"({"code":200,"data":{"hasNewVersion":false}})",
                                                                 "application/json"));
        useEnvironments(3);
        scanners({QJsonObject{{"productName", "Desktop Scanner"}, {"default", true}}});
        sandbox.setEnv("TWAINDSM_SOURCES", sandbox.root() + "/sources.json");
        // The agent's own waits (the scanner's start, a batch's end, toasts) at a tenth.
        sandbox.setEnv("VELLOX_TEST_TIME_SCALE", QString::number(kTimeScale));
        sandbox.setConfig("outputpath", outputFolder());
        QDir().mkpath(outputFolder());
    }

    void TearDown() override
    {
        if (HasFailure()) {
            std::fprintf(stderr, "agent log:\n%s\n", sandbox.readLog().toUtf8().constData());
            keepScreenshot(display().screenshot(),
                           QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        }
    }

    QString outputFolder() const { return sandbox.root() + "/scans #1"; }

    // Environments "local", "env2", "env3", … on this server's "/", "/env2/", "/env3/", ….
    void useEnvironments(int count)
    {
        QJsonArray domains;
        for (int i = 1; i <= count; ++i) {
            const QString key = i == 1 ? QStringLiteral("local") : QStringLiteral("env%1").arg(i);
            const QString path = i == 1 ? QStringLiteral("/") : QStringLiteral("/env%1/").arg(i);
            domains.append(QJsonObject{{"key", key}, {"name", QStringLiteral("环境%1").arg(i)}, {"url", http.url(path)}});
        }
        sandbox.usePrivateProgramFolder(QJsonObject{{"appname", "vellox"},
                                                    {"current", "local"}, {"domains", domains}});
    }

    void scanners(const QJsonArray& sources)
    {
        QFile file(sandbox.root() + "/sources.json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(QJsonObject{{"sources", sources}}).toJson());
    }

    // Starts the agent and waits for its scanner announcement.
    std::optional<QJsonObject> startAgent(const QStringList& args)
    {
        port = sandbox.startListening(args);
        if (port == 0 || !page.open(port))
            return std::nullopt;
        return page.waitForCmd("can-use", 90000);
    }

    // The agent's mapped windows of this size.
    std::optional<QRect> agentWindow(const QSize& size, int timeoutMs = 30000) const
    {
        std::optional<QRect> found;
        vtest::waitUntil([&] {
            for (quint64 id : display().findWindowsOfClass("^vellox$")) {
                const auto geometry = display().geometry(id);
                if (geometry && geometry->size() == size) {
                    found = geometry;
                    return true;
                }
            }
            return false;
        }, timeoutMs);
        return found;
    }
    std::optional<quint64> agentWindowId(const QSize& size) const
    {
        for (quint64 id : display().findWindowsOfClass("^vellox$")) {
            const auto geometry = display().geometry(id);
            if (geometry && geometry->size() == size)
                return id;
        }
        return std::nullopt;
    }
    bool gone(const QSize& size) const
    {
        return vtest::waitUntil([&] { return !agentWindowId(size); });
    }

    // The agent's tray icon and its menu, picked from by keys.
    vtest::TrayMenu tray {display()};

    int logCount(const QString& text) const { return sandbox.readLog().count(text); }

    HttpTestServer http;
    AgentSandbox sandbox;
    WsClient page;
    quint16 port = 0;
};

const QSize kMainWindow(480, 450);

TEST_F(DesktopAgent, StatusWindowShowsTheScannerPrinterAndFolderAndActsOnItsButtons)
{
    const auto canUse = startAgent({});
    ASSERT_TRUE(canUse);
    ASSERT_TRUE(canUse->value("data").toObject().value("canUse").toBool());
    auto window = agentWindow(kMainWindow);
    ASSERT_TRUE(window) << "the window is 480 × 450";
    QPoint o = window->topLeft();

    // The connected artwork: a white disc with a green mark, centred in y 52–84 of the strip.
    QImage shot;
    ASSERT_TRUE(vtest::waitUntil([&] {
        shot = display().screenshot();
        return anyIn(shot, QRect(o + QPoint(40, 52), QSize(400, 33)), green);
    }));
    int iconLeft = -1;
    for (int x = o.x(); x < o.x() + 480 && iconLeft < 0; ++x)
        if (white(shot.pixel(x, o.y() + 68)))
            iconLeft = x;
    ASSERT_GE(iconLeft, 0);
    int top = -1, bottom = -1;
    for (int y = o.y() + 40; y < o.y() + 100; ++y) {
        if (!blue(shot.pixel(iconLeft + 16, y))) {
            top = top < 0 ? y : top;
            bottom = y;
        }
    }
    EXPECT_GE(top - o.y(), 52);
    EXPECT_LE(bottom - o.y(), 84);
    EXPECT_NEAR((top + bottom) / 2.0 - o.y(), 68, 2);
    // Banner over the top, the white panel from (8, 112), the grey window around it.
    EXPECT_TRUE(blue(shot.pixel(o + QPoint(240, 20))));
    EXPECT_TRUE(blue(shot.pixel(o + QPoint(240, 111))));
    EXPECT_TRUE(blue(shot.pixel(o + QPoint(7, 150))));
    EXPECT_TRUE(white(shot.pixel(o + QPoint(240, 113))));
    EXPECT_TRUE(white(shot.pixel(o + QPoint(9, 150))));
    EXPECT_TRUE(white(shot.pixel(o + QPoint(470, 428))));
    EXPECT_TRUE(near(shot.pixel(o + QPoint(4, 300)), qRgb(0xE9, 0xEC, 0xF0)));
    EXPECT_TRUE(near(shot.pixel(o + QPoint(240, 440)), qRgb(0xE9, 0xEC, 0xF0)));
    EXPECT_TRUE(near(shot.pixel(o + QPoint(474, 300)), qRgb(0xE9, 0xEC, 0xF0)));
    keepScreenshot(shot.copy(QRect(o, kMainWindow)), "status-window");

    // The printer line: CUPS's default printer once the first refresh has answered; a press
    // alone on "刷新" refreshes again.
    ASSERT_TRUE(sandbox.waitForLog("default printer shown: " + kPrinter));
    ASSERT_TRUE(display().mouseDown(o.x() + 448, o.y() + 386));
    EXPECT_TRUE(vtest::waitUntil([&] { return logCount("user click to refresh printer info...") == 2; }));
    EXPECT_TRUE(vtest::waitUntil([&] { return logCount("default printer shown: " + kPrinter) == 2; }));
    display().mouseUp();

    // "更改目录": the folder chooser takes a typed path.
    const QString newFolder = sandbox.root() + "/other scans";
    ASSERT_TRUE(QDir().mkpath(newFolder));
    QFile sized(newFolder + "/page.jpg");
    ASSERT_TRUE(sized.open(QIODevice::WriteOnly));
    sized.write(QByteArray(3 * 1048576, 'x'));
    sized.close();
    const int storageLines = logCount("Strorage image data total size:");
    ASSERT_TRUE(display().mouseDown(o.x() + 425, o.y() + 279));
    display().mouseUp();
    ASSERT_TRUE(display().waitForWindow("选择文件夹"));
    ASSERT_TRUE(display().key({"ctrl+a"}));
    ASSERT_TRUE(display().type(newFolder));
    ASSERT_TRUE(display().key({"Return"}));
    ASSERT_TRUE(vtest::waitUntil([&] { return sandbox.config("outputpath") == newFolder; }));
    EXPECT_TRUE(sandbox.waitForLog("output dir changed to " + newFolder));
    EXPECT_TRUE(vtest::waitUntil([&] { return logCount("Strorage image data total size:") > storageLines; }));
    EXPECT_TRUE(sandbox.waitForLog("Strorage image data total size: 3.00M"));

    // The title bar drags the window.
    ASSERT_TRUE(display().drag(o + QPoint(250, 16), o + QPoint(350, 76)));
    ASSERT_TRUE(vtest::waitUntil([&] {
        window = agentWindow(kMainWindow);
        return window && window->topLeft() == o + QPoint(100, 60);
    })) << window->x() << "," << window->y();
    o = window->topLeft();

    // The close label hides the window and never drags it; the agent serves on.
    ASSERT_TRUE(display().drag(o + QPoint(460, 16), o + QPoint(520, 116)));
    EXPECT_TRUE(gone(kMainWindow));
    EXPECT_TRUE(page.request("login"));
    QProcess* second = sandbox.start();
    ASSERT_TRUE(second->waitForFinished(30000));
    EXPECT_EQ(second->exitCode(), 0);
    window = agentWindow(kMainWindow);
    ASSERT_TRUE(window) << "a second start shows the window again";
    EXPECT_EQ(window->topLeft(), o) << "the close label did not move it";
}

TEST_F(DesktopAgent, WithoutAScannerOrPrinterTheWindowSaysSo)
{
    // Our DSM stands in its built-in scanner for an empty profile: without the DSM there is none.
    ASSERT_TRUE(QFile::remove(sandbox.programFolder() + "/libtwaindsm.so"));
    sandbox.setEnv("CUPS_SERVER", sandbox.root() + "/no-cups.sock");
    const auto canUse = startAgent({});
    ASSERT_TRUE(canUse);
    EXPECT_FALSE(canUse->value("data").toObject().value("canUse").toBool(true));
    const auto window = agentWindow(kMainWindow);
    ASSERT_TRUE(window);
    const QPoint o = window->topLeft();
    QImage shot;
    EXPECT_TRUE(vtest::waitUntil([&] {
        shot = display().screenshot();
        return yellow(shot.pixel(o + QPoint(240, 20))) && anyIn(shot, QRect(o + QPoint(40, 52), QSize(400, 33)), orange);
    }));
    EXPECT_TRUE(anyIn(shot, QRect(o + QPoint(16, 155), QSize(20, 26)), red)) << "the scanner row shows the error mark";
    EXPECT_TRUE(sandbox.waitForLog("default printer shown: 未找到默认打印机"));
}

TEST_F(DesktopAgent, TrayIconShowsTheWindowAndItsMenuRunsItsItems)
{
    sandbox.setConfig("devmode", "1");
    // xdg-open as Qt calls it for a folder: what it is given is recorded.
    const QString openedFile = sandbox.recordStarts("xdg-open");

    EXPECT_TRUE(vtest::waitUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }))
        << "Qt sees the tray host";
    ASSERT_TRUE(startAgent({"--hidden"}));
    const auto icon = tray.icon();
    ASSERT_TRUE(icon) << "the icon docks in the tray host";
    EXPECT_FALSE(agentWindowId(kMainWindow));

    // A left click shows the hidden window.
    ASSERT_TRUE(display().click(icon->center().x(), icon->center().y()));
    const auto window = agentWindow(kMainWindow);
    ASSERT_TRUE(window);
    ASSERT_TRUE(display().click(window->x() + 460, window->y() + 16));
    ASSERT_TRUE(gone(kMainWindow));

    // "检查更新" asks the upgrade API once more and tells its answer in a toast, which goes
    // after its time (the menu is then found again by its new window).
    const QString check = QStringLiteral("/") + kCheckPath;
    ASSERT_TRUE(vtest::waitUntil([&] { return http.requestCount(check) >= 1; }));
    const int checks = http.requestCount(check);
    const int windows = display().findWindowsOfClass("^vellox$").size();
    ASSERT_TRUE(tray.pick({"Down", "Down", "Return"}));
    EXPECT_TRUE(vtest::waitUntil([&] { return http.requestCount(check) == checks + 1; }));
    EXPECT_TRUE(sandbox.waitForLog("Toast: 当前已是最新版本"));
    EXPECT_TRUE(vtest::waitUntil([&] { return display().findWindowsOfClass("^vellox$").size() <= windows; }));

    // "Dump所有属性" writes the scanner's capabilities into the log folder.
    ASSERT_TRUE(tray.pick({"Down", "Down", "Down", "Down", "Return"}));
    const QDir logs(sandbox.dataFolder() + "/log");
    EXPECT_TRUE(vtest::waitUntil([&] { return !logs.entryList({"*_pro.txt"}).isEmpty(); }));

    // The two folders, as file URLs that survive a "#" in a name.
    auto opened = [&] {
        QFile file(openedFile);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)
                                              : QStringList();
    };
    ASSERT_TRUE(tray.pick({"Up", "Up", "Up", "Return"}));
    ASSERT_TRUE(vtest::waitUntil([&] { return opened().size() == 1; }));
    EXPECT_EQ(QDir(QUrl(opened().at(0)).toLocalFile()), QDir(outputFolder())) << qPrintable(opened().at(0));
    ASSERT_TRUE(tray.pick({"Up", "Up", "Return"}));
    ASSERT_TRUE(vtest::waitUntil([&] { return opened().size() == 2; }));
    EXPECT_EQ(QDir(QUrl(opened().at(1)).toLocalFile()), QDir(sandbox.dataFolder() + "/log"));

    // "退出" ends the agent with 0 and takes the icon away.
    ASSERT_TRUE(tray.pick({"Up", "Return"}));
    ASSERT_TRUE(sandbox.agent()->waitForFinished(30000));
    EXPECT_EQ(sandbox.agent()->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sandbox.agent()->exitCode(), 0);
    EXPECT_TRUE(sandbox.readLog().contains("退出, 用户点击托盘退出按钮"));
    EXPECT_TRUE(vtest::waitUntil([&] { return display().findWindowsOfClass("^vellox$").isEmpty(); }));
}

// The list window's rows start below its margin, title bar and padding.
QPoint rowPoint(const QRect& list, int row, int x = 100)
{
    return list.topLeft() + QPoint(x, 6 + 40 + 8 + row * 40 + 20);
}
QRect checkMarkBox(const QRect& list, int row)
{
    return QRect(list.topLeft() + QPoint(6 + 520 - 36, 6 + 40 + 8 + row * 40 + 12), QSize(16, 16));
}
bool tinted(QRgb pixel)
{
    return qRed(pixel) > 240 && qGreen(pixel) < 240 && qGreen(pixel) > 200 && qBlue(pixel) < 240;
}

const QSize kListOfThree(532, 188);
const QSize kConfirm(432, 212);

TEST_F(DesktopAgent, CtrlAltKSwitchesTheEnvironmentOnceConfirmed)
{
    // The first environment offers a new version; the switch drops it with its package.
    const QByteArray package = "#!/bin/sh\nexit 0\n";
    http.serveFile("/pkg/vellox-2.0.sh", package);
    const QString hash = QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex();
    const QJsonObject offer{{"hasNewVersion", true}, {"version", "2.0"}, {"downloadUrl", http.url("/pkg/vellox-2.0.sh")},
                            {"fileHash", hash}};
    http.answer(QStringLiteral("/") + kCheckPath,
                HttpReply::withStatus(200, QJsonDocument(QJsonObject{{"code", 200}, {"data", offer}}).toJson(),
                                      "application/json"));
    const QString fetched = sandbox.dataFolder() + "/temp/package_2.0_" + hash.left(8) + ".sh";
    ASSERT_TRUE(startAgent({"--hidden"}));
    ASSERT_TRUE(sandbox.waitForLog("Current env is : "));
    ASSERT_TRUE(sandbox.waitForLog("Download package completed: " + fetched));

    // The combination works whatever NumLock and CapsLock are.
    for (const QStringList& locks : QList<QStringList>{{}, {"Num_Lock"}, {"Caps_Lock"}, {"Num_Lock", "Caps_Lock"}}) {
        if (!locks.isEmpty())
            ASSERT_TRUE(display().key(locks));
        ASSERT_TRUE(display().key({"ctrl+alt+k"}));
        const auto list = agentWindow(kListOfThree);
        ASSERT_TRUE(list) << qPrintable(locks.join('+'));
        ASSERT_TRUE(display().click(list->x() + 532 - 6 - 16 - 8, list->y() + 6 + 20)) << "the close button";
        ASSERT_TRUE(gone(kListOfThree));
        if (!locks.isEmpty())
            ASSERT_TRUE(display().key(locks));
    }

    ASSERT_TRUE(display().key({"ctrl+alt+k"}));
    auto list = agentWindow(kListOfThree);
    ASSERT_TRUE(list);
    // The current environment carries the red check; a hovered row is tinted.
    ASSERT_TRUE(display().moveMouse(rowPoint(*list, 2).x(), rowPoint(*list, 2).y()));
    QImage shot;
    ASSERT_TRUE(vtest::waitUntil([&] {
        shot = display().screenshot();
        return tinted(shot.pixel(rowPoint(*list, 2, 12) - QPoint(0, 14)));
    }));
    EXPECT_TRUE(anyIn(shot, checkMarkBox(*list, 0), red));
    EXPECT_FALSE(anyIn(shot, checkMarkBox(*list, 1), red));
    EXPECT_TRUE(white(shot.pixel(rowPoint(*list, 1, 12) - QPoint(0, 14))));
    keepScreenshot(shot.copy(*list), "env-list");

    // A row asks first; cancelling keeps the list and the environment.
    ASSERT_TRUE(display().click(rowPoint(*list, 1).x(), rowPoint(*list, 1).y()));
    auto confirm = agentWindow(kConfirm);
    ASSERT_TRUE(confirm) << "the confirmation is 432 × 212";
    keepScreenshot(display().screenshot().copy(*confirm), "env-confirm");
    ASSERT_TRUE(display().click(confirm->x() + 266, confirm->y() + 165));
    ASSERT_TRUE(gone(kConfirm));
    EXPECT_TRUE(agentWindowId(kListOfThree));
    EXPECT_TRUE(sandbox.config("userenv").isEmpty());

    // Confirmed, both close and the choice is stored and used.
    ASSERT_TRUE(display().click(rowPoint(*list, 1).x(), rowPoint(*list, 1).y()));
    confirm = agentWindow(kConfirm);
    ASSERT_TRUE(confirm);
    ASSERT_TRUE(display().click(confirm->x() + 350, confirm->y() + 165));
    EXPECT_TRUE(gone(kConfirm));
    EXPECT_TRUE(gone(kListOfThree));
    EXPECT_TRUE(vtest::waitUntil([&] { return sandbox.config("userenv") == "env2"; }));
    EXPECT_TRUE(sandbox.waitForLog("Offer of version 2.0 dropped with its environment"));
    EXPECT_FALSE(QFile::exists(fetched));
    ASSERT_TRUE(tray.pick({"Down", "Down", "Return"}));
    EXPECT_TRUE(vtest::waitUntil([&] { return http.requestCount(QStringLiteral("/env2/") + kCheckPath) == 1; }));

    // Next time the mark follows the switch, and another row asks again.
    ASSERT_TRUE(display().key({"ctrl+alt+k"}));
    list = agentWindow(kListOfThree);
    ASSERT_TRUE(list);
    ASSERT_TRUE(vtest::waitUntil([&] {
        shot = display().screenshot();
        return anyIn(shot, checkMarkBox(*list, 1), red) && !anyIn(shot, checkMarkBox(*list, 0), red);
    }));
    ASSERT_TRUE(display().click(rowPoint(*list, 2).x(), rowPoint(*list, 2).y()));
    confirm = agentWindow(kConfirm);
    ASSERT_TRUE(confirm);
    ASSERT_TRUE(display().click(confirm->x() + 350, confirm->y() + 165));
    EXPECT_TRUE(vtest::waitUntil([&] { return sandbox.config("userenv") == "env3"; }));
    EXPECT_TRUE(sandbox.waitForLog("switch to env: env3"));
}

TEST_F(DesktopAgent, TwelveEnvironmentsShowTenRowsAndAScrollBar)
{
    useEnvironments(12);
    ASSERT_TRUE(startAgent({"--hidden"}));
    ASSERT_TRUE(sandbox.waitForLog("Current env is : "));
    ASSERT_TRUE(display().key({"ctrl+alt+k"}));
    const auto list = agentWindow(QSize(532, 468));
    ASSERT_TRUE(list) << "ten rows of 40 and the frame";
    const QImage shot = display().screenshot();
    // The scroll bar runs down the right of the rows; rows are white there otherwise.
    EXPECT_TRUE(anyIn(shot, QRect(list->topLeft() + QPoint(6 + 520 - 14, 6 + 40 + 8 + 100), QSize(12, 1)),
                      [](QRgb p) { return !white(p); }));

    // The list, left open behind the status window the tray icon brings, holds up nothing there.
    const auto icon = tray.icon();
    ASSERT_TRUE(icon);
    ASSERT_TRUE(display().click(icon->center().x(), icon->center().y()));
    const auto window = agentWindow(kMainWindow);
    ASSERT_TRUE(window);
    const int refreshes = logCount("user click to refresh printer info...");
    ASSERT_TRUE(display().mouseDown(window->x() + 448, window->y() + 386)); // "刷新"
    EXPECT_TRUE(vtest::waitUntil([&] { return logCount("user click to refresh printer info...") == refreshes + 1; }));
    display().mouseUp();
    EXPECT_TRUE(agentWindowId(QSize(532, 468)));
}

TEST_F(DesktopAgent, AHotKeyHeldByAnotherProgramLeavesTheAgentRunning)
{
    GlobalShortcut first(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_K));
    ASSERT_TRUE(first.isRegistered());
    QSignalSpy activated(&first, &GlobalShortcut::activated);
    ASSERT_TRUE(startAgent({"--hidden"}));
    EXPECT_TRUE(sandbox.waitForLog("The environment switch shortcut Ctrl+Alt+K is not available"));
    EXPECT_TRUE(page.request("login"));
    ASSERT_TRUE(display().key({"ctrl+alt+k"}));
    EXPECT_TRUE(vtest::waitUntil([&] { return activated.count() == 1; }));
    EXPECT_FALSE(agentWindowId(kListOfThree));
}

// A desktop without a notification area: the hidden agent shows its window once, so it can be
// reached, and closing that window quits it.
TEST_F(DesktopAgent, WithoutATrayTheWindowComesOnceAndClosingItQuits)
{
    display().stopTrayHost();
    ASSERT_TRUE(vtest::waitUntil([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }));
    ASSERT_TRUE(startAgent({"--hidden"}));
    EXPECT_TRUE(sandbox.waitForLog("This desktop has no notification area for the tray icon"));
    const auto window = agentWindow(kMainWindow);
    ASSERT_TRUE(window) << "the hidden agent's window comes";
    ASSERT_TRUE(display().click(window->x() + 460, window->y() + 16)); // the close label
    ASSERT_TRUE(sandbox.agent()->waitForFinished(30000));
    EXPECT_EQ(sandbox.agent()->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sandbox.agent()->exitCode(), 0);
    EXPECT_TRUE(sandbox.readLog().contains("Main window closed on a desktop without a notification area: the agent quits"));
}

// Turning the driver's panel on while a batch waits for its first page closes the scanner for
// the new setting: that batch ends as a stopped one would, and the page hears of it.
TEST_F(DesktopAgent, ShowingTheDriverPanelDuringABatchEndsThatBatch)
{
    scanners({QJsonObject{{"productName", "Desktop Scanner"}, {"default", true}, {"pages", 2}, {"pageDelayMs", 120000}}});
    ASSERT_TRUE(startAgent({}));
    const auto window = agentWindow(kMainWindow);
    ASSERT_TRUE(window);
    const auto started = page.request("start-scan", QJsonObject{{"batchno", "B-panel"}, {"uploadUrl", http.url("/upload")},
                                                                {"unionKey", "U-panel"}, {"paperVersion", 2}});
    ASSERT_TRUE(started);
    ASSERT_EQ(started->value("ret").toInt(), 200);

    // The box "显示扫描仪驱动面板" ends the scanner section's title row, 16 px from the panel's edge.
    ASSERT_TRUE(display().click(window->x() + 8 + 464 - 16 - 132 + 8, window->y() + 112 + 15 + 10));
    ASSERT_TRUE(vtest::waitUntil([&] { return sandbox.config("showscannerui") == "1"; }));
    const auto end = page.waitForCmd("scan-end", 30000);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("ret").toInt(), 200);
    const auto uploaded = page.waitForCmd("uploaded-end", 30000);
    ASSERT_TRUE(uploaded);
    EXPECT_EQ(uploaded->value("data").toObject().value("batchNo").toString(), "B-panel");
    EXPECT_EQ(uploaded->value("data").toObject().value("imageCount").toInt(), 0);
    EXPECT_FALSE(page.waitForCmd("scan-end", kBatchEndMs + 1500)) << "a second scan-end";
}

} // namespace
