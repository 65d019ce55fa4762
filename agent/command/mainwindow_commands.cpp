// MainWindow's handling of the web page's commands: checks, replies and hand-over of the work.
#include "ui/mainwindow.h"

#include "command/commandcheck.h"
#include "command/credentials.h"
#include "command/velloxserver.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "printing/printbatchmgr.h"
#include "printing/printermgr.h"
#include "upload/uploadermgr.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

constexpr int kAccepted = 200;
constexpr int kRejected = 400;
constexpr int kFirstScannerOpenState = 4; // TWAIN state 4: a data source is open
constexpr int kSourceEnabledState = 5;  // TWAIN state 5: a batch runs

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
    // The checks' problems are answered as "wrong data: " and the problem.
    void rejectData(const QString& problem) const { reject(QStringLiteral("wrong data: ") + problem); }

    const std::string connectionKey;
    const QString cmd;
    const QString reqId;
};

} // namespace

void MainWindow::connectCommandSignals()
{
    KELVelloxServer* server = KELVelloxServer::instance();
    connect(server, &KELVelloxServer::sigScanCmd, this, &MainWindow::slotScanCmd);
    connect(server, &KELVelloxServer::sigPrintCmd, this, &MainWindow::slotPrintCmd);
    connect(server, &KELVelloxServer::sigPrintBatchCmd, this, &MainWindow::slotPrintBatchCmd);
    connect(server, &KELVelloxServer::sigStopPrintCmd, this, &MainWindow::slotStopPrintCmd);
    connect(server, &KELVelloxServer::sigPrintStatusCmd, this, &MainWindow::slotPrintStatusCmd);
    // These two touch only thread-safe state and answer straight from the server's thread.
    connect(server, &KELVelloxServer::sigStopScanCmd, this, &MainWindow::slotStopScanCmd,
            Qt::DirectConnection);
    connect(server, &KELVelloxServer::sigTokenInfo, this, &MainWindow::slotTokenInfo,
            Qt::DirectConnection);
}

void MainWindow::slotTokenInfo(QString connection_key, QJsonObject param)
{
    const CommandReply reply(connection_key, param);
    const KELCredentials credentials = KELCommandCheck::readCredentials(param.value(QStringLiteral("data")).toObject());
    // They become a header line of every upload and download: one that could end the line
    // early would let the page write headers of its own.
    const QString problem = KELCommandCheck::credentialsProblem(credentials);
    if (!problem.isEmpty()) {
        KLOG->warn("received login info is wrong : {} {}", problem, KELLog::clipped(reply.cmd));
        reply.rejectData(problem);
        return;
    }

    // Each manager replaces its previous credentials; none given clears them. They go only to
    // the school's servers: those of app.dat and the one that served the page logging in.
    const KELCookieScope scope(KELGlobalConfig::instance()->getDomains(),
                               KELVelloxServer::instance()->pageOrigin(reply.connectionKey));
    KELUploaderMgr::instance()->setTokenParams(credentials, scope);
    KELPrinterMgr::instance()->setDownloadTokenParam(credentials, scope);
    KELPrintBatchMgr::instance()->setDownloadTokenParam(credentials, scope);

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
        KLOG->info("received batch info is wrong : no data. {}", KELLog::clipped(reply.cmd));
        reply.reject(QStringLiteral("wrong data: no data"));
        return;
    }

    const KELCommandCheck::ScanData scan = KELCommandCheck::readScanData(data);
    KLOG->info("slotScanCmd: paperVersion={}, batch_no={}, union_key={}", scan.paperVersion,
               KELLog::clipped(scan.batchNo), KELLog::clipped(scan.unionKey));

    const QString problem = KELCommandCheck::scanDataProblem(scan);
    if (!problem.isEmpty()) {
        KLOG->info("received batch info is wrong : {} {}", problem, KELLog::clipped(reply.cmd));
        reply.rejectData(problem);
        return;
    }

    // A page is in transfer, or the transfer loop is between two pages: the running batch keeps
    // its number, counters and upload target, and innerStartScan turns the scan down.
    if (isTransferring()) {
        reply.send(kAccepted);
        innerStartScan();
        return;
    }

    // The previous batch's "scan-end" goes out before this reply, so that the page never takes
    // it for the end of the batch it is starting.
    const QString number = batchNumberFor(scan.batchNo);
    endPendingBatchBefore(number);
    setBatchNo(number);
    KELUploaderMgr::instance()->setBatchTaskInfo(scan.uploadUrl, scan.unionKey, scan.batchNo, scan.paperVersion);
    paperVersion = scan.paperVersion;
    reply.send(kAccepted);
    // Failures to start reach the page as "scan-error" events, not in this reply.
    innerStartScan();
}

void MainWindow::slotStopScanCmd(QString connection_key, QJsonObject param)
{
    const CommandReply reply(connection_key, param);
    // Only a running batch can be stopped: a request while idle would cut the next one short.
    if (GetState() >= kSourceEnabledState) {
        stopRequested = true;
        // The transfer loop takes it between pages; without one the GUI thread ends the batch.
        QMetaObject::invokeMethod(this, [this] { honourStopRequest(); }, Qt::QueuedConnection);
    } else {
        KLOG->info("stop-scan while no batch runs: nothing to stop");
    }
    reply.send(kAccepted);
}

void MainWindow::slotPrintCmd(QString connection_key, QJsonObject param)
{
    KLOG->info("Start print by web ........");
    const CommandReply reply(connection_key, param);
    QJsonObject data = param.value(QStringLiteral("data")).toObject();
    if (data.isEmpty()) {
        KLOG->info("received batch info is wrong : no data. {}", KELLog::clipped(reply.cmd));
        reply.reject(QStringLiteral("wrong data: no data"));
        return;
    }
    const QByteArray dataText = KELLog::clipped(QJsonDocument(data).toJson(QJsonDocument::Indented));
    KLOG->info("print request data: {}", dataText);
    qDebug() << "request data:" << dataText.constData();

    const QJsonValue imgList = data.value(QStringLiteral("imgList"));
    const QString studentName = data.value(QStringLiteral("studentName")).toString();
    if (!imgList.isArray() || studentName.isEmpty()) {
        KLOG->info("received print info is wrong : imgList not list or no student_name  {}", KELLog::clipped(reply.cmd));
        reply.reject(QStringLiteral("wrong data: imgList not list or no student_name"));
        return;
    }
    const QString problem = KELCommandCheck::printStudentProblem(data);
    if (!problem.isEmpty()) {
        KLOG->info("received print info is wrong : {} {}", problem, KELLog::clipped(reply.cmd));
        reply.rejectData(problem);
        return;
    }

    data.insert(QStringLiteral("remoteKey"), connection_key);
    // Where its result goes should this page reload meanwhile.
    data.insert(QStringLiteral("remoteOrigin"), KELVelloxServer::instance()->pageOrigin(reply.connectionKey));
    KELPrinterMgr::instance()->addLegacyPrintTask(data);
    reply.send(kAccepted);
}

void MainWindow::slotPrintBatchCmd(QString connection_key, QJsonObject param)
{
    KLOG->info("Start printBatch by web ........");
    const CommandReply reply(connection_key, param);
    const QJsonValue data = param.value(QStringLiteral("data"));
    if (!data.isArray()) {
        KLOG->info("received printBatch info is wrong : data is not array. {}", KELLog::clipped(reply.cmd));
        reply.reject(QStringLiteral("wrong data: data is not array"));
        return;
    }
    const QJsonArray students = data.toArray();
    if (students.isEmpty()) {
        KLOG->info("received printBatch info is wrong : data is empty array. {}", KELLog::clipped(reply.cmd));
        reply.reject(QStringLiteral("wrong data: data is empty array"));
        return;
    }

    // The batch is accepted or rejected whole: the first failing student rejects it.
    const QString problem = KELCommandCheck::printBatchProblem(students);
    if (!problem.isEmpty()) {
        reply.rejectData(problem);
        return;
    }

    KELPrintBatchMgr::instance()->createBatch(connection_key, reply.reqId, students,
                                              KELVelloxServer::instance()->pageOrigin(reply.connectionKey));
    reply.send(kAccepted);
}

void MainWindow::slotStopPrintCmd(QString connection_key, QJsonObject param)
{
    // No reply, as ever: the batches it stops each end with one "print-stopped".
    const CommandReply request(connection_key, param);
    const QString origin = KELVelloxServer::instance()->pageOrigin(request.connectionKey);
    const QString batchId = param.value(QStringLiteral("data")).toObject().value(QStringLiteral("batchId")).toString();
    const int stopped = KELPrintBatchMgr::instance()->stopBatches(origin, batchId);
    KLOG->info("stop-print from {}: origin={}, batchId={}, stoppedBatches={}", connection_key, KELLog::clipped(origin),
               KELLog::clipped(batchId), stopped);
}

void MainWindow::slotPrintStatusCmd(QString connection_key, QJsonObject param)
{
    const CommandReply reply(connection_key, param);
    const QString origin = KELVelloxServer::instance()->pageOrigin(reply.connectionKey);
    reply.send(kAccepted, QJsonObject {{QStringLiteral("batches"), KELPrintBatchMgr::instance()->batchStatus(origin)}});
}

void MainWindow::slotFinishUploadAllImages()
{
    refreshStorageInfo();
}

void MainWindow::slotFinishPrintAllImages()
{
    refreshStorageInfo();
}
