#pragma once

#include "command/credentials.h"
#include "http/curlrequest.h"
#include "printing/printdownloads.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QQueue>
#include <QRunnable>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class KELPrinterMgr;

// One "printBatch" command.
struct BatchTaskInfo {
    QString batchId;
    QString connectionKey; // where the students' results go (logged as remote_key)
    QString reqId;
    std::vector<QString> studentKeys; // in print order
    int studentCount = 0;
    int finishedCount = 0;
    int successCount = 0;
    int failureCount = 0;
    int nextDownloadIndex = 0;
    int activeWindowCount = 0; // downloads started and not yet finished
    bool stopped = false;
    QString stopMsg;
    qint64 createdMs = 0;
};

// One student of a batch.
struct StudentTaskInfo {
    QString studentKey; // batch id, student id and position; also the prepared task's id
    QString batchId;
    QString connectionKey;
    QString studentId;
    QString studentName;
    QString remoteKey;
    int orderIndex = 0;
    QStringList imgList;
    QStringList localFiles;
    QJsonObject config;
    QMap<QString, QString> printConfig;
    QString downloadDir;
    bool downloadStarted = false;
    bool downloadDone = false;
    bool downloadSuccess = false;
    bool printQueued = false;
    bool finished = false;
    bool inWindow = false;
    bool success = false;
    QString message;
    qint64 downloadStartMs = 0;
    qint64 printStartMs = 0;
};

// Prints the papers of many students strictly in the order of a "printBatch" command, ten
// students downloaded ahead, and reports each student's result to the connection that sent the
// batch; the first failure stops the batch. Owned by the GUI thread, where its slots run.
class KELPrintBatchMgr : public QObject {
    Q_OBJECT
public:
    // A student's result to the batch's connection (by default `replyTo` of the command server).
    using EventSender = std::function<void(const QString& connectionKey, const QString& cmd, const QString& reqId,
                                           int ret, const QJsonObject& data, const QString& msg)>;

    static KELPrintBatchMgr* instance();
    KELPrintBatchMgr(); // the agent's print task manager, folders and command server
    KELPrintBatchMgr(KELPrinterMgr* printerMgr, const QString& downloadFolder, EventSender sender,
                     QObject* parent = nullptr);
    ~KELPrintBatchMgr() override;

    // A validated "printBatch" command (every student checked by the controller).
    void createBatch(QString connectionKey, QString reqId, QJsonArray students);
    // The credentials of the latest "login", sent with every image download.
    void setDownloadTokenParam(std::map<QString, QString> items);
    // Quitting: no student starts any more and downloads in flight are abandoned.
    void stopAll();

    PrintDownloadSwitch& downloadSwitch() { return downloadsInFlight; }
    int batchCount() const;

public Q_SLOTS:
    void slotStudentDownloadFinished(QString student_key, bool success, QStringList local_files, QString message);
    void slotStudentPrintFinished(QString student_key, bool success, QString message);

private:
    using Batch = std::shared_ptr<BatchTaskInfo>;
    using Student = std::shared_ptr<StudentTaskInfo>;

    // The student and batch a download or print result is for; no batch when it is to be ignored
    // (logged), no student either when the student is unknown.
    struct CallbackTarget {
        Student student;
        Batch batch;
    };
    CallbackTarget callbackTarget(const char* callback, const QString& studentKey) const;
    void fillDownloadWindow(const Batch& batch);
    void startStudentDownload(const Batch& batch, const Student& student);
    void dispatchPrintOrder();
    void stopBatchOnFailure(const Batch& batch, const QString& studentKey, const QString& message);
    void finalizePendingStudents(const Batch& batch, const QString& failedKey, const QString& message);
    void notifyStudentFinished(const Student& student, bool success, const QString& message);
    void sendBatchEvent(const QString& connectionKey, const QString& cmd, int code, const QJsonObject& data,
                        const QString& message);
    void checkBatchFinished(const Batch& batch);

    KELPrinterMgr* printerMgr;
    const QString downloads;
    EventSender sendEvent;
    PrintDownloadSwitch downloadsInFlight;
    mutable std::recursive_mutex lock;
    HeaderMap downloadHeaders;
    QMap<QString, Batch> batches;
    QMap<QString, Student> students;
    QQueue<QString> printQueue;
    QThreadPool downloadPool;
    qint64 batchCounter = 0;
    bool stopped = false;
};

// Downloads one student's images on the batch manager's pool and reports to the manager.
class KELPrintBatchTask : public QObject, public QRunnable {
    Q_OBJECT
public:
    KELPrintBatchTask(KELPrintBatchMgr* manager, const StudentTaskInfo& student, const HeaderMap& downloadHeaders);
    void run() override;

private:
    KELPrintBatchMgr* const manager;
    const QString studentKey;
    const QString batchId;
    const QString studentId;
    const QString studentName;
    const QStringList imgList;
    const QString downloadDir;
    const HeaderMap downloadHeaders;
};

// One image of a batch student, on the student's private pool.
class BatchImageDownloadTask : public QRunnable {
public:
    BatchImageDownloadTask(PrintDownloadSwitch& downloads, QString batchId, QString studentId, QString studentName,
                           int index, QString url, QString filePath, HeaderMap headers,
                           std::shared_ptr<ImageDownloadGroup> group);
    void run() override;

private:
    PrintDownloadSwitch& downloads;
    const QString batchId;
    const QString studentId;
    const QString studentName;
    const int index;
    const QString url;
    const QString filePath;
    const HeaderMap headers;
    std::shared_ptr<ImageDownloadGroup> group;
};
