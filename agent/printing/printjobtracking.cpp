#include "printing/printjobtracking.h"

#include "foundation/globalconfig.h"

#include <QSet>

#include <algorithm>
#include <limits>

namespace {

const QString kRetainedPrinting = QStringLiteral("2010");
const QString kRetainedComplete = QStringLiteral("3000");

// A positive whole number of a setting, else `fallback`.
int positiveSetting(const KELGlobalConfig* config, const char* key, int fallback, int unitMs)
{
    return config ? config->positiveMs(QLatin1String(key), fallback, unitMs) : fallback;
}

// Why a job waits: what its printer reports, else what the job's own status says (unless the
// queue is paused, which fails the job instead).
PrintWaitReason jobWaitReason(const TrackedPrintJob& job, const PrinterQueueSnapshot& snapshot)
{
    const PrintWaitReason reason = waitReasonOf(snapshot.condition);
    const auto status = snapshot.jobs.constFind(job.jobId);
    if (reason != PrintWaitReason::None || snapshot.condition.stopped || status == snapshot.jobs.constEnd())
        return reason;
    return waitReasonOf(jobConditionOf(status->toUInt(nullptr, 16)));
}

} // namespace

QString printWaitReasonKey(PrintWaitReason reason)
{
    switch (reason) {
    case PrintWaitReason::NoPaper:
        return QStringLiteral("media-empty");
    case PrintWaitReason::PaperJam:
        return QStringLiteral("media-jam");
    case PrintWaitReason::DoorOpen:
        return QStringLiteral("door-open");
    case PrintWaitReason::TonerEmpty:
        return QStringLiteral("marker-supply-empty");
    case PrintWaitReason::Offline:
        return QStringLiteral("offline");
    case PrintWaitReason::WakingUp:
        return QStringLiteral("warming-up");
    case PrintWaitReason::NeedsAttention:
        return QStringLiteral("needs-attention");
    case PrintWaitReason::NoResponse:
        return QStringLiteral("no-response");
    case PrintWaitReason::None:
        break;
    }
    return QString();
}

PrintWaitReason waitReasonOf(const PrinterCondition& condition)
{
    if (condition.offline)
        return PrintWaitReason::Offline;
    if (condition.jammed)
        return PrintWaitReason::PaperJam;
    if (condition.doorOpen)
        return PrintWaitReason::DoorOpen;
    if (condition.noPaper)
        return PrintWaitReason::NoPaper;
    if (condition.tonerEmpty)
        return PrintWaitReason::TonerEmpty;
    if (condition.needsAttention)
        return PrintWaitReason::NeedsAttention;
    if (condition.wakingUp)
        return PrintWaitReason::WakingUp;
    return PrintWaitReason::None;
}

PrintWaitPolicy PrintWaitPolicy::fromConfig(const KELGlobalConfig* config)
{
    PrintWaitPolicy policy;
    policy.pollIntervalMs = positiveSetting(config, "printpollms", policy.pollIntervalMs, 1);
    policy.noticeMs = positiveSetting(config, "printnoticeseconds", policy.noticeMs, 1000);
    policy.canonIrAdvNoticeMs = int(std::min<qint64>(qint64(policy.noticeMs) * 2, std::numeric_limits<int>::max()));
    policy.giveUpMs = positiveSetting(config, "printgiveupseconds", policy.giveUpMs, 1000);
    return policy;
}

QString jobStatusText(std::uint32_t status)
{
    return QString::number(status, 16);
}

bool trackedJobFinished(TrackedPrintJob& job, const PrinterQueueSnapshot& snapshot)
{
    if (snapshot.empty)
        return true;
    const auto found = snapshot.jobs.constFind(job.jobId);
    if (found == snapshot.jobs.constEnd())
        return true;
    if (!job.isCanonIrAdv)
        return false;
    const QString& current = found.value();
    if (job.lastStatus == kRetainedPrinting && current == kRetainedComplete)
        return true;
    job.lastStatus = current;
    return false;
}

int TrackedJobBook::add(const TrackedPrintJob& job)
{
    TrackedPrintJob& added = jobs.insert(job.uniqueId, job).value();
    added.waitReasonSinceMs = std::max(added.waitReasonSinceMs, added.submittedMs);
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
        stoppedPolls.remove(printer);
    return true;
}

bool TrackedJobBook::requestCancel(const QString& uniqueId)
{
    const auto it = jobs.find(uniqueId);
    if (it == jobs.end())
        return false;
    it->cancelRequested = true;
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

int TrackedJobBook::noticeMs(const TrackedPrintJob& job) const
{
    return job.isCanonIrAdv ? waitPolicy.canonIrAdvNoticeMs : waitPolicy.noticeMs;
}

TrackedJobBook::PollReport TrackedJobBook::apply(const QList<TrackedPrintJob>& polled, const PollReading& reading,
                                                 qint64 nowMs)
{
    PollReport report;
    QSet<QString> stopped;
    const QStringList tracked = printers();
    for (auto it = reading.snapshots.constBegin(); it != reading.snapshots.constEnd(); ++it) {
        // A printer whose last job went during the poll starts afresh with its next job.
        if (!tracked.contains(it.key()))
            continue;
        if (!it->ok) {
            report.unreadablePrinters.append(it.key());
            continue;
        }
        int& polls = stoppedPolls[it.key()];
        polls = it->condition.stopped ? polls + 1 : 0;
        if (polls >= waitPolicy.stoppedPollsToFail)
            stopped.insert(it.key());
    }

    QMap<QString, TrackedPrintJob> polledJobs;
    for (const TrackedPrintJob& job : polled)
        polledJobs.insert(job.uniqueId, job);

    // Walks in key order, as the map keeps them.
    for (auto it = jobs.begin(); it != jobs.end(); ++it) {
        TrackedPrintJob& job = it.value();
        const auto polledJob = polledJobs.constFind(job.uniqueId);
        if (polledJob == polledJobs.constEnd())
            continue;
        if (polledJob->jobId != job.jobId || polledJob->printerName != job.printerName)
            continue; // replaced by a later print with the same id
        const auto snapshot = reading.snapshots.constFind(job.printerName);
        const bool readable = snapshot != reading.snapshots.constEnd() && snapshot->ok;
        const qint64 waitedMs = nowMs - job.submittedMs;

        EndedJob ended;
        if (readable && trackedJobFinished(job, snapshot.value())) {
            const bool gone = !snapshot->jobs.contains(job.jobId);
            const JobOutcome outcome = gone ? reading.outcomes.value(job.uniqueId, JobOutcome::Unknown)
                                            : JobOutcome::Completed;
            if (outcome == JobOutcome::Cancelled)
                ended.failure = FailReason::JobCancelled;
            else if (outcome == JobOutcome::Aborted)
                ended.failure = FailReason::JobAborted;
        } else if (job.cancelRequested) {
            ended.failure = FailReason::CancelledByAgent;
            ended.cancel = true;
        } else if (readable && stopped.contains(job.printerName)) {
            ended.failure = FailReason::PrinterStopped;
            ended.cancel = true;
        } else if (waitedMs >= waitPolicy.giveUpMs) {
            // Also when the queue cannot be read: the job must not come out after the failure.
            ended.failure = FailReason::GaveUp;
            ended.cancel = true;
        } else {
            PrintWaitReason reason = readable ? jobWaitReason(job, snapshot.value()) : job.waitReason;
            // Silent for the notice time since it was submitted, or since the printer's last
            // condition cleared (then it had been printing): no answer, as far as anyone can tell.
            if (reason == PrintWaitReason::None
                && (job.waitReason == PrintWaitReason::NoResponse || nowMs - job.waitReasonSinceMs >= noticeMs(job)))
                reason = PrintWaitReason::NoResponse;
            if (reason != job.waitReason) {
                job.waitReason = reason;
                job.waitReasonSinceMs = nowMs;
                report.waitChanges.append({job, reason});
            }
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
