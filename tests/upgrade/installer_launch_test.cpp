// The installer launch seam against real processes: the installer runs in a session of its
// own, holds nothing of its starter but /dev/null on 0-2, a start that fails is known, and so
// is how the installer ended.
#include "upgrade/installerlauncher.h"

#include "installerscript.h"
#include "wait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using upgradetest::InstallerRecord;
using upgradetest::InstallerScript;
using KELUpgradePackage::Kind;

class InstallerLaunch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder.isValid()); }

    std::optional<InstallerRecord> waitForRecord(const InstallerScript& script)
    {
        InstallerRecord record;
        if (!vtest::waitUntil([&] { return (record = script.read()).complete; }, 30000))
            return std::nullopt;
        return record;
    }

    QTemporaryDir folder;
};

// Descriptors a careless launcher hands on: a file and a listening socket, neither close-on-exec.
struct InheritableDescriptors {
    int file = -1;
    int socket = -1;
    explicit InheritableDescriptors(const QString& path)
    {
        file = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT, 0600);
        socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(socket, 1);
    }
    ~InheritableDescriptors()
    {
        ::close(file);
        ::close(socket);
    }
};

TEST_F(InstallerLaunch, ShellScriptRunsInItsOwnSessionWithNothingInherited)
{
    InstallerScript script(folder.path());
    ASSERT_TRUE(script.write());
    InheritableDescriptors held(folder.filePath("log.txt"));
    ASSERT_GE(held.file, 0);
    ASSERT_GE(held.socket, 0);

    InstallerLauncher::Launched launched = InstallerLauncher::launch(Kind::ShellScript, script.path().toStdString());
    ASSERT_EQ(launched.error, 0);
    ASSERT_TRUE(launched.watch);
    const auto record = waitForRecord(script);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->args, QStringList{}) << "the package path is the script, not an argument";
    EXPECT_NE(record->sid, 0);
    EXPECT_NE(record->sid, qint64(::getsid(0)));
    EXPECT_NE(record->sid, record->pid) << "not a session leader: it can take no terminal";
    EXPECT_NE(record->ppid, qint64(::getpid()));
    const QMap<int, QString> fds = record->heldBesides(script.path());
    EXPECT_EQ(fds.keys(), (QList<int>{0, 1, 2})) << QStringList(fds.values()).join(", ").toStdString();
    for (const QString& target : fds)
        EXPECT_EQ(target, "/dev/null");

    EXPECT_FALSE(launched.watch->exitStatus()) << "it still runs";
    ASSERT_TRUE(script.release());
    EXPECT_TRUE(vtest::waitUntil([&] { return script.read().survived; }));
    std::optional<int> status;
    EXPECT_TRUE(vtest::waitUntil([&] { return (status = launched.watch->exitStatus()).has_value(); }));
    EXPECT_EQ(status, 0);
}

TEST_F(InstallerLaunch, AFailingInstallerIsKnownByItsStatusAndAnUnwatchedOneRunsOn)
{
    const QString failing = folder.filePath("failing.sh");
    QFile file(failing);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexit 3\n");
    file.close();
    InstallerLauncher::Launched launched = InstallerLauncher::launch(Kind::ShellScript, failing.toStdString());
    ASSERT_EQ(launched.error, 0);
    std::optional<int> status;
    EXPECT_TRUE(vtest::waitUntil([&] { return (status = launched.watch->exitStatus()).has_value(); }));
    EXPECT_EQ(status, 3);
    EXPECT_EQ(launched.watch->exitStatus(), 3) << "asked again, the same answer";

    // Forgetting a watch leaves the installer running.
    InstallerScript script(folder.path());
    ASSERT_TRUE(script.write());
    launched = InstallerLauncher::launch(Kind::ShellScript, script.path().toStdString());
    ASSERT_EQ(launched.error, 0);
    launched.watch.reset();
    ASSERT_TRUE(waitForRecord(script));
    ASSERT_TRUE(script.release());
    EXPECT_TRUE(vtest::waitUntil([&] { return script.read().survived; }));
}

TEST_F(InstallerLaunch, PackagesOfEachKindGetTheirCommand)
{
    // A Debian package goes to PackageKit, found in PATH, which asks for an administrator; with
    // no PackageKit there the user cannot install it.
    const QString bin = folder.filePath("bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    const QString deb = folder.filePath("package_2.0.deb");
    ASSERT_TRUE(QFile(deb).open(QIODevice::WriteOnly));
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin));
    EXPECT_NE(InstallerLauncher::administratorNeeded(Kind::DebianPackage, folder.path().toStdString()), "");
    InstallerScript pkcon(folder.path(), "pkcon.sh");
    ASSERT_TRUE(pkcon.write(true, bin + "/pkcon"));
    EXPECT_EQ(InstallerLauncher::administratorNeeded(Kind::DebianPackage, folder.path().toStdString()), "");
    qputenv("PATH", QFile::encodeName(bin) + ":" + savedPath); // the stand-in's own tools
    const InstallerLauncher::Launched started = InstallerLauncher::launch(Kind::DebianPackage, deb.toStdString());
    qputenv("PATH", savedPath);
    ASSERT_EQ(started.error, 0);
    const auto installing = waitForRecord(pkcon);
    ASSERT_TRUE(installing);
    EXPECT_EQ(installing->args, QStringList({"--noninteractive", "--plain", "--allow-untrusted", "install-local", deb}));
    ASSERT_TRUE(pkcon.release());
    EXPECT_TRUE(vtest::waitUntil([&] { return pkcon.read().survived; }));
    // A script writes the program folder itself.
    EXPECT_EQ(InstallerLauncher::administratorNeeded(Kind::ShellScript, folder.path().toStdString()), "");
    EXPECT_NE(InstallerLauncher::administratorNeeded(Kind::ShellScript, folder.filePath("missing").toStdString()), "");

    // An AppImage is made executable and runs itself.
    QTemporaryDir other;
    InstallerScript image(other.path(), "package_2.0.AppImage");
    ASSERT_TRUE(image.write(false));
    ASSERT_FALSE(QFileInfo(image.path()).isExecutable());
    ASSERT_EQ(InstallerLauncher::launch(Kind::AppImage, image.path().toStdString()).error, 0);
    EXPECT_TRUE(QFileInfo(image.path()).isExecutable());
    EXPECT_TRUE(waitForRecord(image));
    ASSERT_TRUE(image.release());

    EXPECT_FALSE(InstallerLauncher::supports(Kind::WindowsInstaller));
    EXPECT_FALSE(InstallerLauncher::supports(Kind::Unknown));
    EXPECT_NE(InstallerLauncher::launch(Kind::WindowsInstaller, deb.toStdString()).error, 0);
}

TEST_F(InstallerLaunch, AFailedStartIsReportedWithItsError)
{
    EXPECT_EQ(InstallerLauncher::startDetached({folder.filePath("missing").toStdString()}).error, ENOENT);
    EXPECT_EQ(InstallerLauncher::startDetached({"vellox-no-such-program"}).error, ENOENT);
    EXPECT_EQ(InstallerLauncher::startDetached({}).error, EINVAL);

    InstallerScript script(folder.path());
    ASSERT_TRUE(script.write(false));
    EXPECT_EQ(InstallerLauncher::startDetached({script.path().toStdString()}).error, EACCES);
    // Found by the kernel but not runnable: exec's own error comes back from the new session.
    const QString garbage = folder.filePath("garbage");
    QFile file(garbage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(64, '\x7f'));
    file.close();
    ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const InstallerLauncher::Launched garbageStart = InstallerLauncher::startDetached({garbage.toStdString()});
    EXPECT_EQ(garbageStart.error, ENOEXEC);
    EXPECT_FALSE(garbageStart.watch);
    EXPECT_FALSE(InstallerLauncher::errorText(ENOENT).empty());
}

} // namespace
