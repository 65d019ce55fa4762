#include "printing/printermgr.h"

#include "foundation/logging.h"
#include "foundation/singleton.h"

#include <QDateTime>

KELPrinterMgr* KELPrinterMgr::instance()
{
    return KELS::Singleton<KELPrinterMgr>::instance();
}

void KELPrinterMgr::addLegacyPrintTask(QJsonObject data)
{
    std::lock_guard<std::recursive_mutex> lock(tasksLock);
    ++taskSequence;
    const QString uniqueId = QString::number(QDateTime::currentMSecsSinceEpoch()) + QLatin1Char('_')
        + QString::number(taskSequence);
    // Queued only: the print run itself is not part of the agent yet.
    pendingLegacyTasks.append(uniqueId);
    KLOG->info("enqueue legacy print task. uniqueId={}, studentName={}, studentId={}, pendingTaskSize={}",
               uniqueId, KELLog::clipped(data.value(QStringLiteral("studentName")).toString()),
               data.value(QStringLiteral("studentId")).toString(), pendingLegacyTasks.size());
}

void KELPrinterMgr::setDownloadTokenParam(std::map<QString, QString> items)
{
    KLOG->info("set print request download token param, items count: {}", items.size());
    std::lock_guard<std::recursive_mutex> lock(tasksLock);
    setCookieHeader(downloadHeaders, items);
}
