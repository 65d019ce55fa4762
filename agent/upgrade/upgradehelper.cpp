#include "upgrade/upgradehelper.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "http/curlrequest.h"
#include "upgrade/installerlauncher.h"

#include <QCryptographicHash>
#include <QDate>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThreadPool>
#include <QTimer>

#include <curl/curl.h>

namespace {
constexpr int kCheckTimeoutSec = 60;
constexpr int kDownloadTimeoutSec = 900;
const QString kRemindRecordKey = QStringLiteral("last_upgrade_remind_record");
} // namespace

KELUpgradeHelper::KELUpgradeHelper() = default;
KELUpgradeHelper::~KELUpgradeHelper() = default;

QByteArray KELUpgradeHelper::checkRequestBody(const QString& currentVersion)
{
    const QJsonObject body{{"appName", "vellox"}, {"currentVersion", currentVersion}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

KELUpgradeHelper::CheckAnswer KELUpgradeHelper::parseCheckAnswer(const QByteArray& body)
{
    CheckAnswer answer;
    const QJsonObject root = QJsonDocument::fromJson(body).object();
    answer.code = root.value("code").toInt();
    if (answer.code != 200)
        return answer;
    answer.succeeded = true;
    const QJsonObject data = root.value("data").toObject();
    answer.hasNewVersion = data.value("hasNewVersion").toBool();
    answer.version = data.value("version").toString();
    answer.downloadUrl = data.value("downloadUrl").toString();
    answer.fileHash = data.value("fileHash").toString();
    answer.forceUpgrade = data.value("forceUpgrade").toBool();
    for (const QJsonValue& line : data.value("upgradeContent").toArray())
        answer.upgradeContent.append(line.toString());
    return answer;
}

void KELUpgradeHelper::startCheck()
{
    QThreadPool::globalInstance()->start([this] { checkUpgrade(); });
}

void KELUpgradeHelper::startCheckTimer(int intervalMs)
{
    if (!checkTimer) {
        checkTimer = new QTimer(this);
        connect(checkTimer, &QTimer::timeout, this, [this] {
            isFirstCheck = false;
            startCheck();
        });
    }
    checkTimer->start(intervalMs);
}

void KELUpgradeHelper::checkUpgrade()
{
    KELGlobalConfig* config = KELGlobalConfig::instance();
    // Without an environment there is no server: a bare path would go out as a host name.
    if (config->getBaseUrl().isEmpty()) {
        KLOG->error("Check upgrade skipped: no server environment is configured");
        Q_EMIT sigCheckResult(false, false);
        return;
    }
    const QString url = config->getBaseUrl() + QLatin1String(checkPath());
    HeaderMap headers;
    headers.insert(QStringLiteral("Content-Type"), QStringLiteral("application/json"));

    CUrlRequest check;
    const int ret = check.syncRequest(true, url, checkRequestBody(config->getAppVersion()), headers,
                                      kCheckTimeoutSec, 0);
    if (ret != 0) {
        KLOG->error("Check upgrade request failed, ret: {}, error: {}", ret, check.errorString());
        Q_EMIT sigCheckResult(false, false);
        return;
    }
    const CheckAnswer answer = parseCheckAnswer(check.responseBody());
    if (!answer.succeeded) {
        KLOG->error("Check upgrade API returned error code: {}", answer.code);
        Q_EMIT sigCheckResult(false, false);
        return;
    }
    if (!answer.hasNewVersion) {
        KLOG->info("No new version available, current: {}", config->getAppVersion());
        Q_EMIT sigCheckResult(true, false);
        return;
    }
    if (!InstallerLauncher::supports(KELUpgradePackage::kindOfUrl(answer.downloadUrl))) {
        KLOG->warn("Offered package cannot be installed here, version: {}, url: {}",
                   KELLog::clipped(answer.version), KELLog::clipped(answer.downloadUrl));
        Q_EMIT sigCheckResult(true, false);
        return;
    }
    QMetaObject::invokeMethod(this, [this, answer] { applyCheckAnswer(answer); }, Qt::QueuedConnection);
}

void KELUpgradeHelper::applyCheckAnswer(const CheckAnswer& answer)
{
    // A package of another offer no longer counts. A download under way goes on; its result
    // is discarded when it ends (finishDownload), so two never run at once.
    const bool sameOffer = answer.version == version && answer.downloadUrl == downloadUrl
        && answer.fileHash.compare(fileHash, Qt::CaseInsensitive) == 0;
    if (!sameOffer) {
        isDownloaded = false;
        packagePath.clear();
        lastProgress = 0;
    }
    version = answer.version;
    downloadUrl = answer.downloadUrl;
    fileHash = answer.fileHash;
    forceUpgrade = answer.forceUpgrade;
    upgradeContent = answer.upgradeContent;
    KLOG->info("Found new version: {}, force: {}", KELLog::clipped(version), forceUpgrade);
    Q_EMIT sigCheckResult(true, true);
}

KELUpgradeHelper::PackageJob KELUpgradeHelper::currentJob() const
{
    PackageJob job;
    job.serial = downloadSerial;
    job.version = version;
    job.url = downloadUrl;
    job.hash = fileHash;
    job.kind = KELUpgradePackage::kindOfUrl(downloadUrl);
    job.path = KELUpgradePackage::filePath(KELGlobalConfig::instance()->tempFolder(), version, job.kind);
    return job;
}

bool KELUpgradeHelper::offerIs(const PackageJob& job) const
{
    return job.version == version && job.url == downloadUrl
        && job.hash.compare(fileHash, Qt::CaseInsensitive) == 0;
}

void KELUpgradeHelper::startDownload()
{
    if (isDownloading)
        return;
    isDownloading = true;
    isDownloaded = false;
    lastProgress = 0;
    ++downloadSerial;
    const PackageJob job = currentJob();
    QThreadPool::globalInstance()->start([this, job] { downloadPackage(job); });
}

void KELUpgradeHelper::downloadPackage(const PackageJob& job)
{
    const auto finish = [this, &job](DownloadOutcome outcome, int code) {
        QMetaObject::invokeMethod(this, [this, job, outcome, code] { finishDownload(job, outcome, code); },
                                  Qt::QueuedConnection);
    };
    // Without a hash anybody on the way could have a program of their own run here.
    if (!KELUpgradePackage::isSha256Hex(job.hash)) {
        KLOG->error("Package of version {} refused: its SHA256 is not 64 hexadecimal digits: '{}'",
                    KELLog::clipped(job.version), KELLog::clipped(job.hash));
        finish(DownloadOutcome::HashFailed, -1);
        return;
    }

    CUrlRequest transfer;
    const int serial = job.serial;
    connect(&transfer, &CUrlRequest::sigOnProgress, this, [this, serial](int progress) {
        if (serial != downloadSerial || !isDownloading)
            return;
        lastProgress = progress;
        Q_EMIT sigDownloadProgress(progress);
    });
    int ret = transfer.SyncDownloadBigFile(job.url, job.path, HeaderMap(), kDownloadTimeoutSec);
    QByteArray error = transfer.errorString();
    // A one-transfer download keeps whatever body came back, an error page too.
    const int status = transfer.httpCode();
    if (ret == 0 && (status < 200 || status > 299)) {
        QFile::remove(job.path);
        ret = CURLE_HTTP_RETURNED_ERROR;
        error = QByteArrayLiteral("HTTP status ") + QByteArray::number(status);
    }
    if (ret != 0) {
        KLOG->error("Download package failed, url: {}, ret: {}, error: {}", job.url, ret, error);
        finish(DownloadOutcome::Failed, ret);
        return;
    }
    if (!verifySha256(job.path, job.hash)) {
        KLOG->error("SHA256 verification failed for: {}", job.path);
        QFile::remove(job.path);
        finish(DownloadOutcome::HashFailed, -1);
        return;
    }
    finish(DownloadOutcome::Completed, 0);
}

void KELUpgradeHelper::finishDownload(const PackageJob& job, DownloadOutcome outcome, int code)
{
    isDownloading = false;
    if (!offerIs(job)) {
        KLOG->info("Download of version {} discarded: the offer is now version {}", job.version, version);
        if (outcome == DownloadOutcome::Completed && job.path != currentJob().path)
            QFile::remove(job.path);
        startDownload();
        return;
    }
    switch (outcome) {
    case DownloadOutcome::Completed:
        isDownloaded = true;
        packagePath = job.path;
        KLOG->info("Download package completed: {}", job.path);
        Q_EMIT sigFinishDownloadPackage(0, job.path);
        break;
    case DownloadOutcome::HashFailed:
        Q_EMIT sigHashVerifyFailed();
        Q_EMIT sigFinishDownloadPackage(-1, QString());
        break;
    case DownloadOutcome::Failed:
        Q_EMIT sigFinishDownloadPackage(code, QString());
        break;
    }
}

void KELUpgradeHelper::launchInstaller()
{
    if (packagePath.isEmpty())
        return;
    PackageJob job = currentJob();
    job.path = packagePath;
    QThreadPool::globalInstance()->start([this, job] { launchOnPool(job); });
}

void KELUpgradeHelper::launchOnPool(const PackageJob& job)
{
    // Verified again: the package may have lain here for days, and the offer may have changed.
    if (!KELUpgradePackage::isSha256Hex(job.hash) || !verifySha256(job.path, job.hash)) {
        KLOG->error("SHA256 verification failed for: {}", job.path);
        QFile::remove(job.path);
        QMetaObject::invokeMethod(this, [this, job] {
            if (packagePath == job.path) {
                isDownloaded = false;
                packagePath.clear();
            }
            Q_EMIT sigHashVerifyFailed();
        }, Qt::QueuedConnection);
        return;
    }
    KLOG->info("Launching installer: {}", job.path);
    const int error = InstallerLauncher::launch(job.kind, job.path.toStdString());
    if (error != 0) {
        KLOG->error("Launching installer failed: {}, error: {}", job.path, InstallerLauncher::errorText(error));
        QMetaObject::invokeMethod(this, [this] { Q_EMIT sigLaunchInstallerFailed(); }, Qt::QueuedConnection);
    }
}

bool KELUpgradeHelper::verifySha256(const QString& path, const QString& expected)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash digest(QCryptographicHash::Sha256);
    if (!digest.addData(&file))
        return false;
    const QString actual = QString::fromLatin1(digest.result().toHex());
    KLOG->info("SHA256 verify - expected: {}, actual: {}", expected, actual);
    return actual == expected.toLower();
}

QString KELUpgradeHelper::remindRecordForToday() const
{
    return QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('_') + getVersion();
}

bool KELUpgradeHelper::shouldRemind() const
{
    return KELGlobalConfig::instance()->value(kRemindRecordKey) != remindRecordForToday();
}

void KELUpgradeHelper::recordSkip()
{
    KELGlobalConfig::instance()->setValue(kRemindRecordKey, remindRecordForToday());
}
