// KELPrintTask, one student's print, and the image downloads of a legacy task.
#include "printing/printermgr.h"

#include "foundation/filenames.h"
#include "foundation/logging.h"
#include "printing/printer.h"

#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QMutexLocker>
#include <QThreadPool>
#include <QTimer>

namespace {

constexpr int kMaxParallelDownloads = 10;

QStringList stringsOf(const QJsonArray& array)
{
    QStringList strings;
    for (const QJsonValue& value : array)
        strings.append(value.toString());
    return strings;
}

QByteArray clippedList(const QStringList& list)
{
    return KELLog::clipped(list.join(QLatin1Char('|')));
}

} // namespace

KELPrintTask::KELPrintTask(KELPrinterMgr* manager, const QString& uniqueId, const QJsonObject& data,
                           const HeaderMap& downloadHeaders)
    : uniqueId(uniqueId)
    , imgList(stringsOf(data.value(QStringLiteral("imgList")).toArray()))
    , printConfig(buildPrintConfig(data.value(QStringLiteral("config")).toObject()))
    , downloadHeaders(downloadHeaders)
    , source(Legacy)
    , needDownload(true)
    , studentName(data.value(QStringLiteral("studentName")).toString())
    , studentId(data.value(QStringLiteral("studentId")).toString())
    , remoteKey(data.value(QStringLiteral("remoteKey")).toString())
    , manager(manager)
{
    setAutoDelete(false);
}

KELPrintTask::KELPrintTask(KELPrinterMgr* manager, const QString& uniqueId, const QString& studentName,
                           const QString& studentId, const QString& remoteKey, const QStringList& localFiles,
                           const QMap<QString, QString>& printConfig, const QString& batchStudentKey)
    : uniqueId(uniqueId)
    , localFiles(localFiles)
    , printConfig(printConfig)
    , source(Prepared)
    , needDownload(false)
    , studentName(studentName)
    , studentId(studentId)
    , remoteKey(remoteKey)
    , batchStudentKey(batchStudentKey)
    , manager(manager)
{
    setAutoDelete(false);
}

void KELPrintTask::release()
{
    if (--holders == 0)
        deleteLater();
}

void KELPrintTask::run()
{
    qDebug() << "task start" << uniqueId << "source:" << source;
    const QByteArray name = KELLog::clipped(studentName);
    const QByteArray id = KELLog::clipped(studentId);
    const auto ended = [this] { release(); }; // the last statement of every path: nothing runs after it

    if (needDownload && !downloadImages()) {
        if (dropped) {
            ended();
            return;
        }
        KLOG->error("print error, step download, uniqueId={}, studentName={}, studentId={}, res:{}", uniqueId, name,
                    id, "");
        finish(false, tr("打印出错，请检查网络"));
        ended();
        return;
    }
    if (source == Legacy && !manager->waitForPrintTurn(uniqueId)) {
        KLOG->warn("print task wait turn aborted. uniqueId={}, studentName={}, studentId={}", uniqueId, name, id);
        ended();
        return;
    }
    if (!manager->waitForSubmitTurn(uniqueId)) {
        KLOG->warn("print task wait submit turn aborted. uniqueId={}, studentName={}, studentId={}",
                   KELLog::clipped(uniqueId), name, id);
        ended();
        return;
    }
    QString message;
    const bool ok = printImages(&message);
    manager->releaseSubmitTurn(uniqueId);
    if (!ok)
        finish(false, message);
    ended();
}

bool KELPrintTask::downloadImages()
{
    localFiles.clear();
    const int n = imgList.size();
    if (n == 0)
        return false;
    KLOG->info("Start parallel download, {} files, max concurrency: {}", n, kMaxParallelDownloads);

    // Named by position: two images never share a file, whatever their addresses end in.
    const QString folder = manager->downloadFolder() + KELFileNames::safeFileName(uniqueId) + QLatin1Char('/');
    QDir().mkpath(folder);
    auto group = std::make_shared<ImageDownloadGroup>(n);
    QThreadPool pool;
    pool.setMaxThreadCount(kMaxParallelDownloads);
    for (int i = 0; i < n; ++i)
        pool.start(new DownloadSubTask(manager->downloadSwitch(), imgList.at(i), buildImagePath(folder, i, imgList.at(i)),
                                       downloadHeaders, i, group));
    group->waitForAll();

    for (int i = 0; i < n; ++i) {
        const ImageDownloadGroup::Result result = group->result(i);
        if (!result.ok()) {
            KLOG->error("print download failed. uniqueId={}, studentName={}, studentId={}, imgIndex={}, imgUrl={}, "
                        "ret={}, httpCode={}",
                        uniqueId, KELLog::clipped(studentName), KELLog::clipped(studentId), i,
                        KELLog::clipped(imgList.at(i)), result.code, result.httpCode);
            return false;
        }
        localFiles.append(result.path);
    }
    KLOG->info("All {} files downloaded successfully", n);
    return true;
}

bool KELPrintTask::printImages(QString* message)
{
    waitingForPrint = false;
    finished = false;
    dropPrintConnections();
    CPrinter& printer = manager->printer();
    const QByteArray name = KELLog::clipped(studentName);
    const QByteArray id = KELLog::clipped(studentId);

    if (!printer.selectPrinter(QString())) {
        dropPrintConnections();
        waitingForPrint = false;
        KLOG->error("No available printer. uniqueId={}, studentName={}, studentId={}", KELLog::clipped(uniqueId), name,
                    id);
        *message = tr("打印出错，请先连接打印机");
        return false;
    }
    if (!printer.configPrinter(printConfig)) {
        dropPrintConnections();
        waitingForPrint = false;
        KLOG->error("config printer error. uniqueId={}, studentName={}, studentId={}, printConfig={}",
                    KELLog::clipped(uniqueId), name, id, printConfigText(printConfig));
        *message = tr("打印出错，请检查打印机状态");
        return false;
    }

    {
        QMutexLocker locker(&connectionsMutex);
        if (source == Prepared)
            printConnections.append(connect(&printer, &CPrinter::sigPrintJobFinished, this,
                                            &KELPrintTask::slotTrackedFinish));
        else
            printConnections.append(connect(&printer, &CPrinter::sigPrintFinish, this, &KELPrintTask::slotLegacyFinish));
        // A job the printer cancels, aborts or cannot print (stopped, offline) did not print.
        printConnections.append(connect(&printer, &CPrinter::sigPrintJobFailed, this, &KELPrintTask::slotJobFailed));
    }

    // Before the job exists, so that its finish cannot come unheard.
    waitingForPrint = true;
    if (!printer.print(uniqueId, localFiles, source == Legacy, studentName, studentId)) {
        dropPrintConnections();
        waitingForPrint = false;
        KLOG->error("error during the printing process. uniqueId={}, studentName={}, studentId={}, filePaths={}, "
                    "msg={}",
                    KELLog::clipped(uniqueId), name, id, clippedList(localFiles), *message);
        *message = tr("打印出错，请检查打印机状态");
        return false;
    }

    const bool canonIrAdv = printer.isCanonIrAdv();
    const int timeoutMs = manager->printTimeoutMs(canonIrAdv);
    KLOG->info("wait print finish by {} signal. uniqueId={}, studentName={}, studentId={}, printerName={}, jobId={}, "
               "isCanonIrAdv={}, timeoutMs={}",
               source == Prepared ? "tracked-job" : "legacy", KELLog::clipped(uniqueId), name, id,
               printer.printerName(), printer.jobId(), canonIrAdv, timeoutMs);
    QMetaObject::invokeMethod(
        this, [this, timeoutMs] { startTimeout(timeoutMs); }, Qt::QueuedConnection);
    return true;
}

void KELPrintTask::startTimeout(int timeoutMs)
{
    if (finished)
        return;
    // A child of the task: it goes with the task and never fires for a task that has gone.
    timeoutTimer = new QTimer(this);
    timeoutTimer->setSingleShot(true);
    connect(timeoutTimer, &QTimer::timeout, this, &KELPrintTask::slotTimeout);
    timeoutTimer->start(timeoutMs);
}

void KELPrintTask::dropPrintConnections()
{
    QMutexLocker locker(&connectionsMutex);
    for (const QMetaObject::Connection& connection : qAsConst(printConnections))
        disconnect(connection);
    printConnections.clear();
}

// Ends the wait for the printer; only the first of the finish, the failure and the time-out counts.
void KELPrintTask::endWait(bool success, const QString& message)
{
    finished = true;
    if (timeoutTimer)
        timeoutTimer->stop();
    dropPrintConnections();
    waitingForPrint = false;
    finish(success, message);
}

void KELPrintTask::slotLegacyFinish()
{
    if (!waitingForPrint || finished)
        return;
    KLOG->info("print task finish by legacy signal. uniqueId={}, studentName={}, studentId={}", uniqueId,
               KELLog::clipped(studentName), KELLog::clipped(studentId));
    endWait(true, QString());
}

void KELPrintTask::slotTrackedFinish(QString finishedId)
{
    if (!waitingForPrint || finished || finishedId != uniqueId)
        return;
    KLOG->info("print task finish by tracked job signal. uniqueId={}, studentName={}, studentId={}",
               KELLog::clipped(uniqueId), KELLog::clipped(studentName), KELLog::clipped(studentId));
    endWait(true, QString());
}

void KELPrintTask::slotJobFailed(QString failedId, QString message)
{
    if (!waitingForPrint || finished || failedId != uniqueId)
        return;
    KLOG->error("print task failed at the printer. uniqueId={}, studentName={}, studentId={}, msg={}",
                KELLog::clipped(uniqueId), KELLog::clipped(studentName), KELLog::clipped(studentId), message);
    endWait(false, message);
}

void KELPrintTask::slotTimeout()
{
    if (!waitingForPrint || finished)
        return;
    finished = true;
    manager->printer().removeTrackedPrintJob(uniqueId);
    KLOG->info("print task timeout error, please check printer status. uniqueId={}, studentName={}, studentId={}",
               KELLog::clipped(uniqueId), KELLog::clipped(studentName), KELLog::clipped(studentId));
    endWait(false, tr("打印超时，请检查打印机状态"));
}

void KELPrintTask::finish(bool success, const QString& message)
{
    QMetaObject::invokeMethod(manager, "slotTaskPrintFinished", Qt::QueuedConnection, Q_ARG(QString, uniqueId),
                              Q_ARG(bool, success), Q_ARG(QString, message));
}

DownloadSubTask::DownloadSubTask(PrintDownloadSwitch& downloads, QString url, QString localPath,
                                 HeaderMap downloadHeaders, int index, std::shared_ptr<ImageDownloadGroup> group)
    : url(std::move(url))
    , localPath(std::move(localPath))
    , downloadHeaders(std::move(downloadHeaders))
    , index(index)
    , downloads(downloads)
    , group(std::move(group))
{
    setAutoDelete(true);
}

void DownloadSubTask::run()
{
    const ImageDownloadGroup::Result result = ImageDownloadGroup::fetch(downloads, url, localPath, downloadHeaders);
    if (result.ok())
        KLOG->info("Parallel download [{}] finished: {}", index, localPath);
    else
        KLOG->error("Parallel download [{}] failed: url={}, filePath={}, ret={}, httpCode={}, curlErr={}", index,
                    KELLog::clipped(url), localPath, result.code, result.httpCode, result.curlError);
    group->complete(index, result);
}
