#pragma once

#include "upgrade/upgradepackage.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;

// Keeps the agent current: asks the current environment's upgrade API whether a newer agent
// exists, downloads the offered package in the background (an interrupted download resumes),
// verifies its SHA-256 and starts its installer detached from the agent. Checks, downloads and
// launches run on the global thread pool; the state lives on the GUI thread, where every
// result arrives queued and every signal is emitted.
class KELUpgradeHelper : public QObject {
    Q_OBJECT
public:
    KELUpgradeHelper();
    ~KELUpgradeHelper() override;

    // What one check learned from the upgrade API.
    struct CheckAnswer {
        bool succeeded = false;
        bool hasNewVersion = false;
        int code = 0;
        QString version;
        QString downloadUrl;
        QString fileHash;
        bool forceUpgrade = false;
        QStringList upgradeContent;
    };
    // Reads the API's answer body; a body that is not JSON reads as code 0.
    static CheckAnswer parseCheckAnswer(const QByteArray& body);
    static QByteArray checkRequestBody(const QString& currentVersion);
    static const char* checkPath() { return "web-awg/navrel-hub/app/upgrade/check"; }

    void startCheck();
    void startCheckTimer(int intervalMs);
    // The request itself (any thread); the answer is applied on the GUI thread.
    void checkUpgrade();

    // Does nothing while a download runs; else fetches the offered package on the pool.
    void startDownload();
    // Verifies the ready package again and starts its installer (on the pool).
    void launchInstaller();

    static bool verifySha256(const QString& path, const QString& expected);
    bool shouldRemind() const;
    void recordSkip();

    QString getVersion() const { return version; }
    bool isForceUpgrade() const { return forceUpgrade; }
    QStringList getUpgradeContent() const { return upgradeContent; }
    bool getIsFirstCheck() const { return isFirstCheck; }
    bool getIsDownloaded() const { return isDownloaded; }
    bool getIsDownloading() const { return isDownloading; }
    QString getPackagePath() const { return packagePath; }
    int getLastProgress() const { return lastProgress; }

Q_SIGNALS:
    void sigCheckResult(bool succeed, bool has_new_version);
    void sigDownloadProgress(int progress);
    void sigFinishDownloadPackage(int result, QString package_path);
    void sigHashVerifyFailed();
    void sigLaunchInstallerFailed();

private:
    // One download (or launch) works on the offer as it stood when it started.
    struct PackageJob {
        int serial = 0;
        QString version;
        QString url;
        QString hash;
        QString path;
        KELUpgradePackage::Kind kind = KELUpgradePackage::Kind::Unknown;
    };
    enum class DownloadOutcome { Completed, Failed, HashFailed };

    void applyCheckAnswer(const CheckAnswer& answer);
    PackageJob currentJob() const;
    bool offerIs(const PackageJob& job) const;
    void downloadPackage(const PackageJob& job);                    // pool
    void finishDownload(const PackageJob& job, DownloadOutcome outcome, int code);
    void launchOnPool(const PackageJob& job);                        // pool
    QString remindRecordForToday() const;

    QTimer* checkTimer = nullptr;
    QString version;
    QString downloadUrl;
    QString fileHash;
    QStringList upgradeContent;
    QString packagePath;
    bool forceUpgrade = false;
    bool isDownloading = false;
    bool isDownloaded = false;
    bool isFirstCheck = true;
    int lastProgress = 0;
    int downloadSerial = 0; // of the download under way; its progress alone is reported
};
