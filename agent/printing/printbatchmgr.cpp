#include "printing/printbatchmgr.h"

#include "command/velloxserver.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/singleton.h"
#include "printing/printermgr.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QThread>

namespace {

constexpr int kDownloadWindow = 10;       // students downloaded ahead of their print
constexpr int kImageConcurrency = 3;      // images of one student at a time
constexpr int kMkpathAttempts = 3;
constexpr int kMkpathRetryPauseMs = 50;
constexpr int kQuitWaitMs = 5000;

using Lock = std::lock_guard<std::recursive_mutex>;

QByteArray jsonList(const QStringList& list)
{
    return KELLog::clipped(QJsonDocument(QJsonArray::fromStringList(list)).toJson(QJsonDocument::Compact));
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString timeId()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmsszzz"));
}

} // namespace

KELPrintBatchMgr* KELPrintBatchMgr::instance()
{
    return KELS::Singleton<KELPrintBatchMgr>::instance();
}

KELPrintBatchMgr::KELPrintBatchMgr()
    : KELPrintBatchMgr(KELPrinterMgr::instance(), KELGlobalConfig::instance()->downloadFolder(),
                       [](const QString& connectionKey, const QString& cmd, const QString& reqId, int ret,
                          const QJsonObject& data, const QString& msg) {
                           KELVelloxServer::instance()->replyTo(connectionKey.toStdString(), cmd, reqId, ret, data,
                                                                msg);
                       })
{
}

KELPrintBatchMgr::KELPrintBatchMgr(KELPrinterMgr* printerMgr, const QString& downloadFolder, EventSender sender,
                                   QObject* parent)
    : QObject(parent)
    , printerMgr(printerMgr)
    , downloads(downloadFolder)
    , sendEvent(std::move(sender))
{
    downloadPool.setMaxThreadCount(kDownloadWindow);
}

KELPrintBatchMgr::~KELPrintBatchMgr()
{
    stopAll();
    downloadPool.waitForDone();
}

int KELPrintBatchMgr::batchCount() const
{
    Lock guard(lock);
    return batches.size();
}

void KELPrintBatchMgr::setDownloadTokenParam(std::map<QString, QString> items)
{
    KLOG->info("set printBatch request download token param, items count: {}", items.size());
    Lock guard(lock);
    setCookieHeader(downloadHeaders, items);
}

void KELPrintBatchMgr::createBatch(QString connectionKey, QString reqId, QJsonArray students)
{
    Lock guard(lock);
    if (stopped)
        return;
    ++batchCounter;
    auto batch = std::make_shared<BatchTaskInfo>();
    batch->batchId = QStringLiteral("printBatch_%1_%2").arg(timeId()).arg(batchCounter);
    batch->connectionKey = connectionKey;
    batch->reqId = reqId;
    batch->studentCount = students.size();
    batch->createdMs = nowMs();
    KLOG->info("printBatch create batch. batch_id={}, reqId={}, remote_key={}, studentCount={}", batch->batchId,
               KELLog::clipped(reqId), connectionKey, batch->studentCount);

    for (int i = 0; i < students.size(); ++i) {
        const QJsonObject item = students.at(i).toObject();
        auto student = std::make_shared<StudentTaskInfo>();
        student->orderIndex = i;
        student->batchId = batch->batchId;
        student->connectionKey = connectionKey;
        student->remoteKey = connectionKey;
        student->studentId = item.value(QStringLiteral("studentId")).toString();
        student->studentName = item.value(QStringLiteral("studentName")).toString();
        student->config = item.value(QStringLiteral("config")).toObject();
        student->printConfig = buildPrintConfig(student->config);
        for (const QJsonValue& url : item.value(QStringLiteral("imgList")).toArray())
            student->imgList.append(url.toString());
        // The student id comes from the page: it must not lead out of the batch's folder.
        student->downloadDir = QDir(downloads).filePath(
            QStringLiteral("print_batch/%1/%2_%3").arg(batch->batchId, safeNamePiece(student->studentId)).arg(i));
        student->studentKey = QStringLiteral("%1_%2_%3").arg(batch->batchId, student->studentId).arg(i);
        batch->studentKeys.push_back(student->studentKey);
        this->students.insert(student->studentKey, student);
        printQueue.enqueue(student->studentKey);
        KLOG->info("printBatch enqueue student. batch_id={}, orderIndex={}, studentId={}, studentName={}, imgList={}",
                   batch->batchId, i, KELLog::clipped(student->studentId), KELLog::clipped(student->studentName),
                   jsonList(student->imgList));
    }
    batches.insert(batch->batchId, batch);
    KLOG->info("printBatch batch ready. batch_id={}, printQueueSize={}, activeBatchCount={}", batch->batchId,
               printQueue.size(), batches.size());
    fillDownloadWindow(batch);
}

void KELPrintBatchMgr::fillDownloadWindow(const Batch& batch)
{
    if (batch->stopped)
        return;
    while (batch->activeWindowCount < kDownloadWindow
           && batch->nextDownloadIndex < int(batch->studentKeys.size())) {
        const QString key = batch->studentKeys.at(size_t(batch->nextDownloadIndex));
        ++batch->nextDownloadIndex;
        const Student student = students.value(key);
        if (student && !student->finished && !student->downloadStarted) {
            ++batch->activeWindowCount;
            startStudentDownload(batch, student);
        }
    }
}

void KELPrintBatchMgr::startStudentDownload(const Batch& batch, const Student& student)
{
    if (student->finished || student->downloadStarted)
        return;
    student->downloadStarted = true;
    student->inWindow = true;
    student->downloadStartMs = nowMs();
    KLOG->info("printBatch start download task. batch_id={}, orderIndex={}, activeWindowCount={}, "
               "nextDownloadIndex={}, studentId={}, studentName={}, imgList={}",
               batch->batchId, student->orderIndex, batch->activeWindowCount, batch->nextDownloadIndex,
               KELLog::clipped(student->studentId), KELLog::clipped(student->studentName), jsonList(student->imgList));
    downloadPool.start(new KELPrintBatchTask(this, *student, downloadHeaders));
}

void KELPrintBatchMgr::slotStudentDownloadFinished(QString student_key, bool success, QStringList local_files,
                                                   QString message)
{
    Lock guard(lock);
    const CallbackTarget target = callbackTarget("download", student_key);
    if (!target.batch)
        return;
    const Student& student = target.student;
    const Batch& batch = target.batch;
    student->downloadDone = true;
    student->downloadSuccess = success;
    student->localFiles = local_files;
    if (!success) {
        if (!batch->stopped)
            stopBatchOnFailure(batch, student_key, message);
        notifyStudentFinished(student, false, message);
        finalizePendingStudents(batch, student_key, message);
    }
    KLOG->info("printBatch download callback. batch_id={}, studentId={}, studentName={}, imgList={}, success={}, "
               "localFiles={}, msg={}",
               batch->batchId, KELLog::clipped(student->studentId), KELLog::clipped(student->studentName),
               jsonList(student->imgList), success, jsonList(local_files), message);
    // After a failure too: another batch whose students are ready may print now.
    dispatchPrintOrder();
}

KELPrintBatchMgr::CallbackTarget KELPrintBatchMgr::callbackTarget(const char* callback, const QString& studentKey) const
{
    CallbackTarget target;
    target.student = students.value(studentKey);
    if (!target.student) {
        KLOG->warn("printBatch {} callback ignored, student not found. studentKey={}", callback,
                   KELLog::clipped(studentKey));
        return target;
    }
    const StudentTaskInfo& student = *target.student;
    if (student.finished) {
        KLOG->warn("printBatch {} callback ignored, student already finished. batch_id={}, studentKey={}, "
                   "studentId={}, studentName={}",
                   callback, student.batchId, KELLog::clipped(studentKey), KELLog::clipped(student.studentId),
                   KELLog::clipped(student.studentName));
        return target;
    }
    target.batch = batches.value(student.batchId);
    if (!target.batch)
        KLOG->warn("printBatch {} callback ignored, batch not found. batch_id={}, studentKey={}", callback,
                   student.batchId, KELLog::clipped(studentKey));
    return target;
}

void KELPrintBatchMgr::dispatchPrintOrder()
{
    while (!printQueue.isEmpty()) {
        const QString key = printQueue.head();
        const Student student = students.value(key);
        const Batch batch = student ? batches.value(student->batchId) : Batch();
        if (!student || !batch || student->finished) {
            printQueue.dequeue();
            continue;
        }
        const QByteArray id = KELLog::clipped(student->studentId);
        const QByteArray name = KELLog::clipped(student->studentName);
        if (student->printQueued) {
            KLOG->info("printBatch wait current student print finish. batch_id={}, orderIndex={}, studentId={}, "
                       "studentName={}",
                       batch->batchId, student->orderIndex, id, name);
            return;
        }
        if (!student->downloadDone) {
            KLOG->info("printBatch print order blocked. batch_id={}, orderIndex={}, studentId={}, studentName={}, "
                       "reason=download_not_finished",
                       batch->batchId, student->orderIndex, id, name);
            return;
        }
        if (!student->downloadSuccess) {
            KLOG->warn("printBatch print order blocked by failed student. batch_id={}, orderIndex={}, studentId={}, "
                       "studentName={}",
                       batch->batchId, student->orderIndex, id, name);
            return;
        }
        if (batch->stopped) {
            KLOG->warn("printBatch print order stopped by batch failure. batch_id={}, orderIndex={}, studentId={}, "
                       "studentName={}, stopMsg={}",
                       batch->batchId, student->orderIndex, id, name, batch->stopMsg);
            return;
        }
        student->printQueued = true;
        student->printStartMs = nowMs();
        KLOG->info("printBatch enqueue print task. batch_id={}, queueSize={}, orderIndex={}, studentId={}, "
                   "studentName={}, imgList={}, localFiles={}",
                   batch->batchId, printQueue.size(), student->orderIndex, id, name, jsonList(student->imgList),
                   jsonList(student->localFiles));
        if (printerMgr->enqueuePreparedTask(student->studentKey, student->studentName, student->studentId,
                                            student->remoteKey, student->localFiles, student->printConfig,
                                            student->studentKey))
            return;
        student->printQueued = false;
        KLOG->error("printBatch enqueue prepared print failed. batch_id={}, orderIndex={}, studentId={}, "
                    "studentName={}, imgList={}",
                    batch->batchId, student->orderIndex, id, name, jsonList(student->imgList));
        const QString message = tr("打印出错，请检查打印机状态");
        stopBatchOnFailure(batch, student->studentKey, message);
        notifyStudentFinished(student, false, message);
        finalizePendingStudents(batch, student->studentKey, message);
        // The batch is done; the next batch's front student may go.
    }
}

void KELPrintBatchMgr::slotStudentPrintFinished(QString student_key, bool success, QString message)
{
    Lock guard(lock);
    const CallbackTarget target = callbackTarget("print", student_key);
    if (!target.batch) {
        if (!target.student)
            dispatchPrintOrder(); // whatever it was, the queue may move on
        return;
    }
    const Student& student = target.student;
    const Batch& batch = target.batch;
    student->printQueued = false;
    if (!success && !batch->stopped)
        stopBatchOnFailure(batch, student_key, message);
    notifyStudentFinished(student, success, message);
    KLOG->info("printBatch print callback. batch_id={}, studentId={}, studentName={}, imgList={}, success={}, msg={}",
               batch->batchId, KELLog::clipped(student->studentId), KELLog::clipped(student->studentName),
               jsonList(student->imgList), success, message);
    if (!success)
        finalizePendingStudents(batch, student_key, message);
    else if (!batch->stopped)
        fillDownloadWindow(batch);
    // After every end: the next student, of this batch or the next one, may print.
    dispatchPrintOrder();
}

void KELPrintBatchMgr::stopBatchOnFailure(const Batch& batch, const QString& studentKey, const QString& message)
{
    batch->stopped = true;
    batch->stopMsg = message;
    const Student student = students.value(studentKey);
    KLOG->warn("printBatch stop batch on failure. batch_id={}, failedStudentKey={}, orderIndex={}, studentId={}, "
               "studentName={}, stopMsg={}, nextDownloadIndex={}, activeWindowCount={}",
               batch->batchId, KELLog::clipped(studentKey), student ? student->orderIndex : -1,
               student ? KELLog::clipped(student->studentId) : QByteArray(),
               student ? KELLog::clipped(student->studentName) : QByteArray(), message, batch->nextDownloadIndex,
               batch->activeWindowCount);
}

void KELPrintBatchMgr::finalizePendingStudents(const Batch& batch, const QString& failedKey, const QString& message)
{
    // Copied: the last student's end removes the batch's students.
    const std::vector<QString> keys = batch->studentKeys;
    for (const QString& key : keys) {
        if (key == failedKey)
            continue;
        const Student student = students.value(key);
        if (!student || student->finished || student->printQueued)
            continue;
        KLOG->warn("printBatch finalize pending student after batch stop. batch_id={}, orderIndex={}, studentId={}, "
                   "studentName={}, msg={}",
                   batch->batchId, student->orderIndex, KELLog::clipped(student->studentId),
                   KELLog::clipped(student->studentName), message);
        notifyStudentFinished(student, false, message);
    }
}

void KELPrintBatchMgr::notifyStudentFinished(const Student& student, bool success, const QString& message)
{
    student->finished = true;
    student->success = success;
    student->message = message;
    const Batch batch = batches.value(student->batchId);
    const QByteArray id = KELLog::clipped(student->studentId);
    const QByteArray name = KELLog::clipped(student->studentName);
    if (!batch) {
        KLOG->warn("printBatch finalize student without batch. {}",
                   QStringLiteral("batch_id=%1, studentId=%2, studentName=%3, imgList=%4")
                       .arg(student->batchId, QString::fromUtf8(id), QString::fromUtf8(name),
                            QString::fromUtf8(jsonList(student->imgList))));
        return;
    }
    if (student->inWindow) {
        student->inWindow = false;
        if (batch->activeWindowCount > 0)
            --batch->activeWindowCount;
    }
    ++batch->finishedCount;
    if (success) {
        ++batch->successCount;
        KLOG->info("printBatch notify success. batch_id={}, studentId={}, studentName={}, imgList={}, remote_key={}, "
                   "msg={}",
                   batch->batchId, id, name, jsonList(student->imgList), student->remoteKey, message);
        sendBatchEvent(batch->connectionKey, QStringLiteral("print-end"), 200,
                       QJsonObject {{QStringLiteral("studentName"), student->studentName},
                                    {QStringLiteral("studentId"), student->studentId},
                                    {QStringLiteral("remote_key"), student->remoteKey}},
                       student->studentName + QStringLiteral(" print end"));
    } else {
        ++batch->failureCount;
        KLOG->warn("printBatch notify failure. batch_id={}, studentId={}, studentName={}, imgList={}, msg={}",
                   batch->batchId, id, name, jsonList(student->imgList), message);
        sendBatchEvent(batch->connectionKey, QStringLiteral("error"), 400,
                       QJsonObject {{QStringLiteral("errorType"), QStringLiteral("print-error")},
                                    {QStringLiteral("studentName"), student->studentName},
                                    {QStringLiteral("studentId"), student->studentId}},
                       message);
    }
    checkBatchFinished(batch);
}

void KELPrintBatchMgr::sendBatchEvent(const QString& connectionKey, const QString& cmd, int code,
                                      const QJsonObject& data, const QString& message)
{
    sendEvent(connectionKey, cmd, timeId(), code, data, message);
}

void KELPrintBatchMgr::checkBatchFinished(const Batch& batch)
{
    if (batch->finishedCount != batch->studentCount)
        return;
    KLOG->info("printBatch batch finish. batch_id={}, remote_key={}, total={}, success={}, failure={}, costMs={}",
               batch->batchId, batch->connectionKey, batch->studentCount, batch->successCount, batch->failureCount,
               nowMs() - batch->createdMs);
    for (const QString& key : batch->studentKeys) {
        const Student student = students.value(key);
        if (student && !student->success)
            KLOG->warn("printBatch batch failure student. batch_id={}, studentId={}, studentName={}, imgList={}, "
                       "msg={}",
                       batch->batchId, KELLog::clipped(student->studentId), KELLog::clipped(student->studentName),
                       jsonList(student->imgList), student->message);
        students.remove(key);
    }
    batches.remove(batch->batchId);
}

void KELPrintBatchMgr::stopAll()
{
    {
        Lock guard(lock);
        if (!stopped)
            KLOG->info("print batch manager stops. batches={}, students={}", batches.size(), students.size());
        stopped = true;
        downloadsInFlight.abandonAll();
        for (const Batch& batch : qAsConst(batches))
            batch->stopped = true;
        batches.clear();
        students.clear();
        printQueue.clear();
    }
    // The abandoned downloads end within a second; the process must not end under them.
    downloadPool.waitForDone(kQuitWaitMs);
}

KELPrintBatchTask::KELPrintBatchTask(KELPrintBatchMgr* manager, const StudentTaskInfo& student,
                                     const HeaderMap& downloadHeaders)
    : manager(manager)
    , studentKey(student.studentKey)
    , batchId(student.batchId)
    , studentId(student.studentId)
    , studentName(student.studentName)
    , imgList(student.imgList)
    , downloadDir(student.downloadDir)
    , downloadHeaders(downloadHeaders)
{
    setAutoDelete(true);
}

void KELPrintBatchTask::run()
{
    QElapsedTimer clock;
    clock.start();
    const QByteArray id = KELLog::clipped(studentId);
    const QByteArray name = KELLog::clipped(studentName);
    KLOG->info("printBatch download start. batch_id={}, studentId={}, studentName={}, imgList={}, "
               "imageConcurrency={}, imageTimeoutSec={}",
               batchId, id, name, jsonList(imgList), kImageConcurrency, kPrintDownloadTimeoutSec);

    bool success = false;
    QStringList files;
    QString message;
    bool folderReady = false;
    for (int attempt = 1; attempt <= kMkpathAttempts && !folderReady; ++attempt) {
        folderReady = QDir().mkpath(downloadDir) && QFileInfo(downloadDir).isDir();
        if (!folderReady && attempt < kMkpathAttempts) {
            KLOG->warn("printBatch mkpath retry. batch_id={}, studentId={}, studentName={}, downloadDir={}, retry={}",
                       batchId, id, name, downloadDir, attempt);
            QThread::msleep(kMkpathRetryPauseMs);
        }
    }

    if (!folderReady) {
        KLOG->error("printBatch download dir not exist after mkpath retries. batch_id={}, studentId={}, "
                    "studentName={}, downloadDir={}",
                    batchId, id, name, downloadDir);
        message = tr("打印出错，文件写入失败");
    } else {
        const int n = imgList.size();
        auto group = std::make_shared<ImageDownloadGroup>(n);
        if (n > 0) {
            QThreadPool pool;
            pool.setMaxThreadCount(kImageConcurrency);
            for (int i = 0; i < n; ++i)
                pool.start(new BatchImageDownloadTask(manager->downloadSwitch(), batchId, studentId, studentName, i,
                                                      imgList.at(i), buildImagePath(downloadDir, i, imgList.at(i)),
                                                      downloadHeaders, group));
            group->waitForAll();
        }
        success = true;
        for (int i = 0; i < n; ++i) {
            const ImageDownloadGroup::Result result = group->result(i);
            if (!result.ok()) {
                success = false;
                files.clear();
                // A file that cannot be written is the computer's fault; anything else the network's.
                const bool writeFailed = result.code == -1 || result.code == -4;
                message = writeFailed ? tr("打印出错，文件写入失败") : tr("打印出错，请检查网络");
                KLOG->error("printBatch download image aggregate failed. batch_id={}, studentId={}, studentName={}, "
                            "imgIndex={}, imgUrl={}, filePath={}, ret={}, httpCode={}, curlErr={}",
                            batchId, id, name, i, KELLog::clipped(imgList.at(i)),
                            buildImagePath(downloadDir, i, imgList.at(i)), result.code, result.httpCode,
                            result.curlError);
                break;
            }
            files.append(result.path);
        }
        if (success)
            KLOG->info("printBatch download finish. batch_id={}, studentId={}, studentName={}, imgList={}, "
                       "localFiles={}, costMs={}",
                       batchId, id, name, jsonList(imgList), jsonList(files), clock.elapsed());
        else
            KLOG->info("printBatch download abort. batch_id={}, studentId={}, studentName={}, imgList={}, costMs={}, "
                       "msg={}",
                       batchId, id, name, jsonList(imgList), clock.elapsed(), message);
    }

    const bool invoked = QMetaObject::invokeMethod(manager, "slotStudentDownloadFinished", Qt::QueuedConnection,
                                                   Q_ARG(QString, studentKey), Q_ARG(bool, success),
                                                   Q_ARG(QStringList, files), Q_ARG(QString, message));
    if (!invoked)
        KLOG->error("printBatch invoke download callback failed. batch_id={}, studentKey={}, studentId={}, "
                    "studentName={}, imgList={}, success={}, localFiles={}, msg={}",
                    batchId, KELLog::clipped(studentKey), id, name, jsonList(imgList), success, jsonList(files),
                    message);
}

BatchImageDownloadTask::BatchImageDownloadTask(PrintDownloadSwitch& downloads, QString batchId, QString studentId,
                                               QString studentName, int index, QString url, QString filePath,
                                               HeaderMap headers, std::shared_ptr<ImageDownloadGroup> group)
    : downloads(downloads)
    , batchId(std::move(batchId))
    , studentId(std::move(studentId))
    , studentName(std::move(studentName))
    , index(index)
    , url(std::move(url))
    , filePath(std::move(filePath))
    , headers(std::move(headers))
    , group(std::move(group))
{
    setAutoDelete(true);
}

void BatchImageDownloadTask::run()
{
    QElapsedTimer clock;
    clock.start();
    const QByteArray id = KELLog::clipped(studentId);
    const QByteArray name = KELLog::clipped(studentName);
    const QByteArray address = KELLog::clipped(url);
    KLOG->info("printBatch download image start. batch_id={}, studentId={}, studentName={}, imgIndex={}, imgUrl={}, "
               "filePath={}",
               batchId, id, name, index, address, filePath);
    const ImageDownloadGroup::Result result = ImageDownloadGroup::fetch(downloads, url, filePath, headers);
    if (!result.ok())
        KLOG->error("printBatch download image failed. batch_id={}, studentId={}, studentName={}, imgIndex={}, "
                    "imgUrl={}, filePath={}, ret={}, httpCode={}, curlErr={}",
                    batchId, id, name, index, address, filePath, result.code, result.httpCode, result.curlError);
    else
        KLOG->info("printBatch download image finish. batch_id={}, studentId={}, studentName={}, imgIndex={}, "
                   "imgUrl={}, filePath={}",
                   batchId, id, name, index, address, filePath);
    KLOG->info("printBatch download image cost. batch_id={}, studentId={}, studentName={}, imgIndex={}, imgUrl={}, "
               "filePath={}, costMs={}, success={}",
               batchId, id, name, index, address, filePath, clock.elapsed(), result.ok());
    group->complete(index, result);
}
