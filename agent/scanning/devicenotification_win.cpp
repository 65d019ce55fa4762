#include "scanning/devicenotification_win.h"

#include <dbt.h>

DeviceNotificationWindow::DeviceNotificationWindow(std::function<void()> changed)
    : changed(std::move(changed))
    , window(L"VelloxDeviceNotification", [this](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        if (message != WM_DEVICECHANGE
            || (wParam != DBT_DEVNODES_CHANGED && wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE))
            return std::nullopt;
        this->changed();
        return TRUE;
    })
{
    if (!window.handle())
        return;
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    registration = RegisterDeviceNotificationW(window.handle(), &filter,
                                               DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
}

DeviceNotificationWindow::~DeviceNotificationWindow()
{
    if (registration)
        UnregisterDeviceNotification(registration);
}
