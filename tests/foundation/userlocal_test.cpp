// Where each user's sockets and locks live, against real folders, owners and permissions.
#include "foundation/userlocal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sets the variables for one case and puts the process's own back afterwards.
class Variables {
public:
    Variables(const QString& runtime, const QString& temporary, const QString& home)
    {
        for (const char* name : kNames)
            saved.append(qgetenv(name));
        set("XDG_RUNTIME_DIR", runtime);
        set("TMPDIR", temporary);
        set("HOME", home);
        qunsetenv("XDG_CACHE_HOME");
    }
    ~Variables()
    {
        for (int i = 0; i < 4; ++i) {
            if (saved[i].isNull())
                qunsetenv(kNames[i]);
            else
                qputenv(kNames[i], saved[i]);
        }
    }

private:
    static void set(const char* name, const QString& value)
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, QFile::encodeName(value));
    }
    static constexpr const char* kNames[4] = {"XDG_RUNTIME_DIR", "TMPDIR", "HOME", "XDG_CACHE_HOME"};
    QByteArrayList saved;
};

mode_t modeOf(const QString& path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

TEST(UserLocal, EachUserGetsAFolderNobodyElseCanEnter)
{
    QTemporaryDir root;
    const QString runtime = root.filePath("run");
    const QString temporary = root.filePath("tmp");
    const QString home = root.filePath("home");
    for (const QString& folder : {runtime, temporary, home})
        ASSERT_TRUE(QDir().mkpath(folder));
    const QString own = QStringLiteral("vellox-%1").arg(::geteuid());
    ASSERT_EQ(::chmod(QFile::encodeName(runtime).constData(), 0700), 0);

    {
        SCOPED_TRACE("the session's runtime folder");
        Variables v(runtime, temporary, home);
        EXPECT_EQ(UserLocal::folder(), runtime.toStdString());
        EXPECT_EQ(UserLocal::path("VelloxBrowserWindow"), (runtime + "/VelloxBrowserWindow").toStdString());
    }
    {
        SCOPED_TRACE("a runtime folder others may enter is not taken; one of the user's own is made");
        ASSERT_EQ(::chmod(QFile::encodeName(runtime).constData(), 0755), 0);
        Variables v(runtime, temporary, home);
        EXPECT_EQ(UserLocal::folder(), (temporary + "/" + own).toStdString());
        EXPECT_EQ(modeOf(temporary + "/" + own), mode_t(0700));
    }
    {
        SCOPED_TRACE("without a runtime folder: the user's own folder, closed again when opened");
        ASSERT_EQ(::chmod(QFile::encodeName(temporary + "/" + own).constData(), 0777), 0);
        Variables v(QString(), temporary, home);
        EXPECT_EQ(UserLocal::folder(), (temporary + "/" + own).toStdString());
        EXPECT_EQ(modeOf(temporary + "/" + own), mode_t(0700));
    }
    {
        SCOPED_TRACE("a link where the folder should be, however private its target, is not followed");
        const QString otherTemporary = root.filePath("tmp2");
        ASSERT_TRUE(QDir().mkpath(otherTemporary));
        ASSERT_TRUE(QFile::link(runtime, otherTemporary + "/" + own));
        Variables v(QString(), otherTemporary, home);
        EXPECT_EQ(UserLocal::folder(), (home + "/.cache/" + own).toStdString());
        EXPECT_EQ(modeOf(home + "/.cache/" + own), mode_t(0700));
    }
    if (::geteuid() == 0) {
        SCOPED_TRACE("a folder another user made under the name: the home folder's cache instead");
        const QString taken = root.filePath("tmp3");
        ASSERT_TRUE(QDir().mkpath(taken + "/" + own));
        ASSERT_EQ(::chown(QFile::encodeName(taken + "/" + own).constData(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(taken + "/" + own).constData(), 0700), 0);
        Variables v(QString(), taken, home);
        EXPECT_EQ(UserLocal::folder(), (home + "/.cache/" + own).toStdString());
    }
    {
        SCOPED_TRACE("no safe folder at all: the bare name");
        Variables v(QString(), "relative", "relative");
        const std::string found = UserLocal::folder();
        if (found.empty())
            EXPECT_EQ(UserLocal::path("x"), "x");
        else
            EXPECT_EQ(found, "/tmp/" + own.toStdString()); // the system's temporary folder served
    }
}

} // namespace
