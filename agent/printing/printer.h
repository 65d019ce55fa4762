#pragma once

#include "printing/devmode.h"
#include "printing/printjobtracking.h"
#include "printing/printlayout.h"
#include "printing/printspooler.h"

#include <QElapsedTimer>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

class KELGlobalConfig;
class QTimer;

// The agent's one printer object: chooses the printer, holds the device mode of the next print
// (from a preset file for four school models, set in code for the others), prints a list of page
// images as one spooler document, and watches the spooler until each document has printed.
//
// Locks: `mutex` guards the printer members and the device mode and is held by a whole print;
// `jobsMutex` guards the tracked jobs only and is held briefly, so the poll on the GUI thread
// never waits for a print. Spooler calls of the poll run on the global thread pool.
class CPrinter : public QObject {
    Q_OBJECT
public:
    // The agent's printer over this platform's spooler; first touched on the GUI thread.
    static CPrinter& instance();

    CPrinter(std::shared_ptr<PrintSpooler> spooler, KELGlobalConfig* config, QObject* parent = nullptr);
    ~CPrinter() override;

    // --- selection and printing (printer.cpp) ---

    // Selects `name`, or the default printer when it is empty; true when the printer is there
    // to print on (false without a default printer, or when it cannot be opened).
    bool selectPrinter(QString name);
    // The system's default printer as the spooler names it now (empty when none), asked without
    // the printer's lock or its selection, which belong to the prints: it never waits for one.
    QString defaultPrinterName() const;
    // Prints the images as one document with the device mode of the last configPrinter, which
    // it consumes; true when the document was handed to the spooler whole.
    bool print(QString uniqueId, QStringList filePaths, bool legacy, const QString& studentName,
               const QString& studentId);
    // Every page exists and decodes; the first bad page stops the check.
    bool precheckPrintFiles(QString uniqueId, QStringList filePaths, QString studentName, QString studentId,
                            QString* message);

    QString printerName() const;
    QString driverName() const;
    int jobId() const;
    int binCount() const;
    bool partMode() const;
    bool rotate180() const;
    bool isCanonIrAdv() const;
    bool isCanonUfr() const;
    bool isEpsonEmC8100() const;
    bool isToshibaUniversal() const;
    // The selected printer's condition as the last selectPrinter read it.
    PrinterCondition printerCondition() const;

    // --- configuration (printer_presets.cpp) ---

    // The device mode of the next print for a print configuration {"size", "type"}; null on
    // failure. Owned by this object and consumed by the next print.
    DEVMODEW* configPrinter(QMap<QString, QString> printConfig);
    DEVMODEW* applyPreset(QMap<QString, QString> printConfig);
    // The printer's current device mode overlaid with a preset file and validated by the driver.
    bool loadPresetFile(std::wstring presetPath, std::wstring printerName, DevModeBuffer* result);
    // Maintenance command: captures a preset from the default printer's preferences dialog.
    void promptDevmodFile();
    bool generatePresetFromDialog(const wchar_t* printerName, HWND parent);
    bool writePresetFiles(QString printerName, const DevModeBuffer& devMode, QString txtPath, QString datPath);

    // --- job tracking (printer_tracking.cpp) ---

    PrinterQueueSnapshot queryPrinterQueueSnapshot(QString printerName);
    // Forgets a job without a signal.
    void removeTrackedPrintJob(QString uniqueId);
    // Takes a job back from the spooler at the next poll: it ends as failed, or as printed when
    // it had printed already. False when the job is not tracked.
    bool cancelTrackedJob(const QString& uniqueId);
    // How long jobs are waited for: from cfg.dat, read again at every print, unless set here.
    void setWaitPolicy(const PrintWaitPolicy& policy);
    PrintWaitPolicy waitPolicy() const;
    // What a wait reason means for the teacher (None: the printer goes on).
    static QString waitReasonText(PrintWaitReason reason);
    int trackedJobCount() const;
    bool isTracking(const QString& uniqueId) const;
    bool isPolling() const;
    // Polls whose reading has been applied, for diagnostics.
    int completedPolls() const { return pollsApplied.load(); }

public Q_SLOTS:
    // Every poll interval while jobs are tracked: reads their printers' queues, ends the jobs
    // that have printed or failed and reports why the others wait.
    void pollTrackedJobs();

Q_SIGNALS:
    void sigError(int code);
    void sigStartPrint();
    // Some legacy job finished at this poll.
    void sigPrintFinish();
    void sigPrintJobFinished(QString uniqueId);
    // The job did not print and will not: its queue was stopped, it was cancelled or aborted,
    // or it was taken back (given up, or cancelled by the agent).
    void sigPrintJobFailed(QString uniqueId, QString message);
    // The job waits for its printer: `reason` is the protocol's keyword ("media-empty", …;
    // empty once it goes on), `text` says it for the teacher.
    void sigPrintJobWaiting(QString uniqueId, QString printerName, QString reason, QString text);

private:
    PrinterModel model() const; // with `mutex` held
    bool drawPage(SpoolerDocument& document, const QString& path, const PrintableArea& area, bool turned);
    void failTail(const QString& uniqueId);
    void orientToPages(const QStringList& filePaths);
    void stopPollTimerQueued();
    void usePolicy(const PrintWaitPolicy& policy);
    void applyPollReading(const QList<TrackedPrintJob>& polled, const TrackedJobBook::PollReading& reading,
                          qint64 polledAtMs);
    // Cancels a job at the spooler, then tells whether it printed after all or failed.
    void takeBack(const TrackedJobBook::EndedJob& ended);
    void reportTakenBack(const TrackedJobBook::EndedJob& ended, bool printed);
    qint64 clockMs() const { return clock.elapsed(); }
    // Runs spooler work on the global pool; the destructor waits for it.
    void runInBackground(std::function<void()> work);
    DEVMODEW* configureGenericPrinter(const QMap<QString, QString>& printConfig);

    std::shared_ptr<PrintSpooler> spooler;
    KELGlobalConfig* config;

    QString selectedPrinterName;
    QString selectedDriverName;
    PrinterCondition selectedCondition;
    DevModeBuffer devMode;
    mutable QMutex mutex;
    QTimer* pollTimer;
    int lastJobId = 0;
    bool partPrinting = true;
    bool halfTurn = true;
    int paperBinCount = 0;
    QString binCountPrinter; // the printer paperBinCount was read from

    mutable QMutex jobsMutex;
    TrackedJobBook trackedJobs;
    QElapsedTimer clock; // of the jobs' submission times
    bool policyFromConfig = true;
    bool pollInFlight = false;
    std::atomic<int> pollsApplied {0};

    QMutex workersMutex;
    QWaitCondition workersDone;
    int activeWorkers = 0;
};
