#include "upload/uploadermgr.h"

#include "command/velloxserver.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/memorytrim.h"
#include "foundation/singleton.h"
#include "upload/uploadtask.h"

#include <QJsonObject>
#include <QThreadPool>

#include <utility>

using Lock = std::lock_guard<std::recursive_mutex>;

KELUploaderMgr* KELUploaderMgr::instance()
{
    return KELS::Singleton<KELUploaderMgr>::instance();
}

KELUploaderMgr::KELUploaderMgr()
{
    headers.insert(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
}

KELUploaderMgr::~KELUploaderMgr() = default;

void KELUploaderMgr::setBatchTaskInfo(const QString& url, const QString& unionKey,
                                      const QString& batchNo, int paperVersion)
{
    KLOG->info("setBatchTaskInfo info: url={}, union_key={}, batch_no={}, paper_version={}",
               KELLog::clipped(url), KELLog::clipped(unionKey), batchNo, paperVersion);
    Lock lock(mutex);
    // A batch scanned again goes on: pages of an earlier run still uploading stay counted, and
    // "uploaded-end" waits for the end of this run and reports them all.
    UploadBatchInfo& batch = batches[batchNo];
    if (batch.total > batch.finished)
        KLOG->info("setBatchTaskInfo: batch {} continues, {} of {} pages answered", batchNo, batch.finished, batch.total);
    batch.batchNo = batchNo;
    batch.unionKey = unionKey;
    batch.url = url;
    batch.paperVersion = paperVersion;
    batch.batchEnd = false;
    batch.cookieWithheldLogged = false;
    activeBatchNo = batchNo;
}

void KELUploaderMgr::setTokenParams(const KELCredentials& params, const KELCookieScope& scope)
{
    KLOG->info("set upload token param, items count: {}", params.size());
    Lock lock(mutex);
    setCookieHeader(headers, params);
    cookieScope = scope;
}

void KELUploaderMgr::uploadSavedFile(const QString& filePath, int sortNo, qint64 fileSize)
{
    queue(filePath, sortNo, fileSize, QByteArray());
}

void KELUploaderMgr::uploadFile(const QString& filePath, int sortNo, const QByteArray& data)
{
    queue(filePath, sortNo, data.size(), data);
}

void KELUploaderMgr::queue(const QString& filePath, int sortNo, qint64 size, const QByteArray& data)
{
    Lock lock(mutex);
    const auto batch = batches.find(activeBatchNo);
    if (batch == batches.end() || batch->url.isEmpty()) {
        KLOG->warn("uploadFile failed, no active batch or server url is null");
        return;
    }
    KLOG->info("add a file to upload: file_path: {}, sort_no: {}, file size: {}, batch: {}", filePath,
               sortNo, size, activeBatchNo);
    ++batch->total;
    const HeaderMap pageHeaders = cookieScope.headersFor(headers, batch->url);
    if (pageHeaders.size() != headers.size() && !std::exchange(batch->cookieWithheldLogged, true))
        KLOG->warn("batch {} uploads to {} without the login cookie: not a server of app.dat's environments "
                   "nor of the page that logged in", batch->batchNo, KELLog::clipped(batch->url));
    pendingTasks.push_back(std::make_unique<KELUploadTask>(filePath, sortNo, size, data, batch->url, batch->batchNo,
                                                           batch->unionKey, batch->paperVersion, pageHeaders));

    if (activeTasks.size() >= kMaxRunningUploads) {
        KLOG->info("Add to pending waiting for start: file_path: {}, sort_no: {}, file size: {}", filePath,
                   sortNo, size);
        return;
    }
    std::unique_ptr<KELUploadTask> next = std::move(pendingTasks.front());
    pendingTasks.pop_front();
    if (activeTasks.count(next->path()) > 0)
        KLOG->warn("Add upload task many times : {}", next->path());
    KELUploadTask* started = next.get();
    startTask(std::move(next));
    KLOG->info("started to upload: file_path: {}, sort_no: {}, file size: {}", started->path(),
               started->pageIndex(), started->pageSize());
}

void KELUploaderMgr::startTask(std::unique_ptr<KELUploadTask> task)
{
    KELUploadTask* runnable = task.get();
    const QString path = runnable->path();
    activeTasks.emplace(path, std::move(task));
    QThreadPool::globalInstance()->start(runnable);
}

void KELUploaderMgr::removeTask(const QString& filePath, bool succeeded, const QString& batchNo,
                                const KELUploadTask* task)
{
    Lock lock(mutex);
    const auto batch = batches.find(batchNo);
    if (batch != batches.end()) {
        ++batch->finished;
        if (succeeded)
            ++batch->succeeded;
    }

    bool found = false;
    const auto range = activeTasks.equal_range(filePath);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.get() == task) {
            activeTasks.erase(it);
            found = true;
            break;
        }
    }
    if (!found)
        KLOG->warn("removeTask not find task info: {}", filePath);

    if (!pendingTasks.empty()) {
        std::unique_ptr<KELUploadTask> next = std::move(pendingTasks.front());
        pendingTasks.pop_front();
        KLOG->warn("start next task info: {}", next->path());
        startTask(std::move(next));
    }
}

void KELUploaderMgr::batchScanEnd(const QString& batchNo)
{
    {
        Lock lock(mutex);
        const auto batch = batches.find(batchNo);
        if (batch == batches.end())
            KLOG->warn("batchScanEnd: batch not found: {}", batchNo);
        else
            batch->batchEnd = true;
    }
    checkBatchFinished(batchNo);
}

void KELUploaderMgr::checkBatchFinished(const QString& batchNo)
{
    UploadBatchInfo finished;
    {
        Lock lock(mutex);
        const auto batch = batches.find(batchNo);
        if (batch == batches.end())
            return;
        if (!batch->batchEnd || batch->finished != batch->total || batchNo.isEmpty()) {
            KLOG->debug("Batch {} has not finished, batchEnd:{}, finished:{}, total:{}", batchNo,
                        batch->batchEnd, batch->finished, batch->total);
            return;
        }
        finished = *batch;
        KELGlobalConfig* config = KELGlobalConfig::instance();
        config->setBatchImageCount(batchNo, config->batchImageCount(batchNo) + finished.total);
        // Its target stays for a later run of the same batch; the counters start again.
        batch->batchEnd = false;
        batch->total = batch->succeeded = batch->finished = 0;
        KLOG->info("Batch {} has finished...", batchNo);
    }
    const QJsonObject data{{"batchNo", finished.batchNo},
                           {"imageCount", finished.total},
                           {"succeedCount", finished.succeeded}};
    KELVelloxServer::instance()->notifyClient(QStringLiteral("uploaded-end"), 200, data, QString());
    Q_EMIT sigFinishUploadAllImages();
    // The batch's requests and page files are done with: their memory goes back to the system.
    KELMemory::returnFreedMemorySoon();
}

void KELUploaderMgr::stopAll()
{
    Lock lock(mutex);
    pendingTasks.clear();
    for (auto& entry : activeTasks)
        entry.second->cancel();
    batches.clear();
    activeBatchNo.clear();
}

int KELUploaderMgr::pageCount(const QString& batchNo) const
{
    Lock lock(mutex);
    const auto batch = batches.find(batchNo);
    return batch == batches.end() ? 0 : batch->total;
}

int KELUploaderMgr::runningCount() const
{
    Lock lock(mutex);
    return static_cast<int>(activeTasks.size());
}

int KELUploaderMgr::pendingCount() const
{
    Lock lock(mutex);
    return static_cast<int>(pendingTasks.size());
}
