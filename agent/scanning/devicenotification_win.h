#pragma once

// A hidden window that hears of devices arriving and leaving: WM_DEVICECHANGE for every device
// interface (RegisterDeviceNotificationW) and the system's broadcast that the device tree
// changed, which reaches top-level windows only. Qt-free; the messages reach it through the
// creating thread's message loop.

#include "foundation/hiddenwindow_win.h"

#include <functional>

class DeviceNotificationWindow {
public:
    explicit DeviceNotificationWindow(std::function<void()> changed);
    ~DeviceNotificationWindow();
    DeviceNotificationWindow(const DeviceNotificationWindow&) = delete;
    DeviceNotificationWindow& operator=(const DeviceNotificationWindow&) = delete;

    bool isWatching() const { return window.handle() != nullptr; }
    HWND handle() const { return window.handle(); }

private:
    std::function<void()> changed;
    HiddenWindow window;
    HDEVNOTIFY registration = nullptr;
};
