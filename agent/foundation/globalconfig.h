#pragma once

#include <QJsonArray>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

#include <map>
#include <optional>

// The agent's one place for settings (cfg.dat), the installer's description file (app.dat),
// the data folders and the selected server environment.
class KELGlobalConfig : public QObject {
    Q_OBJECT
public:
    static KELGlobalConfig* instance();

    // The agent uses instance(); tests build a store over folders of their own.
    KELGlobalConfig(const QString& dataFolder, const QString& installFolder);

    // Settings in cfg.dat; every call opens the file afresh, so any thread may call. A value
    // written by hand with commas in it ("a,b") reads as written.
    QString value(const QString& key) const;
    void setValue(const QString& key, const QString& value);
    // A flag is on only when its value is exactly "1".
    bool flag(const QString& key) const { return value(key) == QLatin1String("1"); }

    void setOutputFolder(const QString& path);
    QString outputFolder() const;

    QString dataFolderPath() const { return dataFolder + QLatin1Char('/'); }
    QString logFolder() const { return dataFolder + QStringLiteral("/log/"); }
    QString tempFolder() const { return dataFolder + QStringLiteral("/temp/"); }
    QString downloadFolder() const { return dataFolder + QStringLiteral("/download/"); }
    QString dumpFolder() const { return dataFolder + QStringLiteral("/log/dump"); }
    QString installFolder() const;
    QString configFilePath() const { return cfgFilePath; }

    // The environment is switched on the GUI thread while checks on the pool read its URL.
    bool selectEnv(const QString& key);
    QString getAppName() const { return appName; }
    // The version this agent was built as: a site's app.dat (a conffile an upgrade keeps when the
    // site edited it) would go on naming the old one after an upgrade.
    static QString getAppVersion() { return QStringLiteral(VELLOX_VERSION); }
    QString getCurrentEnv() const;
    QString getBaseUrl() const;
    QJsonArray getDomains() const { return domains; }

    bool isPresetScanner(const QString& name) const;
    void addPresetScanner(const QString& name);

    // The image counts of uploaded batches; written by the upload tasks, read by the GUI thread.
    int batchImageCount(const QString& batchNo) const;
    void setBatchImageCount(const QString& batchNo, int count);

    static qint64 folderSize(const QString& path);
    QString outputFreeSpace() const;
    QString outputUsedSize() const;
    static QString formatSize(qint64 bytes);

    // A setting that is a positive whole number of `unitMs`, in milliseconds (clamped to an
    // int); `fallbackMs` when it is missing, not a number or not positive.
    int positiveMs(const QString& key, int fallbackMs, int unitMs = 1) const;

    // Whole minutes of "upgradecheckinterval" in milliseconds; 30 minutes when unusable.
    static int upgradeCheckIntervalMs(const QString& setting);

private:
    void prepareFolders();
    // The value of `key` as it stands in cfg.dat, for a plain value Qt read as a list.
    std::optional<QString> writtenText(const QString& key) const;
    void readAppDescription();
    void readPresetScanners();
    void readBatchCount();

    QString cfgFilePath;
    QString dataFolder;
    QString applicationFolder;
    QString appName;
    mutable QMutex envLock; // guards currentEnv and baseUrl
    QString currentEnv;
    QString baseUrl;
    QJsonArray domains;
    std::map<QString, bool> presetScanners;
    mutable QMutex batchCountLock;
    QMap<QString, int> batchImageCounts;
};
