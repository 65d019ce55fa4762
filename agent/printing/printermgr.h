#pragma once

#include "command/credentials.h"
#include "http/curlrequest.h"
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
// its finish handlers and time-out run; `run` executes on the global pool. The manager destroys
// it, and only once `run` has returned.
class KELPrintTask : public QObject, public QRunnable {
    Q_OBJECT
public:
    enum Source { Legacy = 0, Prepared = 1 };

    // Legacy: the command's data ("studentName", "studentId", "imgList", "config", "remoteKey").
    KELPrintTask(KELPrinterMgr* manager, const QString& uniqueId, const QJsonObject& data,
                 const HeaderMap& downloadHeaders);
    // Prepared: images already downloaded.
    KELPrintTask(KELPrinterMgr* manager, const QString& uniqueId, const QString& studentName,
                 const QString& studentId, const QString& remoteKey, const QStringList& localFiles,
                 const QMap<QString, QString>& printConfig, const QString& batchStudentKey);

    void run() override;
    bool downloadImages();
    bool printImages(QString* message);
    // Reports the end to the manager (queued).
    void finish(bool success, const QString& message);

    // Holds of the task's life: the manager's, and the pool's while it runs. The last release
    // destroys the task on its own thread.
    void hold() { ++holders; }
    void release();

    const QString uniqueId;
    QStringList localFiles;
    QStringList imgList;
    QMap<QString, QString> printConfig;
    const HeaderMap downloadHeaders;
    const int source;
    const bool needDownload;
    const QString studentName;
    const QString studentId;
    const QString remoteKey;
    const QString batchStudentKey;
    // Read by the GUI-thread handlers while `run` writes them.
    std::atomic<bool> waitingForPrint {false};
    std::atomic<bool> finished {false};
    // The manager has dropped the task (quit): turn waits end without a report.
    std::atomic<bool> dropped {false};

public Q_SLOTS:
    void slotLegacyFinish();
    void slotTrackedFinish(QString finishedId);
    void slotJobFailed(QString failedId, QString message);
    void slotTimeout();

private:
    void dropPrintConnections();
    // On the GUI thread: the wait for the printer's finish ends after `timeoutMs`.
    void startTimeout(int timeoutMs);
    void endWait(bool success, const QString& message);

    KELPrinterMgr* const manager;
    QList<QMetaObject::Connection> printConnections;
    QMutex connectionsMutex;
    QTimer* timeoutTimer = nullptr;
    std::atomic<int> holders {1};
};

// Turns print requests into printed paper, one student at a time: at most five legacy tasks
// download at once, their prints take turns at the printer in the order their downloads ended,
// prepared tasks run one at a time and never beside legacy ones. Owned by the GUI thread; the
// command server's thread sets the download credentials.
//
// Locks, always in this order: the print-turn lock, the tasks lock, the submit lock. None is held
// while calling the printer.
class KELPrinterMgr : public QObject {
    Q_OBJECT
public:
    // Where a legacy task's result goes: an event with a fresh reqId to the connection of its
    // command (by default through the command server).
    using EventSender = std::function<void(const QString& connectionKey, const QString& cmd, int ret,
                                           const QJsonObject& data, const QString& msg)>;

    struct Timing {
        int printTimeoutMs = 60000;
        int canonIrAdvTimeoutMs = 120000; // these printers report a job printed late
    };

    static KELPrinterMgr* instance();
    KELPrinterMgr(); // the agent's printer, folders and command server
    KELPrinterMgr(CPrinter* printer, const QString& downloadFolder, EventSender sender, Timing timing,
                  QObject* parent = nullptr);
    ~KELPrinterMgr() override;

    // A validated "print" command's data, with "remoteKey" naming the requesting connection.
    void addLegacyPrintTask(QJsonObject data);
    // A batch student whose images are on disk; false when a task with that id exists.
    bool enqueuePreparedTask(QString uniqueId, QString studentName, QString studentId, QString remoteKey,
                             QStringList localFiles, QMap<QString, QString> printConfig,
                             QString batchStudentKey);
    // The agent's own print of files on disk (the tray's test print): a prepared task without a
    // student or batch, whose end is only logged. False when a task with that id exists.
    bool enqueueLocalTask(QString uniqueId, QStringList localFiles, QMap<QString, QString> printConfig);
    // The credentials of the latest "login", sent with every image download.
    void setDownloadTokenParam(std::map<QString, QString> items);
    // Receiver of prepared tasks' results ("slotStudentPrintFinished"); the batch manager by default.
    void setBatchReceiver(QObject* receiver);
    // Quitting: queued tasks are dropped, tasks waiting for a turn end without a report, image
    // downloads in flight are abandoned. Jobs already at the printer stay there.
    void stopAll();

    bool waitForPrintTurn(QString uniqueId);
    bool waitForSubmitTurn(QString uniqueId);
    void releaseSubmitTurn(const QString& uniqueId);

    CPrinter& printer() const { return *printerRef; }
    QString downloadFolder() const { return downloads; }
    PrintDownloadSwitch& downloadSwitch() { return downloadsInFlight; }
    int printTimeoutMs(bool canonIrAdv) const;
    // Tasks not yet finished, for diagnostics and tests.
    int taskCount() const;

public Q_SLOTS:
    void slotTaskPrintFinished(QString uniqueId, bool success, QString message);

Q_SIGNALS:
    void sigFinishPrintAllImages();

private:
    void scheduleTasks();
    void startTask(KELPrintTask* task);
    void removeTask(const QString& uniqueId);
    void wakePrintTurnWaiters();
    void wakeSubmitWaiters();

    CPrinter* const printerRef;
    const QString downloads;
    EventSender sendEvent;
    const Timing timing;
    QObject* batchReceiver = nullptr;
    PrintDownloadSwitch downloadsInFlight;

    HeaderMap downloadHeaders;
    QMap<QString, KELPrintTask*> tasks;
    QMap<QString, KELPrintTask*> activeTasks;
    QQueue<QString> pendingLegacyTasks;
    QQueue<QString> pendingBatchTasks;
    QQueue<QString> readyQueue;
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

// One image of a legacy task, on the task's private pool.
class DownloadSubTask : public QRunnable {
public:
    DownloadSubTask(PrintDownloadSwitch& downloads, QString url, QString localPath, HeaderMap downloadHeaders,
                    int index, std::shared_ptr<ImageDownloadGroup> group);
    void run() override;

    const QString url;
    const QString localPath;
    const HeaderMap downloadHeaders;
    const int index;

private:
    PrintDownloadSwitch& downloads;
    std::shared_ptr<ImageDownloadGroup> group;
};
