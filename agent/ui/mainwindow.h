#pragma once

#include "scanning/twainsession.h"
#include "ui/framelesswindow.h"

#include <QAbstractNativeEventFilter>
#include <QString>
#include <QTimer>

class QCloseEvent;

// The controller: status window, owner of the scanner session and receiver of every command.
// Its code is split by subsystem: ui/mainwindow.cpp (construction, window),
// command/mainwindow_commands.cpp, scanning/mainwindow_scan.cpp, upgrade/mainwindow_upgrade.cpp.
class MainWindow : public cKELFrameLessWnd, public CTWAINSession, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Native messages of the application: device changes, and the data source's own
    // messages while a source is enabled (true when the message was the source's).
    bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override;
    bool filterNativeTwainMessage(void* message);

    bool isQuitting() const { return quitting; }
    bool isDevModeEnabled() const { return devModeEnabled; }
    bool isSaveOriginEnabled() const { return saveOrigin; }

public Q_SLOTS:
    void slotShowMainView();
    void slotQuitApp();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void connectDeviceChanges();
    void onDeviceChangeNotified();
    void releaseScanner();

    // --- foundation ---
    bool devModeEnabled = false;
    bool saveOrigin = false;
    bool quitting = false;
    QTimer* upgradeDialogTimer = nullptr;
    QTimer* deviceChangeTimer = nullptr;

    // --- scanning (scanning/mainwindow_scan.cpp) ---
protected:
    // The TWAIN session's hooks.
    void OnError(const TW_STATUS& status) override;
    void OnNativeTransfer(TW_UINT16 result, TW_HANDLE* dib, bool* freeImage) override;
    void OnMemoryTransfer(const TW_IMAGEINFO& info, const TW_IMAGEMEMXFER& block, TW_UINT16* result) override;
    void OnFileTransfer(TW_UINT16 result, const TW_SETUPFILEXFER& setup) override;
    void OnMemFileTransfer(const TW_IMAGEMEMXFER& block, TW_UINT16* result) override;
};
