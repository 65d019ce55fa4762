// Windows: the device notification window (devicenotification_win.h) calls notifyDeviceChange.
#include "scanning/devicechangemonitor.h"

#include "scanning/devicenotification_win.h"

bool DeviceChangeMonitor::start()
{
    auto* window = new DeviceNotificationWindow([this] { notifyDeviceChange(); });
    platform = window;
    return window->isWatching();
}

void DeviceChangeMonitor::stop()
{
    delete static_cast<DeviceNotificationWindow*>(platform);
    platform = nullptr;
}
