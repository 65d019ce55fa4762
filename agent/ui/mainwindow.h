#pragma once

#include "scanning/rawpage.h"
#include "scanning/scannedpage.h"
#include "scanning/twainsession.h"
#include "ui/framelesswindow.h"
#include "ui/topbar.h"

#include <QAbstractNativeEventFilter>
#include <QHash>
#include <QJsonObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <memory>
#include <vector>

class DeviceChangeMonitor;
class EnvListView;
class GlobalShortcut;
class KELBrowserWindow;
class KELCustomPrintDialog;
class KELTextImageWidget;
class KELUpgradeDialog;
class QAction;
class QCheckBox;
class QCloseEvent;
class QLabel;
class QMenu;
class QPushButton;

// The controller: status window, owner of the scanner session and receiver of every command.
// Its code is split by subsystem: ui/mainwindow.cpp (construction, window),
// command/mainwindow_commands.cpp, scanning/mainwindow_scan.cpp, upgrade/mainwindow_upgrade.cpp,
// printing/mainwindow_testprint.cpp.
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
    bool eventFilter(QObject* watched, QEvent* event) override;

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

    // --- command channel (command/mainwindow_commands.cpp) ---
    // Each slot checks its request's "data", answers on the requesting connection and hands
    // the work on. slotTokenInfo and slotStopScanCmd run on the command server's thread.
public Q_SLOTS:
    void slotTokenInfo(QString connection_key, QJsonObject param);
    void slotScanCmd(QString connection_key, QJsonObject param);
    void slotStopScanCmd(QString connection_key, QJsonObject param);
    void slotPrintCmd(QString connection_key, QJsonObject param);
    void slotPrintBatchCmd(QString connection_key, QJsonObject param);
    // "stop-print" and "print-status": the batches of the asking page's origin.
    void slotStopPrintCmd(QString connection_key, QJsonObject param);
    void slotPrintStatusCmd(QString connection_key, QJsonObject param);
    void slotFinishUploadAllImages();
    void slotFinishPrintAllImages();

private:
    void connectCommandSignals();

    // Set by "stop-scan" on the command server's thread, consumed by the GUI thread's
    // transfer loop.
    std::atomic<bool> stopRequested {false};
    int paperVersion = 2; // of the last accepted "start-scan"; 1 is single-sided

    // --- status panel (ui/mainwindow.cpp) ---
public:
    // 0 connecting, 1 ready, 2 error; other values show "ready" without changing the text.
    void setScannerStatus(int status);
    int scannerStatusShown() const { return scannerStatus; }
    // Free space and scan size of the scan folder, measured on the global pool.
    void refreshStorageInfo();
    void updateDataFolderLabel(QString folder);
    void changeOutputDir();
    // Makes `folder` the scan folder when it exists; the panel shows the folder in force.
    void useOutputDir(const QString& folder);

public Q_SLOTS:
    void slotRefreshPrinter();
    void slotTopBarType(topbar::BtnType type);
    // The scanner chooser under the scanner field.
    void slotShowDatasourceList();

private:
    void buildStatusPanel();
    void setSourceLabel(const QString& name);
    void onSourcePicked(const QString& name);
    void onStorageMeasured(quint64 serial, const QString& freeSpace, const QString& usedSize);
    void onPrinterRead(quint64 serial, const QString& printerName);

    QLabel* backgroundLabel = nullptr;
    QLabel* statusIconLabel = nullptr;
    QLabel* statusTextLabel = nullptr;
    topbar* topBar = nullptr;
    QLabel* scannerIconLabel = nullptr;
    KELTextImageWidget* sourceLabel = nullptr;
    QCheckBox* showUIBox = nullptr;
    QPushButton* startScanButton = nullptr;
    QLabel* printerNameLabel = nullptr;
    // The newest refresh of each kind; results of older ones are dropped.
    quint64 storageSerial = 0;
    quint64 printerSerial = 0;

    // --- tray menu and environment switching (ui/mainwindow_shell.cpp) ---
public:
    // Selects the environment `key` of app.dat and stores it as "userenv"; unknown keys change nothing.
    void switchEnv(QString key);
    EnvListView* environmentList() const { return envListView; }
    QMenu* trayContextMenu() const { return trayMenu; }
    bool isShortcutRegistered() const;

public Q_SLOTS:
    void slotShowEnvList();

private:
    void buildTrayMenu();
    void setupGlobalShortcut();
    void showEnvList();

    QMenu* trayMenu = nullptr;
    std::shared_ptr<GlobalShortcut> globalShortcut;
    EnvListView* envListView = nullptr;

    // --- scanning (scanning/mainwindow_scan.cpp) ---
public:
    // An empty number becomes the current time "yyyyMMddHHmmss"; the page count restarts.
    void setBatchNo(const QString& number);
    static QString batchNumberFor(const QString& requested);
    // A batch whose end waits for its 5 s ends now ("scan-end"), before `nextBatchNo` starts.
    void endPendingBatchBefore(const QString& nextBatchNo);
    // Enables the open source for a batch: 0, 10 while a page is in transfer, else the failure.
    int innerStartScan();
    // The DSM is loaded once, one second after the first upgrade check answered.
    void scheduleDsmStart();
    void startDsm();
    void refreshDataSourceList();
    QString currentScannerName() const { return currentSourceName; }
    DeviceChangeMonitor* deviceChangeMonitor() const { return deviceMonitor; }
    // The product names of the listed sources, in the DSM's order (the scanner chooser's list).
    QStringList sourceNames() const;

    // A batch is being transferred: the transfer loop runs or a page is in transfer.
    bool isTransferring() const { return transferring || GetState() == 7; }

Q_SIGNALS:
    void customDataSourceSignal();
    void sigScannerError(int condition_code);
    void sigOpenDatasource(QString datasource_name);
    void sigEndScan();

public Q_SLOTS:
    void DataSourceSignal();
    void slotOpenDataSource(QString datasource_name);
    void slotOnEndScan();
    void slotScannerError(int condition_code);
    void slotChangedShowUI(int state);

protected:
    // The TWAIN session's hooks.
    void OnSignalQueued() override;
    void OnError(const TW_STATUS& status) override;
    void OnEndXfer(const TW_PENDINGXFERS& pending) override;
    void OnImageInfo(const TW_IMAGEINFO& info, TW_UINT16 xferMech) override;
    void OnNativeTransfer(TW_UINT16 result, TW_HANDLE* dib, bool* freeImage) override;
    void OnMemoryTransfer(const TW_IMAGEINFO& info, const TW_IMAGEMEMXFER& block, TW_UINT16* result) override;
    void OnFileTransfer(TW_UINT16 result, const TW_SETUPFILEXFER& setup) override;
    void OnMemFileTransfer(const TW_IMAGEMEMXFER& block, TW_UINT16* result) override;

private:
    void setupScanning();
    void transferPages();
    // false when the batch cannot go on (a failed transfer, a stop): the caller ends it.
    bool transferLoop();
    // One delivered page, queued for encoding under the batch's next number; a null page, or
    // one with a `problem` already known, is reported (the problem in the log) and not saved.
    void savePage(KELRawPage page, const QString& problem = QString());
    void reportUnsavedPage(const QString& why);
    // The next page number of the current batch: after every page this agent numbered, the
    // count its uploads recorded and every ImageN already in the batch folder.
    int nextPageIndex(const QString& folder);
    static int highestPageOnDisk(const QString& folder);
    // Ends a page in transfer (MSG_ENDXFER), the pending ones (MSG_RESET) and disables the
    // source, as far as the state asks for: afterwards the source is open (state 4) or less.
    void releaseEnabledSource();
    // The end sequence of the batch that slotOnEndScan began (now, or 5 s after the end).
    // nextBatchNo: the batch being started now (null when none), which continues the ending
    // batch's uploads when it has the same number.
    void completeBatchEnd(const QString& nextBatchNo);
    // batchScanEnd for `batch` once the pipeline has handed over every page queued so far,
    // unless a new run of the same batch began meanwhile; with onlyWithPages, only when the
    // uploader holds pages of it.
    void endUploadsAfterPipeline(const QString& batch, bool onlyWithPages);
    // A "stop-scan" reached the GUI thread: ends a batch that no transfer loop is serving.
    void honourStopRequest();
    // A stop in state 6: true when the source stopped its feeder and images of sheets already
    // fed are still to come; otherwise they are dropped (MSG_RESET) and false.
    bool stopFeedingKeepingFedSheets();
    void switchDuplexForPaper();
    // The scan presets of the open source, its duplex for the paper, then MSG_ENABLEDS.
    TW_UINT16 presetAndEnable();
    // After a failed transfer with `conditionCode`: the source says its device is gone
    // (TWCC_CHECKDEVICEONLINE, or CAP_DEVICEONLINE false).
    bool sourceWentOffline(TW_UINT16 conditionCode);
    // Closes the current source and opens it again (the driver opens its device anew): true
    // when it is open again.
    bool reopenOfflineSource();
    void listDataSources();
    QString preferredSourceName();
    void reportOpenFailure(const QString& name, const QString& text);
    void checkDataSourceAfterDeviceChange();
    void checkEpsonIdle();
    void bringToFront();
    TW_HANDLE nativeWindow();

    std::vector<TW_IDENTITY> sourceList;
    bool refreshingSources = false;
    bool transferring = false;    // the transfer loop runs (it serves events between pages)
    QString currentSourceName;
    QString sourceLabelText;      // the chosen scanner as the status panel shows it
    bool showScannerUI = false;   // the status panel's box, which starts unticked; stored in "showscannerui"
    QString batchNo;
    int imagesTransferred = 0;
    QHash<QString, int> lastPageIndex;  // per batch: the highest page number given this agent life
    // Each enabling of the source for a batch is one generation; its end runs once, and the
    // end timer of an older generation leaves a newer batch alone.
    int scanGeneration = 0;
    int endedGeneration = -1;
    bool endPending = false;          // an end sequence waits for its delay
    QString endingBatch;
    bool sourceOffline = false;       // the last batch lost its device: reopen at its end
    QString duplexOffSource;          // the source whose duplex the agent switched off for simplex paper
    qint64 idleSince = 0;
    QTimer* reconnectTimer = nullptr;
    bool dsmStartScheduled = false;
    DeviceChangeMonitor* deviceMonitor = nullptr;
    int scannerStatus = 0;
    ScannedPage::MemoryAssembler memoryPage;
    QByteArray memoryFile;

    // --- test prints (printing/mainwindow_testprint.cpp) ---
public Q_SLOTS:
    // The tray's "打印测试页": the spooler's test page on the default printer.
    void slotPrintTestPage();
    // The tray's "自定义打印测试": image files from disk with a chosen paper size and feed.
    void slotCustomPrintTest();

private:
    // The dialog's "打印": false when no file was chosen (the dialog stays).
    bool startCustomPrint(KELCustomPrintDialog* dialog);

    // --- self-upgrade (upgrade/mainwindow_upgrade.cpp) ---
public Q_SLOTS:
    void slotUpgradeResult(bool succeed, bool has_new_version);
    void slotDownloadPackageProgress(int progress);
    void slotFinishDownloadPackage(int result, QString package_path);
    // The tray's "检查更新".
    void slotTrayCheckUpdate();
    void showUpgradeDialog(bool force);

private:
    void setupUpgrade();
    // A dialog that waited for the shell is shown when the main window opens.
    void showPendingUpgradeDialog();
    void onUpgradeDialogTimer();
    void onNewVersionFound(bool manual, bool firstCheck);
    void onOfferWithdrawn();
    void upgradeToast(const QString& text);

    QPointer<KELUpgradeDialog> upgradeDialog;
    QPointer<QAction> checkUpdateAction; // the tray menu's update item
    KELBrowserWindow* browserWindow = nullptr;
    bool hasNewVersion = false;
    bool manualCheck = false;
    bool firstResultHandled = false;
    bool pendingDialog = false;
    bool pendingForce = false;
    bool visibilityAsked = false; // a tick's question to the shell is unanswered
};
