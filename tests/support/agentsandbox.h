#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace vtest {

class WineSession;

// A private world for one run of the real `vellox` binary: its own HOME, XDG data home, TMPDIR
// and XDG_RUNTIME_DIR (the single-instance socket lives there), so parallel tests never meet.
class AgentSandbox {
public:
    AgentSandbox();
    // A world kept in `keptRoot` (created if missing, never removed), for runs in two test
    // cases that one after the other work on the same folders.
    explicit AgentSandbox(const QString& keptRoot);
    ~AgentSandbox();
    // Ends the programs still running (terminate, then kill), as the sandbox's end does.
    void stopPrograms();

    QString root() const { return rootPath; }
    // From now on runs the Windows build's programs in `wine`'s session (it must outlive the
    // sandbox's programs); their data folder is that session's roaming …/kelmora/vellox.
    void useWine(const WineSession* wine);
    // A path of this machine as the agent names it (under Wine: the Z: drive).
    QString pathForAgent(const QString& path) const;
    QString dataFolder() const;   // …/kelmora/vellox under the private XDG data home
    QString tempFolder() const;   // the private TMPDIR
    QString runtimeFolder() const; // the private XDG_RUNTIME_DIR: the programs' sockets and locks
    QString logFile() const;      // today's log file
    QString dumpFolder() const;

    // Program folder: the build's by default; a private copy once an app.dat is given,
    // since the agent reads app.dat beside its executable.
    QString programFolder() const;
    void usePrivateProgramFolder(const QJsonObject& appDat);
    // The same with only the given programs, by their name in the folder and the file copied.
    void usePrivateProgramFolder(const QJsonObject& appDat, const QMap<QString, QString>& programs);
    // Runs the programs of an installed (or unpacked) program folder, with its own app.dat.
    void useProgramFolder(const QString& folder) { privateProgramFolder = folder; }
    // An app.dat whose one environment, current, is `url`.
    static QJsonObject appDatFor(const QString& url);

    void setConfig(const QString& key, const QString& value);
    // The agent's fixed waits at a fifth (VELLOX_TEST_TIME_SCALE): the scanner opens 0.4 s after
    // the first upgrade check has answered, and a batch's "scan-end" comes kShortScanEndMs after
    // its end instead of 5 s.
    static constexpr int kShortScanEndMs = 1000;
    void shortenScanPauses();
    QString config(const QString& key) const;
    void setEnv(const QString& name, const QString& value) { extraEnv.insert(name, value); }
    // A stand-in for the program `name`, first on the programs' PATH: each start appends its
    // arguments as one line to the returned file, then runs `then` (shell script lines).
    QString recordStarts(const QString& name, const QString& then = QString());
    // Programs started from now on run with this soft and hard limit of open files (0: inherited).
    void setFileLimit(int limit) { fileLimit = limit; }
    // Programs started from now on run as the local user `uid` of group `gid` (the tests must run
    // as root); before each start the sandbox's folders are given to that user.
    void runAs(uint uid, uint gid);
    QProcessEnvironment environment() const;

    // Starts another agent process in this sandbox; the sandbox stops all of them at the end.
    QProcess* start(const QStringList& args = {});
    // The same for another program of the program folder.
    QProcess* startProgram(const QString& name, const QStringList& args = {});
    QProcess* agent() const { return processes.empty() ? nullptr : processes.front().get(); }
    // The process started last (after a restart, the running agent).
    QProcess* latest() const { return processes.empty() ? nullptr : processes.back().get(); }

    QString readLog() const;
    bool waitForLog(const QString& text, int timeoutMs = 30000) const;
    // Port on loopback that nobody listens on at the moment of asking.
    static quint16 freePort();
    // Starts the agent listening on a fresh port and waits until the port accepts connections.
    quint16 startListening(const QStringList& args = {});
    // Waits until `port` on loopback accepts connections while the latest agent runs.
    bool waitUntilListening(quint16 port, int timeoutMs = 30000) const;

private:
    std::unique_ptr<QTemporaryDir> temporary;
    QString rootPath;
    QString privateProgramFolder;
    const WineSession* wine = nullptr;
    QProcessEnvironment extraEnv;
    int fileLimit = 0;
    QString user; // "uid:gid" of the user the programs run as; empty: this process's
    std::vector<std::unique_ptr<QProcess>> processes;
};

} // namespace vtest
