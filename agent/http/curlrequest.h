#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

class QFile;
class KELStreamedBody;

// Request headers by name, walked in name order when the header lines are built.
using HeaderMap = QMap<QString, QString>;

// One HTTP exchange of the agent over libcurl: a request with retries, or a file download.
// Every operation blocks and runs on the caller's thread; one object serves one piece of work
// and is not shared between threads (only `setCancelled` may come from elsewhere).
//
// Every transfer speaks http or https only, follows redirects (an https request to https
// addresses only, a POST as a POST with its body) and verifies TLS peers and host names, unless
// the setting "tlsverify" is "0" (never for a request told to verify always); "cafile" names a
// CA bundle trusted besides the system's.
//
// Results are integers: 0 success, a positive libcurl code, or a negative code of the download
// operations (-1 file cannot be opened or bad arguments, -2 no transfer handle, -3 bad range
// answer status, -4 write or rename failed, -5 empty URL or path, -6 cancelled).
class CUrlRequest : public QObject {
    Q_OBJECT
public:
    // Files up to this size are fetched in one transfer; larger ones in ranges of this size.
    static constexpr qint64 kBigFileChunk = 20971520;

    explicit CUrlRequest(QObject* parent = nullptr);
    ~CUrlRequest() override;

    // libcurl's process-wide initialisation. Call once from the main thread before any other
    // thread can start a transfer: leaving it to the first handle races when several pool
    // threads create their first handles at once. Later calls do nothing.
    static bool globalInit();

    struct Timeouts {
        long connectSec;
        long totalSec;
    };
    // The time-outs of `syncRequest`: `timeoutSec` (30 when not above 0), connecting half of it.
    static Timeouts requestTimeouts(int timeoutSec);

    // Waits before the first, second and third retry (1 s, 2 s, 4 s, then 4 s).
    static int retryDelayMs(int retryIndex);

    // One request; a failed transfer is tried again up to `retryCount` times after a pause that
    // a cancel cuts short. Each attempt starts from an empty answer. HTTP error statuses are
    // answers, not failures: httpCode() tells them.
    int syncRequest(bool isPost, const QString& url, const QByteArray& body,
                    const HeaderMap& headers, int timeoutSec, int retryCount);
    // The same POST with a body read while it is sent; each attempt rewinds it. A body that
    // cannot be produced (its file is gone) ends the request with CURLE_READ_ERROR.
    int syncRequest(const QString& url, KELStreamedBody& body, const HeaderMap& headers, int timeoutSec,
                    int retryCount);

    // Resumable download: ranges of kBigFileChunk into "<path>.download", which survives
    // failures so the next call continues where this one stopped.
    int SyncDownloadBigFile(const QString& url, const QString& path, const HeaderMap& headers,
                            int timeoutSec);
    int syncDownloadSmallFile(const QString& url, const QString& path, const HeaderMap& headers,
                              int timeoutSec);
    // One-transfer download with diagnostics: see httpCode(), errorString(), failStage().
    int syncDownloadPrintFile(const QString& url, const QString& path, const HeaderMap& headers,
                              int timeoutSec);

    // Renames `from` onto `to`; never replaces an existing `to`.
    static bool moveTempFile(const QString& from, const QString& to);

    qint64 totalSize() const { return m_totalSize; }
    qint64 baseOffset() const { return m_baseOffset; }
    const QByteArray& responseBody() const { return m_responseBody; }
    const QByteArray& responseHeaders() const { return m_responseHeaders; }
    const QByteArray& errorString() const { return m_errorString; }
    int httpCode() const { return m_httpCode; }
    // The status line of the last answer after redirects ("HTTP/1.1 500 Internal Server Error").
    QByteArray statusLine() const;
    bool uploadMode() const { return m_uploadMode; }
    // Where the last print download failed ("create_curl", "open_target_file", "curl_perform",
    // "move_temp_file", "target_file_missing"); empty after success.
    const QString& failStage() const { return m_failStage; }

    bool cancelled() const { return m_cancelled.load(); }
    // Any thread: a pause between attempts ends at once, a transfer within a second.
    void setCancelled(bool value);

    // TLS peers and host names are verified whatever "tlsverify" says, and redirects go to
    // https only: for what decides which program runs on this PC.
    void setAlwaysVerifyTls(bool always) { m_alwaysVerifyTls = always; }

signals:
    void sigOnProgress(int progress);

private:
    static curl_slist* buildHeaderList(curl_slist* list, const HeaderMap& headers,
                                       const QByteArray& defaultLine);
    // The settings every transfer shares (protocols, redirects, TLS, user agent), then the transfer.
    CURLcode innerEasyPerformUrl(CURL* handle, const QString& url) const;
    static long responseCode(CURL* handle);
    // false when cancelled meanwhile.
    bool waitBeforeRetry(int retryIndex);
    static int onTransferProgress(void* request, curl_off_t downloadTotal, curl_off_t downloadNow,
                                  curl_off_t uploadTotal, curl_off_t uploadNow);
    static int abortWhenCancelled(void* request, curl_off_t downloadTotal, curl_off_t downloadNow,
                                  curl_off_t uploadTotal, curl_off_t uploadNow);
    static size_t appendToString(char* data, size_t size, size_t count, void* target);
    static size_t readStreamedBody(char* buffer, size_t size, size_t count, void* body);
    static int seekStreamedBody(void* body, curl_off_t offset, int origin);
    // Either `bytes` or `stream` is the body of a POST; neither for a GET.
    int performRequest(bool isPost, const QString& url, const QByteArray* bytes, KELStreamedBody* stream,
                       const HeaderMap& headers, int timeoutSec, int retryCount);
    static size_t writeToDevice(char* data, size_t size, size_t count, void* device);

    int downloadBigFileRange(QFile& file, const QString& url, const QString& path,
                             const HeaderMap& headers, qint64 total, qint64& offset);
    // The transfer of a one-transfer download into the open temporary file; sets httpCode.
    CURLcode performIntoFile(CURL* handle, QFile& file, const QString& url,
                             const HeaderMap& headers, int timeoutSec, bool reportProgress);
    // The total after "/" in the probe's Content-Range line; 0 when it is missing or unknown.
    static qint64 totalFromProbeHeaders(const QByteArray& headers, QByteArray* rangeText);

    qint64 m_totalSize = 0;
    qint64 m_baseOffset = 0;
    QByteArray m_responseBody;
    QByteArray m_responseHeaders;
    QByteArray m_errorString;
    int m_httpCode = 200;
    bool m_uploadMode = false;
    CURL* m_curlHandle = nullptr;
    std::atomic<bool> m_cancelled{false};
    bool m_alwaysVerifyTls = false;
    std::mutex m_cancelMutex;
    std::condition_variable m_cancelChanged;
    QString m_failStage;
};
