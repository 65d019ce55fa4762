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
#include <QThreadPool>

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
                       [](const QString& connectionKey, const QString& origin, const QString& cmd, const QString& reqId,
                          int ret, const QJsonObject& data, const QString& msg) {
                           KELVelloxServer::instance()->notifyPage(connectionKey.toStdString(), origin, cmd, reqId, ret,
                                                                   data, msg);
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

void KELPrintBatchMgr::setDownloadTokenParam(std::map<QString, QString> items, const KELCookieScope& scope)
{
    // The print task manager keeps the credentials of both.
    KLOG->info("set printBatch request download token param, items count: {}", items.size());
    printerMgr->imageDownloads().setCredentials(items, scope);
}

QString KELPrintBatchMgr::batchFolder(const QString& batchId) const
{
    return QDir(downloads).filePath(QStringLiteral("print_batch/") + batchId);
}

void KELPrintBatchMgr::createBatch(QString connectionKey, QString reqId, QJsonArray students, QString origin)
{
    Lock guard(lock);
    if (stopped)
        return;
    ++batchCounter;
    auto batch = std::make_shared<BatchTaskInfo>();
    batch->batchId = QStringLiteral("printBatch_%1_%2").arg(timeId()).arg(batchCounter);
    batch->connectionKey = connectionKey;
    batch->origin = origin;
    batch->reqId = reqId;
    batch->studentCount = students.size();
    batch->createdMs = nowMs();
    KLOG->info("printBatch create batch. batch_id={}, reqId={}, remote_key={}, studentCount={}", batch->batchId,
               KELLog::clipped(reqId), connectionKey, batch->studentCount);

    for (int i = 0; i < students.size(); ++i) {
        const QJsonObject item = students.at(i).toObject();
        auto student = std::make_shared<StudentTaskInfo>();
        static_cast<PrintStudent&>(*student) = PrintStudent::fromCommand(item);
        student->orderIndex = i;
        student->batchId = batch->batchId;
        student->connectionKey = connectionKey;
        student->remoteKey = connectionKey;
        student->remoteOrigin = origin;
        student->config = item.value(QStringLiteral("config")).toObject();
        // The student id comes from the page: it must not lead out of the batch's folder.
        student->downloadDir = QDir(batchFolder(batch->batchId))
                                   .filePath(QStringLiteral("%1_%2").arg(safeNamePiece(student->studentId)).arg(i));
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
    student->download = printerMgr->imageDownloads().create(student->imgList, student->downloadDir, kImageConcurrency);
    KLOG->info("printBatch start download task. batch_id={}, orderIndex={}, activeWindowCount={}, "
               "nextDownloadIndex={}, studentId={}, studentName={}, imgList={}",
               batch->batchId, student->orderIndex, batch->activeWindowCount, batch->nextDownloadIndex,
               KELLog::clipped(student->studentId), KELLog::clipped(student->studentName), jsonList(student->imgList));
    downloadPool.start(new KELPrintBatchTask(this, *student));
}

void KELPrintBatchMgr::slotStudentDownloadFinished(QString student_key, bool success, QStringList local_files,
                                                   QString message, QString failed_url, QString download_dir)
{
    Lock guard(lock);
    const CallbackTarget target = callbackTarget("download", student_key);
    if (!target.batch) {
        // A student that ended meanwhile (its batch stopped): its files go at once.
        const Student& gone = target.student;
        PrintFiles::discard(download_dir, gone ? batchFolder(gone->batchId) : QFileInfo(download_dir).path());
        return;
    }
    const Student& student = target.student;
    const Batch& batch = target.batch;
    student->downloadDone = true;
    student->downloadSuccess = success;
    student->localFiles = local_files;
    if (!success) {
        if (!batch->stopped)
            stopBatchOnFailure(batch, student_key, message);
        student->failedImage = failed_url;
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
    KLOG->info("printBatch print callback. batch_id={}, studentId={}, studentName={}, imgList={}, success={}, msg={}",
               batch->batchId, KELLog::clipped(student->studentId), KELLog::clipped(student->studentName),
               jsonList(student->imgList), success, message);
    if (batch->stopRequested) {
        // Stopped by the page: a paper that came out is told as usual, a job taken back is part
        // of the batch's one "print-stopped".
        notifyStudentFinished(student, success, message, success);
    } else {
        if (!success && !batch->stopped)
            stopBatchOnFailure(batch, student_key, message);
        notifyStudentFinished(student, success, message);
        if (!success)
            finalizePendingStudents(batch, student_key, message);
        else if (success && !batch->stopped)
            fillDownloadWindow(batch);
    }
    // After every end: the next student, of this batch or the next one, may print.
    dispatchPrintOrder();
}

void KELPrintBatchMgr::slotStudentPrintWaiting(QString student_key, QString reason, QString printer_name,
                                               QString text)
{
    Lock guard(lock);
    const Student student = students.value(student_key);
    const Batch batch = student ? batches.value(student->batchId) : Batch();
    if (!student || !batch || student->finished)
        return;
    sendBatchEvent(batch, QStringLiteral("print-waiting"), 200,
                   QJsonObject {{QStringLiteral("studentName"), student->studentName},
                                {QStringLiteral("studentId"), student->studentId},
                                {QStringLiteral("printerName"), printer_name},
                                {QStringLiteral("reason"), reason},
                                {QStringLiteral("remote_key"), student->remoteKey}},
                   text);
}

int KELPrintBatchMgr::stopBatches(const QString& origin, const QString& batchId)
{
    Lock guard(lock);
    QList<Batch> chosen;
    for (const Batch& batch : qAsConst(batches)) {
        if (batch->origin == origin && (batchId.isEmpty() || batch->batchId == batchId) && !batch->stopRequested)
            chosen.append(batch);
    }
    for (const Batch& batch : qAsConst(chosen)) {
        KLOG->warn("printBatch stop batch by page. batch_id={}, origin={}, finished={}, total={}", batch->batchId,
                   KELLog::clipped(origin), batch->finishedCount, batch->studentCount);
        batch->stopRequested = true;
        batch->stopped = true;
        if (batch->stopMsg.isEmpty())
            batch->stopMsg = downloadProblemText(DownloadProblem::Cancelled);
        const std::vector<QString> keys = batch->studentKeys;
        for (const QString& key : keys) {
            const Student student = students.value(key);
            if (!student || student->finished)
                continue;
            if (student->printQueued)
                printerMgr->cancelTask(key); // ends through slotStudentPrintFinished
            else
                notifyStudentFinished(student, false, downloadProblemText(DownloadProblem::Cancelled), false);
        }
    }
    if (!chosen.isEmpty())
        dispatchPrintOrder();
    return chosen.size();
}

QJsonArray KELPrintBatchMgr::batchStatus(const QString& origin) const
{
    Lock guard(lock);
    QJsonArray list;
    for (const Batch& batch : qAsConst(batches)) {
        if (batch->origin != origin)
            continue;
        QJsonArray printed;
        QJsonArray failed;
        QJsonArray queued;
        QString current;
        for (const QString& key : batch->studentKeys) {
            const Student student = students.value(key);
            if (!student)
                continue;
            if (student->finished)
                (student->success ? printed : failed).append(student->studentId);
            else if (student->printQueued)
                current = student->studentId;
            else
                queued.append(student->studentId);
        }
        list.append(QJsonObject {{QStringLiteral("batchId"), batch->batchId},
                                 {QStringLiteral("studentCount"), batch->studentCount},
                                 {QStringLiteral("printed"), printed},
                                 {QStringLiteral("failed"), failed},
                                 {QStringLiteral("current"), current},
                                 {QStringLiteral("queued"), queued},
                                 {QStringLiteral("stopped"), batch->stopped}});
    }
    return list;
}

void KELPrintBatchMgr::stopBatchOnFailure(const Batch& batch, const QString& studentKey, const QString& message)
{
    batch->stopped = true;
    const Student student = students.value(studentKey);
    // The students after it are not printed because of it: they are told so, not the failure
    // as if it were their own.
    batch->stopMsg = student ? tr("因%1打印失败，本批打印已停止：%2").arg(student->studentName, message) : message;
    KLOG->warn("printBatch stop batch on failure. batch_id={}, failedStudentKey={}, orderIndex={}, studentId={}, "
               "studentName={}, stopMsg={}, nextDownloadIndex={}, activeWindowCount={}",
               batch->batchId, KELLog::clipped(studentKey), student ? student->orderIndex : -1,
               student ? KELLog::clipped(student->studentId) : QByteArray(),
               student ? KELLog::clipped(student->studentName) : QByteArray(), message, batch->nextDownloadIndex,
               batch->activeWindowCount);
}

void KELPrintBatchMgr::finalizePendingStudents(const Batch& batch, const QString& failedKey, const QString& message)
{
    const QString text = batch->stopMsg.isEmpty() ? message : batch->stopMsg;
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
                   KELLog::clipped(student->studentName), text);
        notifyStudentFinished(student, false, text);
    }
}

void KELPrintBatchMgr::notifyStudentFinished(const Student& student, bool success, const QString& message, bool tell)
{
    student->finished = true;
    student->success = success;
    student->message = message;
    // Its images are not needed any more: a download in flight stops, downloaded files go.
    if (student->download)
        student->download->cancel();
    if (!student->downloadStarted || student->downloadDone)
        PrintFiles::discard(student->downloadDir, batchFolder(student->batchId));
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
        if (tell)
            sendBatchEvent(batch, QStringLiteral("print-end"), 200,
                           QJsonObject {{QStringLiteral("studentName"), student->studentName},
                                        {QStringLiteral("studentId"), student->studentId},
                                        {QStringLiteral("remote_key"), student->remoteKey}},
                           student->studentName + QStringLiteral(" print end"));
    } else {
        ++batch->failureCount;
        KLOG->warn("printBatch notify failure. batch_id={}, studentId={}, studentName={}, imgList={}, msg={}",
                   batch->batchId, id, name, jsonList(student->imgList), message);
        QJsonObject data {{QStringLiteral("errorType"), QStringLiteral("print-error")},
                          {QStringLiteral("studentName"), student->studentName},
                          {QStringLiteral("studentId"), student->studentId}};
        if (!student->failedImage.isEmpty())
            data.insert(QStringLiteral("imgUrl"), student->failedImage);
        if (tell)
            sendBatchEvent(batch, QStringLiteral("error"), 400, data, message);
    }
    checkBatchFinished(batch);
}

void KELPrintBatchMgr::sendBatchEvent(const Batch& batch, const QString& cmd, int code, QJsonObject data,
                                      const QString& message)
{
    data.insert(QStringLiteral("batchId"), batch->batchId);
    sendEvent(batch->connectionKey, batch->origin, cmd, timeId(), code, data, message);
}

void KELPrintBatchMgr::checkBatchFinished(const Batch& batch)
{
    if (batch->finishedCount != batch->studentCount)
        return;
    KLOG->info("printBatch batch finish. batch_id={}, remote_key={}, total={}, success={}, failure={}, costMs={}",
               batch->batchId, batch->connectionKey, batch->studentCount, batch->successCount, batch->failureCount,
               nowMs() - batch->createdMs);
    QJsonArray notPrinted;
    for (const QString& key : batch->studentKeys) {
        const Student student = students.value(key);
        if (student && !student->success) {
            KLOG->warn("printBatch batch failure student. batch_id={}, studentId={}, studentName={}, imgList={}, "
                       "msg={}",
                       batch->batchId, KELLog::clipped(student->studentId), KELLog::clipped(student->studentName),
                       jsonList(student->imgList), student->message);
            notPrinted.append(student->studentId);
        }
        students.remove(key);
    }
    batches.remove(batch->batchId);
    if (batch->stopRequested)
        sendBatchEvent(batch, QStringLiteral("print-stopped"), 200,
                       QJsonObject {{QStringLiteral("printedCount"), batch->successCount},
                                    {QStringLiteral("notPrinted"), notPrinted},
                                    {QStringLiteral("remote_key"), batch->connectionKey}},
                       tr("批量打印已停止"));
}

void KELPrintBatchMgr::stopAll()
{
    {
        Lock guard(lock);
        if (!stopped)
            KLOG->info("print batch manager stops. batches={}, students={}", batches.size(), students.size());
        stopped = true;
        for (const Student& student : qAsConst(students)) {
            if (student->download)
                student->download->cancel();
        }
        for (const Batch& batch : qAsConst(batches))
            batch->stopped = true;
        batches.clear();
        students.clear();
        printQueue.clear();
    }
    // The abandoned downloads end within a second; the process must not end under them.
    downloadPool.waitForDone(kQuitWaitMs);
}

KELPrintBatchTask::KELPrintBatchTask(KELPrintBatchMgr* manager, const StudentTaskInfo& student)
    : manager(manager)
    , studentKey(student.studentKey)
    , batchId(student.batchId)
    , studentId(student.studentId)
    , studentName(student.studentName)
    , imgList(student.imgList)
    , downloadDir(student.downloadDir)
    , download(student.download)
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
    QString failedUrl;
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
        message = downloadProblemText(DownloadProblem::WriteFailed);
    } else if (!download) {
        message = downloadProblemText(DownloadProblem::Cancelled); // the agent quits
    } else {
        StudentDownload::ImageLog log;
        const QString batch = batchId;
        log.started = [batch, id, name](int index, const QString& url, const QString& path) {
            KLOG->info("printBatch download image start. batch_id={}, studentId={}, studentName={}, imgIndex={}, "
                       "imgUrl={}, filePath={}",
                       batch, id, name, index, KELLog::clipped(url), path);
        };
        log.ended = [batch, id, name](int index, const QString& url, const ImageResult& result) {
            const QByteArray address = KELLog::clipped(url);
            if (!result.ok())
                KLOG->error("printBatch download image failed. batch_id={}, studentId={}, studentName={}, imgIndex={}, "
                            "imgUrl={}, ret={}, httpCode={}, curlErr={}",
                            batch, id, name, index, address, result.code, result.httpCode, result.curlError);
            else
                KLOG->info("printBatch download image finish. batch_id={}, studentId={}, studentName={}, imgIndex={}, "
                           "imgUrl={}, filePath={}",
                           batch, id, name, index, address, result.path);
            KLOG->info("printBatch download image cost. batch_id={}, studentId={}, studentName={}, imgIndex={}, "
                       "imgUrl={}, costMs={}, success={}",
                       batch, id, name, index, address, result.costMs, result.ok());
        };
        const StudentDownload::Outcome outcome = download->run(log);
        success = outcome.ok;
        if (success) {
            files = outcome.files;
            KLOG->info("printBatch download finish. batch_id={}, studentId={}, studentName={}, imgList={}, "
                       "localFiles={}, costMs={}",
                       batchId, id, name, jsonList(imgList), jsonList(files), clock.elapsed());
        } else {
            failedUrl = imgList.at(outcome.failedIndex);
            message = downloadProblemText(outcome.problem());
            KLOG->error("printBatch download image aggregate failed. batch_id={}, studentId={}, studentName={}, "
                        "imgIndex={}, imgUrl={}, filePath={}, ret={}, httpCode={}, curlErr={}",
                        batchId, id, name, outcome.failedIndex, KELLog::clipped(failedUrl),
                        buildImagePath(downloadDir, outcome.failedIndex, failedUrl), outcome.failed.code,
                        outcome.failed.httpCode, outcome.failed.curlError);
            KLOG->info("printBatch download abort. batch_id={}, studentId={}, studentName={}, imgList={}, costMs={}, "
                       "msg={}",
                       batchId, id, name, jsonList(imgList), clock.elapsed(), message);
        }
    }

    const bool invoked = QMetaObject::invokeMethod(
        manager, "slotStudentDownloadFinished", Qt::QueuedConnection, Q_ARG(QString, studentKey), Q_ARG(bool, success),
        Q_ARG(QStringList, files), Q_ARG(QString, message), Q_ARG(QString, failedUrl), Q_ARG(QString, downloadDir));
    if (!invoked)
        KLOG->error("printBatch invoke download callback failed. batch_id={}, studentKey={}, studentId={}, "
                    "studentName={}, imgList={}, success={}, localFiles={}, msg={}",
                    batchId, KELLog::clipped(studentKey), id, name, jsonList(imgList), success, jsonList(files),
                    message);
}
