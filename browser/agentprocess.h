#pragma once

#include "tiedprocess.h"

#include <QObject>
#include <QString>

// The agent `vellox`, started hidden from the install folder and tied to the shell's life: it
// dies with the shell however the shell ends, and its own end is reported once by ended() so
// the shell can close. Its installer runs outside this tie and survives both.
class AgentProcess : public QObject {
    Q_OBJECT
public:
    static constexpr int kTerminateGraceMs = TiedProcess::kDefaultGraceMs;

    explicit AgentProcess(QObject* parent = nullptr);
    ~AgentProcess() override; // terminates

    // True when an agent already answers on its single-instance socket (started on its own):
    // a launched one would find it and exit at once.
    static bool isAgentRunning(int timeoutMs = 1000);

    // Starts `installFolder` + "vellox" --hidden with the install folder as working folder;
    // false when it could not be started (errorString() says why). Call from the main thread:
    // the tie follows the thread that starts the agent.
    bool launch(const QString& installFolder);
    bool isStarted() const;
    qint64 processId() const;
    QString errorString() const { return error; }

    // Watches for the agent's end from a thread of its own; ended() is queued to this object.
    void startWatcher();

    // Asks the agent to quit, ends it after kTerminateGraceMs if it has not, and waits for it.
    void terminate();

Q_SIGNALS:
    void ended();

private:
    TiedProcess process;
    QString error;
};
