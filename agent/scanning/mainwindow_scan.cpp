// MainWindow's scan code: the data source manager and the list of sources, opening a source,
// starting a batch, the transfer loop, saving every page, the end of a batch, scanner errors
// and re-opening the scanner after device changes or long idle times.
#include "ui/mainwindow.h"

#include "command/velloxserver.h"
#include "foundation/filenames.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/memorytrim.h"
#include "foundation/testtimes.h"
#include "scanning/devicechangemonitor.h"
#include "scanning/pagepipeline.h"
#include "scanning/scannerhelper.h"
#include "scanning/twaindsm_library.h"
#include "foundation/singleton.h"
#include "upload/uploadermgr.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThreadPool>

#include <algorithm>
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

    const QString transferFolder = KELGlobalConfig::instance()->tempFolder();
    SetFileTransferFolder(QFile::encodeName(transferFolder).toStdString());
    // Pages an agent that ended mid-batch left in transfer; this agent's own are newer.
    const QDateTime started = QDateTime::currentDateTime();
    QThreadPool::globalInstance()->start([transferFolder, started] {
        if (const int removed = KELRawPage::removeLeftoverTransferFiles(transferFolder, started))
            KLOG->info("Removed {} transfer files left by an earlier run in {}", removed, transferFolder);
    });
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
    QTimer::singleShot(KELTestTimes::scaled(kDsmStartDelayMs), this, &MainWindow::startDsm);
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
    QTimer::singleShot(KELTestTimes::scaled(kSourceListDelayMs), this, [this] {
        refreshDataSourceList();
        QApplication::restoreOverrideCursor();
    });
}

void MainWindow::listDataSources()
{
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
}

// The last scanner used when it is still installed; otherwise the DSM's default source, then
// the first one listed. Empty when nothing is listed.
QString MainWindow::preferredSourceName()
{
    const QStringList names = sourceNames();
    const auto listed = [&names](const QString& name) {
        for (const QString& candidate : names) {
            if (candidate.compare(name, Qt::CaseInsensitive) == 0)
                return candidate;
        }
        return QString();
    };
    const QString last = KELGlobalConfig::instance()->value(QStringLiteral("lastselectedscanner"));
    QString name = last;
    TW_IDENTITY fallback{};
    const bool hasDefault = CallDSM(DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &fallback, nullptr) == TWRC_SUCCESS;
    if (name.isEmpty() && hasDefault)
        name = productName(fallback);
    KLOG->info("Last used data source name is: {}", name);
    QString chosen = listed(name);
    if (chosen.isEmpty() && hasDefault)
        chosen = listed(productName(fallback));
    if (chosen.isEmpty() && !names.isEmpty())
        chosen = names.front();
    if (!chosen.isEmpty() && chosen.compare(name, Qt::CaseInsensitive) != 0)
        KLOG->warn("Data source {} is not installed, opening {} instead", name, chosen);
    return chosen;
}

void MainWindow::refreshDataSourceList()
{
    refreshingSources = true;
    listDataSources();
    const QString name = preferredSourceName();
    if (!name.isEmpty()) {
        setSourceLabel(name);
        slotOpenDataSource(name);
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
    releaseEnabledSource();
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

QString MainWindow::batchNumberFor(const QString& requested)
{
    return requested.isEmpty() ? QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss")) : requested;
}

void MainWindow::setBatchNo(const QString& number)
{
    batchNo = batchNumberFor(number);
    imagesTransferred = 0;
}

void MainWindow::endPendingBatchBefore(const QString& nextBatchNo)
{
    if (endPending)
        completeBatchEnd(nextBatchNo);
}

int MainWindow::innerStartScan()
{
    // Between two pages the state is 6, but the transfer loop is as busy as during a page.
    if (isTransferring()) {
        KLOG->info("a sacn task is processing... %d ");
        return 10;
    }
    if (GetState() == 7) {
        // A page the source never finished (the loop had to give up on it).
        EndXfer();
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
    // The previous batch ends now, before this one begins, so its end never lands in this one.
    endPendingBatchBefore(batchNo);
    // The scanner was lost (it could not be opened again after a failure): it may be back.
    if (GetState() == 3 && !sourceLabelText.isEmpty()) {
        KLOG->info("innerStartScan: no scanner is open, opening {} again", sourceLabelText);
        slotOpenDataSource(sourceLabelText);
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

    if (showScannerUI)
        bringToFront();

    idleSince = 0;
    // A stop asked for before this batch is not meant for it.
    stopRequested = false;
    ++scanGeneration;
    TW_UINT16 result = presetAndEnable();
    // A source that lost its device (an I/O error) answers so until it is opened again.
    if (result == TWRC_FAILURE && status.ConditionCode == TWCC_CHECKDEVICEONLINE && reopenOfflineSource())
        result = presetAndEnable();
    if (result == TWRC_SUCCESS)
        return 0;
    const QJsonObject data{ { QStringLiteral("ret"), result },
                            { QStringLiteral("msg"), QString::fromLatin1(ReturnCodeName(result)) } };
    server()->notifyError(kScanError, tr("启动扫描失败, 扫描仪(%1) ret: %2").arg(currentSourceName).arg(result), data);
    KLOG->error("Start Scan({}) failed , ret : {}", currentSourceName, result);
    idleSince = now();
    // Pages of this batch still on their way are its last ones.
    endUploadsAfterPipeline(batchNo, true);
    return result;
}

TW_UINT16 MainWindow::presetAndEnable()
{
    KELScannerHelper::instance()->applyPresets(currentSourceName);
    KLOG->info("innerStartScan: paper_version_={}, will set duplex to {}", paperVersion,
               paperVersion == 1 ? "single" : "double");
    switchDuplexForPaper();
    return EnableDS(nativeWindow(), showScannerUI);
}

bool MainWindow::sourceWentOffline(TW_UINT16 conditionCode)
{
    if (conditionCode == TWCC_CHECKDEVICEONLINE)
        return true;
    TW_BOOL online = TRUE; // a source that cannot tell is taken as online
    if (GetCapabilityValue(CAP_DEVICEONLINE, &online, MSG_GETCURRENT, sizeof online) != 0)
        return status.ConditionCode == TWCC_CHECKDEVICEONLINE;
    return !online;
}

bool MainWindow::reopenOfflineSource()
{
    sourceOffline = false;
    const QString name = currentSourceName;
    if (name.isEmpty())
        return false;
    KLOG->warn("Scanner {} is offline: closing it and opening it again", name);
    // Success is announced with "can-use" true; a device that is really gone leaves no source
    // open, and the page hears "can-use" false with the reason.
    slotOpenDataSource(name);
    return GetState() == 4 && currentSourceName == name;
}

// Paper version 1 is single-sided. The agent switches duplex off for it and, because no
// preset of most models switches it on again, back on for the next double-sided batch.
void MainWindow::switchDuplexForPaper()
{
    KELScannerHelper* helper = KELScannerHelper::instance();
    if (paperVersion == 1) {
        TW_BOOL enabled = TRUE;  // unreadable: taken as on, so it is restored
        GetCapabilityValue(CAP_DUPLEXENABLED, &enabled, MSG_GETCURRENT, sizeof enabled);
        helper->setDuplex(0);
        if (enabled)
            duplexOffSource = currentSourceName;
    } else if (!duplexOffSource.isEmpty()) {
        if (duplexOffSource.compare(currentSourceName, Qt::CaseInsensitive) == 0) {
            KLOG->info("innerStartScan: duplex was switched off for single-sided paper, switching it on again");
            helper->setDuplex(1);
        }
        duplexOffSource.clear();
    }
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
        // The batch was stopped or ended after the source had announced a page.
        if (GetState() != 6) {
            KLOG->info("MSG_XFERREADY in state {}: the batch has ended, nothing to transfer", GetState());
            PopDataSourceSignal();
            break;
        }
        transferPages();
        break;
    case MSG_DEVICEEVENT:
        PopDataSourceSignal();
        break;
    case MSG_CLOSEDSREQ:
        if (imagesTransferred == 0) {
            server()->notifyError(kScanError, tr("用户取消扫描"));
            // A rescan that continued a batch whose pages are still uploading ends it here.
            endUploadsAfterPipeline(batchNo, true);
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
    const bool goesOn = transferLoop();
    transferring = false;
    PopDataSourceSignal();
    // A stop or a failed transfer leaves the source without its Count 0: the batch ends here.
    if (!goesOn && !quitting)
        Q_EMIT sigEndScan();
    // Signals the source queued during the batch were turned away above.
    if (PeekDataSourceSignal() != 0)
        Q_EMIT customDataSourceSignal();
}

bool MainWindow::transferLoop()
{
    for (;;) {
        waitForEncodingRoom();
        const TW_UINT16 result = TransferImage();
        if (result == TWRC_CANCEL && GetState() == 7) {
            // The source dropped this page. Ending the transfer keeps the session out of
            // state 7, where nothing else would be accepted; the next page follows as usual.
            KLOG->warn("Transfer cancelled by the data source, ending it with MSG_ENDXFER");
        } else if (result != TWRC_SUCCESS) {
            const TW_UINT16 condition = status.ConditionCode;
            // The session reports failed native transfers itself; a jam or an empty feeder
            // during a memory or file transfer reaches the page the same way.
            if (result == TWRC_FAILURE && xferMech != TWSX_NATIVE)
                OnError(status);
            KLOG->warn("Transfer ended with {} (condition {}) after {} images: the batch ends",
                       ReturnCodeName(result), ConditionCodeName(condition), imagesTransferred);
            // A device lost in the middle of a batch is opened again once the batch has ended.
            sourceOffline = result == TWRC_FAILURE && sourceWentOffline(condition);
            return false;
        }
        QCoreApplication::processEvents();
        const TW_UINT16 ended = EndXfer();
        if (ended != TWRC_SUCCESS) {
            KLOG->error("DoEndXfer end...... {} ", ended);
            return false;
        }
        QCoreApplication::processEvents();
        if (GetState() != 6)
            return true;
        if (stopRequested.exchange(false) && !stopFeedingKeepingFedSheets())
            return false;
    }
}

bool MainWindow::stopFeedingKeepingFedSheets()
{
    // The sheets already pulled in have come out of the scanner: their images are transferred
    // as usual, and the batch ends with the source's Count 0.
    TW_UINT16 pending = 0;
    if (StopFeeding(pending) == TWRC_SUCCESS && pending > 0) {
        KLOG->info("Batch stopped by the web page after {} images; {} images of sheets already fed follow",
                   imagesTransferred, pending);
        return true;
    }
    KLOG->info("Batch stopped by the web page after {} images", imagesTransferred);
    if (GetState() == 6)
        StopFeeder();
    return false;
}

void MainWindow::releaseEnabledSource()
{
    if (GetState() == 7)
        EndXfer();
    if (GetState() == 6)
        StopFeeder();
    if (GetState() == 5)
        DisableDS();
}

void MainWindow::honourStopRequest()
{
    // Between pages the transfer loop takes the request itself.
    if (transferring || !stopRequested)
        return;
    stopRequested = false;
    if (GetState() < 5)
        return;
    // Images announced and not yet taken: the transfer loop, about to run, takes those of the
    // sheets already fed.
    if (GetState() == 6 && PeekDataSourceSignal() == MSG_XFERREADY && stopFeedingKeepingFedSheets()) {
        Q_EMIT customDataSourceSignal();
        return;
    }
    KLOG->info("Batch stopped by the web page in state {}, no page in transfer", GetState());
    releaseEnabledSource();
    Q_EMIT sigEndScan();
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
    // Count 0 followed by a close request, a stop after the last page: one end per batch.
    if (endedGeneration == scanGeneration) {
        KLOG->info("slotOnEndScan: the batch's end is already under way");
        return;
    }
    endedGeneration = scanGeneration;
    endPending = true;
    idleSince = now();
    endingBatch = batchNo;
    const int generation = scanGeneration;
    QTimer::singleShot(KELTestTimes::scaled(kBatchEndDelayMs), this, [this, generation] {
        // A batch started since then has ended this one already.
        if (endPending && generation == scanGeneration)
            completeBatchEnd(QString());
    });
}

void MainWindow::completeBatchEnd(const QString& nextBatchNo)
{
    endPending = false;
    KLOG->info("slotOnEndScan to end batch ........");
    if (GetState() > 4)
        releaseEnabledSource();
    // The batch is named: a page that has started the next one tells the two ends apart.
    server()->notifyClient(QStringLiteral("scan-end"), 200, QJsonObject{ { QStringLiteral("batchNo"), endingBatch } });
    // A new run of the same batch goes on with its uploads; its own end closes them.
    if (nextBatchNo.isNull() || endingBatch != nextBatchNo)
        endUploadsAfterPipeline(endingBatch, false);
    if (sourceOffline)
        reopenOfflineSource();
}

void MainWindow::endUploadsAfterPipeline(const QString& batch, bool onlyWithPages)
{
    // Pages still being encoded belong to the batch: it ends after they reach the uploader.
    const int generation = scanGeneration;
    KELPagePipeline::instance()->whenHandedOver([this, batch, generation, onlyWithPages] {
        // A new run of the same batch began meanwhile: its own end closes the uploads.
        if (batch == batchNo && generation != scanGeneration)
            return;
        KELUploaderMgr* uploader = KELUploaderMgr::instance();
        if (onlyWithPages && uploader->pageCount(batch) == 0)
            return;
        uploader->batchScanEnd(batch);
        KELMemory::returnFreedMemorySoon();
    });
}

void MainWindow::slotScannerError(int condition_code)
{
    KLOG->error("Scanner error occured, condition code: {}", condition_code);
    // An I/O error ends a page with a general condition; the source then says it is offline.
    if (condition_code == TWCC_CHECKDEVICEONLINE || sourceOffline) {
        server()->notifyError(kScanError, tr("扫描仪已断开，请检查扫描仪连接"));
        return;
    }
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
    if (GetState() != 3 && GetState() != 4)
        return;
    // A scanner plugged in may bring a source that the list made at start does not have.
    refreshingSources = true;
    listDataSources();
    refreshingSources = false;
    QString name;
    for (const QString& listed : sourceNames()) {
        if (!sourceLabelText.isEmpty() && listed.compare(sourceLabelText, Qt::CaseInsensitive) == 0)
            name = sourceLabelText;
    }
    if (name.isEmpty())
        name = preferredSourceName();
    if (name.isEmpty()) {
        // Nothing to open, and nothing was tried: the page heard of it when it happened.
        KLOG->info("No data source to open after the device change");
        return;
    }
    setSourceLabel(name);
    slotOpenDataSource(name);
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
    if (GetState() < 3 || GetState() > 5)
        return;
    // Enabled and waiting for its first page: a batch is under way, and it ends like a stopped one.
    const bool batchWaiting = GetState() == 5;
    DisableDS();
    if (batchWaiting)
        Q_EMIT sigEndScan();
}

// --- pages ---

int MainWindow::highestPageOnDisk(const QString& folder)
{
    static const QRegularExpression pageFile(QStringLiteral("^Image(\\d+)\\.(jpg|bmp)$"), QRegularExpression::CaseInsensitiveOption);
    int highest = 0;
    for (const QString& name : QDir(folder).entryList(QDir::Files)) {
        const QRegularExpressionMatch match = pageFile.match(name);
        if (match.hasMatch())
            highest = std::max(highest, match.captured(1).toInt());
    }
    return highest;
}

int MainWindow::nextPageIndex(const QString& folder)
{
    // The folder is read once per batch and agent life: every later page is numbered here.
    auto last = lastPageIndex.find(batchNo);
    if (last == lastPageIndex.end())
        last = lastPageIndex.insert(batchNo, highestPageOnDisk(folder));
    const int index = std::max(*last, KELGlobalConfig::instance()->batchImageCount(batchNo)) + 1;
    *last = index;
    return index;
}

void MainWindow::reportUnsavedPage(const QString& why)
{
    KLOG->error("Image {} of batch {} cannot be saved: {}", imagesTransferred, batchNo, why);
    server()->notifyError(kScanError, tr("第%1张扫描图像无法识别, 未能保存, 请重新扫描该页").arg(imagesTransferred),
                          QJsonObject{ { QStringLiteral("page"), imagesTransferred } });
}

void MainWindow::savePage(KELRawPage page, const QString& problem)
{
    ++imagesTransferred;
    // What the page's header already tells is caught here, before the page takes a number.
    if (page.isNull() || !problem.isEmpty()) {
        reportUnsavedPage(problem.isEmpty() ? QStringLiteral("no image data arrived") : problem);
        return;
    }
    KELGlobalConfig* config = KELGlobalConfig::instance();
    // (The output folder may end with a separator of its own.)
    const QString folder
        = QDir::cleanPath(config->outputFolder() + QLatin1Char('/') + KELFileNames::safeFileName(batchNo)) + QLatin1Char('/');
    if (!QDir(folder).exists())
        QDir().mkpath(folder);
    // A batch scanned again (after a jam, a stop, a restart, with uploads in flight) goes on
    // after its last page: no ImageN is ever written twice.
    const int index = nextPageIndex(folder);
    const QString bmpName = QStringLiteral("%1Image%2.bmp").arg(folder).arg(index);
    const QString jpegName = QStringLiteral("%1Image%2.jpg").arg(folder).arg(index);
    KLOG->info("OnNativeTransfer: end process memory image , name is {}", jpegName);
    // Decoding, encoding and every file of the page are the pool's work. The number is taken
    // here, so the pages still in the pipeline count for the next one.
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
    const void* data = *dib ? LockContainer(*dib) : nullptr;
    if (!data) {
        ++imagesTransferred;
        reportUnsavedPage(QStringLiteral("the image handle cannot be locked"));
        return;
    }
    // A header that claims more than its handle holds is refused before anything else is read;
    // the session frees that handle.
    const QString problem = ScannedPage::nativeProblem(data, TwainDsmLibrary::memorySize(*dib));
    UnlockContainer(*dib);
    if (!problem.isEmpty()) {
        savePage(KELRawPage(), problem);
        return;
    }
    // The page takes the handle over: no copy of the page is made on this thread.
    *freeImage = false;
    savePage(KELRawPage::fromNativeHandle(std::exchange(*dib, nullptr)));
}

void MainWindow::OnMemoryTransfer(const TW_IMAGEINFO& info, const TW_IMAGEMEMXFER& block, TW_UINT16* result)
{
    Q_UNUSED(info)
    memoryPage.add(block);
    if (*result == TWRC_XFERDONE) {
        const QString problem = memoryPage.problem();
        savePage(KELRawPage::fromMemory(std::move(memoryPage)), problem);
        memoryPage.clear();
    }
}

void MainWindow::OnMemFileTransfer(const TW_IMAGEMEMXFER& block, TW_UINT16* result)
{
    // A source that claims to have written more than the block holds is not believed. (The
    // fields are copied first: TWAIN's structures are packed, and std::min takes references.)
    const TW_UINT32 claimed = block.BytesWritten;
    const TW_UINT32 length = block.Memory.Length;
    const TW_UINT32 written = std::min(claimed, length);
    if (block.Memory.TheMem)
        memoryFile.append(static_cast<const char*>(block.Memory.TheMem), int(written));
    if (*result == TWRC_XFERDONE) {
        const QString problem = memoryFile.isEmpty() ? QStringLiteral("an empty memory file") : QString();
        savePage(KELRawPage::fromFileBytes(std::move(memoryFile)), problem);
        memoryFile.clear();
    }
}

void MainWindow::OnFileTransfer(TW_UINT16 result, const TW_SETUPFILEXFER& setup)
{
    Q_UNUSED(result)
    const QString path = QFile::decodeName(QByteArray(setup.FileName, int(strnlen(setup.FileName, sizeof setup.FileName))));
    KLOG->info("OnFileTransfer: file name is {} .....", path);
    // Only the file's name is handled here: the pool reads the page, and removes our own
    // transfer file once read. A file the source chose itself is left alone.
    QString problem;
    KELRawPage page = KELRawPage::fromTransferFile(
        path, path == QFile::decodeName(QByteArray::fromStdString(fileTransferPath())), &problem);
    savePage(std::move(page), problem);
}
