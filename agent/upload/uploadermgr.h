#pragma once

#include "command/credentials.h"
#include "http/curlrequest.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <deque>
#include <map>
#include <memory>
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
    bool cookieWithheldLogged = false;
};

// Sends every scanned page to the server of the current batch, at most six at a time in the
// order they arrive, and tells the web page how the batch went. Used from the GUI thread, the
// command server's thread, the JPEG runnables and the upload tasks; every operation takes the
// manager's lock, and events leave after it is released.
class KELUploaderMgr : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxRunningUploads = 6;

    static KELUploaderMgr* instance();
    KELUploaderMgr();
    ~KELUploaderMgr() override;

    // The batch of a "start-scan" command. A batch number given again continues that batch:
    // its target is replaced, its counters of pages still uploading stay.
    void setBatchTaskInfo(const QString& url, const QString& unionKey, const QString& batchNo,
                          int paperVersion);
    // The credentials of the latest "login" and the servers they may go to; tasks created
    // earlier keep their copy.
    void setTokenParams(const KELCredentials& params, const KELCookieScope& scope);
    // One encoded page of the active batch, saved as `filePath` with `fileSize` bytes (from the
    // page pipeline, on the pool). The upload reads the file when it runs, so a waiting page
    // holds no memory.
    void uploadSavedFile(const QString& filePath, int sortNo, qint64 fileSize);
    // The same for a page whose file could not be written: its bytes wait in memory.
    void uploadFile(const QString& filePath, int sortNo, const QByteArray& data);
    // The scan controller saw the batch end; "uploaded-end" follows its last answer.
    void batchScanEnd(const QString& batchNo);
    // A task's end: counts the page and destroys `task`. Two uploads of the same file path
    // are told apart by the task itself.
    void removeTask(const QString& filePath, bool succeeded, const QString& batchNo,
                    const KELUploadTask* task);
    // Sends "uploaded-end" once the batch has ended and every page of it has been answered.
    void checkBatchFinished(const QString& batchNo);
    // Quitting: drops waiting pages, cancels running ones and forgets the batches.
    void stopAll();

    // Pages of the batch handed over since its last "uploaded-end".
    int pageCount(const QString& batchNo) const;
    int runningCount() const;
    int pendingCount() const;

Q_SIGNALS:
    void sigFinishUploadAllImages();

private:
    void startTask(std::unique_ptr<KELUploadTask> task);
    void queue(const QString& filePath, int sortNo, qint64 size, const QByteArray& data);

    HeaderMap headers;
    KELCookieScope cookieScope;
    std::multimap<QString, std::unique_ptr<KELUploadTask>> activeTasks;
    std::deque<std::unique_ptr<KELUploadTask>> pendingTasks;
    mutable std::recursive_mutex mutex;
    QString activeBatchNo;
    QMap<QString, UploadBatchInfo> batches;
};
