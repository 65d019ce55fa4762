#include "http/curlrequest.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "http/streamedbody.h"

#include <QElapsedTimer>
#include <QFile>
#include <QIODevice>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace {
constexpr const char* kUserAgent = "kel curl vellox";
constexpr int kDefaultRequestTimeoutSec = 30;
constexpr long kMaxRedirects = 10;
constexpr int kFirstRetryDelayMs = 1000;
constexpr int kRetryDelayDoublings = 2; // 1 s, 2 s, then 4 s

bool startsWithHttps(const QString& url)
{
    return url.trimmed().startsWith(QLatin1String("https:"), Qt::CaseInsensitive);
}

// Failures that the same request would meet again: retrying them only delays the answer.
bool isFinal(CURLcode code)
{
    switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_ABORTED_BY_CALLBACK:
        return true;
    default:
        return false;
    }
}

// A header line must stay one line: a name or value with a line break or NUL in it would let
// its sender add headers of its own.
bool isSafeHeaderText(const QString& text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c.isNull())
            return false;
    }
    return true;
}
} // namespace

CUrlRequest::CUrlRequest(QObject* parent)
    : QObject(parent)
{
}

CUrlRequest::~CUrlRequest()
{
    if (m_curlHandle)
        curl_easy_cleanup(m_curlHandle);
}

bool CUrlRequest::globalInit()
{
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_ALL); });
    return result == CURLE_OK;
}

int CUrlRequest::retryDelayMs(int retryIndex)
{
    return kFirstRetryDelayMs << std::clamp(retryIndex, 0, kRetryDelayDoublings);
}

bool CUrlRequest::waitBeforeRetry(int retryIndex)
{
    std::unique_lock<std::mutex> lock(m_cancelMutex);
    return !m_cancelChanged.wait_for(lock, std::chrono::milliseconds(retryDelayMs(retryIndex)),
                                     [this] { return cancelled(); });
}

void CUrlRequest::setCancelled(bool value)
{
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_cancelled.store(value);
    }
    m_cancelChanged.notify_all();
}

QByteArray CUrlRequest::statusLine() const
{
    // Every answer of a redirect chain is in the header lines; the last status line is the final one.
    QByteArray last;
    for (const QByteArray& line : m_responseHeaders.split('\n')) {
        if (line.startsWith("HTTP/"))
            last = line.trimmed();
    }
    return last;
}

long CUrlRequest::responseCode(CURL* handle)
{
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

CUrlRequest::Timeouts CUrlRequest::requestTimeouts(int timeoutSec)
{
    const long total = timeoutSec > 0 ? timeoutSec : kDefaultRequestTimeoutSec;
    return {total / 2, total};
}

curl_slist* CUrlRequest::buildHeaderList(curl_slist* list, const HeaderMap& headers,
                                         const QByteArray& defaultLine)
{
    bool hasContentType = false;
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        if (it.value().isEmpty())
            continue;
        // The user agent is always our own (common settings), whatever the caller asks for.
        if (it.key().compare(QLatin1String("User-Agent"), Qt::CaseInsensitive) == 0)
            continue;
        if (!isSafeHeaderText(it.key()) || !isSafeHeaderText(it.value())) {
            KLOG->warn("header {} dropped: a line break in its name or value", KELLog::clipped(it.key()));
            continue;
        }
        QByteArray name = it.key().toUtf8();
        if (it.key().compare(QLatin1String("Content-Type"), Qt::CaseInsensitive) == 0) {
            name = QByteArrayLiteral("Content-Type");
            hasContentType = true;
        }
        const QByteArray line = name + ':' + it.value().toUtf8();
        list = curl_slist_append(list, line.constData());
    }
    if (!hasContentType && !defaultLine.isEmpty())
        list = curl_slist_append(list, defaultLine.constData());
    return list;
}

CURLcode CUrlRequest::innerEasyPerformUrl(CURL* handle, const QString& url) const
{
    const QByteArray urlBytes = url.toUtf8(); // libcurl keeps its own copy
    curl_easy_setopt(handle, CURLOPT_URL, urlBytes.constData());
    // No file://, ftp:// or the other schemes libcurl knows: an address from a web page must
    // not read local files or reach other services.
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // What started encrypted stays encrypted: a redirect never takes the page or the session
    // cookie to plain http.
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR,
                     startsWithHttps(url) || m_alwaysVerifyTls ? "https" : "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    // A moved upload address gets the page again, not an empty GET.
    curl_easy_setopt(handle, CURLOPT_POSTREDIR, long(CURL_REDIR_POST_ALL));

    KELGlobalConfig* config = KELGlobalConfig::instance();
    // Off only for a school server with a certificate of its own making, and only when asked.
    const bool verify = m_alwaysVerifyTls || config->value(QStringLiteral("tlsverify")) != QLatin1String("0");
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    // The system's CA folder stays in use beside the named bundle.
    const QByteArray caFile = QFile::encodeName(config->value(QStringLiteral("cafile")));
    curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.isEmpty() ? nullptr : caFile.constData());
    // Windows' TLS fails a connection whose certificate's revocation list it cannot fetch (a
    // school's firewall, a school's own CA without one), which would fail every upload there.
    // A certificate known to be revoked is still refused. Other TLS libraries ignore the option.
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_REVOKE_BEST_EFFORT));

    curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
    // Transfers run on many pool threads at once: time-outs must not be signal-based.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    return curl_easy_perform(handle);
}

int CUrlRequest::onTransferProgress(void* request, curl_off_t downloadTotal, curl_off_t downloadNow,
                                    curl_off_t uploadTotal, curl_off_t uploadNow)
{
    auto* self = static_cast<CUrlRequest*>(request);
    // A cancelled request (the agent is quitting) ends its transfer now instead of holding a
    // pool thread, which the process waits for at exit, until the server answers or the
    // download ends.
    if (self->cancelled())
        return 1;
    if (self->m_uploadMode) {
        if (uploadTotal > 0)
            emit self->sigOnProgress(static_cast<int>(qint64(uploadNow) * 100 / qint64(uploadTotal)));
    } else if (self->m_totalSize > 0) {
        // A ranged chunk counts only its own bytes; what earlier chunks wrote is the base.
        emit self->sigOnProgress(
            static_cast<int>((qint64(downloadNow) + self->m_baseOffset) * 100 / self->m_totalSize));
    } else if (downloadTotal > 0) {
        emit self->sigOnProgress(static_cast<int>(qint64(downloadNow) * 100 / qint64(downloadTotal)));
    }
    return 0;
}

int CUrlRequest::abortWhenCancelled(void* request, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<CUrlRequest*>(request)->cancelled() ? 1 : 0;
}

size_t CUrlRequest::appendToString(char* data, size_t size, size_t count, void* target)
{
    const size_t bytes = size * count;
    static_cast<QByteArray*>(target)->append(data, static_cast<int>(bytes));
    return bytes;
}

size_t CUrlRequest::writeToDevice(char* data, size_t size, size_t count, void* device)
{
    // Anything but the full count ends the transfer with libcurl's write error.
    const qint64 written = static_cast<QIODevice*>(device)->write(data, qint64(size * count));
    return written < 0 ? 0 : static_cast<size_t>(written);
}

size_t CUrlRequest::readStreamedBody(char* buffer, size_t size, size_t count, void* body)
{
    const qint64 read = static_cast<KELStreamedBody*>(body)->read(buffer, qint64(size * count));
    return read < 0 ? CURL_READFUNC_ABORT : size_t(read);
}

int CUrlRequest::seekStreamedBody(void* body, curl_off_t offset, int origin)
{
    // libcurl goes back only to the start (a redirect or an authentication round).
    if (offset == 0 && origin == SEEK_SET && static_cast<KELStreamedBody*>(body)->rewind())
        return CURL_SEEKFUNC_OK;
    return CURL_SEEKFUNC_CANTSEEK;
}

int CUrlRequest::syncRequest(bool isPost, const QString& url, const QByteArray& body,
                             const HeaderMap& headers, int timeoutSec, int retryCount)
{
    return performRequest(isPost, url, isPost ? &body : nullptr, nullptr, headers, timeoutSec, retryCount);
}

int CUrlRequest::syncRequest(const QString& url, KELStreamedBody& body, const HeaderMap& headers, int timeoutSec,
                             int retryCount)
{
    return performRequest(true, url, nullptr, &body, headers, timeoutSec, retryCount);
}

int CUrlRequest::performRequest(bool isPost, const QString& url, const QByteArray* bytes, KELStreamedBody* stream,
                                const HeaderMap& headers, int timeoutSec, int retryCount)
{
    CURL* handle = curl_easy_init();
    if (!handle)
        return -1;
    m_uploadMode = true;
    KLOG->debug("curlwrapper: request url is {}", KELLog::clipped(url));

    const Timeouts timeouts = requestTimeouts(timeoutSec);
    curl_slist* list = buildHeaderList(nullptr, headers,
                                       QByteArrayLiteral("Content-Type: application/octet-stream"));
    const qint64 bodySize = stream ? stream->size() : bytes ? bytes->size() : 0;
    if (isPost) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        // The size is given so that bodies with zero bytes in them go out whole.
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(bodySize));
        if (stream) {
            curl_easy_setopt(handle, CURLOPT_READFUNCTION, &CUrlRequest::readStreamedBody);
            curl_easy_setopt(handle, CURLOPT_READDATA, stream);
            curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, &CUrlRequest::seekStreamedBody);
            curl_easy_setopt(handle, CURLOPT_SEEKDATA, stream);
        } else {
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, bytes->constData());
        }
        list = curl_slist_append(list, QByteArray("Content-Length:" + QByteArray::number(bodySize)).constData());
    } else {
        curl_easy_setopt(handle, CURLOPT_POST, 0L);
    }
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list);

    QByteArray headerBuffer;
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CUrlRequest::appendToString);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &m_responseBody);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CUrlRequest::appendToString);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &headerBuffer);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, timeouts.connectSec);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, timeouts.totalSec);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &CUrlRequest::onTransferProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);

    QElapsedTimer clock;
    clock.start();
    CURLcode result = CURLE_OK;
    for (int attempt = 0;; ++attempt) {
        // What a broken attempt received must not be taken for part of the next answer.
        m_responseBody.clear();
        headerBuffer.clear();
        m_httpCode = 0;
        if (stream && !stream->rewind()) {
            KLOG->error("request body cannot be read: {}", stream->errorText());
            result = CURLE_READ_ERROR;
            break;
        }
        result = innerEasyPerformUrl(handle, url);
        if (result == CURLE_OK)
            break;
        KLOG->error("Curl perform error, code({}), url: {}, data size: {}, retry time {}",
                    int(result), KELLog::clipped(url), bodySize, attempt);
        if (stream && !stream->errorText().isEmpty())
            KLOG->error("request body cannot be read: {}", stream->errorText());
        if (attempt >= retryCount || isFinal(result) || !waitBeforeRetry(attempt))
            break;
    }
    m_httpCode = int(responseCode(handle));
    m_responseHeaders = headerBuffer;

    if (result == CURLE_OK)
        KLOG->error("request succeed, url: {}, data size: {},  cost time {}", KELLog::clipped(url),
                    bodySize, clock.elapsed());
    else
        m_errorString = curl_easy_strerror(result);

    curl_slist_free_all(list);
    curl_easy_cleanup(handle);
    return int(result);
}
