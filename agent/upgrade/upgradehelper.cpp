#include "upgrade/upgradehelper.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "http/curlrequest.h"
#include "upgrade/installerlauncher.h"
#include "upgrade/packagesignature.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDir>
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
constexpr int kInstallerPollMs = 500;
const QString kRemindRecordKey = QStringLiteral("last_upgrade_remind_record");
// The version whose package this user could not install: not offered again until another comes.
const QString kAdministratorNeededKey = QStringLiteral("upgrade_admin_needed");

QString partialPath(const QString& path)
{
    return path + QStringLiteral(".download");
}

void removePackage(const QString& path)
{
    QFile::remove(path);
    QFile::remove(partialPath(path));
}
} // namespace

// Registers a transfer for as long as it runs; a transfer that starts after abandon() is
// cancelled at once.
class KELUpgradeHelper::TransferGuard {
public:
    TransferGuard(KELUpgradeHelper& helper, CUrlRequest& request, bool isDownload)
        : helper(helper)
        , request(request)
        , isDownload(isDownload)
    {
        std::lock_guard<std::mutex> lock(helper.transfersLock);
        if (isDownload)
            helper.download = &request;
        else
            helper.checks.insert(&request);
        if (helper.abandoned)
            request.setCancelled(true);
    }
    ~TransferGuard()
    {
        std::lock_guard<std::mutex> lock(helper.transfersLock);
        if (isDownload)
            helper.download = nullptr;
        else
            helper.checks.erase(&request);
    }

private:
    KELUpgradeHelper& helper;
    CUrlRequest& request;
    bool isDownload;
};

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
    answer.signature = data.value("signature").toString();
    answer.forceUpgrade = data.value("forceUpgrade").toBool();
    for (const QJsonValue& line : data.value("upgradeContent").toArray())
        answer.upgradeContent.append(line.toString());
    return answer;
}

QString KELUpgradeHelper::keysFolder(const QString& installFolder)
{
    return QDir(installFolder).filePath(QStringLiteral("upgrade-keys"));
}

std::vector<std::string> KELUpgradeHelper::upgradeKeys(const QString& installFolder)
{
    // Beside the program, where only the package (root) writes: never the user's data folder
    // or the environment, which anyone in the session could change.
    std::vector<std::string> keys;
    const QDir folder(keysFolder(installFolder));
    for (const QString& name : folder.entryList({QStringLiteral("*.pem")}, QDir::Files, QDir::Name)) {
        QFile file(folder.filePath(name));
        // Even an unreadable or broken key file says the installation wants signed packages.
        const std::string pem = file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
        if (KELPackageSignature::isAvailable() && !KELPackageSignature::isUsableKey(pem))
            KLOG->warn("Upgrade key {} is no Ed25519 public key: it verifies nothing", folder.filePath(name));
        keys.push_back(pem);
    }
    return keys;
}

void KELUpgradeHelper::startCheck()
{
    KELGlobalConfig* config = KELGlobalConfig::instance();
    const QString base = config->getBaseUrl();
    // Without an environment there is no server: a bare path would go out as a host name.
    if (base.isEmpty()) {
        KLOG->error("Check upgrade skipped: no server environment is configured");
        QMetaObject::invokeMethod(this, [this] { Q_EMIT sigCheckResult(false, false); }, Qt::QueuedConnection);
        return;
    }
    // Whoever answers a plain http check decides which program this PC runs next.
    if (!KELUpgradePackage::isTrustedAddress(base)) {
        if (base != lastUntrustedBase) {
            lastUntrustedBase = base;
            KLOG->warn("Upgrades are off for the environment {}: only an https server may offer upgrades", base);
        }
        QMetaObject::invokeMethod(this, [this] { Q_EMIT sigCheckResult(false, false); }, Qt::QueuedConnection);
        return;
    }
    QThreadPool::globalInstance()->start([this, base] { checkUpgrade(base); });
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

void KELUpgradeHelper::checkUpgrade(const QString& baseUrl)
{
    KELGlobalConfig* config = KELGlobalConfig::instance();
    const QString url = baseUrl + QLatin1String(checkPath());
    HeaderMap headers;
    headers.insert(QStringLiteral("Content-Type"), QStringLiteral("application/json"));

    CUrlRequest check;
    check.setAlwaysVerifyTls(true);
    int ret;
    {
        TransferGuard registered(*this, check, false);
        ret = check.syncRequest(true, url, checkRequestBody(config->getAppVersion()), headers, kCheckTimeoutSec, 0);
    }
    if (ret != 0) {
        KLOG->error("Check upgrade request failed, ret: {}, error: {}", ret, check.errorString());
        QMetaObject::invokeMethod(this, [this] { Q_EMIT sigCheckResult(false, false); }, Qt::QueuedConnection);
        return;
    }
    const CheckAnswer answer = parseCheckAnswer(check.responseBody());
    if (!answer.succeeded) {
        KLOG->error("Check upgrade API returned error code: {}", answer.code);
        QMetaObject::invokeMethod(this, [this] { Q_EMIT sigCheckResult(false, false); }, Qt::QueuedConnection);
        return;
    }
    if (!answer.hasNewVersion)
        KLOG->info("No new version available, current: {}", config->getAppVersion());
    const bool keysInstalled = answer.hasNewVersion && !upgradeKeys(config->installFolder()).empty();
    QMetaObject::invokeMethod(
        this, [this, baseUrl, answer, keysInstalled] { applyCheckAnswer(baseUrl, answer, keysInstalled); },
        Qt::QueuedConnection);
}

void KELUpgradeHelper::applyCheckAnswer(const QString& baseUrl, const CheckAnswer& answer, bool keysInstalled)
{
    // The environment changed while the check was on its way: its answer is another server's.
    if (baseUrl != KELGlobalConfig::instance()->getBaseUrl()) {
        KLOG->info("Upgrade answer of {} dropped: the environment changed meanwhile", baseUrl);
        return;
    }
    if (!answer.hasNewVersion) {
        if (!version.isEmpty())
            withdrawOffer(true);
        Q_EMIT sigCheckResult(true, false);
        return;
    }
    const KELUpgradePackage::Offer offer{answer.version, answer.downloadUrl, answer.fileHash, answer.signature};
    const KELUpgradePackage::Refusal refusal = KELUpgradePackage::refusalOf(
        offer, InstallerLauncher::supports(KELUpgradePackage::kindOfUrl(offer.url)), keysInstalled,
        KELPackageSignature::isAvailable());
    QString skipped;
    if (refusal != KELUpgradePackage::Refusal::None)
        skipped = QString::fromLatin1(KELUpgradePackage::explanation(refusal));
    else if (refused.contains(offer.identity()))
        skipped = QStringLiteral("its package failed its checks before");
    else if (KELGlobalConfig::instance()->value(kAdministratorNeededKey) == offer.version)
        skipped = QStringLiteral("this user cannot install it; an administrator installs the package kept for it");
    if (!skipped.isEmpty()) {
        // Told once per offer: the same answer comes every interval.
        if (offer.identity() != lastRefusalLogged) {
            lastRefusalLogged = offer.identity();
            KLOG->error("Offered version {} not taken: {} (url: {})", KELLog::clipped(offer.version), skipped,
                        KELLog::clipped(offer.url));
        }
        if (!version.isEmpty())
            withdrawOffer(false);
        Q_EMIT sigCheckResult(true, false);
        return;
    }

    // A package of another offer no longer counts. A download under way goes on; its result
    // is discarded when it ends (finishDownload), so two never run at once.
    if (offer.identity() != currentOffer().identity()) {
        isDownloaded = false;
        packagePath.clear();
        lastProgress = 0;
    }
    version = offer.version;
    downloadUrl = offer.url;
    fileHash = offer.hash;
    signature = offer.signature;
    forceUpgrade = answer.forceUpgrade;
    upgradeContent = answer.upgradeContent;
    KLOG->info("Found new version: {}, force: {}", KELLog::clipped(version), forceUpgrade);
    Q_EMIT sigCheckResult(true, true);
}

KELUpgradePackage::Offer KELUpgradeHelper::currentOffer() const
{
    return {version, downloadUrl, fileHash, signature};
}

void KELUpgradeHelper::withdrawOffer(bool removeFetched)
{
    if (removeFetched && !packagePath.isEmpty())
        removePackage(packagePath);
    version.clear();
    downloadUrl.clear();
    fileHash.clear();
    signature.clear();
    forceUpgrade = false;
    upgradeContent.clear();
    packagePath.clear();
    isDownloaded = false;
    lastProgress = 0;
    Q_EMIT sigOfferWithdrawn();
}

void KELUpgradeHelper::refuse(const KELUpgradePackage::Offer& offer, const QString& why)
{
    refused.insert(offer.identity());
    lastRefusalLogged = offer.identity();
    KLOG->error("Package of version {} refused and not fetched again: {}", KELLog::clipped(offer.version), why);
    if (offer.identity() == currentOffer().identity())
        withdrawOffer(true);
}

void KELUpgradeHelper::forgetOffer()
{
    {
        std::lock_guard<std::mutex> lock(transfersLock);
        if (download)
            download->setCancelled(true);
    }
    lastRefusalLogged.clear();
    if (!version.isEmpty()) {
        KLOG->info("Offer of version {} dropped with its environment", KELLog::clipped(version));
        const QString fetched = currentJob().path;
        withdrawOffer(true);
        removePackage(fetched);
    }
}

void KELUpgradeHelper::abandon()
{
    std::lock_guard<std::mutex> lock(transfersLock);
    abandoned = true;
    for (CUrlRequest* check : checks)
        check->setCancelled(true);
    if (download)
        download->setCancelled(true);
}

KELUpgradeHelper::PackageJob KELUpgradeHelper::currentJob() const
{
    PackageJob job;
    job.serial = downloadSerial;
    job.offer = currentOffer();
    job.kind = KELUpgradePackage::kindOfUrl(downloadUrl);
    job.path = KELUpgradePackage::filePath(KELGlobalConfig::instance()->tempFolder(), version, fileHash, job.kind);
    job.installFolder = KELGlobalConfig::instance()->installFolder();
    return job;
}

bool KELUpgradeHelper::offerIs(const PackageJob& job) const
{
    return !version.isEmpty() && job.offer.identity() == currentOffer().identity();
}

void KELUpgradeHelper::startDownload()
{
    if (isDownloading || version.isEmpty())
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
    // A file left by an earlier run of this offer is taken only when it is still the package.
    if (QFile::exists(job.path) && !verifySha256(job.path, job.offer.hash)) {
        KLOG->warn("Kept package {} does not match its offer: fetched again", job.path);
        removePackage(job.path);
    }

    CUrlRequest transfer;
    transfer.setAlwaysVerifyTls(true);
    const int serial = job.serial;
    connect(&transfer, &CUrlRequest::sigOnProgress, this, [this, serial](int progress) {
        if (serial != downloadSerial || !isDownloading)
            return;
        lastProgress = progress;
        Q_EMIT sigDownloadProgress(progress);
    });
    int ret;
    {
        TransferGuard registered(*this, transfer, true);
        ret = transfer.SyncDownloadBigFile(job.offer.url, job.path, HeaderMap(), kDownloadTimeoutSec);
    }
    QByteArray error = transfer.errorString();
    // A one-transfer download keeps whatever body came back, an error page too.
    const int status = transfer.httpCode();
    if (ret == 0 && (status < 200 || status > 299)) {
        QFile::remove(job.path);
        ret = CURLE_HTTP_RETURNED_ERROR;
        error = QByteArrayLiteral("HTTP status ") + QByteArray::number(status);
    }
    if (ret != 0) {
        KLOG->error("Download package failed, url: {}, ret: {}, error: {}", job.offer.url, ret, error);
        finish(DownloadOutcome::Failed, ret);
        return;
    }
    if (!verifySha256(job.path, job.offer.hash)) {
        KLOG->error("SHA256 verification failed for: {}", job.path);
        removePackage(job.path);
        finish(DownloadOutcome::Refused, -1);
        return;
    }
    const std::vector<std::string> keys = upgradeKeys(job.installFolder);
    if (!keys.empty() && !verifySignature(job.path, job.offer.signature, keys)) {
        KLOG->error("Signature verification failed for: {} (keys in {})", job.path, keysFolder(job.installFolder));
        removePackage(job.path);
        finish(DownloadOutcome::Refused, -1);
        return;
    }
    finish(DownloadOutcome::Completed, 0);
}

void KELUpgradeHelper::finishDownload(const PackageJob& job, DownloadOutcome outcome, int code)
{
    isDownloading = false;
    if (!offerIs(job)) {
        KLOG->info("Download of version {} discarded: the offer changed meanwhile", job.offer.version);
        if (job.path != currentJob().path)
            removePackage(job.path);
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
    case DownloadOutcome::Refused:
        // Said once: the refusal withdraws the offer, which closes the dialog; a "download
        // failed" besides would send the teacher to check a network that works.
        Q_EMIT sigHashVerifyFailed();
        refuse(job.offer, QStringLiteral("its hash or signature does not match"));
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
    // Checked again: the package may have lain here for days, and anyone who can write the
    // temporary folder could have changed it.
    const std::vector<std::string> keys = upgradeKeys(job.installFolder);
    if (!KELUpgradePackage::isSha256Hex(job.offer.hash) || !verifySha256(job.path, job.offer.hash)
        || (!keys.empty() && !verifySignature(job.path, job.offer.signature, keys))) {
        KLOG->error("SHA256 or signature verification failed for: {}", job.path);
        removePackage(job.path);
        QMetaObject::invokeMethod(this, [this, job] {
            Q_EMIT sigHashVerifyFailed();
            refuse(job.offer, QStringLiteral("the package changed after its download"));
        }, Qt::QueuedConnection);
        return;
    }
    const std::string needed = InstallerLauncher::administratorNeeded(job.kind, job.installFolder.toStdString());
    if (!needed.empty()) {
        KLOG->error("Installer of version {} not started: {}; the package is kept for an administrator: {}",
                    KELLog::clipped(job.offer.version), needed, job.path);
        QMetaObject::invokeMethod(this, [this, job] {
            KELGlobalConfig::instance()->setValue(kAdministratorNeededKey, job.offer.version);
            Q_EMIT sigAdministratorNeeded();
            if (offerIs(job))
                withdrawOffer(false);
        }, Qt::QueuedConnection);
        return;
    }
    KLOG->info("Launching installer: {}", job.path);
    InstallerLauncher::Launched launched = InstallerLauncher::launch(job.kind, job.path.toStdString());
    if (launched.error != 0) {
        KLOG->error("Launching installer failed: {}, error: {}", job.path, InstallerLauncher::errorText(launched.error));
        QMetaObject::invokeMethod(this, [this] { Q_EMIT sigLaunchInstallerFailed(); }, Qt::QueuedConnection);
        return;
    }
    if (!launched.watch)
        return;
    std::shared_ptr<InstallerLauncher::Watch> watch(std::move(launched.watch));
    const QString launchedVersion = job.offer.version;
    QMetaObject::invokeMethod(this, [this, launchedVersion, watch] { watchInstaller(launchedVersion, watch); },
                              Qt::QueuedConnection);
}

void KELUpgradeHelper::watchInstaller(const QString& installedVersion, std::shared_ptr<InstallerLauncher::Watch> watch)
{
    installer = std::move(watch);
    if (!installerTimer) {
        installerTimer = new QTimer(this);
        installerTimer->setInterval(kInstallerPollMs);
    }
    installerTimer->disconnect(this);
    connect(installerTimer, &QTimer::timeout, this, [this, installedVersion] {
        const std::optional<int> status = installer ? installer->exitStatus() : std::optional<int>(-1);
        if (!status)
            return;
        installerTimer->stop();
        installer.reset();
        if (*status == 0) {
            KLOG->info("Installer of version {} finished", KELLog::clipped(installedVersion));
            return;
        }
        KLOG->error("Installer of version {} failed with status {}", KELLog::clipped(installedVersion), *status);
        Q_EMIT sigInstallerFailed(*status);
    });
    installerTimer->start();
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

bool KELUpgradeHelper::verifySignature(const QString& path, const QString& signature,
                                       const std::vector<std::string>& keys)
{
    const QByteArray bytes = KELUpgradePackage::signatureBytes(signature);
    QFile file(path);
    if (bytes.isEmpty() || !file.open(QIODevice::ReadOnly))
        return false;
    // Ed25519 signs the whole message: the package is mapped, not copied.
    const qint64 size = file.size();
    uchar* data = size > 0 ? file.map(0, size) : nullptr;
    if (size > 0 && !data)
        return false;
    const bool valid = KELPackageSignature::verify(data, std::size_t(size), bytes.toStdString(), keys);
    if (data)
        file.unmap(data);
    KLOG->info("Signature verify of {}: {}", path, valid ? "valid" : "not valid");
    return valid;
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
