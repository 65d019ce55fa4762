#include "upload/uploadtask.h"

#include "command/velloxserver.h"
#include "foundation/logging.h"
#include "scanning/scannerhelper.h"
#include "upload/uploadermgr.h"

#include <QBuffer>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTransform>

namespace {
constexpr int kUploadTimeoutSec = 120;
constexpr int kUploadRetries = 3;
constexpr int kJpegQuality = 75;
const QByteArray kDataUriPrefix = QByteArrayLiteral("data:image/jpeg;base64,");
} // namespace

KELUploadTask::KELUploadTask(const QString& filePath, int sortNo, qint64 fileSize, const QByteArray& data,
                             const QString& url, const QString& batchNo, const QString& unionKey,
                             int paperVersion, const HeaderMap& headers)
    : filePath(filePath)
    , url(url)
    , batchNo(batchNo)
    , unionKey(unionKey)
    , paperVersion(paperVersion)
    , headers(headers)
    , fileSize(fileSize)
    , data(data)
    , sortNo(sortNo)
{
    setAutoDelete(false);
}

QByteArray KELUploadTask::fileValue(const QByteArray& jpeg, int sortNo, const QString& scannerName)
{
    const QByteArray plain = kDataUriPrefix + jpeg.toBase64();
    if (!KELScannerHelper::isEpsonEmC8100(scannerName)) {
        qDebug() << "No need to rotate.";
        return plain;
    }
    // This model hands the two sides of a sheet over turned in opposite directions.
    const qreal angle = sortNo % 2 != 0 ? 270 : 90;
    const QImage rotated = QImage::fromData(jpeg, "JPG").transformed(QTransform().rotate(angle), Qt::FastTransformation);
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    if (rotated.isNull() || !rotated.save(&buffer, "JPG", kJpegQuality)) {
        qDebug() << "faild to rotate.";
        return plain;
    }
    return kDataUriPrefix + encoded.toBase64();
}

QByteArray KELUploadTask::requestBody(const QByteArray& fileValue, int sortNo, const QString& unionKey,
                                      const QString& batchNo, int paperVersion)
{
    const QJsonObject body{{"file", QString::fromLatin1(fileValue)},
                           {"sortNo", sortNo},
                           {"unionKey", unionKey},
                           {"batchNumber", batchNo},
                           {"paperVersion", paperVersion}};
    return QJsonDocument(body).toJson(QJsonDocument::Indented);
}

KELStreamedBody KELUploadTask::streamedBody(const QString& filePath, qint64 fileSize, const QByteArray& data,
                                            int sortNo, const QString& unionKey, const QString& batchNo,
                                            int paperVersion, const QString& scannerName)
{
    KELStreamedBody body;
    if (KELScannerHelper::isEpsonEmC8100(scannerName)) {
        QByteArray jpeg = data;
        QFile file(filePath);
        if (jpeg.isEmpty() && file.open(QIODevice::ReadOnly))
            jpeg = file.read(fileSize);
        if (!jpeg.isEmpty() && jpeg.size() == fileSize) {
            body.appendBytes(requestBody(fileValue(jpeg, sortNo, scannerName), sortNo, unionKey, batchNo, paperVersion));
            return body;
        }
        // An unreadable page fails as a streamed one does.
    } else {
        qDebug() << "No need to rotate.";
    }
    // The JSON writer's own text around an empty page: the base64 goes right after the prefix.
    // A quote inside another value is escaped, so the marker can only be the "file" member.
    const QByteArray whole = requestBody(kDataUriPrefix, sortNo, unionKey, batchNo, paperVersion);
    const QByteArray marker = QByteArrayLiteral("\"file\": \"") + kDataUriPrefix;
    const int at = whole.indexOf(marker) + marker.size();
    body.appendBytes(whole.left(at));
    if (data.isEmpty())
        body.appendBase64OfFile(filePath, fileSize);
    else
        body.appendBase64(data);
    body.appendBytes(whole.mid(at));
    return body;
}

void KELUploadTask::run()
{
    KLOG->info("upload file started: {})", filePath);
    KELStreamedBody body = streamedBody(filePath, fileSize, data, sortNo, unionKey, batchNo, paperVersion,
                                        KELScannerHelper::instance()->scannerName());

    const qint64 started = QDateTime::currentMSecsSinceEpoch();
    const int result = request.syncRequest(url, body, headers, kUploadTimeoutSec, kUploadRetries);
    const qint64 elapsed = QDateTime::currentMSecsSinceEpoch() - started;
    KLOG->error("upload file request. file path: {}; data size: {}, sortNo: {}, batchNumber: {})", filePath,
                body.size(), sortNo, batchNo);

    bool accepted = report(result, elapsed, int(body.size()));
    if (request.cancelled()) {
        KLOG->error("upload file by user cancelled file path: {}", filePath);
        accepted = false;
    }

    // The manager destroys this task inside removeTask: nothing of it is touched afterwards.
    const QString finishedBatch = batchNo;
    KELUploaderMgr* manager = KELUploaderMgr::instance();
    manager->removeTask(filePath, accepted, finishedBatch, this);
    manager->checkBatchFinished(finishedBatch);
}

bool KELUploadTask::report(int result, qint64 elapsedMs, int bodySize)
{
    KELVelloxServer* server = KELVelloxServer::instance();
    if (result != 0) {
        KLOG->error("upload file response failed, curl-code:{},file path: {},  data size: {}--)", result,
                    filePath, bodySize);
        const QJsonObject details{{"curlRet", result},
                                  {"curlMsg", QString::fromUtf8(request.errorString())},
                                  {"time", elapsedMs},
                                  {"localFIle", filePath}};
        server->notifyError(QStringLiteral("timeout"), QStringLiteral("request failed"), details, 400);
        return false;
    }

    KLOG->error("upload file response. file path: {}; data size: {}, response: {})", filePath, bodySize,
                KELLog::clipped(request.responseBody()));
    // An error page is no acceptance, whatever its body says: the status speaks first.
    const int status = request.httpCode();
    if (status < 200 || status > 299) {
        const QString line = QString::fromUtf8(request.statusLine());
        KLOG->error("upload file rejected by the server with HTTP status {}, file path: {}", line, filePath);
        const QJsonObject details{{"time", elapsedMs}, {"localFIle", filePath}};
        server->notifyError(QStringLiteral("auth-error"),
                            QStringLiteral("upload server answered %1").arg(line.isEmpty() ? QString::number(status) : line),
                            details, status);
        return false;
    }

    const QJsonObject answer = QJsonDocument::fromJson(request.responseBody()).object();
    const int code = answer.value("code").toInt();
    const QString msg = answer.value("msg").toString();
    if (code != 200) {
        const QJsonObject details{{"time", elapsedMs}, {"localFIle", filePath}};
        server->notifyError(QStringLiteral("auth-error"), msg, details, code);
        return false;
    }
    QJsonObject data = answer.value("data").toObject();
    data.insert("time", elapsedMs);
    data.insert("localFIle", filePath);
    server->notifyClient(QStringLiteral("uploaded-image"), 200, data, msg);
    return true;
}
