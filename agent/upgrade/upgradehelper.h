#pragma once

#include "upgrade/upgradepackage.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CUrlRequest;
class QTimer;

namespace InstallerLauncher {
class Watch;
}

// Keeps the agent current: asks the current environment's upgrade API whether a newer agent
// exists, downloads the offered package in the background (an interrupted download resumes),
// verifies its SHA-256 and, where upgrade keys are installed beside the program, its
// signature, and starts its installer detached from the agent, following it to its end.
// Only https servers (or plain http on this computer's loopback) are asked, with TLS always
// verified. Checks, downloads and launches run on the global thread pool; the state lives on
// the GUI thread, where every result arrives queued and every signal is emitted.
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
        QString signature;
        bool forceUpgrade = false;
        QStringList upgradeContent;
    };
    // Reads the API's answer body; a body that is not JSON reads as code 0.
    static CheckAnswer parseCheckAnswer(const QByteArray& body);
    static QByteArray checkRequestBody(const QString& currentVersion);
    static const char* checkPath() { return "web-awg/navrel-hub/app/upgrade/check"; }
    // The public keys (PEM files) in the program folder's "upgrade-keys": when there are any,
    // only packages signed with one of them are taken.
    static std::vector<std::string> upgradeKeys(const QString& installFolder);
    static QString keysFolder(const QString& installFolder);

    void startCheck();
    void startCheckTimer(int intervalMs);

    // Does nothing while a download runs; else fetches the offered package on the pool.
    void startDownload();
    // Verifies the ready package again and starts its installer (on the pool).
    void launchInstaller();
    // The environment changed: its offer, a download under way and a fetched package go.
    void forgetOffer();
    // The agent is quitting: transfers under way end now instead of holding the pool.
    void abandon();

    static bool verifySha256(const QString& path, const QString& expected);
    // Whether the file at `path` is signed by one of `keys`.
    static bool verifySignature(const QString& path, const QString& signature, const std::vector<std::string>& keys);
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
    // The version that was offered is offered no longer (refused, needs an administrator, or
    // the environment changed): a dialog for it goes.
    void sigOfferWithdrawn();
    // This user cannot install the package; it is kept for an administrator.
    void sigAdministratorNeeded();
    // The installer ran and ended with a failure.
    void sigInstallerFailed(int status);

private:
    // One download (or launch) works on the offer as it stood when it started.
    struct PackageJob {
        int serial = 0;
        KELUpgradePackage::Offer offer;
        QString path;
        KELUpgradePackage::Kind kind = KELUpgradePackage::Kind::Unknown;
        QString installFolder;
    };
    enum class DownloadOutcome { Completed, Failed, Refused };

    void checkUpgrade(const QString& baseUrl);                       // pool
    void applyCheckAnswer(const QString& baseUrl, const CheckAnswer& answer, bool keysInstalled);
    void refuse(const KELUpgradePackage::Offer& offer, const QString& why);
    void withdrawOffer(bool removePackage);
    KELUpgradePackage::Offer currentOffer() const;
    PackageJob currentJob() const;
    bool offerIs(const PackageJob& job) const;
    void downloadPackage(const PackageJob& job);                    // pool
    void finishDownload(const PackageJob& job, DownloadOutcome outcome, int code);
    void launchOnPool(const PackageJob& job);                        // pool
    void watchInstaller(const QString& version, std::shared_ptr<InstallerLauncher::Watch> watch);
    QString remindRecordForToday() const;

    // Transfers under way, so that quitting or a switch of environment can end them.
    class TransferGuard;
    std::mutex transfersLock;
    std::set<CUrlRequest*> checks;
    CUrlRequest* download = nullptr;
    bool abandoned = false;

    QTimer* checkTimer = nullptr;
    QTimer* installerTimer = nullptr;
    std::shared_ptr<InstallerLauncher::Watch> installer;
    QString version;
    QString downloadUrl;
    QString fileHash;
    QString signature;
    QStringList upgradeContent;
    QString packagePath;
    bool forceUpgrade = false;
    bool isDownloading = false;
    bool isDownloaded = false;
    bool isFirstCheck = true;
    int lastProgress = 0;
    int downloadSerial = 0;   // of the download under way; its progress alone is reported
    QSet<QString> refused;    // offers whose package failed its checks: never fetched again
    QString lastRefusalLogged;
    QString lastUntrustedBase; // an environment that gets no upgrades, told once
};
