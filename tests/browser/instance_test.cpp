#include "instancelock.h"
#include "singleinstance.h"
#include "windowcontrolserver.h"

#include "processinfo.h"
#include "wait.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <future>

namespace {

using vtest::waitUntil;

// claimInstance blocks, and the holder it talks to needs this thread's event loop.
InstanceRole claimOnAnotherThread(InstanceLock& lock, int waitMs, const QString& server)
{
    std::future<InstanceRole> claim = std::async(std::launch::async, [&] { return claimInstance(lock, waitMs, server); });
    waitUntil([&] { return claim.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, waitMs + 30000);
    return claim.get();
}

QString uniqueName(const char* what)
{
    static int counter = 0;
    return QStringLiteral("vellox-test-%1-%2-%3").arg(QLatin1String(what)).arg(QCoreApplication::applicationPid()).arg(++counter);
}

TEST(InstanceLock, OneHolderAtATimeAndNoneAfterRelease)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/VelloxBrowserMutex.lock";
    InstanceLock first(path);
    InstanceLock second(path);
    ASSERT_TRUE(first.tryAcquire());
    EXPECT_FALSE(second.tryAcquire());
    first.release();
    EXPECT_TRUE(second.tryAcquire());
    {
        InstanceLock third(path);
        EXPECT_FALSE(third.tryAcquire());
    }
    second.release();
    EXPECT_TRUE(QFile::exists(path)); // the file stays; only the lock goes
    EXPECT_EQ(InstanceLock::defaultPath(), qEnvironmentVariable("XDG_RUNTIME_DIR") + "/VelloxBrowserMutex.lock");
}

TEST(InstanceLock, IsNotHandedToProgramsTheHolderStarts)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/VelloxBrowserMutex.lock";
    InstanceLock lock(path);
    ASSERT_TRUE(lock.tryAcquire());
    // QProcess passes on every descriptor that is not close-on-exec.
    QProcess child;
    child.start("sleep", {"600"});
    ASSERT_TRUE(child.waitForStarted());
    for (const auto& descriptor : vtest::processinfo::descriptors(child.processId()))
        EXPECT_NE(descriptor.second, path) << "descriptor " << descriptor.first;
    child.kill();
    child.waitForFinished();
}

TEST(SingleInstance, TakesAFreeLockAndOtherwiseBringsTheHolderForward)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/VelloxBrowserMutex.lock";
    const QString serverName = uniqueName("window");

    InstanceLock mine(path);
    EXPECT_EQ(claimOnAnotherThread(mine, 1000, serverName), InstanceRole::Primary);

    WindowControlServer holder;
    ASSERT_TRUE(holder.listen(serverName));
    InstanceLock second(path);
    EXPECT_EQ(claimOnAnotherThread(second, 10000, serverName), InstanceRole::OtherActivated);
    EXPECT_FALSE(second.isHeld());

    // A holder that no longer answers (it is closing) and does not let go: give up.
    holder.stopListening();
    EXPECT_EQ(claimOnAnotherThread(second, 300, serverName), InstanceRole::GaveUp);
    EXPECT_FALSE(second.isHeld());
}

TEST(SingleInstance, WaitsForAClosingHolderToLetGo)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/VelloxBrowserMutex.lock";
    const QString serverName = uniqueName("closing");
    auto holderLock = std::make_unique<InstanceLock>(path);
    ASSERT_TRUE(holderLock->tryAcquire());

    // The holder hangs up without an answer, as one in its close sequence would, and then ends.
    QLocalServer closingHolder;
    ASSERT_TRUE(closingHolder.listen(serverName));
    QObject::connect(&closingHolder, &QLocalServer::newConnection, [&] {
        while (QLocalSocket* socket = closingHolder.nextPendingConnection()) {
            socket->abort();
            socket->deleteLater();
        }
        closingHolder.close();
        holderLock.reset();
    });

    InstanceLock next(path);
    EXPECT_EQ(claimOnAnotherThread(next, 10000, serverName), InstanceRole::Primary);
    EXPECT_TRUE(next.isHeld());
}

} // namespace
