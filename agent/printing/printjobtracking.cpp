#include "printing/printjobtracking.h"

#include <QSet>

#include <algorithm>

namespace {
const QString kRetainedPrinting = QStringLiteral("2010");
const QString kRetainedComplete = QStringLiteral("3000");
} // namespace

QString jobStatusText(std::uint32_t status)
{
    return QString::number(status, 16);
}

bool trackedJobFinished(TrackedPrintJob& job, const PrinterQueueSnapshot& snapshot)
{
    if (snapshot.empty)
        return true;
    const auto found = snapshot.jobs.constFind(job.jobId);
    const bool present = found != snapshot.jobs.constEnd();
    if (!job.legacy && !present)
        return true;
    if (!job.isCanonIrAdv || !present)
        return false;
    // A Canon iR-ADV keeps its printed jobs: printed is retained-and-printing becoming
    // retained-and-complete between two polls.
    const QString& current = found.value();
    if (job.lastStatus == kRetainedPrinting && current == kRetainedComplete)
        return true;
    job.lastStatus = current;
    return false;
}

int TrackedJobBook::add(const TrackedPrintJob& job)
{
    jobs.insert(job.uniqueId, job);
    return jobs.size();
}

bool TrackedJobBook::remove(const QString& uniqueId, TrackedPrintJob* removed)
{
    const auto it = jobs.find(uniqueId);
    if (it == jobs.end())
        return false;
    if (removed)
        *removed = it.value();
    const QString printer = it.value().printerName;
    jobs.erase(it);
    if (!printers().contains(printer))
        watches.remove(printer);
    return true;
}

QStringList TrackedJobBook::printers() const
{
    QStringList names;
    for (const TrackedPrintJob& job : jobs) {
        if (!names.contains(job.printerName))
            names.append(job.printerName);
    }
    return names;
}

TrackedJobBook::PollReport TrackedJobBook::apply(const QList<TrackedPrintJob>& polled, const PollReading& reading)
{
    PollReport report;
    QSet<QString> halted;
    const QStringList tracked = printers();
    for (auto it = reading.snapshots.constBegin(); it != reading.snapshots.constEnd(); ++it) {
        // A printer whose last job went during the poll starts afresh with its next job.
        if (!tracked.contains(it.key()))
            continue;
        const PrinterQueueSnapshot& snapshot = it.value();
        if (!snapshot.ok) {
            report.unreadablePrinters.append(it.key());
            continue;
        }
        PrinterWatch& watch = watches[it.key()];
        const PrinterCondition& now = snapshot.condition;
        if (now.noPaper != watch.condition.noPaper || now.jammed != watch.condition.jammed
            || now.doorOpen != watch.condition.doorOpen)
            report.attentionChanges.append({it.key(), now});
        watch.condition = now;
        watch.haltedPolls = now.halted() ? watch.haltedPolls + 1 : 0;
        if (watch.haltedPolls >= kHaltedPollsToFail)
            halted.insert(it.key());
    }

    QSet<QString> polledIds;
    for (const TrackedPrintJob& job : polled)
        polledIds.insert(job.uniqueId);

    // Walks in key order, as the map keeps them.
    for (auto it = jobs.begin(); it != jobs.end(); ++it) {
        TrackedPrintJob& job = it.value();
        if (!polledIds.contains(job.uniqueId))
            continue;
        const auto polledJob = std::find_if(polled.begin(), polled.end(),
                                            [&job](const TrackedPrintJob& p) { return p.uniqueId == job.uniqueId; });
        if (polledJob->jobId != job.jobId || polledJob->printerName != job.printerName)
            continue; // replaced by a later print with the same id
        const auto snapshot = reading.snapshots.constFind(job.printerName);
        if (snapshot == reading.snapshots.constEnd() || !snapshot->ok)
            continue;

        EndedJob ended;
        if (trackedJobFinished(job, snapshot.value())) {
            const bool gone = !snapshot->jobs.contains(job.jobId);
            const JobOutcome outcome = gone ? reading.outcomes.value(job.uniqueId, JobOutcome::Unknown)
                                            : JobOutcome::Completed;
            if (outcome == JobOutcome::Cancelled)
                ended.failure = FailReason::JobCancelled;
            else if (outcome == JobOutcome::Aborted)
                ended.failure = FailReason::JobAborted;
        } else if (halted.contains(job.printerName)) {
            ended.failure = snapshot->condition.stopped ? FailReason::PrinterStopped : FailReason::PrinterOffline;
            ended.cancel = true;
        } else {
            continue;
        }
        ended.job = job;
        report.ended.append(ended);
    }

    for (EndedJob& ended : report.ended) {
        ended.activeJobCount = jobs.size();
        remove(ended.job.uniqueId);
    }
    report.nowEmpty = jobs.isEmpty();
    return report;
}
