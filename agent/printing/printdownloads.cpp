#include "printing/printdownloads.h"

#include "foundation/filenames.h"

#include <QDir>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QUrl>

namespace {

const QStringList kSizes = {QStringLiteral("A3"), QStringLiteral("A4"), QStringLiteral("8K"), QStringLiteral("16K")};
const QStringList kTypes = {QStringLiteral("part"), QStringLiteral("whole")};

} // namespace

QMap<QString, QString> buildPrintConfig(const QJsonObject& config)
{
    QMap<QString, QString> printConfig;
    const QString size = config.value(QStringLiteral("size")).toString();
    if (kSizes.contains(size))
        printConfig.insert(QStringLiteral("size"), size);
    if (!config.contains(QStringLiteral("type"))) {
        printConfig.insert(QStringLiteral("type"), QStringLiteral("whole"));
    } else {
        const QJsonValue type = config.value(QStringLiteral("type"));
        if (type.isString() && kTypes.contains(type.toString()))
            printConfig.insert(QStringLiteral("type"), type.toString());
    }
    return printConfig;
}

QByteArray printConfigText(const QMap<QString, QString>& printConfig)
{
    QJsonObject object;
    for (auto it = printConfig.constBegin(); it != printConfig.constEnd(); ++it)
        object.insert(it.key(), it.value());
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString safeNamePiece(const QString& text)
{
    QString piece = text;
    piece.replace(QLatin1Char('='), QLatin1Char('_'));
    // Slashes, backslashes, "?", ":", "*", quotes, "<", ">", "|", control characters and a leading
    // "." become "_"; an overlong piece is cut and keeps a hash of the whole.
    return KELFileNames::safeFileName(piece);
}

QString buildImagePath(const QString& downloadDir, int index, const QString& url)
{
    // The address as it was sent: the query stays part of the name ("answer.png?t=5").
    QString name = url.section(QLatin1Char('/'), -1);
    if (name.isEmpty())
        name = url.section(QLatin1Char('='), -1);
    if (name.isEmpty())
        name = QStringLiteral("image_%1").arg(index + 1);
    // At most KELFileNames::kMaxNameBytes: with "NNN_", ".jpg" and ".download" well below 255.
    const QString piece = safeNamePiece(name);
    const QString file = QStringLiteral("%1_%2.jpg").arg(index + 1, 3, 10, QLatin1Char('0')).arg(piece);
    return QDir(downloadDir).filePath(file);
}

bool PrintDownloadSwitch::enter(CUrlRequest* request)
{
    QMutexLocker locker(&mutex);
    if (off.load())
        return false;
    active.insert(request);
    return true;
}

void PrintDownloadSwitch::leave(CUrlRequest* request)
{
    QMutexLocker locker(&mutex);
    active.remove(request);
}

void PrintDownloadSwitch::abandonAll()
{
    QMutexLocker locker(&mutex);
    off.store(true);
    for (CUrlRequest* request : qAsConst(active))
        request->setCancelled(true);
}

ImageDownloadGroup::ImageDownloadGroup(int total)
    : results(size_t(std::max(0, total)))
    , count(std::max(0, total))
{
}

ImageDownloadGroup::Result ImageDownloadGroup::fetch(PrintDownloadSwitch& downloads, const QString& url,
                                                     const QString& path, const HeaderMap& headers)
{
    Result result;
    CUrlRequest request;
    if (!downloads.enter(&request)) {
        result.code = -6;
        result.curlError = "abandoned";
        return result;
    }
    result.code = request.syncDownloadPrintFile(url, path, headers, kPrintDownloadTimeoutSec);
    downloads.leave(&request);
    result.httpCode = request.httpCode();
    result.curlError = request.errorString();
    if (result.code == 0 && request.cancelled())
        result.code = -6;
    if (result.code == 0)
        result.path = path;
    return result;
}

void ImageDownloadGroup::complete(int index, const Result& result)
{
    results.at(size_t(index)) = result;
    if (completed.fetch_add(1) + 1 == count) {
        QMutexLocker locker(&mutex);
        allDone.wakeAll();
    }
}

void ImageDownloadGroup::waitForAll()
{
    QMutexLocker locker(&mutex);
    while (completed.load() < count)
        allDone.wait(&mutex);
}
