// KELPrintTask, one student's print, and the image downloads of a legacy task.
#include "printing/printermgr.h"

#include "foundation/filenames.h"
#include "foundation/logging.h"
#include "printing/printer.h"

#include <QDebug>
#include <QDir>
#include <QMutexLocker>

namespace {

constexpr int kMaxParallelDownloads = 10;

QByteArray clippedList(const QStringList& list)
{
    return KELLog::clipped(list.join(QLatin1Char('|')));
}

} // namespace

KELPrintTask::KELPrintTask(KELPrinterMgr* manager, const QString& uniqueId, const PrintStudent& student)
    : PrintStudent(student)
    , uniqueId(uniqueId)
    , source(Legacy)
    , needDownload(true)
    , manager(manager)
{
    setAutoDelete(false);
}

KELPrintTask::KELPrintTask(KELPrinterMgr* manager, const QString& uniqueId, const QString& studentName,
                           const QString& studentId, const QString& remoteKey, const QStringList& localFiles,
                           const QMap<QString, QString>& printConfig, const QString& batchStudentKey)
    : uniqueId(uniqueId)
    , source(Prepared)
    , needDownload(false)
    , batchStudentKey(batchStudentKey)
    , manager(manager)
{
    this->studentName = studentName;
    this->studentId = studentId;
    this->remoteKey = remoteKey;
    this->localFiles = localFiles;
    this->printConfig = printConfig;
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

    QString message;
    if (needDownload && !downloadImages(&message)) {
        // A dropped or stopped task has been reported (or is not to be) already.
        if (dropped || cancelReported) {
            ended();
            return;
        }
        KLOG->error("print error, step download, uniqueId={}, studentName={}, studentId={}, res:{}", uniqueId, name,
                    id, KELLog::clipped(failedImage));
        finish(false, message);
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
    const bool ok = printImages(&message);
    manager->releaseSubmitTurn(uniqueId);
    if (ok) {
        // Stopped while the job was on its way: it is taken back now that it is tracked.
        if (cancelRequested)
            manager->printer().cancelTrackedJob(uniqueId);
    } else if (!dropped && !cancelReported) {
        finish(false, message);
    }
    ended();
}

bool KELPrintTask::downloadImages(QString* message)
{
    localFiles.clear();
    const int n = imgList.size();
    *message = downloadProblemText(DownloadProblem::Network);
    if (n == 0)
        return false;
    KLOG->info("Start parallel download, {} files, max concurrency: {}", n, kMaxParallelDownloads);

    // Named by position: two images never share a file, whatever their addresses end in.
    const QString folder = manager->downloadFolder() + KELFileNames::safeFileName(uniqueId) + QLatin1Char('/');
    QDir().mkpath(folder);
    std::shared_ptr<StudentDownload> images = manager->imageDownloads().create(imgList, folder, kMaxParallelDownloads);
    if (!images)
        return false;
    {
        QMutexLocker locker(&downloadMutex);
        download = images;
    }
    if (cancelRequested)
        images->cancel();

    StudentDownload::ImageLog log;
    log.ended = [](int index, const QString& url, const ImageResult& result) {
        if (result.ok())
            KLOG->info("Parallel download [{}] finished: {}", index, result.path);
        else
            KLOG->error("Parallel download [{}] failed: url={}, ret={}, httpCode={}, curlErr={}", index,
                        KELLog::clipped(url), result.code, result.httpCode, result.curlError);
    };
    const StudentDownload::Outcome outcome = images->run(log);
    if (!outcome.ok) {
        const ImageResult& result = outcome.failed;
        failedImage = imgList.at(outcome.failedIndex);
        *message = downloadProblemText(result.problem);
        KLOG->error("print download failed. uniqueId={}, studentName={}, studentId={}, imgIndex={}, imgUrl={}, "
                    "ret={}, httpCode={}, problem={}",
                    uniqueId, KELLog::clipped(studentName), KELLog::clipped(studentId), outcome.failedIndex,
                    KELLog::clipped(failedImage), result.code, result.httpCode, int(result.problem));
        return false;
    }
    localFiles = outcome.files;
    KLOG->info("All {} files downloaded successfully", n);
    return true;
}

void KELPrintTask::cancelDownload()
{
    QMutexLocker locker(&downloadMutex);
    if (download)
        download->cancel();
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
        printConnections.append(
            connect(&printer, &CPrinter::sigPrintJobFinished, this, &KELPrintTask::slotTrackedFinish));
        // A job the printer cancels, aborts or cannot print, or that was given up, did not print.
        printConnections.append(connect(&printer, &CPrinter::sigPrintJobFailed, this, &KELPrintTask::slotJobFailed));
        printConnections.append(connect(&printer, &CPrinter::sigPrintJobWaiting, this, &KELPrintTask::slotJobWaiting));
    }

    // Before the job exists, so that its finish cannot come unheard; and not at all once the
    // agent quits or the page stopped the task meanwhile.
    if (!manager->beginSubmit(this)) {
        dropPrintConnections();
        KLOG->warn("print task not submitted, stopped before its job was sent. uniqueId={}, studentName={}, "
                   "studentId={}",
                   KELLog::clipped(uniqueId), name, id);
        *message = downloadProblemText(DownloadProblem::Cancelled);
        return false;
    }
    if (!printer.print(uniqueId, localFiles, source == Legacy, studentName, studentId)) {
        dropPrintConnections();
        waitingForPrint = false;
        KLOG->error("error during the printing process. uniqueId={}, studentName={}, studentId={}, filePaths={}, "
                    "msg={}",
                    KELLog::clipped(uniqueId), name, id, clippedList(localFiles), *message);
        *message = tr("打印出错，请检查打印机状态");
        return false;
    }

    const PrintWaitPolicy policy = printer.waitPolicy();
    KLOG->info("wait print finish by {} signal. uniqueId={}, studentName={}, studentId={}, printerName={}, jobId={}, "
               "isCanonIrAdv={}, noticeMs={}, giveUpMs={}",
               source == Prepared ? "tracked-job" : "legacy", KELLog::clipped(uniqueId), name, id,
               printer.printerName(), printer.jobId(), printer.isCanonIrAdv(),
               printer.isCanonIrAdv() ? policy.canonIrAdvNoticeMs : policy.noticeMs, policy.giveUpMs);
    return true;
}

void KELPrintTask::dropPrintConnections()
{
    QMutexLocker locker(&connectionsMutex);
    for (const QMetaObject::Connection& connection : qAsConst(printConnections))
        disconnect(connection);
    printConnections.clear();
}

// Ends the wait for the printer; only the first of the finish and the failure counts.
void KELPrintTask::endWait(bool success, const QString& message)
{
    finished = true;
    dropPrintConnections();
    waitingForPrint = false;
    finish(success, message);
}

void KELPrintTask::slotTrackedFinish(QString finishedId)
{
    if (!waitingForPrint || finished || finishedId != uniqueId)
        return;
    KLOG->info("print task finish by {} signal. uniqueId={}, studentName={}, studentId={}",
               source == Prepared ? "tracked job" : "legacy", KELLog::clipped(uniqueId), KELLog::clipped(studentName),
               KELLog::clipped(studentId));
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

void KELPrintTask::slotJobWaiting(QString waitingId, QString printerName, QString reason, QString text)
{
    if (!waitingForPrint || finished || waitingId != uniqueId)
        return;
    QMetaObject::invokeMethod(manager, "slotTaskWaiting", Qt::QueuedConnection, Q_ARG(QString, uniqueId),
                              Q_ARG(QString, reason), Q_ARG(QString, printerName), Q_ARG(QString, text));
}

void KELPrintTask::finish(bool success, const QString& message)
{
    QMetaObject::invokeMethod(manager, "slotTaskPrintFinished", Qt::QueuedConnection, Q_ARG(QString, uniqueId),
                              Q_ARG(bool, success), Q_ARG(QString, message));
}
