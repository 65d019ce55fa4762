#include "upgrade/upgradehelper.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "http/curlrequest.h"

#include <QCryptographicHash>
#include <QDate>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThreadPool>
#include <QTimer>

namespace {
constexpr int kCheckTimeoutSec = 60;
const QString kRemindRecordKey = QStringLiteral("last_upgrade_remind_record");
} // namespace

KELUpgradeHelper::KELUpgradeHelper()
    : request(std::make_shared<CUrlRequest>())
{
    connect(request.get(), &CUrlRequest::sigOnProgress, this, [this](int progress) {
        lastProgress = progress;
        Q_EMIT sigDownloadProgress(progress);
    });
}

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
    QMutexLocker lock(&offerLock);
    if (answer.version != version) {
        isDownloaded = false;
        packagePath.clear();
        isDownloading = false;
        lastProgress = 0;
    }
    version = answer.version;
    downloadUrl = answer.downloadUrl;
    fileHash = answer.fileHash;
    forceUpgrade = answer.forceUpgrade;
    upgradeContent = answer.upgradeContent;
    KLOG->info("Found new version: {}, force: {}", version, forceUpgrade);
    lock.unlock();
    Q_EMIT sigCheckResult(true, true);
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

QString KELUpgradeHelper::getVersion() const
{
    QMutexLocker lock(&offerLock);
    return version;
}

bool KELUpgradeHelper::isForceUpgrade() const
{
    QMutexLocker lock(&offerLock);
    return forceUpgrade;
}

QStringList KELUpgradeHelper::getUpgradeContent() const
{
    QMutexLocker lock(&offerLock);
    return upgradeContent;
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
