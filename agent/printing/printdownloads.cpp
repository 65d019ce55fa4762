#include "printing/printdownloads.h"

#include "foundation/filenames.h"
#include "foundation/logging.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QThreadPool>
#include <QUrl>

namespace {

const QStringList kSizes = {QStringLiteral("A3"), QStringLiteral("A4"), QStringLiteral("8K"), QStringLiteral("16K")};
const QStringList kTypes = {QStringLiteral("part"), QStringLiteral("whole")};
const QString kBatchFolder = QStringLiteral("print_batch");
constexpr int kSniffBytes = 64 * 1024;

// The school's login page where an image was expected: what its server answers for an expired
// session. Any other page (a proxy's error, a captive portal) is the network's fault.
bool looksLikeLoginPage(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray head = file.read(kSniffBytes).toLower();
    if (!head.contains("<html") && !head.contains("<!doctype html") && !head.contains("<form"))
        return false;
    head.replace('\'', "").replace('"', "").replace(" ", "");
    return head.contains("type=password");
}

} // namespace

PrintStudent PrintStudent::fromCommand(const QJsonObject& data)
{
    PrintStudent student;
    student.studentName = data.value(QStringLiteral("studentName")).toString();
    student.studentId = data.value(QStringLiteral("studentId")).toString();
    for (const QJsonValue& url : data.value(QStringLiteral("imgList")).toArray())
        student.imgList.append(url.toString());
    student.printConfig = buildPrintConfig(data.value(QStringLiteral("config")).toObject());
    return student;
}

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

QString downloadProblemText(DownloadProblem problem)
{
    switch (problem) {
    case DownloadProblem::WriteFailed:
        return QCoreApplication::translate("KELPrintDownloads", "打印出错，文件写入失败");
    case DownloadProblem::LoginExpired:
        return QCoreApplication::translate("KELPrintDownloads", "打印出错，登录已过期，请重新登录");
    case DownloadProblem::Cancelled:
        return QCoreApplication::translate("KELPrintDownloads", "打印已取消");
    case DownloadProblem::None:
    case DownloadProblem::Network:
    case DownloadProblem::NotImage:
        break;
    }
    return QCoreApplication::translate("KELPrintDownloads", "打印出错，请检查网络");
}

DownloadProblem checkDownloadedImage(const QString& path)
{
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    // The format from the first bytes and the size from the header: no pixel is decoded.
    if (reader.canRead()) {
        const QSize size = reader.size();
        if (size.isValid() && !size.isEmpty())
            return DownloadProblem::None;
    }
    return looksLikeLoginPage(path) ? DownloadProblem::LoginExpired : DownloadProblem::NotImage;
}

StudentDownload::StudentDownload(QStringList urls, QString folder, HeaderMap headers, KELCookieScope cookieScope,
                                 int concurrency)
    : urls(std::move(urls))
    , targetFolder(std::move(folder))
    , headers(std::move(headers))
    , cookieScope(std::move(cookieScope))
    , concurrency(std::max(1, concurrency))
{
}

ImageResult StudentDownload::fetch(int index)
{
    ImageResult result;
    QElapsedTimer clock;
    clock.start();
    const QString path = buildImagePath(targetFolder, index, urls.at(index));
    CUrlRequest request;
    {
        QMutexLocker locker(&requestsMutex);
        if (cancelled.load()) {
            result.code = -6;
            result.problem = DownloadProblem::Cancelled;
            return result;
        }
        requests.insert(&request);
    }
    const QString& url = urls.at(index);
    const HeaderMap sent = cookieScope.headersFor(headers, url);
    if (sent.size() != headers.size())
        KLOG->warn("print image not at the school's servers, fetched without the login cookie. url={}",
                   KELLog::clipped(url));
    result.code = request.syncDownloadPrintFile(url, path, sent, kPrintDownloadTimeoutSec);
    {
        QMutexLocker locker(&requestsMutex);
        requests.remove(&request);
    }
    result.httpCode = request.httpCode();
    result.curlError = request.errorString();
    if (cancelled.load() || request.cancelled()) {
        result.problem = DownloadProblem::Cancelled;
        if (result.code == 0)
            result.code = -6;
    } else if (result.code == -1 || result.code == -4) {
        result.problem = DownloadProblem::WriteFailed;
    } else if (result.code != 0) {
        result.problem = DownloadProblem::Network;
    } else if (result.httpCode == 401 || result.httpCode == 403) {
        result.problem = DownloadProblem::LoginExpired;
    } else if (result.httpCode < 200 || result.httpCode >= 300) {
        result.problem = DownloadProblem::Network;
    } else {
        result.problem = checkDownloadedImage(path);
    }
    if (result.ok())
        result.path = path;
    result.costMs = clock.elapsed();
    return result;
}

StudentDownload::Outcome StudentDownload::run(const ImageLog& log)
{
    const int n = urls.size();
    std::vector<ImageResult> results(size_t(std::max(0, n)));
    {
        QThreadPool pool;
        pool.setMaxThreadCount(concurrency);
        for (int i = 0; i < n; ++i) {
            pool.start([this, i, &results, &log] {
                if (log.started)
                    log.started(i, urls.at(i), buildImagePath(targetFolder, i, urls.at(i)));
                results[size_t(i)] = fetch(i);
                if (log.ended)
                    log.ended(i, urls.at(i), results[size_t(i)]);
            });
        }
        pool.waitForDone();
    }
    Outcome outcome;
    outcome.ok = true;
    for (int i = 0; i < n; ++i) {
        const ImageResult& result = results[size_t(i)];
        if (!result.ok()) {
            outcome.ok = false;
            outcome.files.clear();
            outcome.failedIndex = i;
            outcome.failed = result;
            break;
        }
        outcome.files.append(result.path);
    }
    return outcome;
}

void StudentDownload::cancel()
{
    QMutexLocker locker(&requestsMutex);
    cancelled.store(true);
    for (CUrlRequest* request : qAsConst(requests))
        request->setCancelled(true);
}

void PrintDownloads::setCredentials(const KELCredentials& credentials, const KELCookieScope& scope)
{
    QMutexLocker locker(&mutex);
    setCookieHeader(requestHeaders, credentials);
    cookieScope = scope;
}

HeaderMap PrintDownloads::headers() const
{
    QMutexLocker locker(&mutex);
    return requestHeaders;
}

std::shared_ptr<StudentDownload> PrintDownloads::create(const QStringList& urls, const QString& folder,
                                                         int concurrency)
{
    QMutexLocker locker(&mutex);
    if (off.load())
        return nullptr;
    auto download = std::make_shared<StudentDownload>(urls, folder, requestHeaders, cookieScope, concurrency);
    downloads.erase(std::remove_if(downloads.begin(), downloads.end(),
                                   [](const std::weak_ptr<StudentDownload>& d) { return d.expired(); }),
                    downloads.end());
    downloads.push_back(download);
    return download;
}

void PrintDownloads::abandonAll()
{
    QMutexLocker locker(&mutex);
    off.store(true);
    for (const std::weak_ptr<StudentDownload>& entry : downloads) {
        if (const std::shared_ptr<StudentDownload> download = entry.lock())
            download->cancel();
    }
    downloads.clear();
}

namespace PrintFiles {

void discard(const QString& folder, const QString& batchFolder)
{
    if (folder.isEmpty())
        return;
    QThreadPool::globalInstance()->start([folder, batchFolder] {
        if (!QDir(folder).removeRecursively())
            KLOG->warn("print files not removed. folder={}", folder);
        // Only once empty: the batch's other students may still be printing.
        if (!batchFolder.isEmpty())
            QDir().rmdir(batchFolder);
    });
}

void removeLeftovers(const QString& downloadFolder, qint64 olderThanMs)
{
    QThreadPool::globalInstance()->start([downloadFolder, olderThanMs] {
        const QDateTime limit = QDateTime::currentDateTime().addMSecs(-olderThanMs);
        int removed = 0;
        const auto removeOld = [&](const QDir& dir, const QStringList& keep) {
            for (const QFileInfo& entry : dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
                if (keep.contains(entry.fileName()) || entry.lastModified() > limit)
                    continue;
                const bool ok = entry.isDir() && !entry.isSymLink() ? QDir(entry.filePath()).removeRecursively()
                                                                     : QFile::remove(entry.filePath());
                removed += ok ? 1 : 0;
            }
        };
        const QDir downloads(downloadFolder);
        removeOld(QDir(downloads.filePath(kBatchFolder)), {});
        removeOld(downloads, {kBatchFolder});
        if (removed > 0)
            KLOG->info("removed print leftovers. folder={}, count={}", downloadFolder, removed);
    });
}

} // namespace PrintFiles
