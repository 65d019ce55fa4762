#include "shellconfig.h"
#include "shellqt.h"
#include "shellstartup.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <optional>

namespace {

// An install folder and a data folder of the shell's own, with the files a case writes.
struct ShellFolders {
    QTemporaryDir root;
    ShellPaths paths {pathFromUtf8(root.path().toStdString() + "/install"),
                      pathFromUtf8(root.path().toStdString() + "/data/vellox-browser")};

    ShellFolders() { QDir().mkpath(qtPath(paths.installFolder)); }

    void write(const std::filesystem::path& path, const QByteArray& bytes)
    {
        QDir().mkpath(qtPath(path.parent_path()));
        QFile file(qtPath(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
};

const QByteArray kTwoEnvironments = R"({
  "appname": "批阅机",
  "appversion": "1.0.0",
  "current": "test",
  "domains": [
    {"key": "online", "name": "正式", "url": "https://online.example/"},
    {"key": "test", "name": "测试", "url": "https://test.example/base"}
  ]
})";

struct ConfigCase {
    const char* what;
    QByteArray appDat;
    std::optional<QByteArray> envDat;
    std::string builtInBase;
    std::string frontEndUrl;
};

TEST(ShellConfig, ChoosesTheFrontEndLikeTheInstallerAndTheUserSay)
{
    const ConfigCase cases[] = {
        {"app.dat's current, a slash added before the entry path", kTwoEnvironments, std::nullopt, "",
         "https://test.example/base/reviewer/?isWindows=1#/home"},
        {"env.dat overrides current; a trailing slash is not doubled", kTwoEnvironments, QByteArray("online"), "",
         "https://online.example/reviewer/?isWindows=1#/home"},
        {"a key app.dat does not list falls back to the first environment", kTwoEnvironments,
         QByteArray("gone"), "", "https://online.example/reviewer/?isWindows=1#/home"},
        {"env.dat edited by hand: BOM, CRLF and blanks are not part of the key", kTwoEnvironments,
         QByteArray("\xEF\xBB\xBFtest \r\nsecond line"), "", "https://test.example/base/reviewer/?isWindows=1#/home"},
        {"app.dat with a byte-order mark reads like one without", "\xEF\xBB\xBF" + kTwoEnvironments,
         std::nullopt, "", "https://test.example/base/reviewer/?isWindows=1#/home"},
        {"no current anywhere means online", R"({"domains":[{"key":"x","url":"https://x.example"},
            {"key":"online","url":"https://o.example"}]})", std::nullopt, "",
         "https://o.example/reviewer/?isWindows=1#/home"},
        {"an entry with url before key is not taken", R"({"current":"late","domains":[
            {"url":"https://late.example/","key":"late"},{"key":"ok","url":"https://ok.example/"}]})",
         std::nullopt, "", "https://ok.example/reviewer/?isWindows=1#/home"},
        {"an entry without url is not taken", R"({"current":"empty","domains":[{"key":"empty","url":""},
            {"key":"full","url":"https://full.example/"}]})", std::nullopt, "",
         "https://full.example/reviewer/?isWindows=1#/home"},
        {"no environment: the built-in front end", R"({"appname":"x","domains":[]})", std::nullopt,
         "https://built.example", "https://built.example/reviewer/?isWindows=1#/home"},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.what);
        ShellFolders folders;
        folders.write(folders.paths.appDat(), c.appDat);
        if (c.envDat)
            folders.write(folders.paths.envDat(), *c.envDat);
        ShellConfig config;
        ASSERT_TRUE(loadShellConfig(folders.paths, c.builtInBase, config));
        EXPECT_EQ(config.frontEndUrl, c.frontEndUrl);
    }
}

TEST(ShellConfig, ReadsNamesAndEnvironmentsAsText)
{
    ShellFolders folders;
    folders.write(folders.paths.appDat(), kTwoEnvironments);
    ShellConfig config;
    ASSERT_TRUE(loadShellConfig(folders.paths, "", config));
    EXPECT_EQ(config.appName, "批阅机");
    ASSERT_EQ(config.environments.size(), 2u);
    EXPECT_EQ(config.environments[0].key, "online");
    EXPECT_EQ(config.environments[0].name, "正式");
    EXPECT_EQ(config.environments[1].url, "https://test.example/base");

    folders.write(folders.paths.appDat(), R"({"appname":"","domains":[{"key":"k","url":"u"}]})");
    ASSERT_TRUE(loadShellConfig(folders.paths, "", config));
    EXPECT_EQ(config.appName, kDefaultAppName);
    ASSERT_EQ(config.environments.size(), 1u);
    EXPECT_TRUE(config.environments[0].name.empty());

    // Text search: no escapes are undone, a non-string value yields what lies between the
    // next two quotes, a missing member nothing.
    EXPECT_EQ(extractJsonString(R"({"a":"x\"y"})", "a"), "x\\");
    EXPECT_EQ(extractJsonString(R"({"n": 5, "s": "t"})", "n"), "s");
    EXPECT_EQ(extractJsonString(R"({"a":"x"})", "b"), "");
    EXPECT_EQ(extractJsonString(R"({"a": )", "a"), "");
}

TEST(ShellConfig, WithoutAnyFrontEndShowsThePageThatNamesAppDat)
{
    ShellFolders folders;
    folders.write(folders.paths.appDat(), R"({"appname":"x"})");
    ShellConfig config;
    ASSERT_TRUE(loadShellConfig(folders.paths, "", config));
    EXPECT_EQ(config.frontEndUrl, "");
    const QUrl page = startPage(config, folders.paths);
    EXPECT_EQ(page.scheme(), "qrc");
    EXPECT_EQ(QUrl(page.toString(QUrl::RemoveQuery)), QUrl(QString::fromLatin1(kNoEnvironmentPage)));
    EXPECT_EQ(QUrlQuery(page).queryItemValue("appdat", QUrl::FullyDecoded), qtPath(folders.paths.appDat()));
    initShellResources();
    EXPECT_TRUE(QFile::exists(":/vellox-browser/no-environment.html"));
}

TEST(ShellConfig, MissingAppDatIsTheOnlyFailure)
{
    ShellFolders folders;
    ShellConfig config;
    EXPECT_FALSE(loadShellConfig(folders.paths, "https://built.example", config));
}

TEST(ShellConfig, TheChosenKeyIsStoredAloneAndReadBack)
{
    ShellFolders folders;
    EXPECT_EQ(readEnvKey(folders.paths), "");
    EXPECT_TRUE(QDir(qtPath(folders.paths.dataFolder)).exists()); // made on the first read

    ASSERT_TRUE(writeEnvKey(folders.paths, "test"));
    QFile file(qtPath(folders.paths.envDat()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "test"); // no line end
    EXPECT_EQ(readEnvKey(folders.paths), "test");

    ASSERT_TRUE(writeEnvKey(folders.paths, "b"));
    EXPECT_EQ(readEnvKey(folders.paths), "b"); // replaced, not appended
}

TEST(ShellConfig, ReadsTheAgentsSettingsAsQtWritesThem)
{
    ShellFolders folders;
    const std::filesystem::path settings = folders.paths.dataFolder / "cfg.dat";
    folders.write(settings, "[General]\r\nlistenport=9086\r\ndevmode = 1\r\n\r\n[printer]\r\nname=x\r\n");
    EXPECT_EQ(readSettingsValue(settings, "devmode"), "1");
    EXPECT_EQ(readSettingsValue(settings, "listenport"), "9086");
    EXPECT_EQ(readSettingsValue(settings, "name"), ""); // another section's
    EXPECT_EQ(readSettingsValue(folders.paths.dataFolder / "missing.dat", "devmode"), "");
}

} // namespace
