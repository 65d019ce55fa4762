#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class CUrlRequest;
class QTimer;

// Asks the current environment's upgrade API whether a newer agent exists. Checks run on
// the global thread pool; results come back to the GUI thread through sigCheckResult.
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
    void checkUpgrade();

    static bool verifySha256(const QString& path, const QString& expected);
    bool shouldRemind() const;
    void recordSkip();

    QString getVersion() const;
    bool isForceUpgrade() const;
    QStringList getUpgradeContent() const;
    bool getIsFirstCheck() const { return isFirstCheck; }

Q_SIGNALS:
    void sigCheckResult(bool succeed, bool has_new_version);
    void sigDownloadProgress(int progress);
    void sigFinishDownloadPackage(int result, QString package_path);
    void sigHashVerifyFailed();

private:
    QString remindRecordForToday() const;

    // Checks from start-up, the timer and the tray may overlap on the pool; the offer they
    // write is read by the GUI thread.
    mutable QMutex offerLock;
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
    std::shared_ptr<CUrlRequest> request;
};
