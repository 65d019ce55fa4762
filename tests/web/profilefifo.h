#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

// A scanner profile whose first read waits until the test opens the gate. The data source
// manager reads its profile on the agent's GUI thread (when it opens the manager, lists or opens
// a source, starts a scan), so the agent's GUI thread is held at a known point for as long as a
// test likes. The path is a named pipe until that first read is served, then a plain file with
// the same profile for every later read.
class ProfileFifo {
public:
    ProfileFifo(const QString& path, const QByteArray& profile);
    ~ProfileFifo();
    ProfileFifo(const ProfileFifo&) = delete;
    ProfileFifo& operator=(const ProfileFifo&) = delete;

    bool isValid() const { return valid; }
    QString path() const { return fifoPath; }

    void openGate();
    // True while a reader waits at the shut gate.
    bool hasHeldReader() const;

private:
    void serveFirstRead();

    QString fifoPath;
    QByteArray content;
    bool valid = false;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool shut = true;
    bool stopping = false;
    bool heldReader = false;
    std::thread writer;
};
