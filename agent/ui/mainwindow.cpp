#include "ui/mainwindow.h"

#include "command/velloxserver.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "printing/printbatchmgr.h"
#include "printing/printer.h"
#include "printing/printermgr.h"
#include "foundation/singleton.h"
#include "upload/uploadermgr.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QThread>

namespace {
constexpr int kDeviceChangeDebounceMs = 2000;
}

MainWindow::MainWindow(QWidget* parent)
    : cKELFrameLessWnd(parent)
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint);
    KLOG->info("Main window is constructing .....");

    // Created here so that its poll timer lives on the GUI thread.
    CPrinter::instance();
    KLOG->info("CPrinter singleton initialized on main thread.");

    // Created here so that the batch manager's queued slots run on the GUI thread.
    KELPrintBatchMgr* printBatchMgr = KELPrintBatchMgr::instance();
    KLOG->info("KELPrintBatchMgr singleton initialized on main thread. objectThreadId={}, currentThreadId={}",
               reinterpret_cast<quintptr>(printBatchMgr->thread()),
               reinterpret_cast<quintptr>(QThread::currentThreadId()));

    KELGlobalConfig* config = KELGlobalConfig::instance();
    devModeEnabled = config->flag(QStringLiteral("devmode"));
    saveOrigin = config->flag(QStringLiteral("saveorigin"));
    installEventFilter(this);
    setBatchNo(QString());

    upgradeDialogTimer = new QTimer(this);
    deviceChangeTimer = new QTimer(this);
    deviceChangeTimer->setSingleShot(true);

    connect(KELUploaderMgr::instance(), &KELUploaderMgr::sigFinishUploadAllImages, this,
            &MainWindow::slotFinishUploadAllImages);
    connect(KELPrinterMgr::instance(), &KELPrinterMgr::sigFinishPrintAllImages, this,
            &MainWindow::slotFinishPrintAllImages);
    // The first use of the command server: it starts listening on the global pool.
    connectCommandSignals();

    connectDeviceChanges();
    setupScanning();

    setupUpgrade();

    KLOG->info("Current env is : {}", config->value(QStringLiteral("userenv")));
    repaint();
}

MainWindow::~MainWindow()
{
    // The server's loop holds a thread of the global pool, which the process waits for
    // when it ends: a controller that goes without quitting (tests) must not leave it running.
    KELVelloxServer::instance()->stop();
}

void MainWindow::connectDeviceChanges()
{
    QCoreApplication::instance()->installNativeEventFilter(this);
}

bool MainWindow::nativeEventFilter(const QByteArray& eventType, void* message, long* result)
{
    Q_UNUSED(eventType)
    Q_UNUSED(message)
    Q_UNUSED(result)
    return false;
}

void MainWindow::onDeviceChangeNotified()
{
    KLOG->info("New device is connected or a deviced is removed....");
    deviceChangeTimer->stop();
    deviceChangeTimer->start(kDeviceChangeDebounceMs);
}

bool MainWindow::filterNativeTwainMessage(void* message)
{
    // Until a source is enabled no message can be the source's.
    if (GetState() < 5)
        return false;
    TW_EVENT event{};
    event.pEvent = message;
    event.TWMessage = 0;
    return ProcessEvent(event) == TWRC_DSEVENT;
}

void MainWindow::slotShowMainView()
{
    if (isHidden())
        show();
    if (isMinimized()) {
        if (windowState() & Qt::WindowMaximized)
            showMaximized();
        else
            showNormal();
    }
    show();
    raise();
    activateWindow();
    showPendingUpgradeDialog();
}

void MainWindow::slotQuitApp()
{
    quitting = true;
    releaseScanner();
    // After the scanner is released, so no scan event is still on its way to a page.
    KELVelloxServer::instance()->stop();
    KELUploaderMgr::instance()->stopAll();
    QCoreApplication::quit();
}

// Walks the TWAIN session down from wherever it is, so the scanner is free for the next program.
void MainWindow::releaseScanner()
{
    if (GetState() > 4)
        DisableDS();
    if (GetState() > 3)
        CloseDS();
    if (GetState() > 2)
        CloseDSM();
    UnloadDSM();
}

void MainWindow::refreshStorageFigures()
{
    // The status panel shows no storage figures yet.
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (quitting) {
        slotQuitApp();
        return;
    }
    event->ignore();
    hide();
}
