// The Windows installer under Wine: a silent install per machine and per user, what it leaves
// (program folder, autostart, Start menu, uninstall entry), the agent it starts, a silent upgrade
// over that running agent, and an uninstall that leaves only the user's data.

#include "agentsandbox.h"
#include "wait.h"
#include "winesession.h"
#include "wsclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>

using namespace vtest;

namespace {

const QString kRunKey = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString kUninstallKey = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vellox");

QString installerPath()
{
    const QStringList found = QDir(WineSession::windowsBuildFolder())
                                  .entryList({QStringLiteral("vellox-setup-*.exe")}, QDir::Files);
    return found.isEmpty() ? QString() : WineSession::windowsBuildFolder() + '/' + found.first();
}

bool listening(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

bool agentAnswers(quint16 port)
{
    WsClient page;
    if (!waitUntil([&] { return listening(port); }, 60000) || !page.open(port))
        return false;
    const auto reply = page.request(QStringLiteral("login"));
    return reply && reply->value(QStringLiteral("ret")).toInt() == 200;
}

// Each case installs into a Windows of its own (a fresh Wine folder: a few seconds).
class WindowsInstaller : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(WineSession::windowsBuildFolder().isEmpty()) << "VELLOX_WIN32_BUILD_DIR names no Windows build";
        ASSERT_FALSE(installerPath().isEmpty()) << "no vellox-setup-*.exe in the Windows build";
        ASSERT_TRUE(wine->isRunning());
        sandbox.useWine(wine.get());
        port = AgentSandbox::freePort();
        sandbox.setConfig(QStringLiteral("listenport"), QString::number(port));
    }

    // The agent's log lines of its starts.
    int agentStarts() const { return sandbox.readLog().count(QStringLiteral("Main window is constructing")); }

    // Runs the uninstaller the uninstall entry names, silently, and waits until it has removed
    // its own registry key, its last step (it works on from a copy of itself after it returned).
    void uninstall(const QString& root, const QString& folder)
    {
        const QString quiet = wine->registryValue(root + '\\' + kUninstallKey, QStringLiteral("QuietUninstallString"));
        ASSERT_TRUE(quiet.startsWith('"')) << qPrintable(quiet);
        const QString program = quiet.section('"', 1, 1);
        const QStringList args = quiet.section('"', 2).split(' ', Qt::SkipEmptyParts);
        ASSERT_EQ(wine->run(program, args), 0);
        ASSERT_TRUE(waitUntil([&] {
            return wine->registryValue(root + "\\Software\\Kelmora\\Vellox", "InstallDir").isEmpty();
        }, 60000));
        EXPECT_FALSE(QFileInfo::exists(folder)) << qPrintable(folder);
    }

    // Ended after the sandbox's programs, before the next case.
    std::unique_ptr<WineSession> wine = std::make_unique<WineSession>();
    AgentSandbox sandbox;
    quint16 port = 0;
};

TEST_F(WindowsInstaller, PerMachineInstallStartsTheAgentUpgradesItRunningAndUninstallsToTheUserData)
{
    ASSERT_EQ(wine->run(installerPath(), {QStringLiteral("/S")}), 0);

    const QString folder = wine->linuxPath(QStringLiteral("C:\\Program Files\\Vellox"));
    for (const char* name : {"vellox.exe", "vellox-browser.exe", "app.dat", "white-page.png", "uninstall.exe",
                             "devmode/canon-UFR"})
        EXPECT_TRUE(QFileInfo::exists(folder + '/' + name)) << name;
    // Our TWAINDSM.dll must never hide the system's.
    EXPECT_FALSE(QFileInfo::exists(folder + "/TWAINDSM.dll"));
    EXPECT_EQ(wine->registryValue("HKLM\\" + kRunKey, "vellox"),
              "\"C:\\Program Files\\Vellox\\vellox.exe\" --hidden");
    EXPECT_TRUE(wine->registryValue("HKCU\\" + kRunKey, "vellox").isEmpty());
    const QString menu = wine->linuxPath(QStringLiteral("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Vellox"));
    EXPECT_TRUE(QFileInfo::exists(menu + "/Vellox.lnk"));
    EXPECT_TRUE(QFileInfo::exists(menu + QString::fromUtf8("/Vellox 浏览器.lnk")));
    EXPECT_FALSE(wine->registryValue("HKLM\\" + kUninstallKey, "DisplayVersion").isEmpty());

    // The installer started the agent, hidden, as every login will.
    ASSERT_TRUE(agentAnswers(port));
    EXPECT_EQ(agentStarts(), 1);

    // The agent's self-upgrade runs the installer silently while the agent runs: the agent is
    // ended, replaced and started again.
    ASSERT_EQ(wine->run(installerPath(), {QStringLiteral("/S")}), 0);
    EXPECT_TRUE(waitUntil([&] { return agentStarts() == 2; }, 60000)) << agentStarts();
    EXPECT_TRUE(agentAnswers(port));

    uninstall(QStringLiteral("HKLM"), folder);
    EXPECT_FALSE(QFileInfo::exists(menu));
    EXPECT_TRUE(wine->registryValue("HKLM\\" + kRunKey, "vellox").isEmpty());
    EXPECT_TRUE(wine->registryValue("HKLM\\" + kUninstallKey, "DisplayName").isEmpty());
    EXPECT_TRUE(waitUntil([&] { return !listening(port); }, 30000)) << "the agent still runs";
    // The user's data stays.
    EXPECT_TRUE(QFileInfo::exists(sandbox.dataFolder() + "/cfg.dat"));
    EXPECT_TRUE(QFileInfo::exists(sandbox.logFile()));
}

TEST_F(WindowsInstaller, PerUserInstallGoesToTheUsersProgramsAndAutostartsForThatUserOnly)
{
    ASSERT_EQ(wine->run(installerPath(), {QStringLiteral("/S"), QStringLiteral("/CurrentUser")}), 0);

    const QString folder = wine->linuxPath(wine->registryValue("HKCU\\Software\\Kelmora\\Vellox", "InstallDir"));
    EXPECT_TRUE(folder.endsWith("/AppData/Local/Programs/Vellox")) << qPrintable(folder);
    EXPECT_TRUE(QFileInfo::exists(folder + "/vellox.exe"));
    EXPECT_TRUE(wine->registryValue("HKCU\\" + kRunKey, "vellox").endsWith("\\vellox.exe\" --hidden"));
    EXPECT_TRUE(wine->registryValue("HKLM\\" + kRunKey, "vellox").isEmpty());
    ASSERT_TRUE(agentAnswers(port));

    uninstall(QStringLiteral("HKCU"), folder);
    EXPECT_TRUE(wine->registryValue("HKCU\\" + kRunKey, "vellox").isEmpty());
    EXPECT_TRUE(waitUntil([&] { return !listening(port); }, 30000)) << "the agent still runs";
    EXPECT_TRUE(QFileInfo::exists(sandbox.dataFolder() + "/cfg.dat"));
}

} // namespace
