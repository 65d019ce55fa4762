#pragma once

#include "http/curlrequest.h"
#include "http/streamedbody.h"

#include <QByteArray>
#include <QRunnable>
#include <QString>

// One scanned page on its way to the batch's server: a runnable on the global pool, owned by
// the upload manager, which destroys it when the task reports its end.
class KELUploadTask : public QRunnable {
public:
    // The page is the file `filePath` of `fileSize` bytes, read when the task runs, or, when
    // `data` is not empty, those bytes.
    KELUploadTask(const QString& filePath, int sortNo, qint64 fileSize, const QByteArray& data, const QString& url,
                  const QString& batchNo, const QString& unionKey, int paperVersion,
                  const HeaderMap& headers);

    void run() override;

    const QString& path() const { return filePath; }
    qint64 pageSize() const { return fileSize; }
    int pageIndex() const { return sortNo; }
    void cancel() { request.setCancelled(true); }

    // The "file" value of the request body: the page as a JPEG data URI, turned for scanners
    // that deliver the sides of a sheet upside down.
    static QByteArray fileValue(const QByteArray& jpeg, int sortNo, const QString& scannerName);
    static QByteArray requestBody(const QByteArray& fileValue, int sortNo, const QString& unionKey,
                                  const QString& batchNo, int paperVersion);
    // The same body, streamed: the JSON around the file value, the page's base64 read from
    // `filePath` (or taken from `data`) a chunk at a time. Turned pages are built in memory.
    static KELStreamedBody streamedBody(const QString& filePath, qint64 fileSize, const QByteArray& data,
                                        int sortNo, const QString& unionKey, const QString& batchNo,
                                        int paperVersion, const QString& scannerName);

private:
    // Sends the page's result to the web page; true when the server accepted the page.
    bool report(int result, qint64 elapsedMs, int bodySize);

    QString filePath;
    QString url;
    QString batchNo;
    QString unionKey;
    int paperVersion;
    HeaderMap headers;
    qint64 fileSize;
    QByteArray data;
    CUrlRequest request;
    int sortNo;
};
