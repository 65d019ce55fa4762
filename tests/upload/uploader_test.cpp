// The upload manager in this process, against a real WebSocket page and a local HTTP server:
// the command server of this process sends the events, the test's page receives them.
#include "command/velloxserver.h"
#include "foundation/globalconfig.h"
#include "scanning/scannerhelper.h"
#include "upload/uploadermgr.h"
#include "upload/uploadtask.h"

#include "httptestserver.h"
#include "logcapture.h"
#include "wait.h"
#include "wsclient.h"

#include <QBuffer>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

using vtest::HttpReply;
using vtest::HttpRequestRecord;
using vtest::waitUntil;

const QString kUploadPath = QStringLiteral("/upload");

QByteArray accepted(const QString& id = QStringLiteral("p1"))
{
    return QJsonDocument(QJsonObject{{"code", 200}, {"msg", "ok"}, {"data", QJsonObject{{"imageId", id}}}})
        .toJson(QJsonDocument::Compact);
}

QJsonObject bodyOf(const HttpRequestRecord& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

QByteArray jpegOf(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 90);
    return bytes;
}

class Uploader : public ::testing::Test {
protected:
    vtest::HttpTestServer server;
    vtest::WsClient page;
    KELUploaderMgr* uploader = KELUploaderMgr::instance();

    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        KELVelloxServer::instance();
        const quint16 port = KELGlobalConfig::instance()->value("listenport").toUShort();
        ASSERT_TRUE(waitUntil([&] { return page.open(port, {}, "127.0.0.1", 1000); }));
        // "start-scan" makes this page the one that hears about uploads; the reply to the
        // request after it proves the server has taken it in.
        page.sendRequest("start-scan", "take-over", QJsonObject{});
        ASSERT_TRUE(page.request("no-such-command").has_value());
        server.answer(kUploadPath, HttpReply::withStatus(200, accepted(), "application/json"));
    }

    void TearDown() override { server.releaseAll(); }
    // The server's loop holds a pool thread that the process waits for at exit.
    static void TearDownTestSuite() { KELVelloxServer::instance()->stop(); }

    void startBatch(const QString& batchNo, int paperVersion = 2)
    {
        uploader->setBatchTaskInfo(server.url(kUploadPath), "union-1", batchNo, paperVersion);
    }

    QString pagePath(int n) const { return QStringLiteral("/scans/B/Image%1.jpg").arg(n); }

    QJsonObject next(const QString& cmd)
    {
        auto message = page.waitForCmd(cmd);
        EXPECT_TRUE(message.has_value()) << cmd.toStdString();
        return message.value_or(QJsonObject{});
    }
};

TEST_F(Uploader, AtMostSixRunAndTheRestWaitInArrivalOrder)
{
    vtest::LogCapture log;
    server.answer(kUploadPath, HttpReply::withStatus(200, accepted(), "application/json").held());
    startBatch("B7");
    for (int n = 1; n <= 7; ++n)
        uploader->uploadFile(pagePath(n), n, QByteArray("jpeg-bytes-") + QByteArray::number(n));

    ASSERT_TRUE(waitUntil([&] { return server.heldCount() == 6; }))
        << server.heldCount() << " held, " << server.inFlight() << " in flight, " << server.requestCount() << " requests";
    EXPECT_EQ(uploader->runningCount(), 6);
    EXPECT_EQ(uploader->pendingCount(), 1);
    EXPECT_EQ(log.linesContaining("started to upload: ").size(), 6);
    EXPECT_TRUE(log.contains("Add to pending waiting for start: file_path: " + pagePath(7) + ", sort_no: 7"));

    server.releaseOne();
    ASSERT_TRUE(waitUntil([&] { return server.requestCount(kUploadPath) == 7; }));
    EXPECT_TRUE(log.contains("start next task info: " + pagePath(7)));
    EXPECT_EQ(bodyOf(server.requests(kUploadPath).last()).value("sortNo").toInt(), 7);
    server.releaseAll();

    uploader->batchScanEnd("B7");
    const QJsonObject end = next("uploaded-end");
    EXPECT_EQ(end.value("ret").toInt(), 200);
    EXPECT_EQ(end.value("data").toObject(), (QJsonObject{{"batchNo", "B7"}, {"imageCount", 7}, {"succeedCount", 7}}));
    EXPECT_EQ(server.maxInFlight(), 6);
    EXPECT_EQ(uploader->runningCount(), 0);
}

TEST_F(Uploader, TransportFailureIsRetriedThenReportedAndCounted)
{
    server.handle(kUploadPath, [](const HttpRequestRecord& request) {
        if (bodyOf(request).value("sortNo").toInt() == 2)
            return HttpReply::withStatus(200).cut(HttpReply::Fault::CloseWithoutAnswer);
        return HttpReply::withStatus(200, accepted(), "application/json");
    });
    startBatch("B3");
    for (int n = 1; n <= 3; ++n) {
        uploader->uploadFile(pagePath(n), n, "page");
        ASSERT_TRUE(page.waitForQueued(static_cast<size_t>(n)));
    }
    const QJsonObject first = *page.nextMessage();
    const QJsonObject failed = *page.nextMessage();
    const QJsonObject third = *page.nextMessage();
    EXPECT_EQ(first.value("cmd").toString(), "uploaded-image");
    EXPECT_EQ(first.value("msg").toString(), "ok");
    EXPECT_EQ(first.value("data").toObject().value("imageId").toString(), "p1");
    EXPECT_EQ(first.value("data").toObject().value("localFIle").toString(), pagePath(1));
    EXPECT_TRUE(first.value("data").toObject().contains("time"));

    EXPECT_EQ(failed.value("cmd").toString(), "error");
    EXPECT_EQ(failed.value("ret").toInt(), 400);
    EXPECT_EQ(failed.value("msg").toString(), "request failed");
    const QJsonObject details = failed.value("data").toObject();
    EXPECT_EQ(details.value("errorType").toString(), "timeout");
    EXPECT_EQ(details.value("curlRet").toInt(), 52); // empty reply from server
    EXPECT_FALSE(details.value("curlMsg").toString().isEmpty());
    EXPECT_EQ(details.value("localFIle").toString(), pagePath(2));
    EXPECT_EQ(third.value("cmd").toString(), "uploaded-image");

    int attemptsForPage2 = 0;
    for (const HttpRequestRecord& request : server.requests(kUploadPath))
        attemptsForPage2 += bodyOf(request).value("sortNo").toInt() == 2 ? 1 : 0;
    EXPECT_EQ(attemptsForPage2, 4);

    uploader->batchScanEnd("B3");
    EXPECT_EQ(next("uploaded-end").value("data").toObject(),
              (QJsonObject{{"batchNo", "B3"}, {"imageCount", 3}, {"succeedCount", 2}}));
}

TEST_F(Uploader, ServerCodesOtherThan200AndHttpErrorsAreAuthErrors)
{
    server.answerNext(kUploadPath, HttpReply::withStatus(200, R"({"code":401,"msg":"token expired","data":{}})"));
    server.answerNext(kUploadPath, HttpReply::withStatus(502, "<html>bad gateway</html>"));
    // An error page is not an acceptance, whatever its body claims.
    server.answerNext(kUploadPath, HttpReply::withStatus(500, R"({"code":200,"msg":"ok","data":{}})"));
    startBatch("B-auth");
    uploader->uploadFile(pagePath(1), 1, "page");
    const QJsonObject expired = next("error");
    EXPECT_EQ(expired.value("ret").toInt(), 401);
    EXPECT_EQ(expired.value("msg").toString(), "token expired");
    EXPECT_EQ(expired.value("data").toObject().value("errorType").toString(), "auth-error");
    EXPECT_EQ(expired.value("data").toObject().value("localFIle").toString(), pagePath(1));

    uploader->uploadFile(pagePath(2), 2, "page");
    const QJsonObject badGateway = next("error");
    EXPECT_EQ(badGateway.value("ret").toInt(), 502);
    EXPECT_EQ(badGateway.value("msg").toString(), "upload server answered HTTP/1.1 502 Bad Gateway");
    EXPECT_EQ(badGateway.value("data").toObject().value("errorType").toString(), "auth-error");
    EXPECT_EQ(badGateway.value("data").toObject().value("localFIle").toString(), pagePath(2));

    uploader->uploadFile(pagePath(3), 3, "page");
    const QJsonObject serverError = next("error");
    EXPECT_EQ(serverError.value("ret").toInt(), 500);
    EXPECT_EQ(serverError.value("msg").toString(), "upload server answered HTTP/1.1 500 Internal Server Error");
    // Each answer was final: no page was posted twice.
    EXPECT_EQ(server.requestCount(kUploadPath), 3);

    uploader->batchScanEnd("B-auth");
    EXPECT_EQ(next("uploaded-end").value("data").toObject().value("succeedCount").toInt(), 0);
}

TEST_F(Uploader, AMovedOrOnceBrokenServerStillGetsThePage)
{
    // The first answer breaks off after its header and part of the body; the retry is whole.
    server.answerNext(kUploadPath, HttpReply::withStatus(200, accepted("broken")).cut(HttpReply::Fault::ResetMidBody, 10));
    startBatch("B-retry");
    uploader->uploadFile(pagePath(1), 1, "page");
    const QJsonObject retried = next("uploaded-image");
    EXPECT_EQ(retried.value("data").toObject().value("imageId").toString(), "p1");
    EXPECT_EQ(server.requestCount(kUploadPath), 2);

    // The upload address moved: the page lands at the new one, body and all.
    server.answer("/moved", HttpReply::withStatus(302).withHeader("Location", server.url("/new-home").toUtf8()));
    server.answer("/new-home", HttpReply::withStatus(200, accepted("moved"), "application/json"));
    uploader->setBatchTaskInfo(server.url("/moved"), "union-1", "B-moved", 2);
    uploader->uploadFile(pagePath(2), 2, "page-two");
    EXPECT_EQ(next("uploaded-image").value("data").toObject().value("imageId").toString(), "moved");
    const auto landed = server.requests("/new-home");
    ASSERT_EQ(landed.size(), 1);
    EXPECT_EQ(landed[0].method, "POST");
    EXPECT_EQ(QByteArray::fromBase64(bodyOf(landed[0]).value("file").toString().mid(23).toLatin1()), "page-two");

    uploader->batchScanEnd("B-retry");
    uploader->batchScanEnd("B-moved");
}

TEST_F(Uploader, UploadAddressesOtherThanHttpAreErrorsAndTouchNoFile)
{
    QTemporaryDir dir;
    const QString secretPath = dir.filePath("notes.txt");
    {
        QFile secret(secretPath);
        ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
        secret.write("{\"code\":200,\"msg\":\"the teacher's notes\",\"data\":{}}");
    }
    const QDateTime modified = QFileInfo(secretPath).lastModified();
    const QStringList urls {QUrl::fromLocalFile(secretPath).toString(), QStringLiteral("ftp://127.0.0.1:1/upload")};
    for (int n = 0; n < urls.size(); ++n) {
        const QString batch = QStringLiteral("B-scheme-%1").arg(n);
        uploader->setBatchTaskInfo(urls[n], "union-1", batch, 2);
        uploader->uploadFile(pagePath(n + 1), n + 1, "page");
        const QJsonObject failed = next("error");
        EXPECT_EQ(failed.value("msg").toString(), "request failed") << urls[n].toStdString();
        EXPECT_EQ(failed.value("data").toObject().value("curlRet").toInt(), int(CURLE_UNSUPPORTED_PROTOCOL));
        EXPECT_FALSE(QJsonDocument(failed).toJson().contains("the teacher's notes"));
        uploader->batchScanEnd(batch);
        EXPECT_EQ(next("uploaded-end").value("data").toObject().value("succeedCount").toInt(), 0);
    }
    QFile secret(secretPath);
    ASSERT_TRUE(secret.open(QIODevice::ReadOnly));
    EXPECT_TRUE(secret.readAll().contains("the teacher's notes"));
    EXPECT_EQ(QFileInfo(secretPath).lastModified(), modified);
}

TEST_F(Uploader, RequestCarriesThePageCookieAndBatch)
{
    // A server outside the login's scope gets the page without the cookie.
    uploader->setTokenParams({{"b", "2"}, {"a", "1"}}, KELCookieScope({}, "http://127.0.0.1:1"));
    startBatch("B-stranger");
    uploader->uploadFile(pagePath(4), 4, "page");
    next("uploaded-image");
    EXPECT_FALSE(server.requests(kUploadPath).last().hasHeader("Cookie"));

    const QUrl self(server.url());
    uploader->setTokenParams({{"b", "2"}, {"a", "1"}}, KELCookieScope({}, self.scheme() + "://" + self.authority()));
    QImage image(64, 32, QImage::Format_RGB32);
    image.fill(Qt::white);
    const QByteArray jpeg = jpegOf(image);
    startBatch("B-body", 1);
    uploader->uploadFile(pagePath(5), 5, jpeg);
    next("uploaded-image");

    const HttpRequestRecord request = server.requests(kUploadPath).last();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.header("Cookie"), "a=1;b=2;");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_TRUE(request.body.contains("\n    \"")); // the indented JSON form
    const QJsonObject body = bodyOf(request);
    EXPECT_EQ(body.value("sortNo").toInt(), 5);
    EXPECT_EQ(body.value("unionKey").toString(), "union-1");
    EXPECT_EQ(body.value("batchNumber").toString(), "B-body");
    EXPECT_EQ(body.value("paperVersion").toInt(), 1);
    const QString file = body.value("file").toString();
    ASSERT_TRUE(file.startsWith("data:image/jpeg;base64,"));
    EXPECT_EQ(QByteArray::fromBase64(file.mid(23).toLatin1()), jpeg);
}

// A page whose top-left quarter is dark: where that quarter ends up tells the rotation apart.
TEST_F(Uploader, EpsonPagesAreTurnedByPageParity)
{
    QImage image(80, 40, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x)
            image.setPixel(x, y, qRgb(0, 0, 0));
    const QByteArray jpeg = jpegOf(image);
    auto decoded = [](const QByteArray& value) {
        return QImage::fromData(QByteArray::fromBase64(value.mid(23)), "JPG");
    };
    auto dark = [](const QImage& page, int x, int y) { return qGray(page.pixel(x, y)) < 64; };

    const QString epson = QStringLiteral("EPSON EM-C8100 Series");
    const QImage odd = decoded(KELUploadTask::fileValue(jpeg, 3, epson));
    ASSERT_EQ(odd.size(), QSize(40, 80));
    EXPECT_TRUE(dark(odd, 5, 75));   // 270 degrees: the top-left corner goes to the bottom-left
    EXPECT_FALSE(dark(odd, 35, 5));
    const QImage even = decoded(KELUploadTask::fileValue(jpeg, 4, epson));
    ASSERT_EQ(even.size(), QSize(40, 80));
    EXPECT_TRUE(dark(even, 35, 5));  // 90 degrees: it goes to the top-right
    EXPECT_FALSE(dark(even, 5, 75));
    EXPECT_EQ(decoded(KELUploadTask::fileValue(jpeg, 3, "Kodak i2600")).size(), QSize(80, 40));

    KELScannerHelper::instance()->setScannerName(epson);
    startBatch("B-epson");
    uploader->uploadFile(pagePath(3), 3, jpeg);
    next("uploaded-image");
    KELScannerHelper::instance()->setScannerName({});
    const QString sent = bodyOf(server.requests(kUploadPath).last()).value("file").toString();
    EXPECT_EQ(decoded(sent.toLatin1()).size(), QSize(40, 80));
}

// The streamed body is byte for byte the body built in memory from the page's bytes, whatever
// the other values hold (quotes, the member's own text, non-ASCII), from the file or from memory,
// and for a turned EPSON page.
TEST_F(Uploader, TheStreamedBodyIsTheBodyBuiltInMemory)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    QImage image(120, 70, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 2, y * 3, (x ^ y) & 0xFF));
    const QByteArray jpeg = jpegOf(image);
    const QString path = folder.filePath("Image7.jpg");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(jpeg);
    file.close();

    const QString batches[] = { "B-1", R"(B "file": "data:image/jpeg;base64,x")", QString::fromUtf8("批次\\7") };
    for (const QString& scanner : { QString("Kodak i2600"), QString("EPSON EM-C8100 Series") }) {
        for (const QString& batch : batches) {
            const QByteArray expected = KELUploadTask::requestBody(KELUploadTask::fileValue(jpeg, 7, scanner), 7,
                                                                   "U\"1", batch, 2);
            KELStreamedBody fromFile = KELUploadTask::streamedBody(path, jpeg.size(), {}, 7, "U\"1", batch, 2, scanner);
            EXPECT_TRUE(fromFile.readAll() == expected) << batch.toStdString() << " " << scanner.toStdString();
            KELStreamedBody fromMemory = KELUploadTask::streamedBody(path, jpeg.size(), jpeg, 7, "U\"1", batch, 2, scanner);
            EXPECT_TRUE(fromMemory.readAll() == expected) << batch.toStdString();
        }
    }
}

// A queued page holds its file's name: the upload reads the file when it runs, and a page
// whose file is gone by then is reported as a failed request, not sent empty.
TEST_F(Uploader, SavedPagesAreReadWhenTheirUploadRuns)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QByteArray jpeg = jpegOf(QImage(32, 32, QImage::Format_RGB32));
    const QString kept = folder.filePath("Image1.jpg");
    const QString gone = folder.filePath("Image7.jpg");
    for (const QString& path : { kept, gone }) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(jpeg);
    }
    server.answer(kUploadPath, HttpReply::withStatus(200, accepted(), "application/json").held());
    startBatch("B-saved");
    for (int n = 1; n <= 6; ++n)
        uploader->uploadSavedFile(kept, n, jpeg.size());
    ASSERT_TRUE(waitUntil([&] { return server.heldCount() == 6; }));
    // The seventh waits for a free place; its file goes meanwhile.
    uploader->uploadSavedFile(gone, 7, jpeg.size());
    ASSERT_EQ(uploader->pendingCount(), 1);
    ASSERT_TRUE(QFile::remove(gone));
    server.answer(kUploadPath, HttpReply::withStatus(200, accepted(), "application/json"));
    server.releaseAll();
    uploader->batchScanEnd("B-saved");

    const QJsonObject failed = next("error");
    EXPECT_EQ(failed.value("data").toObject().value("curlRet").toInt(), int(CURLE_READ_ERROR));
    EXPECT_EQ(failed.value("data").toObject().value("localFIle").toString(), gone);
    const QJsonObject end = next("uploaded-end");
    EXPECT_EQ(end.value("data").toObject().value("imageCount").toInt(), 7);
    EXPECT_EQ(end.value("data").toObject().value("succeedCount").toInt(), 6);
    const QList<HttpRequestRecord> sent = server.requests(kUploadPath);
    ASSERT_EQ(sent.size(), 6);
    for (const HttpRequestRecord& request : sent)
        EXPECT_EQ(QByteArray::fromBase64(bodyOf(request).value("file").toString().mid(23).toLatin1()), jpeg);
}

TEST_F(Uploader, BatchEndRules)
{
    vtest::LogCapture log;
    // The end of the batch comes before the last answer: the last task finishes it.
    server.answer(kUploadPath, HttpReply::withStatus(200, accepted(), "application/json").held());
    startBatch("B-late");
    uploader->uploadFile(pagePath(1), 1, "page");
    ASSERT_TRUE(waitUntil([&] { return server.heldCount() == 1; }));
    uploader->batchScanEnd("B-late");
    EXPECT_TRUE(log.contains("Batch B-late has not finished, batchEnd:true, finished:0, total:1"));
    server.releaseAll();
    EXPECT_EQ(next("uploaded-end").value("data").toObject().value("imageCount").toInt(), 1);

    // The count is recorded for the batch and outlives a restart of the agent.
    KELGlobalConfig* config = KELGlobalConfig::instance();
    EXPECT_EQ(config->batchImageCount("B-late"), 1);
    KELGlobalConfig restarted(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation), "/nowhere");
    EXPECT_EQ(restarted.batchImageCount("B-late"), 1);

    // Pages after the batch finished (a scan from the tray) go on with it and end it again.
    server.answer(kUploadPath, HttpReply::withStatus(200, accepted(), "application/json"));
    const int before = server.requestCount(kUploadPath);
    uploader->uploadFile(pagePath(2), 2, "page");
    EXPECT_EQ(uploader->pageCount("B-late"), 1);
    ASSERT_TRUE(waitUntil([&] { return server.requestCount(kUploadPath) == before + 1; }));
    ASSERT_TRUE(waitUntil([&] { return uploader->runningCount() == 0; }));
    uploader->batchScanEnd("B-late");
    EXPECT_EQ(next("uploaded-end").value("data").toObject().value("imageCount").toInt(), 1);
    EXPECT_EQ(config->batchImageCount("B-late"), 2);

    // A batch without a number never finishes.
    startBatch("");
    uploader->uploadFile(pagePath(3), 3, "page");
    next("uploaded-image");
    uploader->batchScanEnd("");
    ASSERT_TRUE(waitUntil([&] { return log.contains("Batch  has not finished, batchEnd:true, finished:1, total:1"); }));
    EXPECT_FALSE(page.waitFor([](const QJsonObject& m) { return m.value("cmd") == "uploaded-end"; }, 0).has_value());
}

TEST_F(Uploader, StopAllDropsWaitingPagesAndEndsRunningOnes)
{
    server.answer(kUploadPath, HttpReply::withStatus(200, accepted(), "application/json").held());
    startBatch("B-quit");
    for (int n = 1; n <= 9; ++n)
        uploader->uploadFile(pagePath(n), n, QByteArray(1000, 'x'));
    ASSERT_TRUE(waitUntil([&] { return server.heldCount() == 6; }));
    uploader->stopAll();
    EXPECT_EQ(uploader->pendingCount(), 0);
    // Cancelled requests end without waiting for the server's answer.
    ASSERT_TRUE(waitUntil([&] { return uploader->runningCount() == 0; }));
    EXPECT_EQ(server.requestCount(kUploadPath), 6);

    // Nothing is left of the batch: its end finds nothing and no page is uploaded.
    uploader->batchScanEnd("B-quit");
    uploader->uploadFile(pagePath(10), 10, "page");
    EXPECT_EQ(uploader->pendingCount() + uploader->runningCount(), 0);
}

} // namespace
