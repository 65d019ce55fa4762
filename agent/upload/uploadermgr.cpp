#include "upload/uploadermgr.h"

#include "foundation/logging.h"
#include "foundation/singleton.h"

KELUploaderMgr* KELUploaderMgr::instance()
{
    return KELS::Singleton<KELUploaderMgr>::instance();
}

KELUploaderMgr::KELUploaderMgr()
{
    headers.insert(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
}

void KELUploaderMgr::setBatchTaskInfo(const QString& url, const QString& unionKey,
                                      const QString& batchNo, int paperVersion)
{
    KLOG->info("setBatchTaskInfo info: url={}, union_key={}, batch_no={}, paper_version={}", url,
               unionKey, batchNo, paperVersion);
    std::lock_guard<std::recursive_mutex> lock(mutex);
    UploadBatchInfo batch;
    batch.batchNo = batchNo;
    batch.unionKey = unionKey;
    batch.url = url;
    batch.paperVersion = paperVersion;
    batches.insert(batchNo, batch);
    activeBatchNo = batchNo;
}

void KELUploaderMgr::setTokenParams(const KELCredentials& params)
{
    KLOG->info("set upload token param, items count: {}", params.size());
    std::lock_guard<std::recursive_mutex> lock(mutex);
    setCookieHeader(headers, params);
}

void KELUploaderMgr::stopAll()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    // No upload runs yet: pages are only queued once uploading is built.
    pendingTasks.clear();
    batches.clear();
    activeBatchNo.clear();
}

void KELUploaderMgr::uploadFile(const QString& filePath, int sortNo, const QByteArray& data)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const auto batch = batches.find(activeBatchNo);
    if (batch == batches.end() || batch->url.isEmpty()) {
        KLOG->warn("uploadFile failed, no active batch or server url is null");
        return;
    }
    KLOG->info("add a file to upload: file_path: {}, sort_no: {}, file size: {}, batch: {}", filePath, sortNo,
               data.size(), activeBatchNo);
    ++batch->total;
}

void KELUploaderMgr::batchScanEnd(const QString& batchNo)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const auto batch = batches.find(batchNo);
    if (batch != batches.end())
        batch->batchEnd = true;
}
