#pragma once

// The bookkeeping of spooler jobs the agent waits for: which are tracked, what a poll of their
// printers' queues means for each, and when a printer's condition fails them. No spooler calls
// and no signals: the printer object takes the snapshots and tells the waiting tasks.

#include "printing/printspooler.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

struct TrackedPrintJob {
    QString uniqueId;
    int jobId = 0;
    bool isCanonIrAdv = false; // the model when the job was registered
    bool legacy = false;       // the caller waits for the queue to drain rather than for this job
    QString lastStatus;        // the status text the previous poll saw (Canon iR-ADV jobs)
    QString printerName;       // the queue the job was sent to
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

// Whether one tracked job is printed by this snapshot; updates its lastStatus where the
// status check of the Canon iR-ADV printers, which keep printed jobs queued, needs it.
bool trackedJobFinished(TrackedPrintJob& job, const PrinterQueueSnapshot& snapshot);

class TrackedJobBook {
public:
    enum class FailReason { None, PrinterStopped, PrinterOffline, JobCancelled, JobAborted };

    // A printer stopped or offline at this many consecutive polls fails its jobs.
    static constexpr int kHaltedPollsToFail = 2;

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
        bool cancel = false; // the job is still queued and must not print any more
    };

    struct ConditionChange {
        QString printerName;
        PrinterCondition condition;
    };

    struct PollReport {
        QList<EndedJob> ended; // in key order
        QStringList unreadablePrinters;
        QList<ConditionChange> attentionChanges; // no paper, jam or door changed
        bool nowEmpty = false;
    };

    // Registers a job, replacing one with the same id; the number of tracked jobs after it.
    int add(const TrackedPrintJob& job);
    // Forgets a job; false when it was not tracked.
    bool remove(const QString& uniqueId, TrackedPrintJob* removed = nullptr);
    bool isEmpty() const { return jobs.isEmpty(); }
    int size() const { return jobs.size(); }
    bool contains(const QString& uniqueId) const { return jobs.contains(uniqueId); }
    QList<TrackedPrintJob> all() const { return jobs.values(); }
    QStringList printers() const;

    // Applies a poll to the jobs that were tracked when it started (`polled`); jobs registered
    // or replaced since then wait for the next poll.
    PollReport apply(const QList<TrackedPrintJob>& polled, const PollReading& reading);

private:
    struct PrinterWatch {
        int haltedPolls = 0;
        PrinterCondition condition;
    };

    QMap<QString, TrackedPrintJob> jobs;
    QMap<QString, PrinterWatch> watches;
};
