#pragma once

#include "http/curlrequest.h"

#include <QByteArray>
#include <QRunnable>
#include <QString>

// One scanned page on its way to the batch's server: a runnable on the global pool, owned by
// the upload manager, which destroys it when the task reports its end.
class KELUploadTask : public QRunnable {
public:
    KELUploadTask(const QString& filePath, int sortNo, const QByteArray& data, const QString& url,
                  const QString& batchNo, const QString& unionKey, int paperVersion,
                  const HeaderMap& headers);

    void run() override;

    const QString& path() const { return filePath; }
    int pageSize() const { return data.size(); }
    int pageIndex() const { return sortNo; }
    void cancel() { request.setCancelled(true); }

    // The "file" value of the request body: the page as a JPEG data URI, turned for scanners
    // that deliver the sides of a sheet upside down.
    static QByteArray fileValue(const QByteArray& jpeg, int sortNo, const QString& scannerName);
    static QByteArray requestBody(const QByteArray& fileValue, int sortNo, const QString& unionKey,
                                  const QString& batchNo, int paperVersion);

private:
    // Sends the page's result to the web page; true when the server accepted the page.
    bool report(int result, qint64 elapsedMs, int bodySize);

    QString filePath;
    QString url;
    QString batchNo;
    QString unionKey;
    int paperVersion;
    HeaderMap headers;
    QByteArray data;
    CUrlRequest request;
    int sortNo;
};
