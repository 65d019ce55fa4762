#include "instancelock.h"

#include <QDir>

QString InstanceLock::defaultPath()
{
    return QDir::tempPath() + QStringLiteral("/VelloxBrowserMutex.lock");
}

InstanceLock::InstanceLock(const QString& path)
    : path(path)
{
}

InstanceLock::~InstanceLock()
{
    release();
}
