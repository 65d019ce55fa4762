#pragma once

#include "command/credentials.h"
#include "http/curlrequest.h"

#include <QJsonArray>
#include <QObject>
#include <QString>

#include <mutex>

// Prints the papers of many students strictly in the order of a "printBatch" command and
// reports each student's result to the connection that sent it. Owned by the GUI thread.
class KELPrintBatchMgr : public QObject {
    Q_OBJECT
public:
    static KELPrintBatchMgr* instance();
    KELPrintBatchMgr() = default;

    // A validated "printBatch" command (every student checked by the controller).
    void createBatch(QString connectionKey, QString reqId, QJsonArray students);
    // The credentials of the latest "login", sent with every image download.
    void setDownloadTokenParam(std::map<QString, QString> items);

private:
    std::recursive_mutex lock;
    HeaderMap downloadHeaders;
    qint64 batchCounter = 0;
};
