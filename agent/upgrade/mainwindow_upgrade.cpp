// The controller's side of the self-upgrade: when the upgrade dialog is offered, what it shows
// while the package downloads, and what the user's answers do.
#include "ui/mainwindow.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/singleton.h"
#include "foundation/testtimes.h"
#include "ui/toastmessage.h"
#include "upgrade/browserwindow.h"
#include "upgrade/upgradedialog.h"
#include "upgrade/upgradehelper.h"
#include "upgrade/upgradeprompt.h"

#include <QAction>

namespace {
constexpr int kToastMs = 3000;
constexpr int kDialogTimerMs = 1000;

KELUpgradeHelper* upgradeHelper()
{
    return KELS::Singleton<KELUpgradeHelper>::instance();
}
} // namespace

void MainWindow::setupUpgrade()
{
    browserWindow = new KELBrowserWindow(this);
    upgradeDialogTimer->setInterval(KELTestTimes::scaled(kDialogTimerMs));
    connect(upgradeDialogTimer, &QTimer::timeout, this, &MainWindow::onUpgradeDialogTimer);

    KELUpgradeHelper* upgrade = upgradeHelper();
    connect(upgrade, &KELUpgradeHelper::sigCheckResult, this, &MainWindow::slotUpgradeResult);
    connect(upgrade, &KELUpgradeHelper::sigDownloadProgress, this, &MainWindow::slotDownloadPackageProgress);
    connect(upgrade, &KELUpgradeHelper::sigFinishDownloadPackage, this, &MainWindow::slotFinishDownloadPackage);
    connect(upgrade, &KELUpgradeHelper::sigHashVerifyFailed, this,
            [this] { upgradeToast(tr("安装包校验失败，请重试")); });
    connect(upgrade, &KELUpgradeHelper::sigLaunchInstallerFailed, this,
            [this] { upgradeToast(tr("安装程序启动失败，请重试")); });
    connect(upgrade, &KELUpgradeHelper::sigAdministratorNeeded, this,
            [this] { upgradeToast(tr("需要管理员安装新版本")); });
    connect(upgrade, &KELUpgradeHelper::sigInstallerFailed, this,
            [this] { upgradeToast(tr("新版本安装失败，请联系管理员")); });
    connect(upgrade, &KELUpgradeHelper::sigOfferWithdrawn, this, &MainWindow::onOfferWithdrawn);

    // The scanner is started after the first answer of this check (slotUpgradeResult).
    upgrade->startCheck();
    upgrade->startCheckTimer(KELTestTimes::scaled(KELGlobalConfig::upgradeCheckIntervalMs(
        KELGlobalConfig::instance()->value(QStringLiteral("upgradecheckinterval")))));
}

void MainWindow::slotTrayCheckUpdate()
{
    KLOG->info("user click to check update from tray menu...");
    manualCheck = true;
    upgradeHelper()->startCheck();
}

void MainWindow::slotUpgradeResult(bool succeed, bool has_new_version)
{
    const bool manual = manualCheck;
    manualCheck = false;
    const bool firstHandled = firstResultHandled;

    if (!succeed) {
        if (manual)
            upgradeToast(tr("检查更新失败，请检查网络"));
        KLOG->warn("Check upgrade failed, will retry on next interval");
    } else if (!has_new_version) {
        hasNewVersion = false;
        if (checkUpdateAction)
            checkUpdateAction->setText(tr("检查更新"));
        if (manual)
            upgradeToast(tr("当前已是最新版本"));
    } else {
        hasNewVersion = true;
        if (checkUpdateAction)
            checkUpdateAction->setText(tr("安装新版本 🔴"));
        onNewVersionFound(manual, upgradeHelper()->getIsFirstCheck());
    }

    if (!firstHandled) {
        firstResultHandled = true;
        repaint();
        scheduleDsmStart();
    }
}

void MainWindow::onNewVersionFound(bool manual, bool firstCheck)
{
    KELUpgradeHelper* upgrade = upgradeHelper();
    KELUpgradePrompt::Situation situation;
    situation.force = upgrade->isForceUpgrade();
    situation.manual = manual;
    situation.firstCheck = firstCheck;
    situation.remind = upgrade->shouldRemind();

    const auto decideNow = [this](KELUpgradePrompt::Situation s) {
        using Action = KELUpgradePrompt::Decision::Action;
        s.dialogOpen = !upgradeDialog.isNull();
        s.pending = pendingDialog;
        s.pendingForce = pendingForce;
        const KELUpgradePrompt::Decision decision = KELUpgradePrompt::decide(s);
        if (decision.action == Action::Show) {
            showUpgradeDialog(decision.force);
        } else if (decision.action == Action::Wait) {
            pendingDialog = true;
            pendingForce = decision.force;
            if (!upgradeDialogTimer->isActive())
                upgradeDialogTimer->start();
        }
    };
    situation.dialogOpen = !upgradeDialog.isNull();
    situation.pending = pendingDialog;
    if (KELUpgradePrompt::needsBrowserVisibility(situation)) {
        browserWindow->queryVisible([decideNow, situation](bool visible) mutable {
            situation.browserVisible = visible;
            decideNow(situation);
        });
    } else {
        decideNow(situation);
    }

    // The package is fetched in the background whether or not a dialog is shown.
    if (upgrade->getIsDownloaded()) {
        if (upgradeDialog)
            upgradeDialog->setDownloaded(true);
    } else {
        upgrade->startDownload();
    }
}

void MainWindow::onUpgradeDialogTimer()
{
    if (!pendingDialog || upgradeDialog || visibilityAsked)
        return;
    visibilityAsked = true;
    browserWindow->queryVisible([this](bool visible) {
        visibilityAsked = false;
        if (visible && pendingDialog && !upgradeDialog)
            showUpgradeDialog(pendingForce);
    });
}

void MainWindow::showPendingUpgradeDialog()
{
    if (pendingDialog && !upgradeDialog)
        showUpgradeDialog(pendingForce);
}

void MainWindow::showUpgradeDialog(bool force)
{
    if (upgradeDialog) {
        // Replaced: the shell's window stays disabled for the new dialog.
        upgradeDialog->disconnect(this);
        upgradeDialog->closingForInstall = true;
        upgradeDialog->close();
    }
    // Whoever waited is served now; the timer must not bring another dialog later.
    pendingDialog = false;
    upgradeDialogTimer->stop();

    KELUpgradeHelper* upgrade = upgradeHelper();
    auto* dialog = new KELUpgradeDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setVersion(upgrade->getVersion());
    dialog->setContent(upgrade->getUpgradeContent());
    dialog->setForce(force);
    if (upgrade->getIsDownloaded())
        dialog->setDownloaded(true);
    browserWindow->setEnabled(false);

    connect(dialog, &KELUpgradeDialog::sigConfirmUpgrade, this, [this, dialog] {
        KELUpgradeHelper* helper = upgradeHelper();
        if (helper->getIsDownloaded()) {
            dialog->closingForInstall = true;
            dialog->close();
            helper->launchInstaller();
        } else if (!helper->getIsDownloading()) {
            // An earlier download failed: the user asks for another.
            helper->startDownload();
        }
    });
    connect(dialog, &KELUpgradeDialog::sigSkipUpgrade, this, [] { upgradeHelper()->recordSkip(); });
    connect(dialog, &KELUpgradeDialog::sigQuitApp, this, &MainWindow::slotQuitApp);
    // In the browser window's own context: when the agent ends, the window link may go first.
    connect(dialog, &QObject::destroyed, browserWindow, [shell = browserWindow] {
        shell->setEnabled(true);
        shell->activate();
    });
    upgradeDialog = dialog;
    KLOG->info("Showing upgrade dialog, version: {}, force: {}", KELLog::clipped(upgrade->getVersion()), force);
    dialog->show();
}

void MainWindow::onOfferWithdrawn()
{
    // Nothing is offered any more: no dialog may hold the teacher to it, forced or not.
    hasNewVersion = false;
    pendingDialog = false;
    upgradeDialogTimer->stop();
    if (checkUpdateAction)
        checkUpdateAction->setText(tr("检查更新"));
    if (upgradeDialog) {
        KLOG->info("Upgrade dialog closed: its version is no longer offered");
        upgradeDialog->closingForInstall = true;
        upgradeDialog->close();
    }
}

void MainWindow::slotDownloadPackageProgress(int progress)
{
    if (upgradeDialog)
        upgradeDialog->setProgress(progress);
}

void MainWindow::slotFinishDownloadPackage(int result, QString package_path)
{
    Q_UNUSED(package_path)
    if (!upgradeDialog)
        return;
    if (result == 0) {
        upgradeDialog->setDownloaded(true);
    } else {
        upgradeDialog->setDownloadFailed();
        upgradeToast(tr("安装包下载失败，请检查网络后再试"));
    }
}

void MainWindow::upgradeToast(const QString& text)
{
    KLOG->info("Toast: {}", text);
    showToast(this, text, kToastMs);
}
