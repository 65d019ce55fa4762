// MainWindow's scan code: the data source manager and the list of sources, opening a source,
// starting a batch, the transfer loop, saving every page, the end of a batch, scanner errors
// and re-opening the scanner after device changes or long idle times.
#include "ui/mainwindow.h"

#include "command/velloxserver.h"
#include "foundation/filenames.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/memorytrim.h"
#include "scanning/devicechangemonitor.h"
#include "scanning/pagepipeline.h"
#include "scanning/scannerhelper.h"
#include "foundation/singleton.h"
#include "upload/uploadermgr.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QThreadPool>

#include <cstring>
#include <utility>

namespace {

constexpr int kDsmStartDelayMs = 1000;
constexpr int kSourceListDelayMs = 1000;
constexpr int kBatchEndDelayMs = 5000;
constexpr int kReconnectCheckMs = 5000;
// The EPSON EM-C8100 driver loses its scanner after about ten idle minutes.
constexpr qint64 kReconnectIdleSeconds = 840;
constexpr int kStatusReady = 1;
constexpr int kStatusError = 2;
constexpr int kCheckStateChecked = 2;  // Qt::Checked
const QString kScanError = QStringLiteral("scan-error");

KELVelloxServer* server()
{
    return KELVelloxServer::instance();
}

void notifyCanUse(bool canUse, const QString& msg)
{
    server()->notifyClient(QStringLiteral("can-use"), 200, QJsonObject{ { QStringLiteral("canUse"), canUse } }, msg,
                           true);
}

// A scanner faster than the encoders waits here, before its next page, with events served, so
// delivered pages do not pile up in memory.
void waitForEncodingRoom()
{
    KELPagePipeline* pipeline = KELPagePipeline::instance();
    while (!pipeline->hasRoom())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

QString productName(const TW_IDENTITY& identity)
{
    return QString::fromLocal8Bit(identity.ProductName, int(strnlen(identity.ProductName, sizeof identity.ProductName)));
}

} // namespace

void MainWindow::setupScanning()
{
    connect(this, &MainWindow::customDataSourceSignal, this, &MainWindow::DataSourceSignal, Qt::QueuedConnection);
    connect(this, &MainWindow::sigScannerError, this, &MainWindow::slotScannerError, Qt::QueuedConnection);
    connect(this, &MainWindow::sigOpenDatasource, this, &MainWindow::slotOpenDataSource, Qt::QueuedConnection);
    connect(this, &MainWindow::sigEndScan, this, &MainWindow::slotOnEndScan);

    KELScannerHelper::instance()->setSession(this);

    connect(deviceChangeTimer, &QTimer::timeout, this, &MainWindow::checkDataSourceAfterDeviceChange,
            Qt::DirectConnection);
    deviceMonitor = new DeviceChangeMonitor(this);
    connect(deviceMonitor, &DeviceChangeMonitor::deviceChanged, this, &MainWindow::onDeviceChangeNotified);
}

void MainWindow::scheduleDsmStart()
{
    if (dsmStartScheduled)
        return;
    dsmStartScheduled = true;
    QTimer::singleShot(kDsmStartDelayMs, this, &MainWindow::startDsm);
}

QStringList MainWindow::sourceNames() const
{
    QStringList names;
    for (const TW_IDENTITY& source : sourceList)
        names << productName(source);
    return names;
}

TW_HANDLE MainWindow::nativeWindow()
{
    return reinterpret_cast<TW_HANDLE>(winId());
}

void MainWindow::startDsm()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    KLOG->info("Start loading dsm, state: {}..............", GetState());
    LoadDSM();
    KLOG->info("End loading dsm, state: {}..............", GetState());
    KLOG->info("Start opening dsm, state: {}..............", GetState());
    const TW_UINT16 result = OpenDSM(nativeWindow());
    KLOG->info("End opening dsm, state: {}..............", GetState());
    if (result != TWRC_SUCCESS)
        server()->notifyError(kScanError, tr("打开数据源失败, ret: %1").arg(result));
    QTimer::singleShot(kSourceListDelayMs, this, [this] {
        refreshDataSourceList();
        QApplication::restoreOverrideCursor();
    });
}

void MainWindow::refreshDataSourceList()
{
    refreshingSources = true;
    sourceList.clear();
    KLOG->info("Start refreshing data source list..............");
    TW_IDENTITY identity{};
    TW_UINT16 result = CallDSM(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &identity, nullptr);
    while (result == TWRC_SUCCESS) {
        KLOG->info("Find Datasoure name is : {}", productName(identity));
        sourceList.push_back(identity);
        identity = TW_IDENTITY{};
        result = CallDSM(DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &identity, nullptr);
    }
    KLOG->info("End refreshing data source list..............");

    KELGlobalConfig* config = KELGlobalConfig::instance();
    QString name = config->value(QStringLiteral("lastselectedscanner"));
    if (name.isEmpty()) {
        TW_IDENTITY fallback{};
        if (CallDSM(DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &fallback, nullptr) == TWRC_SUCCESS)
            name = productName(fallback);
    }
    KLOG->info("Last used data source name is: {}", name);

    for (const TW_IDENTITY& source : sourceList) {
        if (productName(source).compare(name, Qt::CaseInsensitive) == 0) {
            setSourceLabel(name);
            slotOpenDataSource(name);
            break;
        }
    }
    if (sourceList.empty()) {
        currentSourceName.clear();
        setScannerStatus(kStatusError);
        const QString text = tr("电脑中未安装任何扫描仪。");
        server()->notifyError(kScanError, text);
        notifyCanUse(false, text);
        KLOG->error("change current ds to : {} failed, error:{} ", name, text);
    }
    refreshingSources = false;
}

void MainWindow::reportOpenFailure(const QString& name, const QString& text)
{
    currentSourceName.clear();
    setScannerStatus(kStatusError);
    server()->notifyError(kScanError, text);
    notifyCanUse(false, text);
    KLOG->error("change current ds to : {} failed, error:{} ", name, text);
}

void MainWindow::slotOpenDataSource(QString datasource_name)
{
    const QString& name = datasource_name;
    KLOG->info("start to open data source, name: {}", name);
    if (GetState() == 6 || GetState() == 7)
        StopFeeder();
    if (GetState() >= 5)
        DisableDS();
    if (GetState() > 3)
        CloseDS();

    QApplication::setOverrideCursor(Qt::WaitCursor);
    TW_UINT16 result = 1;
    for (const TW_IDENTITY& source : sourceList) {
        if (productName(source).compare(name, Qt::CaseInsensitive) == 0) {
            result = OpenDS(&source);
            break;
        }
    }
    QApplication::restoreOverrideCursor();
    if (result != TWRC_SUCCESS) {
        reportOpenFailure(name, tr("初始化扫描仪(%1); 失败, ret: %2").arg(name).arg(result));
        return;
    }

    currentSourceName = name;
    KELScannerHelper* helper = KELScannerHelper::instance();
    helper->applyLanguageAndIndicators(name);
    if (KELScannerHelper::isEpsonEmC8100(name)) {
        idleSince = now();
        if (!reconnectTimer) {
            reconnectTimer = new QTimer(this);
            reconnectTimer->setInterval(kReconnectCheckMs);
            connect(reconnectTimer, &QTimer::timeout, this, &MainWindow::checkEpsonIdle);
        }
        reconnectTimer->start();
    } else if (reconnectTimer) {
        reconnectTimer->stop();
    }
    KLOG->info("end open data source, name: {}", name);
    setScannerStatus(kStatusReady);
    QCoreApplication::processEvents();

    // A scanner is preset once per computer; scans apply the presets again anyway.
    KELGlobalConfig* config = KELGlobalConfig::instance();
    if (!config->isPresetScanner(name)) {
        helper->applyPresets(name);
        config->addPresetScanner(name);
    }
    setSourceLabel(name);
    if (config->value(QStringLiteral("lastselectedscanner")).compare(currentSourceName, Qt::CaseInsensitive) != 0)
        config->setValue(QStringLiteral("lastselectedscanner"), currentSourceName);

    notifyCanUse(true, QString());
    helper->setScannerName(name);
}

void MainWindow::setBatchNo(const QString& number)
{
    if (number.isEmpty())
        batchNo = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    else if (number != batchNo)
        batchNo = number;
    imagesTransferred = 0;
}

int MainWindow::innerStartScan()
{
    if (GetState() == 7) {
        KLOG->info("a sacn task is processing... %d ");
        return 10;
    }
    if (GetState() == 6) {
        KLOG->info("Start to StopFeeder DS ... %d ");
        StopFeeder();
        KLOG->info("End StopFeeder DS ... %d ");
    }
    if (GetState() == 5) {
        KLOG->info("Start to disable DS ... %d ");
        DisableDS();
        KLOG->info("End disable DS... %d ");
    }
    // This driver only takes new settings on a fresh opening.
    if (GetState() == 4 && currentSourceName.contains(QLatin1String("Color Network ScanGear 2"))) {
        const TW_IDENTITY identity = sourceIdentity;
        if (CloseDS() == TWRC_SUCCESS && OpenDS(&identity) != TWRC_SUCCESS) {
            currentSourceName.clear();
            setScannerStatus(kStatusError);
            return 1;
        }
    }

    KELScannerHelper* helper = KELScannerHelper::instance();
    helper->applyPresets(currentSourceName);
    KLOG->info("innerStartScan: paper_version_={}, will set duplex to {}", paperVersion,
               paperVersion == 1 ? "single" : "double");
    if (paperVersion == 1)
        helper->setDuplex(0);

    if (showScannerUI)
        bringToFront();

    idleSince = 0;
    const TW_UINT16 result = EnableDS(nativeWindow(), showScannerUI);
    if (result == TWRC_SUCCESS)
        return 0;
    const QJsonObject data{ { QStringLiteral("ret"), result },
                            { QStringLiteral("msg"), QString::fromLatin1(ReturnCodeName(result)) } };
    server()->notifyError(kScanError, tr("启动扫描失败, 扫描仪(%1) ret: %2").arg(currentSourceName).arg(result), data);
    KLOG->error("Start Scan({}) failed , ret : {}", currentSourceName, result);
    idleSince = now();
    return result;
}

void MainWindow::bringToFront()
{
    if (isHidden())
        show();
    if (isMinimized())
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

void MainWindow::DataSourceSignal()
{
    // A DSM call or the transfer loop is in progress further up this stack (both serve events);
    // the signal stays queued for the next notification.
    if (inCall || transferring)
        return;
    switch (PeekDataSourceSignal()) {
    case MSG_XFERREADY:
        transferPages();
        break;
    case MSG_DEVICEEVENT:
        PopDataSourceSignal();
        break;
    case MSG_CLOSEDSREQ:
        if (imagesTransferred == 0) {
            server()->notifyError(kScanError, tr("用户取消扫描"));
        } else {
            KLOG->info("MSG_CLOSEDSREQ after {} images transferred, treating as normal end", imagesTransferred);
            Q_EMIT sigEndScan();
        }
        DisableDS();
        PopDataSourceSignal();
        break;
    case MSG_CLOSEDSOK:
        DisableDS();
        PopDataSourceSignal();
        break;
    default:
        break;
    }
}

// Transfers page after page while the source has more; events are served between pages.
void MainWindow::transferPages()
{
    transferring = true;
    transferLoop();
    transferring = false;
    PopDataSourceSignal();
    // Signals the source queued during the batch were turned away above.
    if (PeekDataSourceSignal() != 0)
        Q_EMIT customDataSourceSignal();
}

void MainWindow::transferLoop()
{
    for (;;) {
        waitForEncodingRoom();
        const TW_UINT16 result = TransferImage();
        if (result == TWRC_CANCEL && GetState() == 7) {
            // The source dropped this page. Ending the transfer keeps the session out of
            // state 7, where nothing else would be accepted; the next page follows as usual.
            KLOG->warn("Transfer cancelled by the data source, ending it with MSG_ENDXFER");
        } else if (result != TWRC_SUCCESS) {
            // The session reports failed native transfers itself; a jam or an empty feeder
            // during a memory or file transfer reaches the page the same way.
            if (result == TWRC_FAILURE && xferMech != TWSX_NATIVE)
                OnError(status);
            break;
        }
        QCoreApplication::processEvents();
        const TW_UINT16 ended = EndXfer();
        if (ended != TWRC_SUCCESS) {
            KLOG->error("DoEndXfer end...... {} ", ended);
            return;
        }
        QCoreApplication::processEvents();
        if (GetState() != 6)
            break;
        if (stopRequested.exchange(false)) {
            StopFeeder();
            break;
        }
    }
}

void MainWindow::OnSignalQueued()
{
    // May run on the data source's thread: the queue is handled from the event loop.
    Q_EMIT customDataSourceSignal();
}

void MainWindow::OnError(const TW_STATUS& status)
{
    Q_EMIT sigScannerError(status.ConditionCode);
}

void MainWindow::OnEndXfer(const TW_PENDINGXFERS& pending)
{
    KLOG->info("OnEndXfer: cout is {} .....", pending.Count);
    if (pending.Count == 0)
        Q_EMIT sigEndScan();
}

void MainWindow::slotOnEndScan()
{
    idleSince = now();
    const QString endedBatch = batchNo;
    QTimer::singleShot(kBatchEndDelayMs, this, [this, endedBatch] {
        KLOG->info("slotOnEndScan to end batch ........");
        if (GetState() > 4)
            DisableDS();
        server()->notifyClient(QStringLiteral("scan-end"), 200);
        // Pages still being encoded belong to the batch: it ends after they reach the uploader.
        KELPagePipeline::instance()->whenHandedOver([endedBatch] {
            KELUploaderMgr::instance()->batchScanEnd(endedBatch);
            KELMemory::returnFreedMemorySoon();
        });
    });
}

void MainWindow::slotScannerError(int condition_code)
{
    KLOG->error("Scanner error occured, condition code: {}", condition_code);
    if (condition_code != TWCC_NOMEDIA && condition_code != TWCC_PAPERJAM) {
        server()->notifyError(kScanError, tr("未知错误: %1.").arg(condition_code));
        return;
    }
    server()->notifyError(kScanError, condition_code == TWCC_NOMEDIA ? tr("请检查进纸槽是否缺纸.")
                                                                     : tr("请检查进纸槽是否卡纸."));
    // This driver keeps feeding after a jam or an empty tray unless it is stopped.
    if (KELScannerHelper::isKodak(currentSourceName) && GetState() > 5) {
        StopFeeder();
        DisableDS();
    }
}

void MainWindow::checkDataSourceAfterDeviceChange()
{
    KLOG->info("auto check datasoure bydevice changed; current state: {}", GetState());
    if (GetState() == 3 || GetState() == 4)
        slotOpenDataSource(sourceLabelText);
}

void MainWindow::checkEpsonIdle()
{
    if (idleSince == 0)
        return;
    const qint64 seconds = now() - idleSince;
    qDebug().noquote() << QStringLiteral("Scanner (") + currentSourceName + QStringLiteral(") is waiting for ")
                              + QString::number(seconds) + QStringLiteral(" seconds.");
    if (seconds >= kReconnectIdleSeconds && KELScannerHelper::isEpsonEmC8100(currentSourceName)) {
        KLOG->error("Scanner should reconnect before wainting for longer than {}(max: 600s) second", seconds);
        slotOpenDataSource(currentSourceName);
    }
}

void MainWindow::slotChangedShowUI(int state)
{
    KLOG->info("change show ui state to : {}", state);
    showScannerUI = state == kCheckStateChecked;
    KELGlobalConfig::instance()->setValue(QStringLiteral("showscannerui"),
                                          showScannerUI ? QStringLiteral("1") : QStringLiteral("0"));
    if (GetState() >= 3 && GetState() <= 5)
        DisableDS();
}

// --- pages ---

void MainWindow::savePage(KELRawPage page)
{
    KELGlobalConfig* config = KELGlobalConfig::instance();
    const QString folder = QStringLiteral("%1/%2/").arg(config->outputFolder(), KELFileNames::safeFileName(batchNo));
    if (!QDir(folder).exists())
        QDir().mkpath(folder);
    const int transferred = imagesTransferred++;
    // A batch scanned again goes on after the pages its uploads already counted.
    const int index = config->batchImageCount(batchNo) + transferred + 1;
    const QString bmpName = QStringLiteral("%1Image%2.bmp").arg(folder).arg(index);
    const QString jpegName = QStringLiteral("%1Image%2.jpg").arg(folder).arg(index);
    KLOG->info("OnNativeTransfer: end process memory image , name is {}", jpegName);
    // Decoding, encoding and every file of the page are the pool's work.
    KELPagePipeline::instance()->submit(std::move(page), jpegName, saveOrigin ? bmpName : QString(), index);
}

void MainWindow::OnImageInfo(const TW_IMAGEINFO& info, TW_UINT16 xferMech)
{
    if (xferMech == TWSX_MEMORY)
        memoryPage.start(info);
    memoryFile.clear();
}

void MainWindow::OnNativeTransfer(TW_UINT16 result, TW_HANDLE* dib, bool* freeImage)
{
    Q_UNUSED(result)
    if (!*dib || !LockContainer(*dib))
        return;
    UnlockContainer(*dib);
    // The page takes the handle over: no copy of the page is made on this thread.
    *freeImage = false;
    savePage(KELRawPage::fromNativeHandle(std::exchange(*dib, nullptr)));
}

void MainWindow::OnMemoryTransfer(const TW_IMAGEINFO& info, const TW_IMAGEMEMXFER& block, TW_UINT16* result)
{
    Q_UNUSED(info)
    memoryPage.add(block);
    if (*result == TWRC_XFERDONE) {
        savePage(KELRawPage::fromMemory(std::move(memoryPage)));
        memoryPage.clear();
    }
}

void MainWindow::OnMemFileTransfer(const TW_IMAGEMEMXFER& block, TW_UINT16* result)
{
    memoryFile.append(static_cast<const char*>(block.Memory.TheMem), int(block.BytesWritten));
    if (*result == TWRC_XFERDONE) {
        savePage(KELRawPage::fromFileBytes(std::move(memoryFile)));
        memoryFile.clear();
    }
}

void MainWindow::OnFileTransfer(TW_UINT16 result, const TW_SETUPFILEXFER& setup)
{
    Q_UNUSED(result)
    const QString path = QFile::decodeName(QByteArray(setup.FileName, int(strnlen(setup.FileName, sizeof setup.FileName))));
    KLOG->info("OnFileTransfer: file name is {} .....", path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.readAll();
    file.close();
    // The file is the page's only copy on its way here; the page's own files replace it.
    QFile::remove(path);
    savePage(KELRawPage::fromFileBytes(bytes));
}
