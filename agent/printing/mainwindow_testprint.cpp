// The tray's printer checks for staff: the spooler's own test page on the default printer.
#include "ui/mainwindow.h"

#include "foundation/logging.h"
#include "printing/printspooler.h"

#include <QProcess>
#include <QThreadPool>

namespace {
// CUPS's test page; its filter (bannertopdf) makes it a one-page PDF for the queue.
const QString kTestPageFile = QStringLiteral("/usr/share/cups/data/testprint");
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
