// The demo server over real HTTP: what it stores and serves, and what it refuses.
#include "upgrade/packagesignature.h"
#include "demoserverprocess.h"
#include "http/curlrequest.h"
#include "httprequest.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

using vtest::DemoServer;
using vtest::HttpResponse;

const char* const kCheckPath = "/web-awg/navrel-hub/app/upgrade/check";

QByteArray jpegOf(const QColor& colour, int width = 40, int height = 60)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes;
}

// The body the agent posts for one page.
QJsonObject uploadBody(const QString& batch, int sortNo, const QByteArray& jpeg = jpegOf(Qt::red))
{
    return {{"file", QString::fromLatin1("data:image/jpeg;base64," + jpeg.toBase64())},
            {"sortNo", sortNo},
            {"unionKey", "U1"},
            {"batchNumber", batch},
            {"paperVersion", 2}};
}

// The status of the last answer in a header block (an interim "100 Continue" may come first).
int finalStatus(const QByteArray& headers)
{
    int status = 0;
    for (const QByteArray& line : headers.split('\n')) {
        if (line.startsWith("HTTP/"))
            status = line.split(' ').value(1).toInt();
    }
    return status;
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject objectOf(const HttpResponse& response)
{
    return QJsonDocument::fromJson(response.body).object();
}

class DemoServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.isRunning()) << server.output().toStdString(); }
    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "demo server output:\n%s\n", server.output().toUtf8().constData());
    }

    HttpResponse upload(const QByteArray& body, const QByteArray& contentType = "application/json")
    {
        return server.post("/upload", body, contentType);
    }

    // 400 with a JSON body the agent can pass on: {"code": 400, "msg": reason}.
    void expectRefused(const HttpResponse& response, const QString& reasonPart)
    {
        SCOPED_TRACE(reasonPart.toStdString());
        EXPECT_EQ(response.status, 400) << response.body.toStdString();
        const QJsonObject answer = objectOf(response);
        EXPECT_EQ(answer.value("code").toInt(), 400) << response.body.toStdString();
        EXPECT_TRUE(answer.value("msg").toString().contains(reasonPart)) << response.body.toStdString();
    }

    // The server still stores and serves after whatever came before.
    void expectServing(int sortNo)
    {
        const HttpResponse stored = upload(compact(uploadBody("alive", sortNo)));
        EXPECT_EQ(stored.status, 200) << stored.body.toStdString();
        EXPECT_EQ(server.get("/samples").status, 200);
    }

    DemoServer server;
};

TEST_F(DemoServerTest, StoresPagesByBatchAndNumberAndServesThemBack)
{
    const QByteArray first = jpegOf(Qt::red);
    const QByteArray third = jpegOf(Qt::blue, 50, 70);
    const QString batch = QStringLiteral("批次 A-1");
    for (const auto& [sortNo, jpeg] : {std::pair{3, third}, std::pair{1, first}}) {
        const HttpResponse stored = upload(compact(uploadBody(batch, sortNo, jpeg)), "application/json; charset=utf-8");
        ASSERT_EQ(stored.status, 200) << stored.body.toStdString();
        const QJsonObject answer = objectOf(stored);
        EXPECT_EQ(answer.value("code").toInt(), 200);
        EXPECT_EQ(answer.value("msg").toString(), "ok");
        EXPECT_EQ(answer.value("data").toObject().value("sortNo").toInt(), sortNo);
        EXPECT_EQ(answer.value("data").toObject().value("batchNumber").toString(), batch);
    }
    // A page sent again under the same numbers replaces the first one.
    const QByteArray resent = jpegOf(Qt::green);
    ASSERT_EQ(upload(compact(uploadBody(batch, 1, resent))).status, 200);

    const HttpResponse list = server.get("/pages/" + QUrl::toPercentEncoding(batch));
    ASSERT_EQ(list.status, 200) << list.body.toStdString();
    const QJsonArray pages = QJsonDocument::fromJson(list.body).array();
    ASSERT_EQ(pages.size(), 2) << list.body.toStdString();
    const QByteArray expected[] = {resent, third};
    for (int i = 0; i < 2; ++i) {
        const QJsonObject page = pages[i].toObject();
        EXPECT_EQ(page.value("sortNo").toInt(), i == 0 ? 1 : 3);
        const HttpResponse image = server.get(page.value("url").toString());
        EXPECT_EQ(image.status, 200);
        EXPECT_EQ(image.contentType, "image/jpeg");
        EXPECT_EQ(image.body, expected[i]);
        EXPECT_EQ(page.value("bytes").toInt(), expected[i].size());
    }
    EXPECT_TRUE(QFile::exists(server.dataFolder() + "/pages/" + batch + "/3.jpg"));

    const QJsonArray batches = QJsonDocument::fromJson(server.get("/pages").body).array();
    ASSERT_EQ(batches.size(), 1);
    EXPECT_EQ(batches[0].toObject().value("batch").toString(), batch);
    EXPECT_EQ(batches[0].toObject().value("pages").toInt(), 2);
    EXPECT_EQ(server.get("/pages/never-sent").status, 404);
    EXPECT_EQ(server.get("/pages/" + QUrl::toPercentEncoding(batch) + "/2.jpg").status, 404);
}

TEST_F(DemoServerTest, RefusesBadUploadsWithAReasonAndKeepsServing)
{
    int alive = 0;
    expectRefused(upload("{\"file\": \"data:image/jpeg;base64,", "application/json"), "not JSON");
    expectServing(++alive);
    expectRefused(upload("[1, 2]"), "JSON object");
    expectServing(++alive);
    expectRefused(upload(compact(uploadBody("B", 1)), "text/plain"), "Content-Type must be application/json");
    expectServing(++alive);
    expectRefused(upload(compact(uploadBody("B", 1)), "multipart/form-data; boundary=x"), "Content-Type");
    expectServing(++alive);

    // Each field missing, and each of the wrong kind.
    for (const char* field : {"file", "sortNo", "batchNumber", "unionKey", "paperVersion"}) {
        QJsonObject body = uploadBody("B", 1);
        body.remove(field);
        expectRefused(upload(compact(body)), field);
        body.insert(field, QJsonArray{1});
        expectRefused(upload(compact(body)), field);
    }
    expectServing(++alive);
    QJsonObject notAnImage = uploadBody("B", 1);
    notAnImage.insert("file", QString::fromLatin1("data:image/jpeg;base64," + QByteArray("plain text").toBase64()));
    expectRefused(upload(compact(notAnImage)), "not a JPEG");
    QJsonObject brokenBase64 = uploadBody("B", 1);
    brokenBase64.insert("file", "data:image/jpeg;base64,@@@@");
    expectRefused(upload(compact(brokenBase64)), "base64");
    for (const QJsonValue& sortNo : {QJsonValue(0), QJsonValue(1.5), QJsonValue(-3), QJsonValue("1")}) {
        QJsonObject body = uploadBody("B", 1);
        body.insert("sortNo", sortNo);
        expectRefused(upload(compact(body)), "sortNo");
    }
    // Batch numbers that would leave the pages folder, or cannot name a folder.
    for (const QString& batch : {QStringLiteral("../escaped"), QStringLiteral(".."), QStringLiteral("a\\b"),
                                 QStringLiteral("tab\there"), QString(), QString(129, QLatin1Char('x'))})
        expectRefused(upload(compact(uploadBody(batch, 1))), "batchNumber");
    EXPECT_FALSE(QDir(server.dataFolder()).exists("escaped"));
    expectServing(++alive);

    // 10 MiB, sent as the agent sends (libcurl, which reads the answer while still sending):
    // refused whether its length is announced or the body comes in chunks, and the server goes on.
    const QByteArray huge(10 * 1024 * 1024, 'x');
    for (const bool chunked : {false, true}) {
        CUrlRequest request;
        HeaderMap headers{{"Content-Type", "application/json"}};
        if (chunked)
            headers.insert("Transfer-Encoding", "chunked");
        ASSERT_EQ(request.syncRequest(true, server.url("/upload"), huge, headers, 60, 0), 0) << request.errorString().toStdString();
        expectRefused({finalStatus(request.responseHeaders()), {}, request.responseBody()}, "8 MiB");
        expectServing(++alive);
    }

    const QJsonArray pages = QJsonDocument::fromJson(server.get("/pages/alive").body).array();
    EXPECT_EQ(pages.size(), alive);
    EXPECT_TRUE(server.output().contains("POST /upload 400: the body is larger than 8 MiB"));
}

TEST_F(DemoServerTest, ServesTheConsoleAndSampleSheets)
{
    const HttpResponse root = server.get("/?ports=19000,19001");
    EXPECT_EQ(root.status, 302);
    const HttpResponse console = server.get("/console/");
    EXPECT_EQ(console.status, 200);
    EXPECT_TRUE(console.contentType.startsWith("text/html"));
    EXPECT_TRUE(console.body.contains("Vellox console"));
    const HttpResponse module = server.get("/vellox-client.js");
    EXPECT_EQ(module.status, 200);
    // Browsers run ES modules only when served with a JavaScript type.
    EXPECT_TRUE(module.contentType.startsWith("text/javascript")) << module.contentType.toStdString();

    const QJsonArray samples = QJsonDocument::fromJson(server.get("/samples").body).array();
    ASSERT_GE(samples.size(), 2);
    for (const QJsonValue& sample : samples) {
        const HttpResponse image = server.get(sample.toObject().value("url").toString());
        ASSERT_EQ(image.status, 200);
        const QImage sheet = QImage::fromData(image.body, "JPG");
        ASSERT_FALSE(sheet.isNull());
        EXPECT_LT(sheet.width(), sheet.height()); // portrait A4
    }
    EXPECT_EQ(server.get("/nothing-here").status, 404);
}

TEST_F(DemoServerTest, OffersANewerPackageWithItsHashAndSignature)
{
    auto check = [&](const QByteArray& body) { return server.post(kCheckPath, body, "application/json"); };
    const QByteArray current = R"({"appName":"vellox","currentVersion":"1.2.0"})";

    QJsonObject answer = objectOf(check(current));
    EXPECT_EQ(answer.value("code").toInt(), 200);
    EXPECT_FALSE(answer.value("data").toObject().value("hasNewVersion").toBool());
    expectRefused(check("not json"), "JSON object");
    expectRefused(check(R"({"appName":"vellox"})"), "currentVersion");

    const QString upgrade = server.dataFolder() + "/upgrade";
    ASSERT_TRUE(QDir().mkpath(upgrade));
    const QByteArray package(300000, 'p');
    QFile packageFile(upgrade + "/vellox 1.10.0.deb");
    ASSERT_TRUE(packageFile.open(QIODevice::WriteOnly));
    packageFile.write(package);
    packageFile.close();
    QFile offer(upgrade + "/offer.json");
    ASSERT_TRUE(offer.open(QIODevice::WriteOnly));
    offer.write(R"({"version":"1.10.0","package":"vellox 1.10.0.deb","forceUpgrade":true,"upgradeContent":["更快的扫描"]})");
    offer.close();

    answer = objectOf(check(current));
    const QJsonObject data = answer.value("data").toObject();
    EXPECT_EQ(answer.value("code").toInt(), 200);
    EXPECT_TRUE(data.value("hasNewVersion").toBool());
    EXPECT_EQ(data.value("version").toString(), "1.10.0"); // newer than 1.2.0: parts are numbers
    EXPECT_TRUE(data.value("forceUpgrade").toBool());
    EXPECT_EQ(data.value("upgradeContent").toArray(), QJsonArray{"更快的扫描"});
    EXPECT_EQ(data.value("fileHash").toString(),
              QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex()));
    // Signed with the key it made, whose public half lies beside it for an agent's upgrade-keys/.
    QFile publicKey(upgrade + "/signing-key.pub.pem");
    ASSERT_TRUE(publicKey.open(QIODevice::ReadOnly));
    const QByteArray signature = QByteArray::fromBase64(data.value("signature").toString().toLatin1());
    EXPECT_TRUE(KELPackageSignature::verify(reinterpret_cast<const unsigned char*>(package.constData()),
                                            size_t(package.size()), signature.toStdString(),
                                            {publicKey.readAll().toStdString()}));
    EXPECT_EQ(QFile(upgrade + "/signing-key.pem").permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
              QFileDevice::Permissions());
    const HttpResponse download = vtest::httpRequest("GET", data.value("downloadUrl").toString());
    EXPECT_EQ(download.status, 200);
    EXPECT_EQ(download.body, package);
    // The agent resumes downloads with ranges.
    const HttpResponse tail = vtest::httpRequest("GET", data.value("downloadUrl").toString(), {}, {{"Range", "bytes=299990-"}});
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(tail.body, package.right(10));

    for (const char* version : {"1.10.0", "1.10.1", "2.0"}) {
        const QByteArray body = QByteArray(R"({"appName":"vellox","currentVersion":")") + version + "\"}";
        EXPECT_FALSE(objectOf(check(body)).value("data").toObject().value("hasNewVersion").toBool()) << version;
    }
    // A broken offer is reported to the agent (and on the console), not taken as "no news".
    ASSERT_TRUE(offer.open(QIODevice::WriteOnly | QIODevice::Truncate));
    offer.write(R"({"version":"9.0.0","package":"missing.deb"})");
    offer.close();
    answer = objectOf(check(current));
    EXPECT_EQ(answer.value("code").toInt(), 500);
    EXPECT_TRUE(answer.value("msg").toString().contains("missing.deb"));
}

} // namespace
