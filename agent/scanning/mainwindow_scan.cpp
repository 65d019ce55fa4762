// MainWindow's scan code: batch numbering and starting a scan.
#include "ui/mainwindow.h"

#include "foundation/logging.h"

#include <QDateTime>

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
    KLOG->info("innerStartScan: paper_version_={}, will set duplex to {}", paperVersion,
               paperVersion == 1 ? "single" : "double");
    // Presets and enabling the source arrive with the scan orchestration.
    KLOG->warn("innerStartScan: scanning is not available yet, batch {} not started", batchNo);
    return 1;
}

// The session's hooks. Until the transfer loop exists an image is only logged and released
// (the session frees a native image itself; memory blocks live in its buffer).
void MainWindow::OnError(const TW_STATUS& status)
{
    KLOG->error("Scanner transfer failed, condition code {}", ConditionCodeName(status.ConditionCode));
}

void MainWindow::OnNativeTransfer(TW_UINT16 result, TW_HANDLE* dib, bool* freeImage)
{
    Q_UNUSED(dib)
    Q_UNUSED(freeImage)
    KLOG->info("Native image transferred: {}", ReturnCodeName(result));
}

void MainWindow::OnMemoryTransfer(const TW_IMAGEINFO& info, const TW_IMAGEMEMXFER& block, TW_UINT16* result)
{
    Q_UNUSED(info)
    Q_UNUSED(block)
    Q_UNUSED(result)
}

void MainWindow::OnFileTransfer(TW_UINT16 result, const TW_SETUPFILEXFER& setup)
{
    KLOG->info("Image file transferred: {} {}", ReturnCodeName(result), setup.FileName);
}

void MainWindow::OnMemFileTransfer(const TW_IMAGEMEMXFER& block, TW_UINT16* result)
{
    Q_UNUSED(block)
    Q_UNUSED(result)
}
