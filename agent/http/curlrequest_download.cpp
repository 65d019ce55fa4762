// File downloads of CUrlRequest: the resumable big-file download in ranges, and the two
// one-transfer downloads. All of them write "<path>.download" and rename it onto the target
// only when complete, so a target path never holds a partial file.
#include "http/curlrequest.h"

#include "foundation/logging.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cctype>
#include <regex>
#include <string>

namespace {

constexpr long kProbeConnectTimeoutSec = 10;
constexpr long kProbeTimeoutSec = 30;
constexpr long kRangeConnectTimeoutSec = 10;
constexpr long kRangeTimeoutSec = 180;
constexpr long kOneTransferConnectTimeoutSec = 20;
constexpr int kDefaultDownloadTimeoutSec = 300;
// The first chunks are each followed by a reopen of the temporary file; the counter grows by
// two per chunk, so three chunks get one and a failure among them is simply tried again.
constexpr int kReopenCounterLimit = 5;
constexpr unsigned long kRenameRetryPauseMs = 1000;
constexpr unsigned long kOpenRetryPauseMs = 100;

QString temporaryPath(const QString& path)
{
    return path + QStringLiteral(".download");
}

long downloadTimeout(int timeoutSec)
{
    return timeoutSec > 0 ? timeoutSec : kDefaultDownloadTimeoutSec;
}

// The one-transfer downloads rename twice: a target that appeared meanwhile (a viewer holding
// it, an earlier run) is deleted before the second try.
bool renameOntoTarget(const QString& temp, const QString& path)
{
    if (CUrlRequest::moveTempFile(temp, path))
        return true;
    QThread::msleep(kRenameRetryPauseMs);
    QFile::remove(path);
    return CUrlRequest::moveTempFile(temp, path);
}

} // namespace

bool CUrlRequest::moveTempFile(const QString& from, const QString& to)
{
    if (from.isEmpty() || to.isEmpty() || !QFile::exists(from))
        return false;
    return QFile::rename(from, to);
}

qint64 CUrlRequest::totalFromProbeHeaders(const QByteArray& headers, QByteArray* rangeText)
{
    static const std::regex pattern("content-range: ([^\r\n]+)",
                                    std::regex::ECMAScript | std::regex::icase);
    const std::string text = headers.toStdString();
    std::smatch match;
    rangeText->clear();
    if (std::regex_search(text, match, pattern))
        *rangeText = QByteArray::fromStdString(match[1].str());

    const int slash = rangeText->indexOf('/');
    if (slash < 0)
        return 0;
    QByteArray digits;
    for (int i = slash + 1; i < rangeText->size() && std::isdigit(uchar(rangeText->at(i))); ++i)
        digits.append(rangeText->at(i));
    // "*" (a total the server does not know) yields no digits and so 0.
    bool ok = false;
    const qint64 total = digits.toLongLong(&ok);
    return ok ? total : 0;
}

int CUrlRequest::SyncDownloadBigFile(const QString& url, const QString& path,
                                     const HeaderMap& headers, int timeoutSec)
{
    if (url.isEmpty() || path.isEmpty())
        return -1;
    if (QFile::exists(path)) {
        KLOG->info("SyncDownloadBigFile file does exist, path: {}", path);
        return 0;
    }

    // Probe: does the server answer byte ranges, and how big is the file?
    long probeStatus = 0;
    QByteArray probeHeaders;
    if (CURL* probe = curl_easy_init()) {
        curl_slist* list = buildHeaderList(nullptr, headers, QByteArray());
        list = curl_slist_append(list, "Range: bytes=0-1");
        QByteArray scratch;
        curl_easy_setopt(probe, CURLOPT_HTTPHEADER, list);
        curl_easy_setopt(probe, CURLOPT_CONNECTTIMEOUT, kProbeConnectTimeoutSec);
        curl_easy_setopt(probe, CURLOPT_TIMEOUT, kProbeTimeoutSec);
        curl_easy_setopt(probe, CURLOPT_WRITEFUNCTION, &CUrlRequest::appendToString);
        curl_easy_setopt(probe, CURLOPT_WRITEDATA, &scratch);
        curl_easy_setopt(probe, CURLOPT_XFERINFOFUNCTION, &CUrlRequest::abortWhenCancelled);
        curl_easy_setopt(probe, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(probe, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(probe, CURLOPT_HEADERFUNCTION, &CUrlRequest::appendToString);
        curl_easy_setopt(probe, CURLOPT_HEADERDATA, &probeHeaders);
        const CURLcode result = innerEasyPerformUrl(probe, url);
        KLOG->info("responseHeader: {}", probeHeaders);
        probeStatus = responseCode(probe);
        m_httpCode = int(probeStatus);
        if (result != CURLE_OK)
            KLOG->info("SyncDownloadBigFile test support error res: {}", int(result));
        curl_easy_cleanup(probe);
        curl_slist_free_all(list);
    } else {
        KLOG->info("curl_easy_init failed");
    }
    if (cancelled())
        return -6;
    if (probeStatus != 206)
        return syncDownloadSmallFile(url, path, headers, timeoutSec);

    QByteArray rangeText;
    const qint64 total = totalFromProbeHeaders(probeHeaders, &rangeText);
    if (total <= kBigFileChunk) {
        if (total == 0)
            KLOG->info("SyncDownloadBigFile no total size in content-range: {}", rangeText);
        return syncDownloadSmallFile(url, path, headers, timeoutSec);
    }
    m_totalSize = total;
    KLOG->info("SyncDownloadBigFile Total file size: {}, parsed file_size: {} ", rangeText, total);

    // Append mode keeps what an earlier call wrote: its size is where this call resumes.
    const QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Append;
    QFile file(temporaryPath(path));
    if (!file.open(mode)) {
        KLOG->error("[DownloadBigFile] path={} open file failed.", url);
        return -1;
    }
    qint64 size = file.size();
    m_baseOffset = size;
    emit sigOnProgress(int(size * 100 / total));

    int result = 0;
    int reopenCounter = 0;
    while (size != total) {
        result = downloadBigFileRange(file, url, path, headers, total, size);
        m_baseOffset = size;
        if (cancelled()) {
            result = -6;
            break;
        }
        if (reopenCounter < kReopenCounterLimit) {
            reopenCounter += 2;
            file.close();
            if (!file.open(mode)) {
                KLOG->error("[DownloadBigFile] path= {} reopen file failed.", url);
                return -1;
            }
            KLOG->error("[syncDownloadFile] path= {} reopen file; file offset: %lld, file real size: %lld",
                        url);
            size = file.size();
        } else if (result != 0) {
            break;
        }
        if (size >= total)
            break;
    }

    if (size < total) {
        file.close();
        return result;
    }
    if (size > total)
        file.resize(total);
    file.close();
    moveTempFile(temporaryPath(path), path);
    emit sigOnProgress(100);
    return result;
}

int CUrlRequest::downloadBigFileRange(QFile& file, const QString& url, const QString& path,
                                      const HeaderMap& headers, qint64 total, qint64& offset)
{
    if (offset >= total) {
        KLOG->error("[downloadBigFileRange] path= {} has downloaded.", path);
        return 0;
    }
    curl_slist* list = buildHeaderList(nullptr, headers, QByteArray());
    CURL* handle = curl_easy_init();
    if (!handle) {
        KLOG->error("[downloadBigFileRange] path= {} create curl interface failed.", url);
        curl_slist_free_all(list);
        return -2;
    }

    file.seek(offset);
    const qint64 end = offset + kBigFileChunk;
    QByteArray rangeLine;
    qint64 expected = 0;
    if (end < total) {
        rangeLine = QStringLiteral("Range: bytes=%1-%2").arg(offset).arg(end - 1).toUtf8();
        expected = kBigFileChunk;
    } else {
        rangeLine = QStringLiteral("Range: bytes=%1-").arg(offset).toUtf8();
        expected = total - offset;
    }
    list = curl_slist_append(list, rangeLine.constData());

    QByteArray buffer;
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kRangeConnectTimeoutSec);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kRangeTimeoutSec);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CUrlRequest::appendToString);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &buffer);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &CUrlRequest::onTransferProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    m_curlHandle = handle;

    int result = 0;
    const CURLcode performed = innerEasyPerformUrl(handle, url);
    if (performed != CURLE_OK) {
        KLOG->error("SyncDownloadBigFile -> downloadBigFileRange: innerEasyPerformUrl res: {}, range: {}",
                    int(performed), rangeLine);
        result = int(performed);
    } else {
        const long status = responseCode(handle);
        m_httpCode = int(status);
        if (status != 206 && status != 200) {
            KLOG->error("SyncDownloadBigFile -> downloadBigFileRange: download file failed, url {} httpCode {},  res: {}, range: {}",
                        url, status, buffer, rangeLine);
            result = -3;
        } else {
            if (buffer.size() < expected)
                KLOG->error("SyncDownloadBigFile -> downloadBigFileRange: download data wrong, url: {} local path: {},  res: {}, range: {}",
                            url, path, buffer.size(), rangeLine);
            const qint64 written = file.write(buffer);
            if (written <= 0) {
                KLOG->error("SyncDownloadBigFile -> downloadBigFileRange: write file failed, url: {} local path: {},  res: {}, range: {}",
                            url, path, buffer.size(), rangeLine);
                result = -4;
            } else {
                offset += written;
                KLOG->info("SyncDownloadBigFile -> downloadBigFileRange Range: bytes: {}, writed:{}, http_code {}",
                           rangeLine, written, status);
                file.flush();
            }
        }
    }

    curl_easy_cleanup(handle);
    m_curlHandle = nullptr;
    curl_slist_free_all(list);
    return result;
}

CURLcode CUrlRequest::performIntoFile(CURL* handle, QFile& file, const QString& url,
                                      const HeaderMap& headers, int timeoutSec, bool reportProgress)
{
    curl_slist* list = buildHeaderList(nullptr, headers, QByteArray());
    if (list)
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kOneTransferConnectTimeoutSec);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, downloadTimeout(timeoutSec));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CUrlRequest::writeToDevice);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<QIODevice*>(&file));
    // Without progress the callback only ends the transfer of a cancelled request (a print
    // download the agent abandons as it quits), at the latest a second after the cancel.
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION,
                     reportProgress ? &CUrlRequest::onTransferProgress : &CUrlRequest::abortWhenCancelled);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    const CURLcode performed = innerEasyPerformUrl(handle, url);
    m_httpCode = int(responseCode(handle));
    // The handle outlives the list; it must not point at freed lines.
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(list);
    return performed;
}

int CUrlRequest::syncDownloadSmallFile(const QString& url, const QString& path,
                                       const HeaderMap& headers, int timeoutSec)
{
    if (url.isEmpty() || path.isEmpty())
        return -5;
    const QString temp = temporaryPath(path);
    QFile::remove(path);
    QFile::remove(temp);
    QElapsedTimer clock;
    clock.start();

    CURL* handle = curl_easy_init();
    if (!handle)
        return -2;
    QFile file(temp);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        KLOG->error("[syncDownloadSmallFile] path={} open file failed.", url);
        curl_easy_cleanup(handle);
        return -1;
    }

    const CURLcode performed = performIntoFile(handle, file, url, headers, timeoutSec, true);

    if (performed != CURLE_OK)
        KLOG->error("syncDownloadSmallFile failed, url= {}, res= {}, file path:{}, cost time: {}",
                    url, int(performed), path, clock.elapsed());
    else
        KLOG->error("syncDownloadSmallFile succeed, url= {},  file path:{},cost time: {}", url, path,
                    clock.elapsed());

    curl_easy_cleanup(handle);
    file.close();

    int result = int(performed);
    if (performed == CURLE_OK) {
        if (!renameOntoTarget(temp, path)) {
            KLOG->error("KELHttpRequest::SyncDownloadFile move file failed: {}", path);
            result = -4;
        }
        emit sigOnProgress(100);
    }
    return result;
}

int CUrlRequest::syncDownloadPrintFile(const QString& url, const QString& path,
                                       const HeaderMap& headers, int timeoutSec)
{
    if (url.isEmpty() || path.isEmpty())
        return -5;
    const QString temp = temporaryPath(path);
    m_httpCode = 0;
    m_errorString.clear();
    QFile::remove(path);
    QFile::remove(temp);
    m_failStage.clear();
    QElapsedTimer clock;
    clock.start();

    const auto failed = [&](int result) {
        KLOG->error("syncDownloadPrintFile final failed. url={}, filePath={}, tempFile={}, ret={}, httpCode={}, curlErr={}, costMs={}, failStage={}",
                    url, path, temp, result, m_httpCode, m_errorString, clock.elapsed(), m_failStage);
        return result;
    };

    CURL* handle = curl_easy_init();
    if (!handle) {
        m_failStage = QStringLiteral("create_curl");
        return failed(-2);
    }

    QFile file(temp);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        // A stale temporary file (still held by a finished download, say) gets one more chance.
        QThread::msleep(kOpenRetryPauseMs);
        QFile::remove(temp);
        if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
            m_failStage = QStringLiteral("open_target_file");
            KLOG->error("[syncDownloadPrintFile] path={} open file failed after retry. failStage={}, targetFile={}, tempFile={}, dirExists={}",
                        url, m_failStage, path, temp, QFileInfo(temp).absoluteDir().exists());
            curl_easy_cleanup(handle);
            return failed(-1);
        }
        KLOG->warn("[syncDownloadPrintFile] path={} open file succeeded on retry. targetFile={}, tempFile={}",
                   url, path, temp);
    }

    const CURLcode performed = performIntoFile(handle, file, url, headers, timeoutSec, false);
    if (performed != CURLE_OK)
        m_errorString = curl_easy_strerror(performed);
    curl_easy_cleanup(handle);
    file.close();

    if (performed != CURLE_OK) {
        m_failStage = QStringLiteral("curl_perform");
        KLOG->error("syncDownloadPrintFile failed, url={}, filePath={}, tempFile={}, ret={}, httpCode={}, curlErr={}, costMs={}, failStage={}",
                    url, path, temp, int(performed), m_httpCode, m_errorString, clock.elapsed(), m_failStage);
        return failed(int(performed));
    }

    if (!renameOntoTarget(temp, path)) {
        m_failStage = QStringLiteral("move_temp_file");
        KLOG->error("KELHttpRequest::SyncDownloadFile move file failed. url={}, filePath={}, tempFile={}, ret={}, httpCode={}, curlErr={}, failStage={}",
                    url, path, temp, -4, m_httpCode, m_errorString, m_failStage);
        return failed(-4);
    }
    if (!QFile::exists(path)) {
        m_failStage = QStringLiteral("target_file_missing");
        KLOG->error("syncDownloadPrintFile target file missing after move. url={}, filePath={}, tempFile={}, ret={}, httpCode={}, curlErr={}, failStage={}",
                    url, path, temp, -4, m_httpCode, m_errorString, m_failStage);
        return failed(-4);
    }
    KLOG->info("syncDownloadPrintFile succeed, url={}, filePath={}, costMs={}", url, path, clock.elapsed());
    return 0;
}
