#include "printing/printer.h"

#include "foundation/logging.h"

#include <QMutexLocker>
#include <QTimer>

namespace {

const char* reasonKey(TrackedJobBook::FailReason reason)
{
    switch (reason) {
    case TrackedJobBook::FailReason::PrinterStopped:
        return "printer_stopped";
    case TrackedJobBook::FailReason::PrinterOffline:
        return "printer_offline";
    case TrackedJobBook::FailReason::JobCancelled:
        return "job_cancelled";
    case TrackedJobBook::FailReason::JobAborted:
        return "job_aborted";
    case TrackedJobBook::FailReason::None:
        break;
    }
    return "none";
}

QString conditionText(const PrinterCondition& condition)
{
    QStringList parts;
    if (condition.noPaper)
        parts << QStringLiteral("no paper");
    if (condition.jammed)
        parts << QStringLiteral("paper jam");
    if (condition.doorOpen)
        parts << QStringLiteral("door open");
    return parts.isEmpty() ? QStringLiteral("ready") : parts.join(QStringLiteral(", "));
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
    runInBackground([this, polled] {
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
            this, [this, polled, reading] { applyPollReading(polled, reading); }, Qt::QueuedConnection);
    });
}

void CPrinter::applyPollReading(const QList<TrackedPrintJob>& polled, const TrackedJobBook::PollReading& reading)
{
    TrackedJobBook::PollReport report;
    {
        QMutexLocker jobsLocker(&jobsMutex);
        pollInFlight = false;
        report = trackedJobs.apply(polled, reading);
    }
    ++pollsApplied;
    for (int i = 0; i < report.unreadablePrinters.size(); ++i)
        KLOG->error("enumJobsId query printer job failed");
    for (const TrackedJobBook::ConditionChange& change : report.attentionChanges)
        logConditionChange(change);

    bool legacyFinished = false;
    QStringList finished;
    QList<TrackedJobBook::EndedJob> failed;
    for (const TrackedJobBook::EndedJob& ended : report.ended) {
        const TrackedPrintJob& job = ended.job;
        if (ended.failure == TrackedJobBook::FailReason::None) {
            KLOG->info("tracked print job finished. uniqueId={}, jobId={}, printerName={}, activeJobCount={}",
                       job.uniqueId, job.jobId, job.printerName, ended.activeJobCount);
            legacyFinished = legacyFinished || job.legacy;
            finished.append(job.uniqueId);
        } else {
            KLOG->error("tracked print job failed. uniqueId={}, jobId={}, reason={}", job.uniqueId, job.jobId,
                        reasonKey(ended.failure));
            failed.append(ended);
            if (ended.cancel) {
                // Nothing may come out after the error, when the printer is back.
                const std::shared_ptr<PrintSpooler> target = spooler;
                runInBackground([target, job] {
                    if (auto printer = target->openPrinter(job.printerName.toStdWString()))
                        printer->cancelJob(job.jobId);
                });
            }
        }
    }

    if (report.nowEmpty)
        pollTimer->stop();
    if (legacyFinished)
        Q_EMIT sigPrintFinish();
    for (const QString& uniqueId : finished)
        Q_EMIT sigPrintJobFinished(uniqueId);
    for (const TrackedJobBook::EndedJob& ended : failed) {
        QString message;
        switch (ended.failure) {
        case TrackedJobBook::FailReason::PrinterStopped:
            message = tr("打印机已停止，请检查打印机状态");
            break;
        case TrackedJobBook::FailReason::PrinterOffline:
            message = tr("打印机已脱机，请检查打印机状态");
            break;
        default:
            message = tr("打印出错，请检查打印机状态");
            break;
        }
        Q_EMIT sigPrintJobFailed(ended.job.uniqueId, message);
    }
}

void CPrinter::logConditionChange(const TrackedJobBook::ConditionChange& change)
{
    KLOG->warn("printer condition changed. printerName={}, condition={}", change.printerName,
               conditionText(change.condition));
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
