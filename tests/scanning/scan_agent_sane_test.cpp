// Scanning from a SANE device with the real agent: SANE's own test backend behind our DSM with a
// profile that lists SANE devices only, as a real installation has it, a web page on the
// WebSocket and a local HTTP server that receives the pages.
#include "agentsandbox.h"
#include "httptestserver.h"
#include "wait.h"
#include "wsclient.h"

#include "../twaindsm/sane_test_backend.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using vtest::HttpReply;

constexpr int kScanWaitMs = 90000;

class SaneScanAgent : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(http.isListening());
        http.answer("/web-awg/navrel-hub/app/upgrade/check",
                    HttpReply::withStatus(200, R"({"code":200,"data":{"hasNewVersion":false}})", "application/json"));
        http.answer("/upload", HttpReply::withStatus(200, R"({"code":200,"msg":"ok","data":{}})", "application/json"));
        sandbox.usePrivateProgramFolder(QJsonObject{
            { "appname", "vellox" }, { "appversion", "1.0.0" }, { "current", "local" },
            { "domains", QJsonArray{ QJsonObject{ { "key", "local" }, { "name", "本地" }, { "url", http.url("/") } } } } });
        const QString saneConfig = sandbox.root() + "/sane";
        ASSERT_TRUE(QDir().mkpath(saneConfig));
        ASSERT_TRUE(sanetest::writeConfig(saneConfig.toStdString()));
        sandbox.setEnv("SANE_CONFIG_DIR", saneConfig);
        sandbox.setEnv("TWAINDSM_SANE", ""); // the profile decides
        sandbox.setEnv("TWAINDSM_SOURCES", profilePath());
        sandbox.setEnv("TWAINDSM_TRACE", sandbox.root() + "/trace.jsonl");
        sandbox.setConfig("outputpath", sandbox.root() + "/out");
        sandbox.shortenScanPauses();
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "agent log:\n%s\n", sandbox.readLog().toUtf8().constData());
    }

    QString profilePath() const { return sandbox.root() + "/sources.json"; }
    QString batchFolder(const QString& batch) const { return sandbox.root() + "/out/" + batch + "/"; }

    // SANE devices only; the first one feeds 75 dpi pages, with these settings on top.
    void writeProfile(const QJsonObject& settings = {})
    {
        QJsonObject device{ { "device", "test:0" },
                            { "options", QJsonObject{ { "source", sanetest::kFeeder }, { "resolution", 75 } } } };
        for (auto it = settings.begin(); it != settings.end(); ++it)
            device.insert(it.key(), it.value());
        QFile file(profilePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(QJsonObject{ { "sane", "only" }, { "saneDevices", QJsonArray{ device } } }).toJson());
    }

    void startAgent()
    {
        const quint16 port = sandbox.startListening({ "--hidden" });
        ASSERT_NE(port, 0);
        ASSERT_TRUE(page.open(port));
        const auto canUse = page.waitForCmd("can-use", kScanWaitMs);
        ASSERT_TRUE(canUse);
        EXPECT_EQ(canUse->value("data").toObject().value("canUse").toBool(), true) << canUse->value("msg").toString().toStdString();
    }

    std::optional<QJsonObject> startScan(const QString& batch)
    {
        return page.request("start-scan", QJsonObject{ { "batchno", batch }, { "uploadUrl", http.url("/upload") },
                                                       { "unionKey", "U-" + batch }, { "paperVersion", 2 } });
    }

    std::optional<QJsonObject> scanError(int timeoutMs = kScanWaitMs)
    {
        return page.waitFor([](const QJsonObject& m) {
            return m.value("cmd").toString() == "error" && m.value("data").toObject().value("errorType").toString() == "scan-error";
        }, timeoutMs);
    }

    // Lines of the DSM's trace that contain `piece`.
    int traceLines(const QString& piece) const
    {
        QFile file(sandbox.root() + "/trace.jsonl");
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count(piece.toUtf8())) : 0;
    }

    int jpegCount(const QString& batch) const
    {
        return int(QDir(batchFolder(batch)).entryList({ "*.jpg" }, QDir::Files).size());
    }

    vtest::HttpTestServer http;
    vtest::AgentSandbox sandbox;
    vtest::WsClient page;
};

TEST_F(SaneScanAgent, AFeederBatchLandsAsJpegsAndUploadsLikeTheVirtualScanners)
{
    writeProfile();
    ASSERT_NO_FATAL_FAILURE(startAgent());
    EXPECT_EQ(sandbox.config("lastselectedscanner"), sanetest::kFirstDevice);

    const auto reply = startScan("B-sane");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->value("ret").toInt(), 200);
    const auto end = page.waitForCmd("uploaded-end", kScanWaitMs);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(),
              (QJsonObject{ { "batchNo", "B-sane" }, { "imageCount", sanetest::kFeederPages }, { "succeedCount", sanetest::kFeederPages } }));
    EXPECT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));

    // Every page of the feeder is a JPEG of a 75 dpi A4 page, posted as it was saved.
    QList<int> sortNos;
    for (const vtest::HttpRequestRecord& upload : http.requests("/upload")) {
        const QJsonObject body = QJsonDocument::fromJson(upload.body).object();
        EXPECT_EQ(body.value("batchNumber").toString(), "B-sane");
        const int sortNo = body.value("sortNo").toInt();
        sortNos << sortNo;
        QFile file(batchFolder("B-sane") + QString("Image%1.jpg").arg(sortNo));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << sortNo;
        const QByteArray jpeg = file.readAll();
        EXPECT_EQ(body.value("file").toString(), "data:image/jpeg;base64," + QString::fromLatin1(jpeg.toBase64()));
        QImage image;
        ASSERT_TRUE(image.loadFromData(jpeg, "JPG"));
        EXPECT_EQ(image.size(), QSize(620, 876));
    }
    std::sort(sortNos.begin(), sortNos.end());
    EXPECT_EQ(sortNos, (QList<int>{ 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 }));
    EXPECT_EQ(jpegCount("B-sane"), sanetest::kFeederPages);
}

TEST_F(SaneScanAgent, AJamAndAnEmptyFeederReachThePage)
{
    writeProfile({ { "optionsAtPage", QJsonArray{ QJsonObject{ { "page", 4 }, { "options", QJsonObject{ { "read-return-value", "SANE_STATUS_JAMMED" } } } } } } });
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(startScan("B-jam"));
    const auto jam = scanError();
    ASSERT_TRUE(jam);
    EXPECT_EQ(jam->value("msg").toString(), QString::fromUtf8("请检查进纸槽是否卡纸."));
    EXPECT_TRUE(vtest::waitUntil([&] { return jpegCount("B-jam") == 3; }));

    // The next batch finds the feeder empty.
    writeProfile({ { "optionsAtPage", QJsonArray{ QJsonObject{ { "page", 1 }, { "options", QJsonObject{ { "read-return-value", "SANE_STATUS_NO_DOCS" } } } } } } });
    ASSERT_TRUE(startScan("B-empty"));
    const auto empty = scanError();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->value("msg").toString(), QString::fromUtf8("请检查进纸槽是否缺纸."));
    EXPECT_EQ(jpegCount("B-empty"), 0);
}

// With every backend of the system's SANE loaded, quitting ends SANE at the manager's close,
// while the backends are intact: the agent exits with 0 and leaves no crash report.
TEST_F(SaneScanAgent, QuitWithEveryBackendOfTheSystemExitsCleanly)
{
    const QString config = sandbox.root() + "/system-sane";
    ASSERT_TRUE(QDir().mkpath(config));
    const QString configDir = QString::fromStdString(sanetest::writeConfigWithSystemBackends(config.toStdString()));
    ASSERT_FALSE(configDir.isEmpty()) << "no /etc/sane.d/dll.conf";
    sandbox.setEnv("SANE_CONFIG_DIR", configDir);
    writeProfile();
    const quint16 port = sandbox.startListening({ "--hidden" });
    ASSERT_NE(port, 0);
    ASSERT_TRUE(page.open(port));
    // Whether the backends found the device within the listing's wait or not, SANE is in use.
    ASSERT_TRUE(page.waitForCmd("can-use", kScanWaitMs));
    ASSERT_TRUE(vtest::waitUntil([&] { return traceLines("sane_get_devices") > 0; }, kScanWaitMs));

    QProcess* agent = sandbox.agent();
    agent->terminate();
    ASSERT_TRUE(agent->waitForFinished(kScanWaitMs));
    EXPECT_EQ(agent->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_TRUE(QDir(sandbox.dumpFolder()).entryList(QDir::Files).isEmpty());
    EXPECT_EQ(traceLines("\"from\":\"MSG_CLOSEDSM\",\"sane\":\"sane_exit\",\"status\":\"SANE_STATUS_GOOD\""), 1);
}

// An I/O error at page 2 loses the device until it is opened again: the batch ends, the agent
// closes the scanner and opens it again by itself, and the next batch scans every page.
TEST_F(SaneScanAgent, AnIoErrorMidBatchIsOvercomeWithoutARestart)
{
    writeProfile({ { "optionsAtPage", QJsonArray{ QJsonObject{ { "page", 2 }, { "options", QJsonObject{ { "read-return-value", "SANE_STATUS_IO_ERROR" } } } } } } });
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(startScan("B-io"));
    const auto error = scanError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->value("msg").toString(), QString::fromUtf8("扫描仪已断开，请检查扫描仪连接"));
    // Back to normal when it is opened again (the backend keeps an option's value while the
    // process lasts; the profile's options are set at each opening).
    writeProfile({ { "options", QJsonObject{ { "source", sanetest::kFeeder }, { "resolution", 75 }, { "read-return-value", "Default" } } } });
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    const auto back = page.waitForCmd("can-use", kScanWaitMs);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->value("data").toObject().value("canUse").toBool(), true);
    EXPECT_EQ(traceLines("\"sane\":\"sane_open\""), 2);
    EXPECT_EQ(jpegCount("B-io"), 1);

    const auto login = page.request("login", QJsonObject{});
    ASSERT_TRUE(login);
    EXPECT_EQ(login->value("data").toObject().value("canUse").toBool(), true);
    ASSERT_TRUE(startScan("B-after"));
    const auto end = page.waitFor([](const QJsonObject& m) {
        return m.value("cmd").toString() == "uploaded-end" && m.value("data").toObject().value("batchNo").toString() == "B-after";
    }, kScanWaitMs);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject().value("succeedCount").toInt(), sanetest::kFeederPages);
    EXPECT_FALSE(scanError(0)) << "the second batch failed";
}

// A stop while the scanner has already read the next sheet: that sheet has come out of the
// scanner, so it is delivered too, and the pages match the paper.
TEST_F(SaneScanAgent, AStopKeepsTheSheetAlreadyRead)
{
    writeProfile({ { "options", QJsonObject{ { "source", sanetest::kFeeder }, { "resolution", 75 }, { "read-delay", true },
                                             { "read-delay-duration", 50000 } } } });
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(startScan("B-stop"));
    ASSERT_TRUE(vtest::waitUntil([&] { return jpegCount("B-stop") >= 2; }, kScanWaitMs));
    ASSERT_TRUE(page.request("stop-scan"));
    const auto end = page.waitForCmd("uploaded-end", kScanWaitMs);
    ASSERT_TRUE(end);
    // Every sheet read to its end is a page; none was cut off mid-read.
    const int read = traceLines("\"bytes\"");
    const int pages = end->value("data").toObject().value("imageCount").toInt();
    EXPECT_EQ(pages, read);
    EXPECT_LT(pages, sanetest::kFeederPages);
    EXPECT_EQ(jpegCount("B-stop"), pages);
    EXPECT_EQ(traceLines("SANE_STATUS_CANCELLED"), 0);
    EXPECT_EQ(traceLines("\"msg\":\"MSG_STOPFEEDER\""), 1);
}

} // namespace
