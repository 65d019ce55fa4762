#pragma once

#include <QObject>

// Tells when a device was plugged in or removed, so the scanner can be opened again.
// Linux watches the USB subsystem through udev; Windows gets WM_DEVICECHANGE in the
// controller's native event filter and calls notifyDeviceChange itself.
class DeviceChangeMonitor : public QObject {
    Q_OBJECT
public:
    explicit DeviceChangeMonitor(QObject* parent = nullptr);
    ~DeviceChangeMonitor() override;

    bool isWatching() const { return watching; }

public Q_SLOTS:
    // The one entry point of every notification; tests call it directly.
    void notifyDeviceChange();

Q_SIGNALS:
    void deviceChanged();

private:
    bool start(); // the platform's part
    void stop();

    bool watching = false;
    void* platform = nullptr;
};
