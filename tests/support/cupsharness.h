#pragma once

#include <QList>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace testing {
class Environment;
}

namespace vtest {

// A private CUPS for one test program: a D-Bus daemon, a cupsd on a free loopback port and its
// own socket, and per printer model an ippeveprinter (a real IPP printer) with a queue that
// forwards to it. The printer keeps every document it receives and runs a fate script for each
// job, which records the job's attributes and does what the test chose for the job's name.
// In this process CUPS_SERVER points at the private server, so libcups and the agent's spooler
// use it; the first queue is the default printer.
class CupsHarness {
public:
    // A printer model, written as the PPD of its queue. The nick name is what the spooler
    // reports as the driver name.
    struct Model {
        Model() = default;
        Model(QString queue, QString nickName) : queue(std::move(queue)), nickName(std::move(nickName)) {}

        QString queue;
        QString nickName;
        bool color = true;
        bool duplex = true;
        QStringList sizes = {QStringLiteral("A4"), QStringLiteral("A3"), QStringLiteral("Letter")};
        QString defaultSize = QStringLiteral("A4");
        QStringList trays = {QStringLiteral("Tray1"), QStringLiteral("Tray2")};
    };

    // What the printer does with a job of a given name.
    enum class Fate {
        Print,       // prints at once
        Hold,        // prints once released (bounded wait)
        MediaEmpty,  // reports an empty paper tray until released, then prints
        Offline,     // the queue reports the printer offline (asleep, unplugged) until released, then prints
        Fail,        // the printer gives up on the job (CUPS still reports it completed)
    };

    explicit CupsHarness(const QList<Model>& models);
    ~CupsHarness();
    CupsHarness(const CupsHarness&) = delete;
    CupsHarness& operator=(const CupsHarness&) = delete;

    // Starts one harness for the test program's life: call at namespace scope in the test
    // file; the harness starts before the first test and stops after the last.
    static testing::Environment* registerForProgram(const QList<Model>& models);
    static CupsHarness& current();

    bool isRunning() const { return running; }
    QString errorText() const { return error; }
    QString root() const { return dir; }
    QString serverSocket() const { return dir + QStringLiteral("/cups.sock"); }

    // Leaves the server and its printers as a test expects to find them: no job anywhere (a job
    // a printer holds for its fate is let go, named or not), every queue enabled, accepting and
    // pointed at its printer, the first queue the default, every job printing. Returns once the
    // server and every printer are idle; false when they are not within `timeoutMs`.
    bool reset(int timeoutMs = 30000);
    // What the server and its printers are doing, for the report of a failed test: the queues,
    // the jobs not completed, each printer's own state and the jobs it received, and the end of
    // the server's and the printers' logs.
    QString stateReport() const;

    void setFate(const QString& jobName, Fate fate);
    void release(const QString& jobName);
    // The fate of every job whose name has none of its own.
    void setDefaultFate(Fate fate);
    // The names of the jobs the printer of `queue` has received (held ones too), in arrival order.
    QStringList jobNames(const QString& queue) const;
    // Jobs of `queue` not yet completed at the server (`lpstat -o`); -1 when it cannot be asked.
    int queuedJobCount(const QString& queue) const;

    // The document the printer of `queue` received for a job name, once it is complete; any
    // name, also one with blanks such as the spooler's own "Test Page".
    QString keptDocument(const QString& queue, const QString& jobName) const;
    bool waitForDocument(const QString& queue, const QString& jobName, int timeoutMs = 60000) const;
    // The job's attributes as the printer saw them (IPP_SIDES, IPP_MEDIA_COL, …).
    QMap<QString, QString> jobAttributes(const QString& queue, const QString& jobName) const;
    QStringList documentsOf(const QString& queue) const;

    // Command-line clients against the private server.
    int submitHeldJob(const QString& queue, const QString& title); // `lp -H indefinite`; job id or 0
    bool cancelJob(const QString& queue, int jobId);                // `cancel`
    bool cancelAll(const QString& queue);
    bool disable(const QString& queue);                             // `cupsdisable`: stopped
    bool enable(const QString& queue);
    // Points the queue at an address where no printer answers, or back at its printer: jobs
    // sent meanwhile stay "processing" at the server with no reason given, as for a printer
    // that is switched off or gone from the network.
    bool setReachable(const QString& queue, bool reachable);
    bool setDefault(const QString& queue);
    // The printer behind `queue` as it reports itself: "<state>,<reasons>,<jobs>" (for example
    // "idle,none,0"); null when it does not answer.
    QString printerState(const QString& queue) const;
    // Output of a client program, or null when it failed (then lastClientFailure() says why).
    QString run(const QString& program, const QStringList& args) const;
    QString lastClientFailure() const { return lastFailure; }

private:
    bool start(const QList<Model>& models);
    bool startProcess(QProcess* process, const QString& program, const QStringList& args);
    bool writeFile(const QString& path, const QByteArray& content, bool executable = false);
    QString ppdFor(const Model& model) const;
    // The job name in the record the fate script wrote beside a document; none before it is written.
    static std::optional<QString> recordedJobName(const QString& document);
    // No job at the server, every queue idle and every printer idle.
    bool isIdle() const;
    void stop();

    QString dir;
    bool running = false;
    QString error;
    mutable QString lastFailure;
    QProcessEnvironment clientEnv;
    std::unique_ptr<QProcess> dbus;
    std::unique_ptr<QProcess> cupsd;
    std::vector<std::unique_ptr<QProcess>> printers;
    QMap<QString, quint16> printerPorts; // by queue
    QString defaultQueue;
    QSet<QString> unreachableQueues;
    quint16 unreachablePort = 0;
};

} // namespace vtest
