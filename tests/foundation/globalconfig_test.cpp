#include "foundation/globalconfig.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

class ConfigStore : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString data() const { return dir.path() + "/data/kelmora/vellox"; }
    QString program() const { return dir.path() + "/program"; }

    void SetUp() override { QDir().mkpath(program()); }

    std::unique_ptr<KELGlobalConfig> open() const
    {
        return std::make_unique<KELGlobalConfig>(data(), program());
    }

    void writeAppDat(const QByteArray& bytes) const
    {
        QFile file(program() + "/app.dat");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    void writeDomains(const QString& current) const
    {
        QJsonArray domains;
        domains.append(QJsonObject{{"key", "online"}, {"name", "Online"}, {"url", "https://online.example/"}});
        domains.append(QJsonObject{{"key", "test"}, {"name", "Test"}, {"url", "https://test.example/"}});
        const QJsonObject app{{"appname", "Vellox"}, {"appversion", "3.2.1"}, {"current", current}, {"domains", domains}};
        writeAppDat(QJsonDocument(app).toJson());
    }

    void setStored(const QString& key, const QString& value) const
    {
        QDir().mkpath(data());
        QSettings settings(data() + "/cfg.dat", QSettings::IniFormat);
        settings.setValue(key, value);
    }
};

TEST_F(ConfigStore, CreatesItsFoldersAndKeepsCfgDatInTheDataFolder)
{
    auto config = open();
    for (const char* sub : {"log", "temp", "download", "log/dump"})
        EXPECT_TRUE(QDir(data() + '/' + sub).exists()) << sub;
    EXPECT_EQ(config->configFilePath(), data() + "/cfg.dat");
    EXPECT_EQ(config->logFolder(), data() + "/log/");
    EXPECT_EQ(config->installFolder(), program() + "/");

    config->setValue("listenport", "9100");
    EXPECT_TRUE(QFile::exists(data() + "/cfg.dat"));
    EXPECT_EQ(open()->value("listenport"), "9100");
    EXPECT_EQ(config->value("absent"), "");
}

TEST_F(ConfigStore, EnvironmentPrecedence)
{
    {
        // No app.dat at all.
        auto config = open();
        EXPECT_EQ(config->getCurrentEnv(), "online");
        EXPECT_EQ(config->getBaseUrl(), "");
        EXPECT_EQ(config->getAppName(), "");
    }
    writeDomains("test");
    {
        auto config = open();
        EXPECT_EQ(config->getCurrentEnv(), "test");
        EXPECT_EQ(config->getBaseUrl(), "https://test.example/");
        EXPECT_EQ(config->getAppName(), "Vellox");
        EXPECT_EQ(config->getAppVersion(), VELLOX_VERSION) << "the program's own version, not app.dat's";
    }
    setStored("userenv", "online");
    EXPECT_EQ(open()->getBaseUrl(), "https://online.example/");

    setStored("userenv", "nowhere");
    EXPECT_EQ(open()->getBaseUrl(), "https://test.example/");

    setStored("userenv", "");
    writeDomains("TEST"); // keys are case-sensitive
    {
        auto config = open();
        EXPECT_EQ(config->getCurrentEnv(), "TEST");
        EXPECT_EQ(config->getBaseUrl(), "");
        EXPECT_FALSE(config->selectEnv("Online"));
        EXPECT_TRUE(config->selectEnv("online"));
        EXPECT_EQ(config->getBaseUrl(), "https://online.example/");
    }
}

TEST_F(ConfigStore, MalformedFilesNeverStopTheStore)
{
    writeAppDat("{ this is not json");
    setStored("presetscanners", "[\"Canon\", broken");
    auto config = open();
    EXPECT_EQ(config->getCurrentEnv(), "");
    EXPECT_EQ(config->getBaseUrl(), "");
    EXPECT_TRUE(config->getDomains().isEmpty());
    EXPECT_FALSE(config->isPresetScanner("Canon"));

    writeAppDat(R"({"current": 5, "domains": {"key": "online"}})");
    auto odd = open();
    EXPECT_TRUE(odd->getDomains().isEmpty());
    EXPECT_EQ(odd->getBaseUrl(), "");
}

TEST_F(ConfigStore, FormatSizeAtTheUnitBoundaries)
{
    EXPECT_EQ(KELGlobalConfig::formatSize(0), "0B");
    EXPECT_EQ(KELGlobalConfig::formatSize(1048576), "1048576B");
    EXPECT_EQ(KELGlobalConfig::formatSize(1048577), "1.00M");
    EXPECT_EQ(KELGlobalConfig::formatSize(1073741824), "1024.00M");
    EXPECT_EQ(KELGlobalConfig::formatSize(1073741825), "1.00G");
    EXPECT_EQ(KELGlobalConfig::formatSize(5368709120LL * 3 / 2), "7.50G");
}

TEST_F(ConfigStore, BatchCountKeepsOnlyTheLastPairAcrossARestart)
{
    {
        auto config = open();
        config->setBatchImageCount("A", 5);
        config->setBatchImageCount("B", 7);
        EXPECT_EQ(config->batchImageCount("A"), 5);
        EXPECT_EQ(config->batchImageCount("B"), 7);
        EXPECT_EQ(config->batchImageCount("C"), 0);
    }
    auto restarted = open();
    EXPECT_EQ(restarted->batchImageCount("A"), 0);
    EXPECT_EQ(restarted->batchImageCount("B"), 7);
}

TEST_F(ConfigStore, PresetScannersAreASetStoredAsCompactJson)
{
    {
        auto config = open();
        config->addPresetScanner("Kodak i2600");
        config->addPresetScanner("Canon MF750");
        config->addPresetScanner("Kodak i2600");
        EXPECT_EQ(config->value("presetscanners"), R"(["Canon MF750","Kodak i2600"])");
    }
    auto restarted = open();
    EXPECT_TRUE(restarted->isPresetScanner("Canon MF750"));
    EXPECT_TRUE(restarted->isPresetScanner("Kodak i2600"));
    EXPECT_FALSE(restarted->isPresetScanner("kodak i2600"));
}

TEST_F(ConfigStore, OutputFolderRules)
{
    auto config = open();
    const QString defaultFolder = data() + "/output/";
    EXPECT_FALSE(QDir(defaultFolder).exists());
    EXPECT_EQ(config->outputFolder(), defaultFolder);
    EXPECT_TRUE(QDir(defaultFolder).exists());

    config->setOutputFolder(dir.path() + "/missing");
    EXPECT_EQ(config->value("outputpath"), "");

    const QString chosen = dir.path() + "/chosen";
    QDir().mkpath(chosen);
    config->setOutputFolder(chosen);
    EXPECT_EQ(config->outputFolder(), chosen);

    QDir(chosen).removeRecursively();
    EXPECT_EQ(config->outputFolder(), chosen);
    EXPECT_FALSE(QDir(chosen).exists());

    QFile file(defaultFolder + "page.jpg");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(2000, 'x'));
    file.close();
    QDir().mkpath(defaultFolder + "sub");
    QFile nested(defaultFolder + "sub/page.bmp");
    ASSERT_TRUE(nested.open(QIODevice::WriteOnly));
    nested.write(QByteArray(500, 'y'));
    nested.close();
    EXPECT_EQ(KELGlobalConfig::folderSize(defaultFolder), 2500);
}

TEST_F(ConfigStore, UpgradeCheckInterval)
{
    EXPECT_EQ(KELGlobalConfig::upgradeCheckIntervalMs("5"), 300000);
    for (const char* unusable : {"0", "-3", "", "abc"})
        EXPECT_EQ(KELGlobalConfig::upgradeCheckIntervalMs(unusable), 1800000) << unusable;
    EXPECT_GT(KELGlobalConfig::upgradeCheckIntervalMs("99999999"), 0);
}

// A cfg.dat written by hand, the way a school's IT writes it: commas unquoted.
TEST_F(ConfigStore, HandWrittenValuesWithCommasReadAsWritten)
{
    QDir().mkpath(data());
    QFile file(data() + "/cfg.dat");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[General]\n"
               "allowedorigins=https://a.example,https://b.example\n"
               "outputpath=/srv/scans, 2024\n"
               "listenport=9100\n"
               "quoted=\"x, y\"\n"
               "[Other]\n"
               "outputpath=/elsewhere\n");
    file.close();

    auto config = open();
    EXPECT_EQ(config->value("allowedorigins"), "https://a.example,https://b.example");
    EXPECT_EQ(config->value("outputpath"), "/srv/scans, 2024");
    EXPECT_EQ(config->outputFolder(), "/srv/scans, 2024");
    EXPECT_EQ(config->value("listenport"), "9100");
    EXPECT_EQ(config->value("quoted"), "x, y");
    // What the agent writes itself reads back the same.
    config->setValue("lastprintfolder", "/home/t/a, b");
    EXPECT_EQ(config->value("lastprintfolder"), "/home/t/a, b");
}

} // namespace
