#pragma once

// The bookkeeping of spooler jobs the agent waits for: which are tracked, what a poll of their
// printers' queues means for each, why a job is still waiting, and when the agent stops waiting
// and takes a job back. No spooler calls and no signals: the printer object takes the snapshots
// and tells the waiting tasks. Shared by every platform's spooler.

#include "printing/printspooler.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

class KELGlobalConfig;

// Why a job has not printed yet, as the page is told.
enum class PrintWaitReason {
    None,          // printing, or nothing known against it
    NoPaper,
    PaperJam,
    DoorOpen,
    TonerEmpty,
    Offline,       // switched off, asleep or unplugged
    WakingUp,
    NeedsAttention, // an error the printer does not name, or a rarer one (a full output bin)
    NoResponse,    // nothing reported, but the job has not printed within the notice time
};

// The reason's keyword in the protocol ("media-empty", …; "" for None).
QString printWaitReasonKey(PrintWaitReason reason);
// The condition a person can fix, most urgent first; None when the printer reports none.
PrintWaitReason waitReasonOf(const PrinterCondition& condition);

// How long the agent waits for a job. A job that has not printed by the notice time is reported
// as waiting even when the printer names no reason; one that has not printed by the give-up time
// is cancelled at the spooler and failed, so that a failure never prints later.
struct PrintWaitPolicy {
    int pollIntervalMs = 500;
    int noticeMs = 60000;
    int canonIrAdvNoticeMs = 120000; // these printers report a job printed late
    int giveUpMs = 600000;
    int stoppedPollsToFail = 2;       // a queue paused by a person fails its jobs

    // The settings "printpollms", "printnoticeseconds" (doubled for Canon iR-ADV printers) and
    // "printgiveupseconds" of cfg.dat, where set to a positive number.
    static PrintWaitPolicy fromConfig(const KELGlobalConfig* config);
};

struct TrackedPrintJob {
    QString uniqueId;
    int jobId = 0;
    bool isCanonIrAdv = false; // the model when the job was registered
    bool legacy = false;       // submitted for a single "print" (its finish is also signalled as such)
    QString lastStatus;        // the status text the previous poll saw (Canon iR-ADV jobs)
    QString printerName;       // the queue the job was sent to
    qint64 submittedMs = 0;    // on the tracker's clock
    PrintWaitReason waitReason = PrintWaitReason::None; // as last reported
    qint64 waitReasonSinceMs = 0;                       // when it was reported (submission before)
    bool cancelRequested = false;
};

// One reading of a printer's queue.
struct PrinterQueueSnapshot {
    bool ok = false;
    bool empty = true;
    QMap<int, QString> jobs; // job id → status bits in lower-case hexadecimal ("2010")
    PrinterCondition condition;
};

// The status text of a job as the snapshot keeps it.
QString jobStatusText(std::uint32_t status);

// Whether one tracked job is printed by this snapshot: it has left its queue, or on a Canon
// iR-ADV, which keeps printed jobs queued, its status went from retained-and-printing to
// retained-and-complete between two polls (updates its lastStatus for that).
bool trackedJobFinished(TrackedPrintJob& job, const PrinterQueueSnapshot& snapshot);

class TrackedJobBook {
public:
    enum class FailReason { None, PrinterStopped, JobCancelled, JobAborted, GaveUp, CancelledByAgent };

    // What one poll read: a snapshot per printer, and for jobs missing from their queue how
    // they ended.
    struct PollReading {
        QMap<QString, PrinterQueueSnapshot> snapshots;
        QMap<QString, JobOutcome> outcomes; // by uniqueId
    };

    struct EndedJob {
        TrackedPrintJob job;
        int activeJobCount = 0; // tracked jobs before this one was removed
        FailReason failure = FailReason::None;
        // The job is still queued: it must be cancelled, and counts as failed only once the
        // spooler confirms it did not print.
        bool cancel = false;
    };

    struct WaitChange {
        TrackedPrintJob job;
        PrintWaitReason reason = PrintWaitReason::None;
    };

    struct PollReport {
        QList<EndedJob> ended; // in key order
        QList<WaitChange> waitChanges;
        QStringList unreadablePrinters;
        bool nowEmpty = false;
    };

    explicit TrackedJobBook(PrintWaitPolicy policy = PrintWaitPolicy()) : waitPolicy(policy) {}
    void setPolicy(const PrintWaitPolicy& policy) { waitPolicy = policy; }
    const PrintWaitPolicy& policy() const { return waitPolicy; }

    // Registers a job, replacing one with the same id; the number of tracked jobs after it.
    int add(const TrackedPrintJob& job);
    // Forgets a job; false when it was not tracked.
    bool remove(const QString& uniqueId, TrackedPrintJob* removed = nullptr);
    // The job is to be taken back at the next poll; false when it is not tracked.
    bool requestCancel(const QString& uniqueId);
    bool isEmpty() const { return jobs.isEmpty(); }
    int size() const { return jobs.size(); }
    bool contains(const QString& uniqueId) const { return jobs.contains(uniqueId); }
    QList<TrackedPrintJob> all() const { return jobs.values(); }
    QStringList printers() const;

    // Applies a poll to the jobs that were tracked when it started (`polled`); jobs registered
    // or replaced since then wait for the next poll. `nowMs` is the time of the poll on the
    // clock of the jobs' `submittedMs`.
    PollReport apply(const QList<TrackedPrintJob>& polled, const PollReading& reading, qint64 nowMs);

private:
    int noticeMs(const TrackedPrintJob& job) const;

    PrintWaitPolicy waitPolicy;
    QMap<QString, TrackedPrintJob> jobs;
    QMap<QString, int> stoppedPolls; // by printer
};
