#include "singleinstance.h"

#include "instancelock.h"

#include <QDeadlineTimer>
#include <QThread>

namespace {
constexpr int kRetryPauseMs = 100;
}

InstanceRole claimInstance(InstanceLock& lock, int waitMs, const QString& windowServer)
{
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        if (lock.tryAcquire())
            return InstanceRole::Primary;
        if (WindowControlServer::request("activate", int(deadline.remainingTime()), windowServer) == "ok")
            return InstanceRole::OtherActivated;
        if (deadline.hasExpired())
            return InstanceRole::GaveUp;
        QThread::msleep(kRetryPauseMs);
    }
}
