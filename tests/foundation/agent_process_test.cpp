#include "agentsandbox.h"
#include "wait.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

using vtest::AgentSandbox;
using vtest::waitUntil;

// The single-instance listener's socket appears once the agent owns the name.
bool waitForInstanceSocket(const AgentSandbox& sandbox)
{
    return waitUntil([&] { return QFile::exists(sandbox.runtimeFolder() + "/kelmora-vellox"); });
}

void quitGracefully(QProcess* agent)
{
    agent->terminate();
    ASSERT_TRUE(agent->waitForFinished(30000));
    EXPECT_EQ(agent->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent->exitCode(), 0);
}

TEST(AgentProcess, CreatesItsFoldersAndLogsItsStart)
{
    AgentSandbox sandbox;
    QProcess* agent = sandbox.start({"--hidden"});
    ASSERT_TRUE(waitForInstanceSocket(sandbox));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(sandbox.logFile()); }));
    for (const char* sub : {"log", "temp", "download", "log/dump"})
        EXPECT_TRUE(QDir(sandbox.dataFolder() + '/' + sub).exists()) << sub;

    quitGracefully(agent);
    const QString log = sandbox.readLog();
    EXPECT_TRUE(log.contains("[info][thread:")) << log.toStdString();
    EXPECT_TRUE(log.contains(":Main window is constructing ....."));
    EXPECT_TRUE(log.contains(":Current env is : "));
}

TEST(AgentProcess, SecondStartExitsZeroAndTheFirstKeepsRunning)
{
    AgentSandbox sandbox;
    QProcess* first = sandbox.start({"--hidden"});
    ASSERT_TRUE(waitForInstanceSocket(sandbox));

    QProcess* second = sandbox.start();
    ASSERT_TRUE(second->waitForFinished(30000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(first->state(), QProcess::Running);
    quitGracefully(first);
}

TEST(AgentProcess, ExitsWithOneWhenTheInstanceListenerCannotOpen)
{
    AgentSandbox sandbox;
    // A folder where the listener's socket should be: nothing answers there and nothing can bind.
    QDir().mkpath(sandbox.runtimeFolder() + "/kelmora-vellox");
    QProcess* agent = sandbox.start({"--hidden"});
    ASSERT_TRUE(agent->waitForFinished(30000));
    EXPECT_EQ(agent->exitCode(), 1);
}

} // namespace
