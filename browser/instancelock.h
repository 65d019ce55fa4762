#pragma once

#include <QString>

// The lock that makes one shell the running one. The system drops it when its holder ends, in
// whatever way, so it is never stale; the file itself stays.
class InstanceLock {
public:
    static QString defaultPath(); // "VelloxBrowserMutex.lock" in the user's own folder (UserLocal)

    explicit InstanceLock(const QString& path = defaultPath());
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock unless another holds it; never waits.
    bool tryAcquire();
    void release();
    bool isHeld() const { return handle >= 0; }

private:
    QString path;
    int handle = -1;
};
