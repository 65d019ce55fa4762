#include "foundation/globalconfig.h"

#include "foundation/crashhandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>
#include <limits>
#include <optional>

namespace {
const QString kPresetScannersKey = QStringLiteral("presetscanners");
const QString kBatchNoKey = QStringLiteral("batch_no");
const QString kCountKey = QStringLiteral("count");
constexpr int kDefaultCheckIntervalMs = 30 * 60 * 1000;
} // namespace

KELGlobalConfig* KELGlobalConfig::instance()
{
    // First touched by the entry function on the GUI thread, before any other thread exists.
    static KELGlobalConfig* config = new KELGlobalConfig(
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation),
        QCoreApplication::applicationDirPath());
    return config;
}

KELGlobalConfig::KELGlobalConfig(const QString& dataFolder, const QString& installFolder)
    : dataFolder(dataFolder)
    , applicationFolder(installFolder)
    , currentEnv(QStringLiteral("online"))
{
    // The platform's own separator: a backslash would name another file off Windows.
    cfgFilePath = dataFolder + QDir::separator() + QStringLiteral("cfg.dat");
    prepareFolders();
    readAppDescription();
    readPresetScanners();
    readBatchCount();
}

void KELGlobalConfig::prepareFolders()
{
    QDir data(dataFolder);
    if (!data.exists())
        data.mkpath(QStringLiteral("."));
    if (data.exists()) {
        for (const char* sub : {"log", "temp", "download"}) {
            if (!data.exists(QLatin1String(sub)))
                data.mkdir(QLatin1String(sub));
        }
    }
    const QString dumps = dumpFolder();
    if (!QDir(dumps).exists())
        QDir().mkpath(dumps);
    CrashHandler::instance().setDumpFolder(dumps.toStdString());
}

void KELGlobalConfig::readAppDescription()
{
    QFile file(installFolder() + QStringLiteral("app.dat"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject app = QJsonDocument::fromJson(file.readAll()).object();
    appName = app.value(QStringLiteral("appname")).toString();
    currentEnv = app.value(QStringLiteral("current")).toString();
    domains = app.value(QStringLiteral("domains")).toArray();
    selectEnv(currentEnv);
    const QString userEnv = value(QStringLiteral("userenv"));
    if (!userEnv.isEmpty())
        selectEnv(userEnv);
}

void KELGlobalConfig::readPresetScanners()
{
    const QJsonDocument doc = QJsonDocument::fromJson(value(kPresetScannersKey).toLocal8Bit());
    if (!doc.isArray())
        return;
    for (const QJsonValue& name : doc.array())
        presetScanners[name.toVariant().toString()] = true;
}

void KELGlobalConfig::readBatchCount()
{
    const QString batchNo = value(kBatchNoKey);
    if (!batchNo.isEmpty())
        batchImageCounts.insert(batchNo, value(kCountKey).toInt());
}

QString KELGlobalConfig::value(const QString& key) const
{
    QSettings settings(cfgFilePath, QSettings::IniFormat);
    const QVariant stored = settings.value(key);
    // Qt's reader splits an unquoted value at its commas (as a hand-written "a, b" is); a list
    // would read as "". The text as written is what the key means.
    if (stored.type() == QVariant::StringList)
        return writtenText(key).value_or(stored.toStringList().join(QLatin1Char(',')));
    return stored.toString();
}

std::optional<QString> KELGlobalConfig::writtenText(const QString& key) const
{
    QFile file(cfgFilePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    const QByteArray wanted = key.toUtf8();
    bool generalSection = true; // keys before any section belong to it too
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith('[')) {
            generalSection = line == "[General]";
            continue;
        }
        const int equals = line.indexOf('=');
        if (!generalSection || equals < 0 || line.left(equals).trimmed() != wanted)
            continue;
        const QByteArray text = line.mid(equals + 1).trimmed();
        // Quotes and escapes are Qt's to read.
        if (text.contains('"') || text.contains('\\'))
            return std::nullopt;
        return QString::fromUtf8(text);
    }
    return std::nullopt;
}

void KELGlobalConfig::setValue(const QString& key, const QString& value)
{
    QSettings settings(cfgFilePath, QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
}

void KELGlobalConfig::setOutputFolder(const QString& path)
{
    if (QFileInfo::exists(path))
        setValue(QStringLiteral("outputpath"), path);
}

QString KELGlobalConfig::outputFolder() const
{
    const QString stored = value(QStringLiteral("outputpath"));
    if (!stored.isEmpty())
        return stored;
    const QString folder = dataFolder + QStringLiteral("/output/");
    if (!QDir(folder).exists())
        QDir().mkpath(folder);
    return folder;
}

QString KELGlobalConfig::installFolder() const
{
    return applicationFolder + QLatin1Char('/');
}

bool KELGlobalConfig::selectEnv(const QString& key)
{
    for (const QJsonValue& entry : domains) {
        const QJsonObject domain = entry.toObject();
        if (domain.value(QStringLiteral("key")).toString() == key) {
            const QMutexLocker locker(&envLock);
            baseUrl = domain.value(QStringLiteral("url")).toString();
            currentEnv = key;
            return true;
        }
    }
    return false;
}

QString KELGlobalConfig::getCurrentEnv() const
{
    const QMutexLocker locker(&envLock);
    return currentEnv;
}

QString KELGlobalConfig::getBaseUrl() const
{
    const QMutexLocker locker(&envLock);
    return baseUrl;
}

bool KELGlobalConfig::isPresetScanner(const QString& name) const
{
    return presetScanners.count(name) > 0;
}

void KELGlobalConfig::addPresetScanner(const QString& name)
{
    presetScanners[name] = true;
    QJsonArray names;
    for (const auto& entry : presetScanners)
        names.append(entry.first);
    setValue(kPresetScannersKey, QString::fromUtf8(QJsonDocument(names).toJson(QJsonDocument::Compact)));
}

int KELGlobalConfig::batchImageCount(const QString& batchNo) const
{
    QMutexLocker lock(&batchCountLock);
    return batchImageCounts.value(batchNo, 0);
}

void KELGlobalConfig::setBatchImageCount(const QString& batchNo, int count)
{
    QMutexLocker lock(&batchCountLock);
    batchImageCounts.insert(batchNo, count);
    setValue(kBatchNoKey, batchNo);
    setValue(kCountKey, QString::number(count));
}

qint64 KELGlobalConfig::folderSize(const QString& path)
{
    qint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().isFile())
            total += it.fileInfo().size();
    }
    return total;
}

QString KELGlobalConfig::outputFreeSpace() const
{
    return formatSize(QStorageInfo(outputFolder()).bytesAvailable());
}

QString KELGlobalConfig::outputUsedSize() const
{
    return formatSize(folderSize(outputFolder()));
}

QString KELGlobalConfig::formatSize(qint64 bytes)
{
    constexpr qint64 kGiB = 1073741824;
    constexpr qint64 kMiB = 1048576;
    if (bytes > kGiB)
        return QStringLiteral("%1G").arg(double(bytes) / kGiB, 0, 'f', 2);
    if (bytes > kMiB)
        return QStringLiteral("%1M").arg(double(bytes) / kMiB, 0, 'f', 2);
    return QStringLiteral("%1B").arg(bytes);
}

int KELGlobalConfig::positiveMs(const QString& key, int fallbackMs, int unitMs) const
{
    bool ok = false;
    const qint64 number = value(key).trimmed().toLongLong(&ok);
    if (!ok || number <= 0)
        return fallbackMs;
    return int(std::min<qint64>(number, std::numeric_limits<int>::max() / unitMs) * unitMs);
}

int KELGlobalConfig::upgradeCheckIntervalMs(const QString& setting)
{
    constexpr int kMinuteMs = 60 * 1000;
    bool ok = false;
    const int minutes = setting.trimmed().toInt(&ok);
    if (!ok || minutes < 1)
        return kDefaultCheckIntervalMs;
    // A timer interval is an int of milliseconds: longer periods are clamped, not wrapped.
    return minutes > std::numeric_limits<int>::max() / kMinuteMs ? std::numeric_limits<int>::max() / kMinuteMs * kMinuteMs
                                                                 : minutes * kMinuteMs;
}
