// The installer launch seam against real processes: the installer runs in a session of its
// own, holds nothing of its starter but /dev/null on 0-2, and a start that fails is known.
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

    const auto command = InstallerLauncher::commandFor(Kind::ShellScript, script.path().toStdString());
    ASSERT_EQ(InstallerLauncher::launch(Kind::ShellScript, script.path().toStdString()), 0);
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

    ASSERT_TRUE(script.release());
    EXPECT_TRUE(vtest::waitUntil([&] { return script.read().survived; }));
}

TEST_F(InstallerLaunch, PackagesOfEachKindGetTheirCommand)
{
    // A Debian package goes to the desktop's installer, found in PATH.
    const QString bin = folder.filePath("bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    InstallerScript opener(folder.path(), "opener.sh");
    ASSERT_TRUE(opener.write(true, bin + "/xdg-open"));
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin) + ":" + savedPath);
    const QString deb = folder.filePath("package_2.0.deb");
    ASSERT_TRUE(QFile(deb).open(QIODevice::WriteOnly));
    const int started = InstallerLauncher::launch(Kind::DebianPackage, deb.toStdString());
    qputenv("PATH", savedPath);
    ASSERT_EQ(started, 0);
    const auto opened = waitForRecord(opener);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->args, QStringList{deb});
    ASSERT_TRUE(opener.release());
    EXPECT_TRUE(vtest::waitUntil([&] { return opener.read().survived; }));

    // An AppImage is made executable and runs itself.
    QTemporaryDir other;
    InstallerScript image(other.path(), "package_2.0.AppImage");
    ASSERT_TRUE(image.write(false));
    ASSERT_FALSE(QFileInfo(image.path()).isExecutable());
    ASSERT_EQ(InstallerLauncher::launch(Kind::AppImage, image.path().toStdString()), 0);
    EXPECT_TRUE(QFileInfo(image.path()).isExecutable());
    EXPECT_TRUE(waitForRecord(image));
    ASSERT_TRUE(image.release());

    EXPECT_FALSE(InstallerLauncher::supports(Kind::WindowsInstaller));
    EXPECT_FALSE(InstallerLauncher::supports(Kind::Unknown));
    EXPECT_NE(InstallerLauncher::launch(Kind::WindowsInstaller, deb.toStdString()), 0);
}

TEST_F(InstallerLaunch, AFailedStartIsReportedWithItsError)
{
    EXPECT_EQ(InstallerLauncher::startDetached({folder.filePath("missing").toStdString()}), ENOENT);
    EXPECT_EQ(InstallerLauncher::startDetached({"vellox-no-such-program"}), ENOENT);
    EXPECT_EQ(InstallerLauncher::startDetached({}), EINVAL);

    InstallerScript script(folder.path());
    ASSERT_TRUE(script.write(false));
    EXPECT_EQ(InstallerLauncher::startDetached({script.path().toStdString()}), EACCES);
    // Found by the kernel but not runnable: exec's own error comes back from the new session.
    const QString garbage = folder.filePath("garbage");
    QFile file(garbage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(64, '\x7f'));
    file.close();
    ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    EXPECT_EQ(InstallerLauncher::startDetached({garbage.toStdString()}), ENOEXEC);
    EXPECT_FALSE(InstallerLauncher::errorText(ENOENT).empty());
}

} // namespace
