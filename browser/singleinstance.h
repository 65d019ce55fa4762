#pragma once

#include "windowcontrolserver.h"

#include <QString>

class InstanceLock;

enum class InstanceRole {
    Primary,          // this process holds the lock and runs the shell
    OtherActivated,   // a running shell was asked to come forward
    GaveUp,           // a shell holds the lock but neither answered nor ended in time
};

// Takes the instance lock, or asks its holder to come to the front. A holder that does not
// answer is starting or closing: this waits up to `waitMs` for it to answer or let go.
InstanceRole claimInstance(InstanceLock& lock, int waitMs = 10000,
                           const QString& windowServer = WindowControlServer::defaultName());
