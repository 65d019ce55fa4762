#include "instancelock.h"

#include "foundation/userlocal.h"

QString InstanceLock::defaultPath()
{
    return QString::fromStdString(UserLocal::path("VelloxBrowserMutex.lock"));
}

InstanceLock::InstanceLock(const QString& path)
    : path(path)
{
}

InstanceLock::~InstanceLock()
{
    release();
}
