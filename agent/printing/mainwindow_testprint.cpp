// The tray's printer checks for staff: the spooler's own test page on the default printer, and
// image files from disk printed with a chosen paper size and feed.
#include "ui/mainwindow.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "printing/customprintdialog.h"
#include "printing/printdownloads.h"
#include "printing/printermgr.h"
#include "printing/printspooler.h"
#include "ui/uiutils.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThreadPool>

#include <memory>

namespace {
// CUPS's test page; its filter (bannertopdf) makes it a one-page PDF for the queue. Both come
// with cups-filters, which the package depends on.
const QString kTestPageFile = QStringLiteral("/usr/share/cups/data/testprint");
const QString kLastPrintFolder = QStringLiteral("lastprintfolder");
} // namespace

void MainWindow::slotPrintTestPage()
{
    KLOG->info("user click to print test page...");
    // Asking the spooler may wait on the print server: not on the GUI thread.
    QThreadPool::globalInstance()->start([this] {
        std::wstring name;
        const bool found = createPlatformPrintSpooler()->defaultPrinter(&name) && !name.empty();
        QMetaObject::invokeMethod(this, [this, found, printer = QString::fromStdWString(name)] {
            if (!found) {
                KLOG->error("failed to get default printer");
                upgradeToast(tr("未找到默认打印机"));
                return;
            }
            KLOG->info("printing test page for: {}", printer);
            auto* lp = new QProcess(this);
            const auto failed = [this, lp](const QString& why) {
                upgradeToast(tr("打印测试页失败，请检查打印机"));
                KLOG->error("test page not printed: {}", why);
                lp->deleteLater();
            };
            connect(lp, &QProcess::errorOccurred, this, [lp, failed](QProcess::ProcessError error) {
                if (error == QProcess::FailedToStart)
                    failed(lp->errorString());
            });
            connect(lp, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
                    [lp, failed](int exitCode, QProcess::ExitStatus status) {
                        if (status != QProcess::NormalExit || exitCode != 0)
                            failed(QString::fromLocal8Bit(lp->readAllStandardError()).trimmed());
                        else
                            lp->deleteLater();
                    });
            // The name is one argument, whatever blanks or quotes it holds.
            lp->start(QStringLiteral("lp"), {QStringLiteral("-d"), printer, QStringLiteral("-t"),
                                             QStringLiteral("Test Page"), kTestPageFile});
        }, Qt::QueuedConnection);
    });
}

void MainWindow::slotCustomPrintTest()
{
    KLOG->info("user click to custom print test...");
    KELCustomPrintDialog dialog(this);
    connect(&dialog, &KELCustomPrintDialog::sigPrint, this, [this, &dialog] {
        if (startCustomPrint(&dialog))
            dialog.accept();
    });
    dialog.exec();
}

bool MainWindow::startCustomPrint(KELCustomPrintDialog* dialog)
{
    KELGlobalConfig* config = KELGlobalConfig::instance();
    // An empty or vanished folder makes the file dialog start in Documents.
    const QStringList files = KELUi::selectFiles(dialog, config->value(kLastPrintFolder));
    if (files.isEmpty())
        return false;
    const QString folder = QFileInfo(files.first()).absolutePath();
    if (QDir(folder).exists())
        config->setValue(kLastPrintFolder, folder);

    const QMap<QString, QString> printConfig = dialog->printConfig();
    // Sequence 0: never one of the web page's tasks, which count from 1.
    const QString uniqueId = QString::number(QDateTime::currentMSecsSinceEpoch()) + QStringLiteral("_0");
    KLOG->info("custom print test. uniqueId={}, printConfig={}, files={}", uniqueId, printConfigText(printConfig),
               KELLog::clipped(files.join(QLatin1Char('|'))));
    KELPrinterMgr* printers = KELPrinterMgr::instance();
    // Told once, when this print ends; a failure in a toast, since no page hears of it.
    auto ended = std::make_shared<QMetaObject::Connection>();
    *ended = connect(printers, &KELPrinterMgr::sigLocalTaskFinished, this,
                     [this, uniqueId, ended](const QString& id, bool success, const QString& message) {
                         if (id != uniqueId)
                             return;
                         disconnect(*ended);
                         if (!success) {
                             upgradeToast(tr("自定义打印测试失败：%1").arg(message));
                             KLOG->error("custom print test failed. uniqueId={}, msg={}", uniqueId, message);
                         }
                     });
    if (!printers->enqueueLocalTask(uniqueId, files, printConfig)) {
        disconnect(*ended);
        KLOG->error("custom print test not started. uniqueId={}", uniqueId);
        upgradeToast(tr("自定义打印测试失败：%1").arg(tr("打印任务未能开始")));
    }
    return true;
}
