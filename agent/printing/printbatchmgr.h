#pragma once

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
    QString origin;        // the origin of that page: where the results go once it has gone
    QString reqId;
    std::vector<QString> studentKeys; // in print order
    int studentCount = 0;
    int finishedCount = 0;
    int successCount = 0;
    int failureCount = 0;
    int nextDownloadIndex = 0;
    int activeWindowCount = 0; // downloads started and not yet finished
    bool stopped = false;
    bool stopRequested = false; // stopped by a page ("stop-print"), not by a failure
    QString stopMsg;
    qint64 createdMs = 0;
};

// One student of a batch.
struct StudentTaskInfo : PrintStudent {
    QString studentKey; // batch id, student id and position; also the prepared task's id
    QString batchId;
    QString connectionKey;
    int orderIndex = 0;
    QJsonObject config;
    QString downloadDir;
    std::shared_ptr<StudentDownload> download;
    QString failedImage; // the image whose download failed
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
// students downloaded ahead, and reports each student's result to the page that sent the batch
// (or, once it has gone, to the pages of its origin); the first failure stops the batch, and so
// does a "stop-print" of a page of that origin. Owned by the GUI thread, where its slots run.
class KELPrintBatchMgr : public QObject {
    Q_OBJECT
public:
    // An event of a batch to its page: the connection of the command, or once that has gone the
    // pages of `origin` (by default through the command server).
    using EventSender = std::function<void(const QString& connectionKey, const QString& origin, const QString& cmd,
                                           const QString& reqId, int ret, const QJsonObject& data,
                                           const QString& msg)>;

    static KELPrintBatchMgr* instance();
    KELPrintBatchMgr(); // the agent's print task manager, folders and command server
    KELPrintBatchMgr(KELPrinterMgr* printerMgr, const QString& downloadFolder, EventSender sender,
                     QObject* parent = nullptr);
    ~KELPrintBatchMgr() override;

    // A validated "printBatch" command (every student checked by the controller); `origin` is
    // the Origin of the page that sent it.
    void createBatch(QString connectionKey, QString reqId, QJsonArray students, QString origin = QString());
    // The credentials of the latest "login", sent with the image downloads `scope` allows.
    void setDownloadTokenParam(std::map<QString, QString> items, const KELCookieScope& scope);
    // "stop-print" of a page of `origin`: its batches (or only `batchId`) drop their queued
    // students and take back the job at the printer, and each ends with one "print-stopped"
    // event. The number of batches stopped.
    int stopBatches(const QString& origin, const QString& batchId = QString());
    // "print-status" of a page of `origin`: its batches, each with its students printed,
    // failed, at the printer and queued.
    QJsonArray batchStatus(const QString& origin) const;
    // Quitting: no student starts any more and downloads in flight are abandoned.
    void stopAll();

    int batchCount() const;

public Q_SLOTS:
    void slotStudentDownloadFinished(QString student_key, bool success, QStringList local_files, QString message,
                                     QString failed_url, QString download_dir);
    void slotStudentPrintFinished(QString student_key, bool success, QString message);
    void slotStudentPrintWaiting(QString student_key, QString reason, QString printer_name, QString text);

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
    // Ends a student: its download stops, its files go, the page hears of it unless `tell` is off.
    void notifyStudentFinished(const Student& student, bool success, const QString& message, bool tell = true);
    void sendBatchEvent(const Batch& batch, const QString& cmd, int code, QJsonObject data, const QString& message);
    void checkBatchFinished(const Batch& batch);
    QString batchFolder(const QString& batchId) const;

    KELPrinterMgr* printerMgr;
    const QString downloads;
    EventSender sendEvent;
    mutable std::recursive_mutex lock;
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
    KELPrintBatchTask(KELPrintBatchMgr* manager, const StudentTaskInfo& student);
    void run() override;

private:
    KELPrintBatchMgr* const manager;
    const QString studentKey;
    const QString batchId;
    const QString studentId;
    const QString studentName;
    const QStringList imgList;
    const QString downloadDir;
    const std::shared_ptr<StudentDownload> download;
};
