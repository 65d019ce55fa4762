#pragma once

#include "agentprocess.h"

#include <atomic>
#include <thread>

// One started agent process, on the platform's terms.
class AgentProcess::Native {
public:
    explicit Native(AgentProcess& owner) : owner(owner) {}
    ~Native();
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;

    bool start(const QString& program, const QString& workingFolder, QString& error);
    qint64 processId() const { return pid; }
    void startWatcher();
    // Ends the process (asked first, forced after `graceMs`) and collects it.
    void terminate(int graceMs);

private:
    void watch();

    AgentProcess& owner;
    qint64 pid = 0;
    int handle = -1; // refers to exactly this process until closed
    std::thread watcher;
    std::atomic<bool> terminating {false};
};
