#include "http/curlrequest.h"

#include "foundation/logging.h"

#include <QElapsedTimer>
#include <QIODevice>

#include <mutex>

namespace {
constexpr const char* kUserAgent = "kel curl vellox";
constexpr int kDefaultRequestTimeoutSec = 30;
}

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

CURLcode CUrlRequest::innerEasyPerformUrl(CURL* handle)
{
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
    // Transfers run on many pool threads at once: time-outs must not be signal-based.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    return curl_easy_perform(handle);
}

int CUrlRequest::onTransferProgress(void* request, curl_off_t downloadTotal, curl_off_t downloadNow,
                                    curl_off_t uploadTotal, curl_off_t uploadNow)
{
    auto* self = static_cast<CUrlRequest*>(request);
    if (self->m_uploadMode) {
        // A cancelled request (the agent is quitting) ends its transfer now instead of holding
        // a pool thread, which the process waits for at exit, until the server answers.
        // Downloads stop between their ranges instead.
        if (self->cancelled())
            return 1;
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

int CUrlRequest::syncRequest(bool isPost, const QString& url, const QByteArray& body,
                             const HeaderMap& headers, int timeoutSec, int retryCount)
{
    CURL* handle = curl_easy_init();
    if (!handle)
        return -1;
    m_uploadMode = true;
    KLOG->debug("curlwrapper: request url is {}", url);

    const Timeouts timeouts = requestTimeouts(timeoutSec);
    curl_slist* list = buildHeaderList(nullptr, headers,
                                       QByteArrayLiteral("Content-Type: application/octet-stream"));
    const QByteArray urlBytes = url.toUtf8();
    curl_easy_setopt(handle, CURLOPT_URL, urlBytes.constData());
    if (isPost) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        // The size is given so that bodies with zero bytes in them go out whole.
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.constData());
        list = curl_slist_append(list, QByteArray("Content-Length:" + QByteArray::number(body.size())).constData());
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
    CURLcode result = innerEasyPerformUrl(handle);
    for (int attempt = 0; result != CURLE_OK; ++attempt) {
        KLOG->error("Curl perform error, code({}), url: {}, data size: {}, retry time {}",
                    int(result), url, body.size(), attempt);
        if (attempt >= retryCount || cancelled())
            break;
        result = innerEasyPerformUrl(handle);
    }
    m_responseHeaders = headerBuffer;

    if (result == CURLE_OK)
        KLOG->error("request succeed, url: {}, data size: {},  cost time {}", url, body.size(),
                    clock.elapsed());
    else
        m_errorString = curl_easy_strerror(result);

    curl_slist_free_all(list);
    curl_easy_cleanup(handle);
    return int(result);
}
