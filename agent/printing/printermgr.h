#pragma once

#include "printing/printdownloads.h"

#include <QJsonObject>
#include <QMap>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QQueue>
#include <QRunnable>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

class CPrinter;
class KELPrinterMgr;
class QTimer;

// One student's print: a legacy task from a "print" command, whose images are downloaded first,
// or a prepared task of the batch manager with its images on disk. Lives on the GUI thread, where
// its finish handlers run; `run` executes on the global pool. The manager destroys it, and only
// once `run` has returned.
class KELPrintTask : public QObject, public QRunnable, public PrintStudent {
    Q_OBJECT
public:
    enum Source { Legacy = 0, Prepared = 1 };

    // Legacy: the command's student, with the page it came from.
    KELPrintTask(KELPrinterMgr* manager, const QString& uniqueId, const PrintStudent& student);
    // Prepared: images already downloaded.
    KELPrintTask(KELPrinterMgr* manager, const QString& uniqueId, const QString& studentName,
                 const QString& studentId, const QString& remoteKey, const QStringList& localFiles,
                 const QMap<QString, QString>& printConfig, const QString& batchStudentKey);

    void run() override;
    bool downloadImages(QString* message);
    bool printImages(QString* message);
    // Reports the end to the manager (queued).
    void finish(bool success, const QString& message);
    // Stops the download in flight (the task was cancelled, or the agent quits).
    void cancelDownload();

    // Holds of the task's life: the manager's, and the pool's while it runs. The last release
    // destroys the task on its own thread.
    void hold() { ++holders; }
    void release();

    const QString uniqueId;
    const int source;
    const bool needDownload;
    const QString batchStudentKey;
    // The image that failed to download, for the page.
    QString failedImage;
    // Read by the GUI-thread handlers while `run` writes them.
    std::atomic<bool> waitingForPrint {false};
    std::atomic<bool> finished {false};
    // The manager has dropped the task (quit): turn waits end without a report.
    std::atomic<bool> dropped {false};
    // The page stopped the task: it ends as failed unless its job has printed.
    std::atomic<bool> cancelRequested {false};
    // Stopped before its job was sent, and reported as such by the manager.
    std::atomic<bool> cancelReported {false};

public Q_SLOTS:
    void slotTrackedFinish(QString finishedId);
    void slotJobFailed(QString failedId, QString message);
    void slotJobWaiting(QString waitingId, QString printerName, QString reason, QString text);

private:
    void dropPrintConnections();
    void endWait(bool success, const QString& message);

    KELPrinterMgr* const manager;
    QList<QMetaObject::Connection> printConnections;
    QMutex connectionsMutex;
    QMutex downloadMutex;
    std::shared_ptr<StudentDownload> download;
    std::atomic<int> holders {1};
};

// Turns print requests into printed paper, one student at a time: at most five legacy tasks
// download at once, their prints take turns at the printer in the order their commands came,
// prepared tasks run one at a time and never beside legacy ones. Owned by the GUI thread; the
// command server's thread sets the download credentials.
//
// Locks, always in this order: the print-turn lock, the tasks lock, the submit lock. None is held
// while calling the printer.
class KELPrinterMgr : public QObject {
    Q_OBJECT
public:
    // Where a legacy task's events go: an event with a fresh reqId to the page of its command,
    // or, once that page has gone, to the pages of the same origin (by default through the
    // command server).
    using EventSender = std::function<void(const QString& connectionKey, const QString& origin, const QString& cmd,
                                           int ret, const QJsonObject& data, const QString& msg)>;

    static KELPrinterMgr* instance();
    KELPrinterMgr(); // the agent's printer, folders and command server
    KELPrinterMgr(CPrinter* printer, const QString& downloadFolder, EventSender sender, QObject* parent = nullptr);
    ~KELPrinterMgr() override;

    // A validated "print" command's data, with "remoteKey" naming the requesting connection and
    // "remoteOrigin" that page's origin.
    void addLegacyPrintTask(QJsonObject data);
    // A batch student whose images are on disk; false when a task with that id exists.
    bool enqueuePreparedTask(QString uniqueId, QString studentName, QString studentId, QString remoteKey,
                             QStringList localFiles, QMap<QString, QString> printConfig,
                             QString batchStudentKey);
    // The agent's own print of files on disk (the tray's test print): a prepared task without a
    // student or batch, whose end is signalled by sigLocalTaskFinished. False when a task with
    // that id exists.
    bool enqueueLocalTask(QString uniqueId, QStringList localFiles, QMap<QString, QString> printConfig);
    // Stops a task: one not yet at the printer ends at once, a job at the printer is taken back.
    // Either way it ends as failed with "打印已取消", unless its job had printed. False when
    // there is no such task.
    bool cancelTask(const QString& uniqueId);
    // The credentials of the latest "login", sent with the image downloads `scope` allows.
    void setDownloadTokenParam(std::map<QString, QString> items, const KELCookieScope& scope);
    // Receiver of prepared tasks' results ("slotStudentPrintFinished", "slotStudentPrintWaiting");
    // the batch manager by default.
    void setBatchReceiver(QObject* receiver);
    // Quitting: queued tasks are dropped, tasks waiting for a turn end without a report, image
    // downloads in flight are abandoned, and no task sends a job after this. Jobs already at
    // the printer stay there.
    void stopAll();

    bool waitForPrintTurn(QString uniqueId);
    bool waitForSubmitTurn(QString uniqueId);
    void releaseSubmitTurn(const QString& uniqueId);
    // The task may now send its job: false when it was dropped (quit) or cancelled meanwhile.
    // Decided under the tasks lock, so that stopAll and cancelTask see either a task that never
    // sends or one whose job is at the printer.
    bool beginSubmit(KELPrintTask* task);

    CPrinter& printer() const { return *printerRef; }
    QString downloadFolder() const { return downloads; }
    PrintDownloads& imageDownloads() { return shared; }
    // Tasks not yet finished, for diagnostics and tests.
    int taskCount() const;

public Q_SLOTS:
    void slotTaskPrintFinished(QString uniqueId, bool success, QString message);
    void slotTaskWaiting(QString uniqueId, QString reason, QString printerName, QString text);

Q_SIGNALS:
    void sigFinishPrintAllImages();
    void sigLocalTaskFinished(QString uniqueId, bool success, QString message);

private:
    // What the end or the wait of a task is reported with, read under the tasks lock.
    struct TaskReport {
        PrintStudent student;
        QString batchStudentKey;
        bool legacy = true;
        QObject* receiver = nullptr;
    };
    TaskReport reportOf(const KELPrintTask& task) const;
    void scheduleTasks();
    void startTask(KELPrintTask* task);
    void removeTask(const QString& uniqueId);
    void wakePrintTurnWaiters();
    void wakeSubmitWaiters();

    CPrinter* const printerRef;
    const QString downloads;
    EventSender sendEvent;
    QObject* batchReceiver = nullptr;
    PrintDownloads shared;

    QMap<QString, KELPrintTask*> tasks;
    QMap<QString, KELPrintTask*> activeTasks;
    QQueue<QString> pendingLegacyTasks;
    QQueue<QString> pendingBatchTasks;
    // Legacy tasks not yet ended, in the order of their commands: the print turn goes to the
    // first of them once it has its images.
    QList<QString> legacyOrder;
    QString printTurnOwner;
    QString submitTurnOwner;
    mutable std::recursive_mutex tasksLock;
    QMutex printTurnLock;
    QWaitCondition printTurnCondition;
    QMutex submitLock;
    QWaitCondition submitCondition;
    int taskSequence = 0;
    int activeLegacyTaskCount = 0;
    int activeBatchTaskCount = 0;
    bool stopped = false;
};
