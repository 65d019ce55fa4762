#include "ui/mainwindow.h"

#include "command/velloxserver.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "printing/printbatchmgr.h"
#include "printing/printer.h"
#include "printing/printermgr.h"
#include "foundation/singleton.h"
#include "foundation/testtimes.h"
#include "upload/uploadermgr.h"
#include "ui/selecttextlistview.h"
#include "ui/systemtrayhelper.h"
#include "ui/textimagewidget.h"
#include "ui/toastmessage.h"
#include "ui/uiutils.h"
#include "upgrade/browserwindow.h"
#include "upgrade/upgradehelper.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QThread>
#include <QThreadPool>
#include <QVBoxLayout>

namespace {
constexpr int kDeviceChangeDebounceMs = 2000;
constexpr int kWindowWidth = 480;
constexpr int kWindowHeight = 450;
constexpr int kRelayoutDelayMs = 2000;
constexpr int kPrinterRefreshDelayMs = 100;
constexpr int kToastMs = 3000;
constexpr int kInstallPathWidth = 325;
constexpr int kDataPathLabelWidth = 250;
constexpr int kDataPathTextWidth = 242;
constexpr int kPrinterTextWidth = 180;
constexpr int kChooserWidth = 320;

const char* const kSectionTitleStyle = "color:#262A30;font-size:14px;font-weight:500;";
const char* const kCaptionStyle = "color:#959BA3;font-size:12px;font-weight:400;";
const char* const kValueStyle = "color:#262A30;font-size:12px;font-weight:400;";
// A text in link colour; without a frame of its own.
const char* const kLinkStyle = "color:#1EA1FF;font-weight: 400;font-size: 12px;border:none;background:transparent;";
const char* const kConnectingTextStyle = "color:#FFFFFF;font-size:20px;font-weight:500;";
const char* const kStatusTextStyle = "color:#FFFFFF;font-size:16px;font-weight:400;";

QLabel* styledLabel(const QString& text, const char* style, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setStyleSheet(QLatin1String(style));
    return label;
}

QLabel* iconLabel(const QString& image, int size, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setFixedSize(size, size);
    label->setScaledContents(true);
    label->setPixmap(QPixmap(image));
    return label;
}

QPushButton* linkButton(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setStyleSheet(QLatin1String(kLinkStyle));
    button->setCursor(Qt::PointingHandCursor);
    button->setFlat(true);
    button->setFixedWidth(button->fontMetrics().horizontalAdvance(text) + 8);
    return button;
}

QHBoxLayout* row(QVBoxLayout* column, int height, int spacing, int leftMargin = 16, int rightMargin = 16)
{
    auto* layout = new QHBoxLayout;
    layout->setContentsMargins(leftMargin, 0, rightMargin, 0);
    layout->setSpacing(spacing);
    auto* holder = new QWidget;
    holder->setFixedHeight(height);
    holder->setLayout(layout);
    column->addWidget(holder);
    return layout;
}

// A folder line of the panel: the check mark, the caption and the folder's label (named, of a
// fixed width); the row goes on with what the caller adds after them.
struct FolderRow {
    QHBoxLayout* layout;
    QLabel* folder;
};
FolderRow folderRow(QVBoxLayout* column, QWidget* panel, const QString& caption, const QString& objectName,
                    int folderWidth, int spacing, int rightMargin)
{
    QHBoxLayout* layout = row(column, 18, spacing, 16, rightMargin);
    layout->addWidget(iconLabel(QStringLiteral(":resource/images/checked.png"), 14, panel));
    QLabel* captionLabel = styledLabel(caption, kCaptionStyle, panel);
    captionLabel->setFixedWidth(75);
    layout->addWidget(captionLabel);
    QLabel* folder = styledLabel(QString(), kValueStyle, panel);
    folder->setObjectName(objectName);
    folder->setFixedWidth(folderWidth);
    layout->addWidget(folder);
    return {layout, folder};
}

struct StatusLook {
    const char* banner;
    const char* icon;
    const char* rowIcon;
};

StatusLook statusLook(int status)
{
    if (status == 0)
        return {":resource/images/background_blue.png", ":resource/images/connecting.png", ":resource/images/checked.png"};
    if (status == 2)
        return {":resource/images/background_yellow.png", ":resource/images/connect_error.png", ":resource/images/error.png"};
    return {":resource/images/background_blue.png", ":resource/images/connected.png", ":resource/images/checked.png"};
}
} // namespace

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

    buildStatusPanel();

    KELGlobalConfig* config = KELGlobalConfig::instance();
    devModeEnabled = config->flag(QStringLiteral("devmode"));
    saveOrigin = config->flag(QStringLiteral("saveorigin"));
    installEventFilter(this);
    setBatchNo(QString());

    setTitleBar(topBar);
    setCaptionExclusions(topBar->buttons());
    connect(topBar, &topbar::signalBarType, this, &MainWindow::slotTopBarType);

    upgradeDialogTimer = new QTimer(this);
    deviceChangeTimer = new QTimer(this);
    deviceChangeTimer->setSingleShot(true);

    buildTrayMenu();
    setupGlobalShortcut();

    connect(KELUploaderMgr::instance(), &KELUploaderMgr::sigFinishUploadAllImages, this,
            &MainWindow::slotFinishUploadAllImages);
    connect(KELPrinterMgr::instance(), &KELPrinterMgr::sigFinishPrintAllImages, this,
            &MainWindow::slotFinishPrintAllImages);
    // The first use of the command server: it starts listening on the global pool.
    connectCommandSignals();

    // After moving to another screen, a DPI change or a lost screen: lay out once more when
    // the window system has settled.
    connect(this, &cKELFrameLessWnd::Sig_NeedResize, this, [this] {
        QTimer::singleShot(kRelayoutDelayMs, this, [this] {
            resize(kWindowWidth + 1, kWindowHeight + 1);
            resize(kWindowWidth, kWindowHeight);
        });
    });

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
    deviceChangeTimer->start(KELTestTimes::scaled(kDeviceChangeDebounceMs));
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
    KELUi::bringToFront(this);
    showPendingUpgradeDialog();
}

void MainWindow::slotQuitApp()
{
    quitting = true;
    // First: whatever follows, the shell must not stay disabled by a dialog that goes with us.
    if (browserWindow)
        browserWindow->release();
    // A package download or a check would hold a pool thread, which the process waits for.
    KELS::Singleton<KELUpgradeHelper>::instance()->abandon();
    SystemTrayHelper::instance()->hide();
    releaseScanner();
    // After the scanner is released, so no scan event is still on its way to a page.
    KELVelloxServer::instance()->stop();
    KELUploaderMgr::instance()->stopAll();
    // Print tasks waiting for a turn or a download would hold pool threads, which the process
    // waits for as it ends.
    KELPrintBatchMgr::instance()->stopAll();
    KELPrinterMgr::instance()->stopAll();
    QCoreApplication::quit();
}

// Walks the TWAIN session down from wherever it is, so the scanner is free for the next program.
void MainWindow::releaseScanner()
{
    // After a jam the session may sit in state 6 or 7: the transfer is ended first.
    releaseEnabledSource();
    if (GetState() > 3)
        CloseDS();
    if (GetState() > 2)
        CloseDSM();
    UnloadDSM();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (quitting) {
        slotQuitApp();
        return;
    }
    // Hidden, the agent lives on in the tray; without one, nothing could reach it any more.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        KLOG->info("Main window closed on a desktop without a notification area: the agent quits");
        event->ignore();
        slotQuitApp();
        return;
    }
    event->ignore();
    hide();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == sourceLabel && event->type() == QEvent::MouseButtonRelease) {
        slotShowDatasourceList();
        return true;
    }
    return cKELFrameLessWnd::eventFilter(watched, event);
}

// --- status panel ---

void MainWindow::buildStatusPanel()
{
    setMinimumSize(kWindowWidth, kWindowHeight);
    setMaximumSize(kWindowWidth + 2, kWindowHeight + 2);
    resize(kWindowWidth, kWindowHeight);
    setAttribute(Qt::WA_TranslucentBackground);

    auto* windowLayout = new QVBoxLayout(this);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    auto* container = new QWidget(this);
    container->setObjectName(QStringLiteral("main_container_widget"));
    container->setStyleSheet(QStringLiteral("QWidget#main_container_widget{background-color:#E9ECF0;border-radius:4px;}"));
    windowLayout->addWidget(container);
    auto* column = new QVBoxLayout(container);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    backgroundLabel = new QLabel(container);
    backgroundLabel->setGeometry(0, 0, kWindowWidth, 172);
    backgroundLabel->setAlignment(Qt::AlignTop);
    backgroundLabel->setScaledContents(true);
    backgroundLabel->lower();

    topBar = new topbar(container);
    topBar->installEventFilter(this);
    column->addWidget(topBar);

    // Status strip: icon and text centred.
    column->addSpacing(20);
    auto* strip = new QWidget(container);
    strip->setStyleSheet(QStringLiteral("background:transparent;"));
    strip->setFixedHeight(32);
    auto* stripRow = new QHBoxLayout(strip);
    stripRow->setContentsMargins(0, 0, 0, 0);
    stripRow->setSpacing(8);
    stripRow->addSpacerItem(new QSpacerItem(50, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    statusIconLabel = new QLabel(strip);
    statusIconLabel->setFixedSize(32, 32);
    statusIconLabel->setScaledContents(true);
    statusTextLabel = new QLabel(strip);
    stripRow->addWidget(statusIconLabel);
    stripRow->addWidget(statusTextLabel);
    stripRow->addSpacerItem(new QSpacerItem(50, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    column->addWidget(strip);

    column->addSpacing(20);
    auto* bottom = new QWidget(container);
    bottom->setObjectName(QStringLiteral("bootom_container_widget"));
    bottom->setStyleSheet(QStringLiteral("QWidget#bootom_container_widget{background:transparent;}"));
    auto* bottomLayout = new QVBoxLayout(bottom);
    bottomLayout->setContentsMargins(8, 8, 8, 8);
    auto* panel = new QWidget(bottom);
    panel->setObjectName(QStringLiteral("info_bg_widget"));
    panel->setFixedSize(464, 318);
    panel->setAutoFillBackground(true);
    panel->setAttribute(Qt::WA_StyledBackground);
    panel->setStyleSheet(QStringLiteral("QWidget#info_bg_widget{background:white;color:#262A30;border-radius:4px;}"));
    bottomLayout->addWidget(panel);
    column->addWidget(bottom);
    column->addStretch(1);

    auto* info = new QVBoxLayout(panel);
    info->setContentsMargins(0, 0, 0, 0);
    info->setSpacing(0);

    // 1. Scanner.
    info->addSpacing(15);
    QHBoxLayout* scannerTitle = row(info, 20, 6);
    scannerTitle->addWidget(styledLabel(tr("1.扫描仪状态"), kSectionTitleStyle, panel));
    scannerTitle->addStretch(1);
    showUIBox = new QCheckBox(tr("显示扫描仪驱动面板"), panel);
    showUIBox->setFixedWidth(132);
    showUIBox->setStyleSheet(QStringLiteral(
        "QCheckBox{color:#262A30;font-size:12px;font-weight:400;}QCheckBox::indicator { width: 16px; height: 16px; }"));
    showUIBox->setChecked(false);
    connect(showUIBox, &QCheckBox::stateChanged, this, &MainWindow::slotChangedShowUI);
    scannerTitle->addWidget(showUIBox);

    info->addSpacing(8);
    QHBoxLayout* scannerRow = row(info, 26, 16);
    scannerIconLabel = iconLabel(QStringLiteral(":resource/images/checked.png"), 14, panel);
    scannerRow->addWidget(scannerIconLabel);
    QLabel* model = styledLabel(tr("扫描设备型号"), kCaptionStyle, panel);
    model->setFixedWidth(75);
    scannerRow->addWidget(model);
    scannerRow->addSpacing(8);
    scannerRow->addWidget(styledLabel(tr("扫描仪型号:"), kValueStyle, panel));
    sourceLabel = new KELTextImageWidget(panel);
    sourceLabel->setFixedSize(160, 24);
    sourceLabel->setCursor(Qt::PointingHandCursor);
    sourceLabel->installEventFilter(this);
    scannerRow->addWidget(sourceLabel);
    scannerRow->addStretch(1);
    startScanButton = linkButton(tr("开始扫描"), panel);
    startScanButton->setFixedWidth(80);
    connect(startScanButton, &QPushButton::pressed, this, [this] {
        KLOG->info("start to scan by user .....");
        innerStartScan();
    });
    scannerRow->addWidget(startScanButton);

    // 2. This computer.
    info->addSpacing(27);
    row(info, 20, 6)->addWidget(styledLabel(tr("2.本地状态"), kSectionTitleStyle, panel));

    info->addSpacing(12);
    const FolderRow install = folderRow(info, panel, tr("程序安装路径"), QStringLiteral("install_path_label"),
                                        kInstallPathWidth, 16, 0);
    KELUi::setElidedText(install.folder, QDir::toNativeSeparators(KELGlobalConfig::instance()->installFolder()),
                         kInstallPathWidth);
    install.layout->addStretch(1);

    info->addSpacing(12);
    const FolderRow data = folderRow(info, panel, tr("数据存放目录"), QStringLiteral("data_saved_path_label"),
                                     kDataPathLabelWidth, 14, 8);
    QPushButton* changeDir = linkButton(tr("更改目录"), panel);
    changeDir->setObjectName(QStringLiteral("change_dir_button"));
    connect(changeDir, &QPushButton::pressed, this, &MainWindow::changeOutputDir);
    data.layout->addWidget(changeDir);
    data.layout->addStretch(1);

    info->addSpacing(12);
    QHBoxLayout* sizeRow = row(info, 18, 14, 16, 8);
    sizeRow->addSpacing(103);
    QLabel* remain = styledLabel(QString(), kCaptionStyle, panel);
    remain->setObjectName(QStringLiteral("remain_disk_label"));
    QLabel* used = styledLabel(QString(), kCaptionStyle, panel);
    used->setObjectName(QStringLiteral("data_used_label"));
    sizeRow->addWidget(remain);
    sizeRow->addWidget(used);
    sizeRow->addSpacerItem(new QSpacerItem(10, 10, QSizePolicy::Expanding, QSizePolicy::Minimum));

    // 3. Printer.
    info->addSpacing(27);
    row(info, 20, 6)->addWidget(styledLabel(tr("3.默认打印机名称"), kSectionTitleStyle, panel));

    info->addSpacing(12);
    QHBoxLayout* printerRow = row(info, 18, 14, 16, 8);
    printerRow->addWidget(iconLabel(QStringLiteral(":resource/images/checked.png"), 14, panel));
    printerNameLabel = styledLabel(tr("加载中..."), kValueStyle, panel);
    printerNameLabel->setObjectName(QStringLiteral("printer_name_label"));
    printerRow->addWidget(printerNameLabel);
    printerRow->addStretch(1);
    QPushButton* refresh = linkButton(tr("刷新"), panel);
    refresh->setObjectName(QStringLiteral("refresh_printer_button"));
    connect(refresh, &QPushButton::pressed, this, &MainWindow::slotRefreshPrinter);
    printerRow->addWidget(refresh);
    info->addSpacerItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));

    updateDataFolderLabel(KELGlobalConfig::instance()->outputFolder());
    setScannerStatus(0);
    refreshStorageInfo();
    // Scans are started by the web page or the tray.
    startScanButton->hide();
    QTimer::singleShot(kPrinterRefreshDelayMs, this, &MainWindow::slotRefreshPrinter);
}

void MainWindow::setScannerStatus(int status)
{
    scannerStatus = status;
    if (!statusIconLabel)
        return;
    const StatusLook look = statusLook(status);
    backgroundLabel->setPixmap(QPixmap(QLatin1String(look.banner)));
    statusIconLabel->setPixmap(QPixmap(QLatin1String(look.icon)));
    scannerIconLabel->setPixmap(QPixmap(QLatin1String(look.rowIcon)));
    statusTextLabel->setStyleSheet(QLatin1String(status == 0 ? kConnectingTextStyle : kStatusTextStyle));
    if (status == 0)
        statusTextLabel->setText(tr("扫描仪连接中"));
    else if (status == 1)
        statusTextLabel->setText(tr("扫描仪已就位，请前往浏览器扫描答卷"));
    else if (status == 2)
        statusTextLabel->setText(tr("扫描仪连接异常，请检查扫描仪设备及驱动"));
}

void MainWindow::setSourceLabel(const QString& name)
{
    sourceLabelText = name;
    if (sourceLabel)
        sourceLabel->setText(name);
}

void MainWindow::refreshStorageInfo()
{
    // A scan folder may be large (or a whole home folder): measured on the pool, shown when done.
    const quint64 serial = ++storageSerial;
    const QPointer<MainWindow> self(this);
    QThreadPool::globalInstance()->start([self, serial] {
        const KELGlobalConfig* config = KELGlobalConfig::instance();
        const QString freeSpace = config->outputFreeSpace();
        const QString usedSize = config->outputUsedSize();
        QMetaObject::invokeMethod(
            qApp,
            [self, serial, freeSpace, usedSize] {
                if (self)
                    self->onStorageMeasured(serial, freeSpace, usedSize);
            },
            Qt::QueuedConnection);
    });
}

void MainWindow::onStorageMeasured(quint64 serial, const QString& freeSpace, const QString& usedSize)
{
    if (serial != storageSerial)
        return;
    if (auto* remain = findChild<QLabel*>(QStringLiteral("remain_disk_label"))) {
        remain->setText(tr("磁盘剩余空间：%1").arg(freeSpace));
        KLOG->info("Strorage Info is: remain size:{}", freeSpace);
    }
    if (auto* used = findChild<QLabel*>(QStringLiteral("data_used_label"))) {
        used->setText(tr("扫描数据：%1").arg(usedSize));
        KLOG->info("Strorage image data total size: {}", usedSize);
    }
}

void MainWindow::updateDataFolderLabel(QString folder)
{
    if (auto* label = findChild<QLabel*>(QStringLiteral("data_saved_path_label")))
        KELUi::setElidedText(label, QDir::toNativeSeparators(folder), kDataPathTextWidth);
}

void MainWindow::changeOutputDir()
{
    KLOG->info("user starts to change output dir .....");
    KELGlobalConfig* config = KELGlobalConfig::instance();
    const QString chosen = KELUi::selectFolder(this, false, config->outputFolder());
    if (!chosen.isEmpty())
        useOutputDir(chosen);
}

void MainWindow::useOutputDir(const QString& chosen)
{
    KELGlobalConfig* config = KELGlobalConfig::instance();
    config->setOutputFolder(chosen);
    // The folder in force: a folder that vanished meanwhile is not taken.
    const QString inForce = config->outputFolder();
    if (QDir(inForce) != QDir(chosen))
        KLOG->warn("the chosen output dir {} does not exist, keeping {}", chosen, inForce);
    else
        KLOG->info("output dir changed to {}", inForce);
    updateDataFolderLabel(inForce);
    refreshStorageInfo();
}

void MainWindow::slotRefreshPrinter()
{
    KLOG->info("user click to refresh printer info...");
    // Only the name is shown: asked of the spooler, not by selecting the printer, which would
    // wait for the printer's lock that a print holds for its whole length, on a pool thread.
    const quint64 serial = ++printerSerial;
    const QPointer<MainWindow> self(this);
    QThreadPool::globalInstance()->start([self, serial] {
        const QString name = CPrinter::instance().defaultPrinterName();
        QMetaObject::invokeMethod(
            qApp,
            [self, serial, name] {
                if (self)
                    self->onPrinterRead(serial, name);
            },
            Qt::QueuedConnection);
    });
}

void MainWindow::onPrinterRead(quint64 serial, const QString& printerName)
{
    if (serial != printerSerial)
        return;
    const QString shown = printerName.isEmpty() ? tr("未找到默认打印机") : printerName;
    KELUi::setElidedText(printerNameLabel, shown, kPrinterTextWidth);
    KLOG->info("default printer shown: {}", shown);
}

void MainWindow::slotTopBarType(topbar::BtnType type)
{
    if (type == topbar::Minimize)
        showMinimized();
    else if (type == topbar::Close)
        close();
}

// --- scanner chooser ---

void MainWindow::slotShowDatasourceList()
{
    if (refreshingSources)
        return;
    QList<KELSelectTextListViewItemData> items;
    for (const QString& name : sourceNames())
        items.append({name, name.compare(sourceLabelText, Qt::CaseInsensitive) == 0});
    auto* chooser = new KELSelectTextListView(kChooserWidth, this);
    chooser->setObjectName(QStringLiteral("scanner_chooser"));
    chooser->setItems(items);
    connect(chooser, &KELSelectTextListView::onSelectedItem, this,
            [this](int, KELSelectTextListViewItemData data) { onSourcePicked(data.text); });
    chooser->popupBelow(sourceLabel);
}

void MainWindow::onSourcePicked(const QString& name)
{
    if (name.isEmpty())
        return;
    const int state = GetState();
    if (refreshingSources) {
        KLOG->info("刷新扫描仪列表中, 无法切换: {}", state);
        return;
    }
    if (name.compare(sourceLabelText, Qt::CaseInsensitive) != 0 || state < 4) {
        // Between two pages the transfer loop is in state 6, yet as busy as during a page.
        if (state < 6 && !isTransferring()) {
            setSourceLabel(name);
            KLOG->info("用户选择了扫描仪: {}", name);
            if (state == 5) {
                // A batch waits for its first page on the scanner that closes now: it ends as a
                // stopped one does, with "scan-end" and "uploaded-end", instead of waiting for ever.
                KLOG->info("Batch {} ends: another scanner was chosen before its first page", batchNo);
                releaseEnabledSource();
                Q_EMIT sigEndScan();
            }
            Q_EMIT sigOpenDatasource(name);
        } else {
            showToast(this, tr("扫描仪正在扫描中, 无法切换"), kToastMs);
            KLOG->info("扫描仪正在扫描中, 无法切换: {}", state);
        }
        return;
    }
    showToast(this, tr("已选择当前扫描仪，无需切换"), kToastMs);
    KLOG->info("无需切换,当前一打开：{} : {}", name, state);
}
