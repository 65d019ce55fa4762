#include "agentprocess.h"
#include "instancelock.h"
#include "windowcontrolserver.h"

#include "processinfo.h"
#include "wait.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QMap>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using vtest::waitUntil;
namespace processinfo = vtest::processinfo;

// An install folder whose `vellox` is the stand-in, which reports what it was given.
class StandInFolder {
public:
    explicit StandInFolder(const char* mode)
    {
        folder = dir.path() + "/program/";
        QDir().mkpath(folder);
        QFile::copy(QStringLiteral(AGENT_STANDIN), folder + "vellox");
        qputenv("VELLOX_STANDIN_MODE", mode);
        qputenv("VELLOX_STANDIN_REPORT", QFile::encodeName(reportPath()));
    }
    ~StandInFolder()
    {
        qunsetenv("VELLOX_STANDIN_MODE");
        qunsetenv("VELLOX_STANDIN_REPORT");
    }

    QString path() const { return folder; }
    QString reportPath() const { return dir.path() + "/report"; }

    // The report's lines "key value"; keys that repeat (arg) keep every value in order.
    QMultiMap<QString, QString> waitForReport() const
    {
        waitUntil([&] { return QFile::exists(reportPath()); });
        QMultiMap<QString, QString> report;
        QFile file(reportPath());
        if (!file.open(QIODevice::ReadOnly))
            return report;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const int blank = line.indexOf(' ');
            if (blank > 0)
                report.insert(QString::fromUtf8(line.left(blank)), QString::fromUtf8(line.mid(blank + 1)));
        }
        return report;
    }

private:
    QTemporaryDir dir;
    QString folder;
};

TEST(AgentProcessLaunch, ReportsAProgramThatCannotStart)
{
    QTemporaryDir empty;
    AgentProcess agent;
    EXPECT_FALSE(agent.launch(empty.path() + '/'));
    EXPECT_FALSE(agent.isStarted());
    EXPECT_TRUE(agent.errorString().contains(empty.path() + "/vellox")) << qPrintable(agent.errorString());
    EXPECT_TRUE(agent.errorString().contains(QString::fromLocal8Bit(strerror(ENOENT))));
    // The child that failed to become the agent is collected, not left behind.
    EXPECT_LE(waitpid(-1, nullptr, WNOHANG), 0);

    StandInFolder standIn("wait");
    QFile::setPermissions(standIn.path() + "vellox", QFileDevice::ReadOwner);
    EXPECT_FALSE(agent.launch(standIn.path()));
    EXPECT_TRUE(agent.errorString().contains(QString::fromLocal8Bit(strerror(EACCES))));
}

TEST(AgentProcessLaunch, StartsHiddenInTheInstallFolderWithNothingOfTheShell)
{
    StandInFolder standIn("wait");
    // What a shell has open when it starts the agent: the instance lock, the window socket, and
    // a descriptor some library left inheritable. Signals it blocks or ignores.
    InstanceLock lock(standIn.path() + "test.lock");
    ASSERT_TRUE(lock.tryAcquire());
    WindowControlServer windowServer;
    ASSERT_TRUE(windowServer.listen(QStringLiteral("vellox-test-window-%1").arg(QCoreApplication::applicationPid())));
    const int inheritable = open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 0);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &usr1, &previousMask);
    struct sigaction ignore {}, previousPipe {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previousPipe);

    AgentProcess agent;
    const bool launched = agent.launch(standIn.path());

    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    sigaction(SIGPIPE, &previousPipe, nullptr);
    close(inheritable);
    ASSERT_TRUE(launched) << qPrintable(agent.errorString());

    const QMultiMap<QString, QString> report = standIn.waitForReport();
    EXPECT_EQ(report.value("pid").toLongLong(), agent.processId());
    const QStringList arguments = report.values("arg");
    EXPECT_EQ(QStringList(arguments.rbegin(), arguments.rend()), QStringList({standIn.path() + "vellox", "--hidden"}));
    EXPECT_EQ(QDir(report.value("cwd")), QDir(standIn.path()));
    EXPECT_EQ(report.value("fds"), "0,1,2");
    EXPECT_EQ(report.value("blocked"), "0000000000000000");
    EXPECT_EQ(report.value("ignored"), "0000000000000000");
    EXPECT_EQ(processinfo::childrenNamed(QCoreApplication::applicationPid(), "vellox"),
              QList<qint64>({agent.processId()}));

    agent.terminate();
    EXPECT_FALSE(agent.isStarted());
    EXPECT_FALSE(processinfo::isAlive(report.value("pid").toLongLong()));
}

TEST(AgentProcessLaunch, EndsAnAgentThatIgnoresTheRequestToQuit)
{
    StandInFolder standIn("ignore-term");
    AgentProcess agent;
    ASSERT_TRUE(agent.launch(standIn.path()));
    const qint64 pid = standIn.waitForReport().value("pid").toLongLong(); // SIGTERM is ignored by now
    ASSERT_EQ(pid, agent.processId());
    agent.terminate(); // asks, waits its grace time, then kills
    EXPECT_FALSE(processinfo::isAlive(pid));
    EXPECT_FALSE(QFile::exists(QStringLiteral("/proc/%1").arg(pid))); // collected
}

TEST(AgentProcessLaunch, TellsOnceWhenTheAgentEndsAndNotWhenItIsEnded)
{
    {
        StandInFolder standIn("exit");
        AgentProcess agent;
        QSignalSpy ended(&agent, &AgentProcess::ended);
        ASSERT_TRUE(agent.launch(standIn.path()));
        agent.startWatcher();
        ASSERT_TRUE(waitUntil([&] { return ended.count() > 0; }));
        agent.terminate(); // collects it; the watcher has nothing more to say
        QCoreApplication::processEvents();
        EXPECT_EQ(ended.count(), 1);
    }
    {
        StandInFolder standIn("wait");
        AgentProcess agent;
        QSignalSpy ended(&agent, &AgentProcess::ended);
        ASSERT_TRUE(agent.launch(standIn.path()));
        agent.startWatcher();
        standIn.waitForReport();
        agent.terminate();
        QCoreApplication::processEvents();
        EXPECT_EQ(ended.count(), 0);
    }
}

TEST(AgentProcessLaunch, DiesWithTheProcessThatStartedIt)
{
    StandInFolder standIn("ignore-term");
    QProcess launcher;
    launcher.start(QStringLiteral(AGENT_LAUNCHER), {standIn.path()});
    ASSERT_TRUE(launcher.waitForStarted());
    ASSERT_TRUE(waitUntil([&] { return launcher.canReadLine() || launcher.state() == QProcess::NotRunning; }));
    const qint64 agentPid = launcher.readLine().trimmed().toLongLong();
    ASSERT_GT(agentPid, 0) << launcher.readAllStandardError().toStdString();
    ASSERT_EQ(standIn.waitForReport().value("pid").toLongLong(), agentPid);

    kill(pid_t(launcher.processId()), SIGKILL); // no chance to terminate anything in order
    launcher.waitForFinished();
    EXPECT_TRUE(waitUntil([&] { return !processinfo::isAlive(agentPid); }));
}

TEST(AgentProcessLaunch, FindsAnAgentThatRunsOnItsOwn)
{
    EXPECT_FALSE(AgentProcess::isAgentRunning());
    QLocalServer agentInstance;
    ASSERT_TRUE(agentInstance.listen(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/kelmora-vellox"));
    EXPECT_TRUE(AgentProcess::isAgentRunning());
}

} // namespace
