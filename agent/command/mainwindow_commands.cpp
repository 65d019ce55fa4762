// MainWindow's handling of the web page's commands: checks, replies and hand-over of the work.
#include "ui/mainwindow.h"

#include "command/credentials.h"
#include "command/velloxserver.h"
#include "foundation/logging.h"
#include "printing/printbatchmgr.h"
#include "printing/printermgr.h"
#include "upload/uploadermgr.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

namespace {

constexpr int kAccepted = 200;
constexpr int kRejected = 400;
constexpr int kFirstScannerOpenState = 4; // TWAIN state 4: a data source is open
constexpr int kPageInTransferState = 7;

// Every reply carries back the request's own "cmd" (as sent) and "reqId".
class CommandReply {
public:
    CommandReply(const QString& connectionKey, const QJsonObject& param)
        : connectionKey(connectionKey.toStdString())
        , cmd(param.value(QStringLiteral("cmd")).toString())
        , reqId(param.value(QStringLiteral("reqId")).toString())
    {
    }

    void send(int ret, const QJsonObject& data = {}, const QString& msg = {}) const
    {
        KELVelloxServer::instance()->replyTo(connectionKey, cmd, reqId, ret, data, msg);
    }
    void reject(const QString& msg) const { send(kRejected, QJsonObject(), msg); }

    const std::string connectionKey;
    const QString cmd;
    const QString reqId;
};

// "paperVersion" of "start-scan": a number or a numeric text; 2 (double-sided) when it is
// absent, zero or not numeric.
int paperVersionOf(const QJsonValue& value)
{
    int version = 2;
    if (value.isString())
        version = value.toString().toInt();
    else if (value.isDouble())
        version = static_cast<int>(value.toDouble());
    return version == 0 ? 2 : version;
}

KELCredentials credentialsOf(const QJsonObject& data)
{
    KELCredentials credentials;
    if (data.isEmpty())
        return credentials;
    const QJsonObject items = data.value(QStringLiteral("uploadCredentials")).toObject();
    for (auto it = items.constBegin(); it != items.constEnd(); ++it)
        credentials[it.key()] = it.value().toString();
    return credentials;
}

} // namespace

void MainWindow::connectCommandSignals()
{
    KELVelloxServer* server = KELVelloxServer::instance();
    connect(server, &KELVelloxServer::sigScanCmd, this, &MainWindow::slotScanCmd);
    connect(server, &KELVelloxServer::sigPrintCmd, this, &MainWindow::slotPrintCmd);
    connect(server, &KELVelloxServer::sigPrintBatchCmd, this, &MainWindow::slotPrintBatchCmd);
    // These two touch only thread-safe state and answer straight from the server's thread.
    connect(server, &KELVelloxServer::sigStopScanCmd, this, &MainWindow::slotStopScanCmd,
            Qt::DirectConnection);
    connect(server, &KELVelloxServer::sigTokenInfo, this, &MainWindow::slotTokenInfo,
            Qt::DirectConnection);
}

void MainWindow::slotTokenInfo(QString connection_key, QJsonObject param)
{
    const CommandReply reply(connection_key, param);
    const KELCredentials credentials = credentialsOf(param.value(QStringLiteral("data")).toObject());

    // Each manager replaces its previous credentials; none given clears them.
    KELUploaderMgr::instance()->setTokenParams(credentials);
    KELPrinterMgr::instance()->setDownloadTokenParam(credentials);
    KELPrintBatchMgr::instance()->setDownloadTokenParam(credentials);

    QJsonObject data;
    data.insert(QStringLiteral("canUse"), GetState() >= kFirstScannerOpenState);
    reply.send(kAccepted, data);
}

void MainWindow::slotScanCmd(QString connection_key, QJsonObject param)
{
    KLOG->info("Start scan by web ........");
    const CommandReply reply(connection_key, param);
    const QJsonObject data = param.value(QStringLiteral("data")).toObject();
    if (data.isEmpty()) {
        KLOG->info("received batch info is wrong : no data. {}", reply.cmd);
        reply.reject(QStringLiteral("wrong data: no data"));
        return;
    }

    const QString batchno = data.value(QStringLiteral("batchno")).toString();
    const QString uploadUrl = data.value(QStringLiteral("uploadUrl")).toString();
    const QString unionKey = data.value(QStringLiteral("unionKey")).toString();
    const int version = paperVersionOf(data.value(QStringLiteral("paperVersion")));
    KLOG->info("slotScanCmd: paperVersion={}, batch_no={}, union_key={}", version, batchno, unionKey);

    if (uploadUrl.isEmpty() || unionKey.isEmpty()) {
        KLOG->info("received batch info is wrong : no url or key {}", reply.cmd);
        reply.reject(QStringLiteral("wrong data: no url or key"));
        return;
    }

    // A page is in transfer: the running batch keeps its number, counters and upload target,
    // and innerStartScan turns the scan down.
    if (GetState() == kPageInTransferState) {
        reply.send(kAccepted);
        innerStartScan();
        return;
    }

    setBatchNo(batchno);
    KELUploaderMgr::instance()->setBatchTaskInfo(uploadUrl, unionKey, batchno, version);
    paperVersion = version;
    reply.send(kAccepted);
    // Failures to start reach the page as "scan-error" events, not in this reply.
    innerStartScan();
}

void MainWindow::slotStopScanCmd(QString connection_key, QJsonObject param)
{
    const CommandReply reply(connection_key, param);
    stopRequested = true;
    reply.send(kAccepted);
}

void MainWindow::slotPrintCmd(QString connection_key, QJsonObject param)
{
    KLOG->info("Start print by web ........");
    const CommandReply reply(connection_key, param);
    QJsonObject data = param.value(QStringLiteral("data")).toObject();
    if (data.isEmpty()) {
        KLOG->info("received batch info is wrong : no data. {}", reply.cmd);
        reply.reject(QStringLiteral("wrong data: no data"));
        return;
    }
    KLOG->info("print request data: {}", QJsonDocument(data).toJson(QJsonDocument::Indented));
    qDebug() << "request data:" << data;

    const QJsonValue imgList = data.value(QStringLiteral("imgList"));
    const QString studentName = data.value(QStringLiteral("studentName")).toString();
    if (!imgList.isArray() || studentName.isEmpty()) {
        KLOG->info("received print info is wrong : imgList not list or no student_name  {}", reply.cmd);
        reply.reject(QStringLiteral("wrong data: imgList not list or no student_name"));
        return;
    }

    data.insert(QStringLiteral("remoteKey"), connection_key);
    KELPrinterMgr::instance()->addLegacyPrintTask(data);
    reply.send(kAccepted);
}

void MainWindow::slotPrintBatchCmd(QString connection_key, QJsonObject param)
{
    KLOG->info("Start printBatch by web ........");
    const CommandReply reply(connection_key, param);
    const QJsonValue data = param.value(QStringLiteral("data"));
    if (!data.isArray()) {
        KLOG->info("received printBatch info is wrong : data is not array. {}", reply.cmd);
        reply.reject(QStringLiteral("wrong data: data is not array"));
        return;
    }
    const QJsonArray students = data.toArray();
    if (students.isEmpty()) {
        KLOG->info("received printBatch info is wrong : data is empty array. {}", reply.cmd);
        reply.reject(QStringLiteral("wrong data: data is empty array"));
        return;
    }

    // The batch is accepted or rejected whole: the first failing student rejects it.
    QSet<QString> seenIds;
    for (int index = 0; index < students.size(); ++index) {
        const QJsonValue item = students.at(index);
        if (!item.isObject()) {
            KLOG->warn("printBatch validation failed. index={}, reason=student item is not object", index);
            reply.reject(QStringLiteral("wrong data: student item is not object, index=%1").arg(index));
            return;
        }
        const QJsonObject student = item.toObject();
        const QString studentName = student.value(QStringLiteral("studentName")).toString();
        const QString studentId = student.value(QStringLiteral("studentId")).toString();
        const QJsonValue imgList = student.value(QStringLiteral("imgList"));
        KLOG->info("printBatch validate student. index={}, studentName={}, studentId={}, student={}",
                   index, studentName, studentId, QJsonDocument(student).toJson(QJsonDocument::Compact));

        if (studentName.isEmpty() || !imgList.isArray()) {
            KLOG->warn("printBatch validation failed. index={}, studentName={}, studentId={}, "
                       "reason=imgList not list or no student_name",
                       index, studentName, studentId);
            reply.reject(QStringLiteral("wrong data: imgList not list or no student_name, index=%1").arg(index));
            return;
        }
        if (imgList.toArray().isEmpty()) {
            KLOG->warn("printBatch validation failed. index={}, studentName={}, studentId={}, "
                       "reason=imgList is empty",
                       index, studentName, studentId);
            reply.reject(QStringLiteral("wrong data: imgList is empty, index=%1").arg(index));
            return;
        }
        if (studentId.isEmpty()) {
            KLOG->warn("printBatch validation failed. index={}, studentName={}, reason=no student_id",
                       index, studentName);
            reply.reject(QStringLiteral("wrong data: no student_id, index=%1").arg(index));
            return;
        }
        if (seenIds.contains(studentId)) {
            KLOG->warn("printBatch validation failed. index={}, studentName={}, studentId={}, "
                       "reason=duplicate student_id",
                       index, studentName, studentId);
            reply.reject(QStringLiteral("wrong data: duplicate student_id, index=%1").arg(index));
            return;
        }
        seenIds.insert(studentId);
    }

    KELPrintBatchMgr::instance()->createBatch(connection_key, reply.reqId, students);
    reply.send(kAccepted);
}

void MainWindow::slotFinishUploadAllImages()
{
    refreshStorageFigures();
}

void MainWindow::slotFinishPrintAllImages()
{
    refreshStorageFigures();
}
