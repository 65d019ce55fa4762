// MainWindow's desktop shell: the tray menu and the environment switch behind Ctrl+Alt+K.
#include "ui/mainwindow.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/singleton.h"
#include "foundation/testtimes.h"
#include "printing/printer.h"
#include "scanning/scannerhelper.h"
#include "ui/envlistview.h"
#include "ui/globalshortcut.h"
#include "ui/systemtrayhelper.h"
#include "ui/uiutils.h"
#include "upgrade/browserwindow.h"
#include "upgrade/upgradehelper.h"

#include <QAction>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {
constexpr int kQuitDelayMs = 100;
// A panel started with the session may come up after the agent: it gets this long to appear.
constexpr int kTrayGraceMs = 15000;
} // namespace

void MainWindow::buildTrayMenu()
{
    trayMenu = new QMenu;
    trayMenu->setObjectName(QStringLiteral("tray_menu"));
    auto add = [this](const QString& text, auto handler) {
        QAction* action = trayMenu->addAction(text);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };

    add(tr("打开主界面"), [this] {
        KLOG->info("user click to show main view...");
        slotShowMainView();
    });
    checkUpdateAction = add(tr("检查更新"), [this] { slotTrayCheckUpdate(); });
    trayMenu->addSeparator();
    if (devModeEnabled) {
        add(tr("开始扫描"), [this] {
            KLOG->info("user click to start scan...");
            innerStartScan();
        });
        trayMenu->addSeparator();
        add(tr("Dump所有属性"), [] {
            KLOG->info("user click to dump all properties...");
            KELScannerHelper::instance()->dumpAllProperties();
        });
        trayMenu->addSeparator();
        add(tr("打印测试页"), [this] { slotPrintTestPage(); });
        trayMenu->addSeparator();
        add(tr("自定义打印测试"), [this] { slotCustomPrintTest(); });
        trayMenu->addSeparator();
    }
    add(tr("设置扫描仪预设属性"), [this] {
        KLOG->info("user click to set pre-set properties...");
        KELScannerHelper::instance()->applyPresets(currentSourceName);
    });
    add(tr("生成打印机预设配置文件"), [] {
        CPrinter::instance().promptDevmodFile();
        KLOG->info("user click to set printer config...");
    });
    trayMenu->addSeparator();
    add(tr("打开扫描文件目录"), [] {
        KELUi::openFolder(KELGlobalConfig::instance()->outputFolder());
        KLOG->info("user click to open saved data path...");
    });
    add(tr("打开日志目录"), [] {
        KELUi::openFolder(KELGlobalConfig::instance()->logFolder());
        KLOG->info("user click to open log path...");
    });
    trayMenu->addSeparator();
    add(tr("退出"), [this] {
        KLOG->info("退出, 用户点击托盘退出按钮");
        QTimer::singleShot(kQuitDelayMs, this, &MainWindow::slotQuitApp);
    });

    SystemTrayHelper* tray = SystemTrayHelper::instance();
    tray->install(this, QIcon(QStringLiteral(":resource/images/logo.png")), trayMenu,
                  KELGlobalConfig::instance()->getAppName());
    connect(tray, &SystemTrayHelper::sigIconClicked, this, &MainWindow::slotShowMainView);

    // Without a notification area the hidden agent could be reached by nobody, not even to quit
    // it: its window comes once, and closing it then quits the agent (closeEvent).
    QTimer::singleShot(KELTestTimes::scaled(kTrayGraceMs), this, [this] {
        if (QSystemTrayIcon::isSystemTrayAvailable() || quitting)
            return;
        KLOG->warn("This desktop has no notification area for the tray icon: the window is shown so the agent can be reached");
        KELUi::bringToFront(this);
    });
}

void MainWindow::setupGlobalShortcut()
{
    globalShortcut = std::make_shared<GlobalShortcut>();
    const QKeySequence keys(Qt::CTRL | Qt::ALT | Qt::Key_K);
    if (!globalShortcut->setShortcut(keys)) {
        // The shell may hold it, or there is no X display: the agent runs on without it.
        KLOG->warn("The environment switch shortcut {} is not available: {}",
                   keys.toString(QKeySequence::PortableText), globalShortcut->errorString());
    } else {
        KLOG->info("The environment switch shortcut {} is registered", keys.toString(QKeySequence::PortableText));
    }
    connect(globalShortcut.get(), &GlobalShortcut::activated, this, &MainWindow::slotShowEnvList,
            Qt::DirectConnection);
}

bool MainWindow::isShortcutRegistered() const
{
    return globalShortcut && globalShortcut->isRegistered();
}

void MainWindow::slotShowEnvList()
{
    // The grab is the agent's, but the user pressed the keys in the shell's window: the shell's
    // own menu is meant then. Anywhere else the agent's list opens.
    if (!browserWindow) {
        showEnvList();
        return;
    }
    browserWindow->offerEnvMenu([this](bool taken) {
        if (taken)
            KLOG->info("Ctrl+Alt+K handed to the browser shell, whose window is in front");
        else
            showEnvList();
    });
}

void MainWindow::showEnvList()
{
    if (!envListView) {
        envListView = new EnvListView;
        connect(envListView, &EnvListView::sigSwitchEnv, this, &MainWindow::switchEnv);
    }
    // Filled at every showing, so the mark follows a switch made meanwhile.
    envListView->fillEnvList(KELGlobalConfig::instance()->getCurrentEnv());
    envListView->show();
    envListView->raise();
    envListView->activateWindow();
}

void MainWindow::switchEnv(QString key)
{
    KLOG->info("switch to env: {}", key);
    KELGlobalConfig* config = KELGlobalConfig::instance();
    if (!config->selectEnv(key))
        return;
    config->setValue(QStringLiteral("userenv"), key);
    // What the previous environment's server offered is not this one's.
    KELS::Singleton<KELUpgradeHelper>::instance()->forgetOffer();
}
