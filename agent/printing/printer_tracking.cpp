#include "printing/printer.h"

#include "foundation/logging.h"

#include <QMutexLocker>
#include <QThread>
#include <QTimer>

namespace {

const char* reasonKey(TrackedJobBook::FailReason reason)
{
    switch (reason) {
    case TrackedJobBook::FailReason::PrinterStopped:
        return "printer_stopped";
    case TrackedJobBook::FailReason::JobCancelled:
        return "job_cancelled";
    case TrackedJobBook::FailReason::JobAborted:
        return "job_aborted";
    case TrackedJobBook::FailReason::GaveUp:
        return "gave_up";
    case TrackedJobBook::FailReason::CancelledByAgent:
        return "cancelled_by_agent";
    case TrackedJobBook::FailReason::None:
        break;
    }
    return "none";
}

} // namespace

PrinterQueueSnapshot CPrinter::queryPrinterQueueSnapshot(QString printerName)
{
    PrinterQueueSnapshot snapshot;
    std::unique_ptr<SpoolerPrinter> printer = spooler->openPrinter(printerName.toStdWString());
    if (!printer) {
        KLOG->error("queryPrinterQueueSnapshot OpenPrinterW error");
        return snapshot;
    }
    PrinterInfo info;
    if (!printer->info(&info)) {
        KLOG->error("queryPrinterQueueSnapshot GetPrinter error");
        return snapshot;
    }
    snapshot.ok = true;
    snapshot.condition = info.condition;
    snapshot.empty = info.jobCount == 0;
    if (snapshot.empty)
        return snapshot;
    std::map<int, std::uint32_t> jobs;
    if (!printer->jobs(&jobs)) {
        KLOG->error("queryPrinterQueueSnapshot EnumJobs error");
        snapshot.ok = false;
        snapshot.empty = false;
        return snapshot;
    }
    for (const auto& [id, status] : jobs)
        snapshot.jobs.insert(id, jobStatusText(status));
    return snapshot;
}

void CPrinter::pollTrackedJobs()
{
    QList<TrackedPrintJob> polled;
    {
        QMutexLocker jobsLocker(&jobsMutex);
        if (trackedJobs.isEmpty()) {
            jobsLocker.unlock();
            pollTimer->stop();
            return;
        }
        // A slow spooler skips ticks rather than piling up readings.
        if (pollInFlight)
            return;
        pollInFlight = true;
        polled = trackedJobs.all();
    }
    const qint64 polledAtMs = clockMs();
    runInBackground([this, polled, polledAtMs] {
        TrackedJobBook::PollReading reading;
        for (const TrackedPrintJob& job : polled) {
            if (!reading.snapshots.contains(job.printerName))
                reading.snapshots.insert(job.printerName, queryPrinterQueueSnapshot(job.printerName));
        }
        // How the jobs that left their queue ended; asked after the snapshot, so it is final.
        for (const TrackedPrintJob& job : polled) {
            const PrinterQueueSnapshot& snapshot = reading.snapshots[job.printerName];
            if (!snapshot.ok || snapshot.jobs.contains(job.jobId))
                continue;
            std::unique_ptr<SpoolerPrinter> printer = spooler->openPrinter(job.printerName.toStdWString());
            reading.outcomes.insert(job.uniqueId, printer ? printer->jobOutcome(job.jobId) : JobOutcome::Unknown);
        }
        QMetaObject::invokeMethod(
            this, [this, polled, reading, polledAtMs] { applyPollReading(polled, reading, polledAtMs); },
            Qt::QueuedConnection);
    });
}

void CPrinter::applyPollReading(const QList<TrackedPrintJob>& polled, const TrackedJobBook::PollReading& reading,
                                qint64 polledAtMs)
{
    TrackedJobBook::PollReport report;
    {
        QMutexLocker jobsLocker(&jobsMutex);
        pollInFlight = false;
        report = trackedJobs.apply(polled, reading, polledAtMs);
    }
    ++pollsApplied;
    for (int i = 0; i < report.unreadablePrinters.size(); ++i)
        KLOG->error("enumJobsId query printer job failed");

    bool legacyFinished = false;
    QStringList finished;
    for (const TrackedJobBook::EndedJob& ended : report.ended) {
        const TrackedPrintJob& job = ended.job;
        if (ended.failure == TrackedJobBook::FailReason::None) {
            KLOG->info("tracked print job finished. uniqueId={}, jobId={}, printerName={}, activeJobCount={}",
                       job.uniqueId, job.jobId, job.printerName, ended.activeJobCount);
            legacyFinished = legacyFinished || job.legacy;
            finished.append(job.uniqueId);
        } else if (ended.cancel) {
            takeBack(ended);
        } else {
            reportTakenBack(ended, false);
        }
    }

    if (report.nowEmpty)
        pollTimer->stop();
    if (legacyFinished)
        Q_EMIT sigPrintFinish();
    for (const QString& uniqueId : finished)
        Q_EMIT sigPrintJobFinished(uniqueId);
    for (const TrackedJobBook::WaitChange& change : report.waitChanges) {
        const QString key = printWaitReasonKey(change.reason);
        KLOG->warn("tracked print job waiting. uniqueId={}, jobId={}, printerName={}, reason={}, waitedMs={}",
                   change.job.uniqueId, change.job.jobId, change.job.printerName,
                   key.isEmpty() ? QStringLiteral("none") : key, polledAtMs - change.job.submittedMs);
        Q_EMIT sigPrintJobWaiting(change.job.uniqueId, change.job.printerName, key, waitReasonText(change.reason));
    }
}

void CPrinter::takeBack(const TrackedJobBook::EndedJob& ended)
{
    KLOG->warn("cancel tracked print job. uniqueId={}, jobId={}, printerName={}, reason={}", ended.job.uniqueId,
               ended.job.jobId, ended.job.printerName, reasonKey(ended.failure));
    const std::shared_ptr<PrintSpooler> target = spooler;
    runInBackground([this, target, ended] {
        bool cancelled = false;
        JobOutcome outcome = JobOutcome::Unknown;
        if (auto printer = target->openPrinter(ended.job.printerName.toStdWString())) {
            cancelled = printer->cancelJob(ended.job.jobId);
            outcome = printer->jobOutcome(ended.job.jobId);
        }
        // A job that completed while it was being taken back has printed: it is no failure.
        const bool printed = !cancelled && outcome == JobOutcome::Completed;
        if (!cancelled && !printed)
            KLOG->error("cancel tracked print job failed. uniqueId={}, jobId={}, printerName={}", ended.job.uniqueId,
                        ended.job.jobId, ended.job.printerName);
        QMetaObject::invokeMethod(
            this, [this, ended, printed] { reportTakenBack(ended, printed); }, Qt::QueuedConnection);
    });
}

void CPrinter::reportTakenBack(const TrackedJobBook::EndedJob& ended, bool printed)
{
    const TrackedPrintJob& job = ended.job;
    if (printed) {
        KLOG->info("tracked print job finished before it could be cancelled. uniqueId={}, jobId={}, printerName={}",
                   job.uniqueId, job.jobId, job.printerName);
        if (job.legacy)
            Q_EMIT sigPrintFinish();
        Q_EMIT sigPrintJobFinished(job.uniqueId);
        return;
    }
    KLOG->error("tracked print job failed. uniqueId={}, jobId={}, reason={}", job.uniqueId, job.jobId,
                reasonKey(ended.failure));
    QString message;
    switch (ended.failure) {
    case TrackedJobBook::FailReason::PrinterStopped:
        message = tr("打印机已停止，请检查打印机状态");
        break;
    case TrackedJobBook::FailReason::GaveUp:
        message = tr("打印超时，请检查打印机状态");
        break;
    case TrackedJobBook::FailReason::CancelledByAgent:
        message = tr("打印已取消");
        break;
    default:
        message = tr("打印出错，请检查打印机状态");
        break;
    }
    Q_EMIT sigPrintJobFailed(job.uniqueId, message);
}

QString CPrinter::waitReasonText(PrintWaitReason reason)
{
    switch (reason) {
    case PrintWaitReason::NoPaper:
        return tr("打印机缺纸，请添加纸张");
    case PrintWaitReason::PaperJam:
        return tr("打印机卡纸，请取出卡住的纸张");
    case PrintWaitReason::DoorOpen:
        return tr("打印机盖板打开，请关好盖板");
    case PrintWaitReason::TonerEmpty:
        return tr("打印机墨粉已用完，请更换");
    case PrintWaitReason::Offline:
        return tr("打印机已脱机，请检查打印机电源和连接");
    case PrintWaitReason::WakingUp:
        return tr("打印机正在唤醒，请稍候");
    case PrintWaitReason::NeedsAttention:
        return tr("打印机需要处理，请查看打印机上的提示");
    case PrintWaitReason::NoResponse:
        return tr("打印机尚未打印，请检查打印机是否开机并已连接");
    case PrintWaitReason::None:
        break;
    }
    return tr("打印机已恢复，继续打印");
}

bool CPrinter::cancelTrackedJob(const QString& uniqueId)
{
    QMutexLocker jobsLocker(&jobsMutex);
    if (!trackedJobs.requestCancel(uniqueId))
        return false;
    KLOG->info("cancel requested for tracked print job. uniqueId={}", uniqueId);
    return true;
}

void CPrinter::setWaitPolicy(const PrintWaitPolicy& policy)
{
    {
        QMutexLocker jobsLocker(&jobsMutex);
        policyFromConfig = false;
    }
    usePolicy(policy);
}

void CPrinter::usePolicy(const PrintWaitPolicy& policy)
{
    {
        QMutexLocker jobsLocker(&jobsMutex);
        trackedJobs.setPolicy(policy);
    }
    // The timer belongs to the GUI thread.
    QMetaObject::invokeMethod(
        pollTimer, [timer = pollTimer, interval = policy.pollIntervalMs] { timer->setInterval(interval); },
        thread() == QThread::currentThread() ? Qt::DirectConnection : Qt::QueuedConnection);
}

PrintWaitPolicy CPrinter::waitPolicy() const
{
    QMutexLocker jobsLocker(&jobsMutex);
    return trackedJobs.policy();
}

void CPrinter::removeTrackedPrintJob(QString uniqueId)
{
    bool empty = false;
    {
        QMutexLocker jobsLocker(&jobsMutex);
        TrackedPrintJob removed;
        if (trackedJobs.remove(uniqueId, &removed))
            KLOG->warn("remove tracked print job. uniqueId={}, jobId={}, printerName={}", removed.uniqueId,
                       removed.jobId, removed.printerName);
        empty = trackedJobs.isEmpty();
    }
    if (empty)
        stopPollTimerQueued();
}

int CPrinter::trackedJobCount() const
{
    QMutexLocker jobsLocker(&jobsMutex);
    return trackedJobs.size();
}

bool CPrinter::isTracking(const QString& uniqueId) const
{
    QMutexLocker jobsLocker(&jobsMutex);
    return trackedJobs.contains(uniqueId);
}

bool CPrinter::isPolling() const
{
    return pollTimer->isActive();
}
