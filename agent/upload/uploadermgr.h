#pragma once

#include "command/credentials.h"
#include "http/curlrequest.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <mutex>

class KELUploadTask;

// One scan batch as the web page announced it with "start-scan", and its page counters.
struct UploadBatchInfo {
    QString batchNo;
    QString unionKey;
    QString url;
    int paperVersion = 2;
    bool batchEnd = false;
    int total = 0;
    int succeeded = 0;
    int finished = 0;
};

// Sends every scanned page to the server of the current batch and tells the web page how the
// batch went. Used from the GUI thread, the command server's thread and the upload runnables;
// every operation takes the manager's lock.
class KELUploaderMgr : public QObject {
    Q_OBJECT
public:
    static KELUploaderMgr* instance();
    KELUploaderMgr();

    // The batch of a "start-scan" command; replaces an earlier batch of the same number.
    void setBatchTaskInfo(const QString& url, const QString& unionKey, const QString& batchNo,
                          int paperVersion);
    // The credentials of the latest "login"; tasks created earlier keep their copy.
    void setTokenParams(const KELCredentials& params);
    // One encoded page of the active batch (from the JPEG runnables, on the pool).
    void uploadFile(const QString& filePath, int sortNo, const QByteArray& data);
    // The scan controller saw the batch end; "uploaded-end" follows its last answer.
    void batchScanEnd(const QString& batchNo);
    // Quitting: drops waiting pages and forgets the batches.
    void stopAll();

Q_SIGNALS:
    void sigFinishUploadAllImages();

private:
    HeaderMap headers;
    QMap<QString, KELUploadTask*> activeTasks;
    QList<KELUploadTask*> pendingTasks;
    std::recursive_mutex mutex;
    QString activeBatchNo;
    QMap<QString, UploadBatchInfo> batches;
};
