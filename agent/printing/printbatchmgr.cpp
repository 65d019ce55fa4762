#include "printing/printbatchmgr.h"

#include "foundation/logging.h"
#include "foundation/singleton.h"

#include <QDateTime>

KELPrintBatchMgr* KELPrintBatchMgr::instance()
{
    return KELS::Singleton<KELPrintBatchMgr>::instance();
}

void KELPrintBatchMgr::createBatch(QString connectionKey, QString reqId, QJsonArray students)
{
    std::lock_guard<std::recursive_mutex> guard(lock);
    ++batchCounter;
    const QString batchId = QStringLiteral("printBatch_%1_%2")
                                .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmsszzz")))
                                .arg(batchCounter);
    // Recorded only: downloading and printing the students is not part of the agent yet.
    KLOG->info("printBatch create batch. batch_id={}, reqId={}, remote_key={}, studentCount={}",
               batchId, KELLog::clipped(reqId), connectionKey, students.size());
}

void KELPrintBatchMgr::setDownloadTokenParam(std::map<QString, QString> items)
{
    KLOG->info("set printBatch request download token param, items count: {}", items.size());
    std::lock_guard<std::recursive_mutex> guard(lock);
    setCookieHeader(downloadHeaders, items);
}
