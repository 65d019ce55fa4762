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

namespace {
// CUPS's test page; its filter (bannertopdf) makes it a one-page PDF for the queue.
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
            // The name is one argument, whatever blanks or quotes it holds.
            QProcess::startDetached(QStringLiteral("lp"), {QStringLiteral("-d"), printer, QStringLiteral("-t"),
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
    if (!KELPrinterMgr::instance()->enqueueLocalTask(uniqueId, files, printConfig))
        KLOG->error("custom print test not started. uniqueId={}", uniqueId);
    return true;
}
