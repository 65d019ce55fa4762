#include "scanning/devicechangemonitor.h"

#include "foundation/logging.h"

#include <QSocketNotifier>

#include <libudev.h>

namespace {
struct UdevWatch {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
};
} // namespace

bool DeviceChangeMonitor::start()
{
    auto* watch = new UdevWatch;
    watch->context = udev_new();
    if (watch->context)
        watch->monitor = udev_monitor_new_from_netlink(watch->context, "udev");
    if (!watch->monitor
        || udev_monitor_filter_add_match_subsystem_devtype(watch->monitor, "usb", nullptr) < 0
        || udev_monitor_enable_receiving(watch->monitor) < 0) {
        KLOG->warn("Device change monitor unavailable: udev monitor could not be opened");
        platform = watch;
        stop();
        return false;
    }
    platform = watch;
    auto* notifier = new QSocketNotifier(udev_monitor_get_fd(watch->monitor), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, watch] {
        bool changed = false;
        while (udev_device* device = udev_monitor_receive_device(watch->monitor)) {
            const char* action = udev_device_get_action(device);
            if (action && (qstrcmp(action, "add") == 0 || qstrcmp(action, "remove") == 0))
                changed = true;
            udev_device_unref(device);
        }
        if (changed)
            notifyDeviceChange();
    });
    return true;
}

void DeviceChangeMonitor::stop()
{
    auto* watch = static_cast<UdevWatch*>(platform);
    if (!watch)
        return;
    if (watch->monitor)
        udev_monitor_unref(watch->monitor);
    if (watch->context)
        udev_unref(watch->context);
    delete watch;
    platform = nullptr;
}
