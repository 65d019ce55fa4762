#include "printing/printermgr.h"

#include "command/velloxserver.h"
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

using TasksLock = std::lock_guard<std::recursive_mutex>;

} // namespace

KELPrinterMgr* KELPrinterMgr::instance()
{
    return KELS::Singleton<KELPrinterMgr>::instance();
}

KELPrinterMgr::KELPrinterMgr()
    : KELPrinterMgr(&CPrinter::instance(), KELGlobalConfig::instance()->downloadFolder(),
                    [](const QString& connectionKey, const QString& cmd, int ret, const QJsonObject& data,
                       const QString& msg) {
                        KELVelloxServer::instance()->notifyConnection(connectionKey.toStdString(), cmd, ret, data,
                                                                      msg);
                    },
                    Timing())
{
}

KELPrinterMgr::KELPrinterMgr(CPrinter* printer, const QString& downloadFolder, EventSender sender, Timing timing,
                             QObject* parent)
    : QObject(parent)
    , printerRef(printer)
    , downloads(downloadFolder)
    , sendEvent(std::move(sender))
    , timing(timing)
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
    {
        TasksLock lock(tasksLock);
        if (stopped)
            return;
        ++taskSequence;
        const QString uniqueId = QString::number(QDateTime::currentMSecsSinceEpoch()) + QLatin1Char('_')
            + QString::number(taskSequence);
        auto* task = new KELPrintTask(this, uniqueId, data, downloadHeaders);
        tasks.insert(uniqueId, task);
        pendingLegacyTasks.enqueue(uniqueId);
        KLOG->info("enqueue legacy print task. uniqueId={}, studentName={}, studentId={}, pendingTaskSize={}",
                   uniqueId, KELLog::clipped(task->studentName), KELLog::clipped(task->studentId),
                   pendingLegacyTasks.size());
        scheduleTasks();
    }
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

void KELPrinterMgr::setDownloadTokenParam(std::map<QString, QString> items)
{
    KLOG->info("set print request download token param, items count: {}", items.size());
    TasksLock lock(tasksLock);
    setCookieHeader(downloadHeaders, items);
}

void KELPrinterMgr::setBatchReceiver(QObject* receiver)
{
    TasksLock lock(tasksLock);
    batchReceiver = receiver;
}

int KELPrinterMgr::printTimeoutMs(bool canonIrAdv) const
{
    return canonIrAdv ? timing.canonIrAdvTimeoutMs : timing.printTimeoutMs;
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
        if (!readyQueue.contains(uniqueId))
            readyQueue.enqueue(uniqueId);
        KLOG->info("task wait for print turn. uniqueId={}, studentName={}, studentId={}, readyQueueSize={}",
                   uniqueId, KELLog::clipped(task->studentName), KELLog::clipped(task->studentId), readyQueue.size());
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
        if (printTurnOwner.isEmpty() && !readyQueue.isEmpty() && readyQueue.head() == uniqueId) {
            readyQueue.dequeue();
            printTurnOwner = uniqueId;
            KLOG->info("task acquired print turn. uniqueId={}, studentName={}, studentId={}, "
                       "remainReadyQueueSize={}",
                       uniqueId, KELLog::clipped(task->studentName), KELLog::clipped(task->studentId),
                       readyQueue.size());
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

void KELPrinterMgr::slotTaskPrintFinished(QString uniqueId, bool success, QString message)
{
    QString studentName;
    QString studentId;
    QString remoteKey;
    QString batchStudentKey;
    bool legacy = true;
    QObject* receiver = nullptr;
    {
        TasksLock lock(tasksLock);
        KELPrintTask* task = tasks.value(uniqueId);
        if (!task) {
            KLOG->warn("print callback ignored, task not found. uniqueId={}", KELLog::clipped(uniqueId));
            return;
        }
        if (printTurnOwner == uniqueId)
            printTurnOwner.clear();
        legacy = task->source == KELPrintTask::Legacy;
        int& counter = legacy ? activeLegacyTaskCount : activeBatchTaskCount;
        if (counter > 0 && activeTasks.contains(uniqueId))
            --counter;
        studentName = task->studentName;
        studentId = task->studentId;
        remoteKey = task->remoteKey;
        batchStudentKey = task->batchStudentKey;
        KLOG->info("print callback. uniqueId={}, success={}, studentName={}, studentId={}, batchStudentKey={}, "
                   "msg={}, activeLegacyTaskCount={}, activeBatchTaskCount={}",
                   KELLog::clipped(uniqueId), success, KELLog::clipped(studentName), KELLog::clipped(studentId),
                   KELLog::clipped(batchStudentKey), message, activeLegacyTaskCount, activeBatchTaskCount);
        removeTask(uniqueId);
        scheduleTasks();
        receiver = batchReceiver;
    }
    wakePrintTurnWaiters();

    if (legacy) {
        if (success) {
            sendEvent(remoteKey, QStringLiteral("print-end"), 200,
                      QJsonObject {{QStringLiteral("studentName"), studentName},
                                   {QStringLiteral("remote_key"), remoteKey}},
                      studentName + QStringLiteral(" print end"));
            Q_EMIT sigFinishPrintAllImages();
        } else {
            sendEvent(remoteKey, QStringLiteral("error"), 400,
                      QJsonObject {{QStringLiteral("errorType"), QStringLiteral("print-error")},
                                   {QStringLiteral("studentName"), studentName}},
                      message);
        }
        return;
    }
    // A local task has nobody to tell: the callback line above is its report.
    if (batchStudentKey.isEmpty())
        return;
    if (success)
        Q_EMIT sigFinishPrintAllImages();
    if (!receiver)
        receiver = KELPrintBatchMgr::instance();
    const bool invoked = QMetaObject::invokeMethod(receiver, "slotStudentPrintFinished", Qt::QueuedConnection,
                                                   Q_ARG(QString, batchStudentKey), Q_ARG(bool, success),
                                                   Q_ARG(QString, message));
    if (!invoked)
        KLOG->error("printBatch invoke print callback failed. uniqueId={}, batchStudentKey={}, studentId={}, "
                    "studentName={}, success={}, msg={}",
                    KELLog::clipped(uniqueId), KELLog::clipped(batchStudentKey), KELLog::clipped(studentId),
                    KELLog::clipped(studentName), success, message);
}

// With the tasks lock held.
void KELPrinterMgr::removeTask(const QString& uniqueId)
{
    activeTasks.remove(uniqueId);
    if (!pendingLegacyTasks.removeOne(uniqueId))
        pendingBatchTasks.removeOne(uniqueId);
    readyQueue.removeAll(uniqueId);
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
        downloadsInFlight.abandonAll();
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
