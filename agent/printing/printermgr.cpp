#include "printing/printermgr.h"

#include "command/velloxserver.h"
#include "foundation/filenames.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/singleton.h"
#include "printing/printbatchmgr.h"
#include "printing/printer.h"

#include <QDateTime>
#include <QJsonArray>
#include <QMutexLocker>
#include <QThreadPool>

namespace {

constexpr int kMaxActiveLegacyTasks = 5;
constexpr int kMaxActiveBatchTasks = 1;
constexpr qint64 kLeftoverAgeMs = 24 * 60 * 60 * 1000;

using TasksLock = std::lock_guard<std::recursive_mutex>;

} // namespace

KELPrinterMgr* KELPrinterMgr::instance()
{
    return KELS::Singleton<KELPrinterMgr>::instance();
}

KELPrinterMgr::KELPrinterMgr()
    : KELPrinterMgr(&CPrinter::instance(), KELGlobalConfig::instance()->downloadFolder(),
                    [](const QString& connectionKey, const QString& origin, const QString& cmd, int ret,
                       const QJsonObject& data, const QString& msg) {
                        KELVelloxServer::instance()->notifyPage(connectionKey.toStdString(), origin, cmd, QString(),
                                                                ret, data, msg);
                    })
{
    // Papers of students an earlier run printed (or was stopped printing) do not stay on the PC.
    PrintFiles::removeLeftovers(downloads, kLeftoverAgeMs);
}

KELPrinterMgr::KELPrinterMgr(CPrinter* printer, const QString& downloadFolder, EventSender sender, QObject* parent)
    : QObject(parent)
    , printerRef(printer)
    , downloads(downloadFolder)
    , sendEvent(std::move(sender))
{
}

KELPrinterMgr::~KELPrinterMgr()
{
    // Only test managers end: their tasks must not outlive them.
    stopAll();
    QThreadPool::globalInstance()->waitForDone();
    TasksLock lock(tasksLock);
    qDeleteAll(tasks);
    tasks.clear();
}

void KELPrinterMgr::addLegacyPrintTask(QJsonObject data)
{
    TasksLock lock(tasksLock);
    if (stopped)
        return;
    ++taskSequence;
    const QString uniqueId = QString::number(QDateTime::currentMSecsSinceEpoch()) + QLatin1Char('_')
        + QString::number(taskSequence);
    PrintStudent student = PrintStudent::fromCommand(data);
    student.remoteKey = data.value(QStringLiteral("remoteKey")).toString();
    student.remoteOrigin = data.value(QStringLiteral("remoteOrigin")).toString();
    auto* task = new KELPrintTask(this, uniqueId, student);
    tasks.insert(uniqueId, task);
    pendingLegacyTasks.enqueue(uniqueId);
    legacyOrder.append(uniqueId);
    KLOG->info("enqueue legacy print task. uniqueId={}, studentName={}, studentId={}, pendingTaskSize={}", uniqueId,
               KELLog::clipped(task->studentName), KELLog::clipped(task->studentId), pendingLegacyTasks.size());
    scheduleTasks();
}

bool KELPrinterMgr::enqueuePreparedTask(QString uniqueId, QString studentName, QString studentId, QString remoteKey,
                                        QStringList localFiles, QMap<QString, QString> printConfig,
                                        QString batchStudentKey)
{
    TasksLock lock(tasksLock);
    if (stopped)
        return false;
    if (tasks.contains(uniqueId)) {
        KLOG->warn("prepared print task already exists. uniqueId={}", KELLog::clipped(uniqueId));
        return false;
    }
    auto* task = new KELPrintTask(this, uniqueId, studentName, studentId, remoteKey, localFiles, printConfig,
                                  batchStudentKey);
    tasks.insert(uniqueId, task);
    pendingBatchTasks.enqueue(uniqueId);
    KLOG->info("enqueue prepared print task. uniqueId={}, studentName={}, studentId={}, batchStudentKey={}, "
               "pendingTaskSize={}",
               KELLog::clipped(uniqueId), KELLog::clipped(studentName), KELLog::clipped(studentId),
               KELLog::clipped(batchStudentKey), pendingBatchTasks.size());
    scheduleTasks();
    return true;
}

bool KELPrinterMgr::enqueueLocalTask(QString uniqueId, QStringList localFiles, QMap<QString, QString> printConfig)
{
    return enqueuePreparedTask(std::move(uniqueId), QString(), QString(), QString(), std::move(localFiles),
                               std::move(printConfig), QString());
}

bool KELPrinterMgr::cancelTask(const QString& uniqueId)
{
    bool atPrinter = false;
    {
        TasksLock lock(tasksLock);
        KELPrintTask* task = tasks.value(uniqueId);
        if (!task || task->cancelRequested)
            return task != nullptr;
        task->cancelRequested = true;
        atPrinter = task->waitingForPrint;
        KLOG->info("print task cancel requested. uniqueId={}, studentName={}, atPrinter={}", KELLog::clipped(uniqueId),
                   KELLog::clipped(task->studentName), atPrinter);
        if (!atPrinter) {
            // It never sends its job now (beginSubmit), so it ends here; its download stops.
            task->cancelReported = true;
            task->cancelDownload();
            QMetaObject::invokeMethod(this, "slotTaskPrintFinished", Qt::QueuedConnection, Q_ARG(QString, uniqueId),
                                      Q_ARG(bool, false),
                                      Q_ARG(QString, downloadProblemText(DownloadProblem::Cancelled)));
        }
    }
    // At the printer: taken back at the next poll. A job not yet registered is taken back by its
    // task once it is (KELPrintTask::run).
    if (atPrinter)
        printerRef->cancelTrackedJob(uniqueId);
    return true;
}

void KELPrinterMgr::setDownloadTokenParam(std::map<QString, QString> items, const KELCookieScope& scope)
{
    KLOG->info("set print request download token param, items count: {}", items.size());
    shared.setCredentials(items, scope);
}

void KELPrinterMgr::setBatchReceiver(QObject* receiver)
{
    TasksLock lock(tasksLock);
    batchReceiver = receiver;
}

int KELPrinterMgr::taskCount() const
{
    TasksLock lock(tasksLock);
    return tasks.size();
}

// With the tasks lock held.
void KELPrinterMgr::scheduleTasks()
{
    const bool legacyMode = !pendingLegacyTasks.isEmpty() || activeLegacyTaskCount > 0;
    if (activeBatchTaskCount > 0 && legacyMode) {
        KLOG->info("legacy task pending, wait active batch jobs to drain. activeBatchTaskCount={}, "
                   "pendingLegacyTaskSize={}",
                   activeBatchTaskCount, pendingLegacyTasks.size());
        return;
    }
    if (legacyMode) {
        while (activeLegacyTaskCount < kMaxActiveLegacyTasks && !pendingLegacyTasks.isEmpty()) {
            const QString uniqueId = pendingLegacyTasks.dequeue();
            KELPrintTask* task = tasks.value(uniqueId);
            if (!task)
                continue;
            activeTasks.insert(uniqueId, task);
            ++activeLegacyTaskCount;
            KLOG->info("start legacy task. uniqueId={}, studentName={}, studentId={}, activeLegacyTaskCount={}, "
                       "pendingLegacyTaskSize={}",
                       uniqueId, KELLog::clipped(task->studentName), KELLog::clipped(task->studentId),
                       activeLegacyTaskCount, pendingLegacyTasks.size());
            startTask(task);
        }
        return;
    }
    while (activeBatchTaskCount < kMaxActiveBatchTasks && !pendingBatchTasks.isEmpty()) {
        const QString uniqueId = pendingBatchTasks.dequeue();
        KELPrintTask* task = tasks.value(uniqueId);
        if (!task)
            continue;
        activeTasks.insert(uniqueId, task);
        ++activeBatchTaskCount;
        KLOG->info("start batch task. uniqueId={}, studentName={}, studentId={}, batchStudentKey={}, "
                   "activeBatchTaskCount={}, pendingBatchTaskSize={}",
                   KELLog::clipped(uniqueId), KELLog::clipped(task->studentName), KELLog::clipped(task->studentId),
                   KELLog::clipped(task->batchStudentKey), activeBatchTaskCount, pendingBatchTasks.size());
        startTask(task);
    }
}

void KELPrinterMgr::startTask(KELPrintTask* task)
{
    task->hold(); // the pool's, released as `run` returns
    QThreadPool::globalInstance()->start(task, 0);
}

bool KELPrinterMgr::waitForPrintTurn(QString uniqueId)
{
    {
        TasksLock lock(tasksLock);
        KELPrintTask* task = tasks.value(uniqueId);
        if (!task) {
            KLOG->warn("wait print turn ignored, task not found. uniqueId={}", uniqueId);
            return false;
        }
        KLOG->info("task wait for print turn. uniqueId={}, studentName={}, studentId={}, tasksBefore={}", uniqueId,
                   KELLog::clipped(task->studentName), KELLog::clipped(task->studentId), legacyOrder.indexOf(uniqueId));
    }
    wakePrintTurnWaiters();

    // The turn changes under the tasks lock, and wakers take the print-turn lock before waking:
    // holding it from the check to the wait, this waiter cannot miss a change.
    QMutexLocker turnLocker(&printTurnLock);
    std::unique_lock<std::recursive_mutex> lock(tasksLock);
    for (;;) {
        KELPrintTask* task = tasks.value(uniqueId);
        if (!task || task->dropped) {
            KLOG->warn("wait print turn aborted, task removed. uniqueId={}", uniqueId);
            return false;
        }
        // In the order of the commands: a student whose images come early waits for those sent before.
        if (printTurnOwner.isEmpty() && !legacyOrder.isEmpty() && legacyOrder.first() == uniqueId) {
            legacyOrder.removeFirst();
            printTurnOwner = uniqueId;
            KLOG->info("task acquired print turn. uniqueId={}, studentName={}, studentId={}, "
                       "remainReadyQueueSize={}",
                       uniqueId, KELLog::clipped(task->studentName), KELLog::clipped(task->studentId),
                       legacyOrder.size());
            return true;
        }
        lock.unlock();
        printTurnCondition.wait(&printTurnLock);
        lock.lock();
    }
}

bool KELPrinterMgr::waitForSubmitTurn(QString uniqueId)
{
    KELPrintTask* task = nullptr;
    {
        TasksLock lock(tasksLock);
        task = tasks.value(uniqueId);
        if (!task) {
            KLOG->warn("wait submit turn aborted, task removed. uniqueId={}", KELLog::clipped(uniqueId));
            return false;
        }
    }
    // The task cannot be destroyed meanwhile: its `run` is what is waiting. Its removal is seen
    // by the flag, which the remover sets before waking under the submit lock.
    QMutexLocker submitLocker(&submitLock);
    for (;;) {
        if (task->dropped) {
            KLOG->warn("wait submit turn aborted, task removed. uniqueId={}", KELLog::clipped(uniqueId));
            return false;
        }
        if (submitTurnOwner.isEmpty()) {
            submitTurnOwner = uniqueId;
            KLOG->info("task acquired submit turn. uniqueId={}", KELLog::clipped(uniqueId));
            return true;
        }
        submitCondition.wait(&submitLock);
    }
}

void KELPrinterMgr::releaseSubmitTurn(const QString& uniqueId)
{
    {
        QMutexLocker submitLocker(&submitLock);
        if (submitTurnOwner == uniqueId)
            submitTurnOwner.clear();
    }
    submitCondition.wakeAll();
}

void KELPrinterMgr::wakePrintTurnWaiters()
{
    QMutexLocker turnLocker(&printTurnLock);
    printTurnCondition.wakeAll();
}

void KELPrinterMgr::wakeSubmitWaiters()
{
    QMutexLocker submitLocker(&submitLock);
    submitCondition.wakeAll();
}

bool KELPrinterMgr::beginSubmit(KELPrintTask* task)
{
    TasksLock lock(tasksLock);
    if (stopped || task->dropped || task->cancelRequested)
        return false;
    task->waitingForPrint = true;
    return true;
}

// With the tasks lock held.
KELPrinterMgr::TaskReport KELPrinterMgr::reportOf(const KELPrintTask& task) const
{
    TaskReport report;
    report.student = task;
    report.batchStudentKey = task.batchStudentKey;
    report.legacy = task.source == KELPrintTask::Legacy;
    report.receiver = batchReceiver;
    return report;
}

void KELPrinterMgr::slotTaskPrintFinished(QString uniqueId, bool success, QString message)
{
    TaskReport report;
    QString failedImage;
    QString folder;
    {
        TasksLock lock(tasksLock);
        KELPrintTask* task = tasks.value(uniqueId);
        if (!task) {
            KLOG->warn("print callback ignored, task not found. uniqueId={}", KELLog::clipped(uniqueId));
            return;
        }
        report = reportOf(*task);
        if (printTurnOwner == uniqueId)
            printTurnOwner.clear();
        int& counter = report.legacy ? activeLegacyTaskCount : activeBatchTaskCount;
        if (counter > 0 && activeTasks.contains(uniqueId))
            --counter;
        failedImage = task->failedImage;
        if (task->needDownload)
            folder = downloads + KELFileNames::safeFileName(uniqueId);
        KLOG->info("print callback. uniqueId={}, success={}, studentName={}, studentId={}, batchStudentKey={}, "
                   "msg={}, activeLegacyTaskCount={}, activeBatchTaskCount={}",
                   KELLog::clipped(uniqueId), success, KELLog::clipped(report.student.studentName),
                   KELLog::clipped(report.student.studentId), KELLog::clipped(report.batchStudentKey), message,
                   activeLegacyTaskCount, activeBatchTaskCount);
        // A stopped task's download may still be ending: it goes with the task.
        task->cancelDownload();
        removeTask(uniqueId);
        scheduleTasks();
    }
    wakePrintTurnWaiters();
    // The student's papers have printed, or will not: they do not stay on the PC.
    PrintFiles::discard(folder);

    const PrintStudent& student = report.student;
    if (report.legacy) {
        if (success) {
            sendEvent(student.remoteKey, student.remoteOrigin, QStringLiteral("print-end"), 200,
                      QJsonObject {{QStringLiteral("studentName"), student.studentName},
                                   {QStringLiteral("remote_key"), student.remoteKey}},
                      student.studentName + QStringLiteral(" print end"));
            Q_EMIT sigFinishPrintAllImages();
        } else {
            QJsonObject data {{QStringLiteral("errorType"), QStringLiteral("print-error")},
                              {QStringLiteral("studentName"), student.studentName}};
            if (!failedImage.isEmpty())
                data.insert(QStringLiteral("imgUrl"), failedImage);
            sendEvent(student.remoteKey, student.remoteOrigin, QStringLiteral("error"), 400, data, message);
        }
        return;
    }
    if (report.batchStudentKey.isEmpty()) {
        // The agent's own print: whoever started it hears of the end.
        Q_EMIT sigLocalTaskFinished(uniqueId, success, message);
        return;
    }
    if (success)
        Q_EMIT sigFinishPrintAllImages();
    QObject* receiver = report.receiver ? report.receiver : KELPrintBatchMgr::instance();
    const bool invoked = QMetaObject::invokeMethod(receiver, "slotStudentPrintFinished", Qt::QueuedConnection,
                                                   Q_ARG(QString, report.batchStudentKey), Q_ARG(bool, success),
                                                   Q_ARG(QString, message));
    if (!invoked)
        KLOG->error("printBatch invoke print callback failed. uniqueId={}, batchStudentKey={}, studentId={}, "
                    "studentName={}, success={}, msg={}",
                    KELLog::clipped(uniqueId), KELLog::clipped(report.batchStudentKey),
                    KELLog::clipped(student.studentId), KELLog::clipped(student.studentName), success, message);
}

void KELPrinterMgr::slotTaskWaiting(QString uniqueId, QString reason, QString printerName, QString text)
{
    TaskReport report;
    {
        TasksLock lock(tasksLock);
        KELPrintTask* task = tasks.value(uniqueId);
        if (!task || task->finished)
            return;
        report = reportOf(*task);
    }
    const PrintStudent& student = report.student;
    KLOG->info("print task waiting. uniqueId={}, studentName={}, printerName={}, reason={}", KELLog::clipped(uniqueId),
               KELLog::clipped(student.studentName), printerName, reason);
    if (report.legacy) {
        sendEvent(student.remoteKey, student.remoteOrigin, QStringLiteral("print-waiting"), 200,
                  QJsonObject {{QStringLiteral("studentName"), student.studentName},
                               {QStringLiteral("studentId"), student.studentId},
                               {QStringLiteral("printerName"), printerName},
                               {QStringLiteral("reason"), reason},
                               {QStringLiteral("remote_key"), student.remoteKey}},
                  text);
        return;
    }
    if (report.batchStudentKey.isEmpty())
        return;
    QMetaObject::invokeMethod(report.receiver ? report.receiver : KELPrintBatchMgr::instance(),
                              "slotStudentPrintWaiting", Qt::QueuedConnection,
                              Q_ARG(QString, report.batchStudentKey), Q_ARG(QString, reason),
                              Q_ARG(QString, printerName), Q_ARG(QString, text));
}

// With the tasks lock held.
void KELPrinterMgr::removeTask(const QString& uniqueId)
{
    activeTasks.remove(uniqueId);
    if (!pendingLegacyTasks.removeOne(uniqueId))
        pendingBatchTasks.removeOne(uniqueId);
    legacyOrder.removeAll(uniqueId);
    if (printTurnOwner == uniqueId)
        printTurnOwner.clear();
    KELPrintTask* task = tasks.take(uniqueId);
    bool submitCleared = false;
    {
        QMutexLocker submitLocker(&submitLock);
        if (submitTurnOwner == uniqueId) {
            submitTurnOwner.clear();
            submitCleared = true;
        }
        if (task)
            task->dropped = true;
    }
    if (submitCleared)
        wakeSubmitWaiters();
    if (task)
        task->release();
}

void KELPrinterMgr::stopAll()
{
    {
        TasksLock lock(tasksLock);
        if (!stopped)
            KLOG->info("print task manager stops. tasks={}, activeLegacyTaskCount={}, activeBatchTaskCount={}",
                       tasks.size(), activeLegacyTaskCount, activeBatchTaskCount);
        stopped = true;
        shared.abandonAll();
        // Tasks at the printer are left to end by themselves; the others end without a report.
        const QStringList ids = tasks.keys();
        for (const QString& uniqueId : ids) {
            KELPrintTask* task = tasks.value(uniqueId);
            if (!task->waitingForPrint)
                removeTask(uniqueId);
        }
        pendingLegacyTasks.clear();
        pendingBatchTasks.clear();
    }
    wakePrintTurnWaiters();
    wakeSubmitWaiters();
}
