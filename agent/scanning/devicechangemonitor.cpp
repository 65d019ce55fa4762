#include "scanning/devicechangemonitor.h"

DeviceChangeMonitor::DeviceChangeMonitor(QObject* parent)
    : QObject(parent)
{
    watching = start();
}

DeviceChangeMonitor::~DeviceChangeMonitor()
{
    stop();
}

void DeviceChangeMonitor::notifyDeviceChange()
{
    Q_EMIT deviceChanged();
}
