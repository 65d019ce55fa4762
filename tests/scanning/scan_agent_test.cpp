// Scanning end to end with the real agent: virtual scanners behind our DSM (profiles written
// here, the DSM's trace of every call), a web page on the WebSocket, and a local HTTP server
// that answers the upgrade check and receives the pages.
#include "scanagent.h"

#include "upload/uploadtask.h"

#include "../../twaindsm/src/page_image.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace {

using namespace scantest;
using vtest::HttpReply;
using vtest::WsClient;

TEST_F(ScanAgent, ScannerIsAnnouncedAfterTheFirstUpgradeCheck)
{
    http.answer(kCheckPath, HttpReply::withStatus(200, R"({"code":200,"data":{"hasNewVersion":false}})").held());
    writeProfile({ scanner("Vellox Virtual Scanner") });
    port = sandbox.startListening({ "--hidden" });
    ASSERT_NE(port, 0);
    ASSERT_TRUE(page.open(port));
    WsClient second;
    ASSERT_TRUE(second.open(port));
    ASSERT_TRUE(vtest::waitUntil([&] { return http.heldCount() == 1; }));
    // Nothing of the scanner is touched while the check is unanswered.
    EXPECT_FALSE(QFile::exists(tracePath()));

    http.releaseAll();
    for (WsClient* client : { &page, &second }) {
        const auto canUse = client->waitForCmd("can-use", kScanWaitMs);
        ASSERT_TRUE(canUse);
        EXPECT_EQ(canUse->value("ret").toInt(), 200);
        EXPECT_EQ(canUse->value("data").toObject().value("canUse").toBool(), true);
        EXPECT_EQ(canUse->value("msg").toString(), "");
    }
    EXPECT_EQ(traceCount("DAT_IDENTITY", "MSG_OPENDS"), 1);
    EXPECT_EQ(sandbox.config("lastselectedscanner"), "Vellox Virtual Scanner");
    EXPECT_EQ(sandbox.config("presetscanners"), R"(["Vellox Virtual Scanner"])");
}

// Our DSM stands in its built-in scanner for an empty profile, so the computer without a
// scanner is one without a data source manager: the source list stays empty all the same.
TEST_F(ScanAgent, WithoutAScannerThePageIsTold)
{
    ASSERT_TRUE(QFile::remove(sandbox.programFolder() + "/libtwaindsm.so"));
    const auto canUse = startAgent({});
    ASSERT_TRUE(canUse);
    EXPECT_EQ(canUse->value("data").toObject().value("canUse").toBool(), false);
    EXPECT_EQ(canUse->value("msg").toString(), QString::fromUtf8("电脑中未安装任何扫描仪。"));
    EXPECT_TRUE(sandbox.waitForLog(QString::fromUtf8("failed, error:电脑中未安装任何扫描仪。")));
}

TEST_F(ScanAgent, ASourceThatCannotBeOpenedIsReported)
{
    const auto canUse = startAgent({ scanner("Broken Scanner", { { "openFailure", "TWCC_OPERATIONERROR" } }) });
    ASSERT_TRUE(canUse);
    EXPECT_EQ(canUse->value("data").toObject().value("canUse").toBool(), false);
    EXPECT_EQ(canUse->value("msg").toString(), QString::fromUtf8("初始化扫描仪(Broken Scanner); 失败, ret: 1"));
}

TEST_F(ScanAgent, SimplexBatchBecomesJpegsInPageOrderAndEndsFiveSecondsLater)
{
    sandbox.setEnv("VELLOX_TEST_TIME_SCALE", "");  // the pauses as they are in use
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 10 } }) }));
    const auto reply = startScan("B-simplex");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->value("ret").toInt(), 200);

    ASSERT_TRUE(vtest::waitUntil([&] { return traceCount("DAT_PENDINGXFERS", "MSG_ENDXFER") == 10; }, kScanWaitMs));
    QElapsedTimer sinceLastPage;
    sinceLastPage.start();
    const auto end = page.waitForCmd("scan-end", kScanWaitMs);
    ASSERT_TRUE(end);
    EXPECT_GE(sinceLastPage.elapsed(), 4500);
    EXPECT_EQ(end->value("ret").toInt(), 200);
    expectPagesInOrder("B-simplex", 10);
    // The batch end disables the source; it stays open for the next batch.
    EXPECT_EQ(traceCount("DAT_USERINTERFACE", "MSG_DISABLEDS"), 1);
    EXPECT_EQ(traceCount("DAT_IDENTITY", "MSG_CLOSEDS"), 0);
    EXPECT_FALSE(page.waitForCmd("scan-end", 7000)) << "a second scan-end";
}

TEST_F(ScanAgent, DuplexSheetsAndSingleSidedPaper)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 10 }, { "duplex", true } }) }));
    ASSERT_TRUE(startScan("B-duplex"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    expectPagesInOrder("B-duplex", 20);

    // Paper version 1 is single-sided: duplex is switched off before the source is enabled.
    ASSERT_TRUE(startScan("B-single", 1));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    expectPagesInOrder("B-single", 10);
    const QJsonArray duplex = valuesSet("CAP_DUPLEXENABLED");
    ASSERT_FALSE(duplex.isEmpty());
    EXPECT_EQ(duplex.last().toBool(true), false);

    // Double-sided paper again: the agent switches back on what it switched off.
    ASSERT_TRUE(startScan("B-duplex-again"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    expectPagesInOrder("B-duplex-again", 20);
    EXPECT_EQ(valuesSet("CAP_DUPLEXENABLED").last().toBool(false), true);
}

// Native (a DIB, or a TIFF file as Linux drivers deliver it), file, memory and memory-file
// transfers of every pixel type leave the same pages, the server receives exactly the JPEG
// files, and with "saveorigin" the delivered page is kept as a BMP (a DIB byte for byte).
class ScanAgentMechanism : public ScanAgent, public ::testing::WithParamInterface<const char*> {};

TEST_P(ScanAgentMechanism, SavesAndUploadsEveryPage)
{
    const QString mech = GetParam();
    sandbox.setConfig("saveorigin", "1");
    auto profile = [&](const QString& pixelType) {
        QJsonObject fields{ { "pages", 3 }, { "pixelType", pixelType } };
        if (mech == "tiff")
            fields.insert("nativeFormat", "tiff");
        else
            fields.insert("xferMech", mech);
        return QJsonArray{ scanner("Vellox Virtual Scanner", fields) };
    };
    for (const QString pixelType : { "rgb", "gray", "bw" }) {
        // A source's pixel type is what it had when it was opened.
        if (QProcess* running = sandbox.latest()) {
            page.close();
            running->terminate();
            ASSERT_TRUE(running->waitForFinished(30000));
        }
        ASSERT_TRUE(startAgent(profile(pixelType)));
        const QString batch = "B-" + pixelType;
        const int before = http.requestCount("/upload");
        const int setupsBefore = traceCount("DAT_SETUPFILEXFER", "MSG_SET");
        ASSERT_TRUE(startScan(batch));
        ASSERT_TRUE(page.waitForCmd("uploaded-end", kScanWaitMs)) << pixelType.toStdString();
        // A file transfer goes to the agent's own file in its temporary folder, which is removed.
        if (mech == "file") {
            EXPECT_EQ(traceCount("DAT_SETUPFILEXFER", "MSG_SET") - setupsBefore, 3);
            const QDir temp(sandbox.dataFolder() + "/temp");
            EXPECT_TRUE(temp.exists());
            EXPECT_TRUE(temp.entryList({ "vellox-transfer*" }, QDir::Files).isEmpty());
        }
        if (pixelType != "bw")
            expectPagesInOrder(batch, 3);
        const QList<vtest::HttpRequestRecord> uploads = http.requests("/upload").mid(before);
        ASSERT_EQ(uploads.size(), 3) << pixelType.toStdString();
        for (const vtest::HttpRequestRecord& upload : uploads) {
            const QJsonObject body = QJsonDocument::fromJson(upload.body).object();
            const int sortNo = body.value("sortNo").toInt();
            QFile file(batchFolder(batch) + QString("Image%1.jpg").arg(sortNo));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            const QByteArray jpeg = file.readAll();
            EXPECT_TRUE(QByteArray::fromBase64(body.value("file").toString().mid(23).toLatin1()) == jpeg) << sortNo;
            const QImage decoded = QImage::fromData(jpeg, "JPG");
            EXPECT_EQ(decoded.format() == QImage::Format_Grayscale8, pixelType != "rgb")
                << pixelType.toStdString() << " " << decoded.format();
        }
        for (int n = 1; n <= 3; ++n) {
            const QString bmpPath = batchFolder(batch) + QString("Image%1.bmp").arg(n);
            QImage original;
            EXPECT_TRUE(original.load(bmpPath, "BMP")) << n;
            if (pixelType == "bw")
                continue;
            EXPECT_EQ(stampedPageNumber(original, 75), n);
            if (mech != "native")
                continue;
            // The DIB as the scanner rendered it, behind the standard 14-byte file header.
            QFile bmp(bmpPath);
            ASSERT_TRUE(bmp.open(QIODevice::ReadOnly));
            const QByteArray bytes = bmp.readAll();
            const auto* dib = reinterpret_cast<const uint8_t*>(bytes.constData()) + 14;
            twaindsm::DibLayout layout;
            ASSERT_TRUE(twaindsm::readDibLayout(dib, size_t(bytes.size() - 14), layout));
            std::vector<uint8_t> expected = *twaindsm::cachedAnswerSheet(layout.width, layout.height, layout.bitCount, 75);
            twaindsm::stampPageNumber(expected.data(), layout, n);
            EXPECT_EQ(size_t(bytes.size()), 14 + expected.size());
            EXPECT_TRUE(std::memcmp(dib, expected.data(), std::min(expected.size(), size_t(bytes.size() - 14))) == 0) << n;
            EXPECT_EQ(bytes.left(2), "BM");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Transfers, ScanAgentMechanism, ::testing::Values("native", "tiff", "file", "memory", "memfile"));

TEST_F(ScanAgent, PaperJamAndEmptyFeeder)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner",
                                     { { "pages", 10 }, { "failAtPage", QJsonObject{ { "page", 4 }, { "condition", "TWCC_PAPERJAM" } } } }) }));
    ASSERT_TRUE(startScan("B-jam"));
    // The jam ends the batch: its end sequence ends the pending transfers and disables the source.
    EXPECT_EQ(failureEndsTheBatch(QString::fromUtf8("请检查进纸槽是否卡纸.")),
              (QJsonObject{ { "batchNo", "B-jam" }, { "imageCount", 3 }, { "succeedCount", 3 } }));
    expectPagesInOrder("B-jam", 3);
    EXPECT_EQ(traceCount("DAT_PENDINGXFERS", "MSG_RESET"), 1);
    EXPECT_EQ(traceCount("DAT_USERINTERFACE", "MSG_DISABLEDS"), 1);

    writeProfile({ scanner("Vellox Virtual Scanner", { { "pages", 0 } }) });
    ASSERT_TRUE(startScan("B-empty"));
    EXPECT_EQ(failureEndsTheBatch(QString::fromUtf8("请检查进纸槽是否缺纸.")),
              (QJsonObject{ { "batchNo", "B-empty" }, { "imageCount", 0 }, { "succeedCount", 0 } }));
    EXPECT_TRUE(jpegs("B-empty").isEmpty());
    EXPECT_FALSE(page.waitForCmd("scan-end", kNoFurtherEndMs)) << "a second scan-end";
}

// The session reports only native transfers that fail; memory transfers tell the page too.
TEST_F(ScanAgent, AJamDuringAMemoryTransferIsReported)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 10 }, { "xferMech", "memory" },
                                                                 { "failAtPage", QJsonObject{ { "page", 2 }, { "condition", "TWCC_PAPERJAM" } } } }) }));
    ASSERT_TRUE(startScan("B-memory-jam"));
    const auto jam = scanErrorEvent();
    ASSERT_TRUE(jam);
    EXPECT_EQ(jam->value("msg").toString(), QString::fromUtf8("请检查进纸槽是否卡纸."));
    expectPagesInOrder("B-memory-jam", 1);
    EXPECT_GT(traceCount("DAT_IMAGEMEMXFER", "MSG_GET"), 0);
}

TEST_F(ScanAgent, KodakIsStoppedAndDisabledAfterAJam)
{
    ASSERT_TRUE(startAgent({ scanner("KODAK i2600 Scanner",
                                     { { "pages", 10 }, { "failAtPage", QJsonObject{ { "page", 4 }, { "condition", "TWCC_PAPERJAM" } } } }) }));
    ASSERT_TRUE(startScan("B-kodak"));
    const auto jam = scanErrorEvent();
    ASSERT_TRUE(jam);
    EXPECT_EQ(jam->value("msg").toString(), QString::fromUtf8("请检查进纸槽是否卡纸."));
    ASSERT_TRUE(vtest::waitUntil([&] { return traceCount("DAT_USERINTERFACE", "MSG_DISABLEDS") == 1; }));
    EXPECT_EQ(traceCount("DAT_PENDINGXFERS", "MSG_RESET"), 1);
    expectPagesInOrder("B-kodak", 3, 300);  // the Kodak preset scans at 300 dpi
}

TEST_F(ScanAgent, CancelBeforeTheFirstPageIsNotABatch)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "closeRequest", "beforeFirstPage" } }) }));
    ASSERT_TRUE(startScan("B-cancel"));
    const auto cancel = scanErrorEvent();
    ASSERT_TRUE(cancel);
    EXPECT_EQ(cancel->value("msg").toString(), QString::fromUtf8("用户取消扫描"));
    EXPECT_TRUE(vtest::waitUntil([&] { return traceCount("DAT_USERINTERFACE", "MSG_DISABLEDS") == 1; }));
    EXPECT_FALSE(page.waitForCmd("scan-end", kNoFurtherEndMs));
}

// A source that asks to close after its last page (after Count 0) ends the batch only once.
TEST_F(ScanAgent, CloseRequestAfterTheLastPageIsANormalEnd)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 2 }, { "closeRequest", "afterLastPage" } }) }));
    ASSERT_TRUE(startScan("B-close"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    ASSERT_TRUE(page.waitForCmd("uploaded-end", kScanWaitMs));
    EXPECT_FALSE(page.waitForCmd("scan-end", kNoFurtherEndMs)) << "a second scan-end";
    EXPECT_TRUE(sandbox.waitForLog("MSG_CLOSEDSREQ after 2 images transferred, treating as normal end"));
    EXPECT_FALSE(scanErrorEvent(0));
    expectPagesInOrder("B-close", 2);
    EXPECT_EQ(traceCount("DAT_USERINTERFACE", "MSG_DISABLEDS"), 1);
}

TEST_F(ScanAgent, StopScanEndsTheBatchAfterThePageInTransfer)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 10 }, { "pageDelayMs", 400 } }) }));
    ASSERT_TRUE(startScan("B-stop"));
    ASSERT_TRUE(vtest::waitUntil([&] { return jpegs("B-stop").size() >= 2; }, kScanWaitMs));
    const auto stopped = page.request("stop-scan");
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->value("ret").toInt(), 200);
    // The feeder stops; the sheet already fed still comes, and the source ends the batch.
    ASSERT_TRUE(vtest::waitUntil([&] { return traceCount("DAT_PENDINGXFERS", "MSG_STOPFEEDER") == 1; }, kScanWaitMs));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    const int transferred = traceCount("DAT_IMAGENATIVEXFER", "MSG_GET");
    EXPECT_LT(transferred, 10);
    EXPECT_EQ(trace("DAT_PENDINGXFERS", "MSG_ENDXFER").back().value("count").toInt(), 0);
    EXPECT_EQ(traceCount("DAT_PENDINGXFERS", "MSG_RESET"), 0);
    expectPagesInOrder("B-stop", transferred);
    // A stopped batch ends like any other.
    const auto uploaded = page.waitForCmd("uploaded-end", kScanWaitMs);
    ASSERT_TRUE(uploaded);
    EXPECT_EQ(uploaded->value("data").toObject().value("imageCount").toInt(), transferred);
    EXPECT_EQ(http.requestCount("/upload"), transferred);
    EXPECT_EQ(traceCount("DAT_USERINTERFACE", "MSG_DISABLEDS"), 1);

    // A stop while no batch runs is not kept for the next one: that batch scans every page.
    const auto idleStop = page.request("stop-scan");
    ASSERT_TRUE(idleStop);
    EXPECT_EQ(idleStop->value("ret").toInt(), 200);
    writeProfile({ scanner("Vellox Virtual Scanner", { { "pages", 4 } }) });
    ASSERT_TRUE(startScan("B-after-stop"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    expectPagesInOrder("B-after-stop", 4);
    EXPECT_EQ(traceCount("DAT_PENDINGXFERS", "MSG_STOPFEEDER"), 1);
}

TEST_F(ScanAgent, StartScanDuringATransferChangesNothing)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 6 }, { "pageDelayMs", 400 } }) }));
    ASSERT_TRUE(startScan("B-busy"));
    ASSERT_TRUE(vtest::waitUntil([&] { return jpegs("B-busy").size() >= 2; }, kScanWaitMs));
    const auto again = startScan("B-busy");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->value("ret").toInt(), 200);
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    EXPECT_TRUE(sandbox.waitForLog("a sacn task is processing... %d "));
    expectPagesInOrder("B-busy", 6);
    EXPECT_EQ(traceCount("DAT_USERINTERFACE", "MSG_ENABLEDS"), 1);
}

// Between two pages the source is in state 6, yet the batch is as busy as during a page: a
// start-scan that arrives while a page is being ended is answered and changes nothing.
TEST_F(ScanAgent, StartScanBetweenTwoPagesChangesNothing)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 4 }, { "endXferDelayMs", 700 } }) }));
    ASSERT_TRUE(startScan("B-between"));
    // The agent is inside the second page's MSG_ENDXFER: the command is served after it, in state 6.
    const auto endingPages = [this] {
        int waits = 0;
        for (const QJsonObject& line : trace())
            waits += line.value("wait").toString() == "MSG_ENDXFER";
        return waits;
    };
    ASSERT_TRUE(vtest::waitUntil([&] { return endingPages() >= 2; }, kScanWaitMs));
    const auto again = startScan("B-other-number");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->value("ret").toInt(), 200);
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    expectPagesInOrder("B-between", 4);
    EXPECT_FALSE(QDir(batchFolder("B-other-number")).exists());
    EXPECT_EQ(traceCount("DAT_USERINTERFACE", "MSG_ENABLEDS"), 1);
    EXPECT_EQ(traceCount("DAT_PENDINGXFERS", "MSG_RESET"), 0);
}

TEST_F(ScanAgent, ACancelledTransferDoesNotStallTheSession)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 4 }, { "cancelAtPage", 2 } }) }));
    ASSERT_TRUE(startScan("B-cancelled-page"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    // The cancelled image is ended and skipped; the others are saved under consecutive names.
    EXPECT_EQ(traceCount("DAT_PENDINGXFERS", "MSG_ENDXFER"), 4);
    ASSERT_TRUE(vtest::waitUntil([&] { return jpegs("B-cancelled-page").size() == 3; }));
    // A dropped page is no error for the teacher.
    EXPECT_FALSE(scanErrorEvent(0));
    EXPECT_TRUE(sandbox.waitForLog("Transfer cancelled by the data source"));
    ASSERT_TRUE(startScan("B-after"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    EXPECT_EQ(jpegs("B-after").size(), 3);
}

// What the presets look like to the scanner: applied on the first opening only (the record of
// preset scanners) and again at every scan start.
TEST_F(ScanAgent, PresetsOnFirstOpeningAndEveryScan)
{
    const QJsonArray caps{ QJsonObject{ { "cap", "0x8102" }, { "type", "TWTY_UINT16" }, { "container", "onevalue" }, { "default", 1 } } };
    ASSERT_TRUE(startAgent({ scanner("KODAK i2600 Scanner", { { "pages", 1 }, { "capabilities", caps } }) }));
    EXPECT_EQ(valuesSet("0x8102").size(), 1);
    EXPECT_EQ(valuesSet("CAP_LANGUAGE").size(), 1);
    ASSERT_TRUE(startScan("B-preset"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    EXPECT_EQ(valuesSet("0x8102").size(), 2);
    EXPECT_EQ(valuesSet("ICAP_XRESOLUTION").last().toDouble(), 300);

    // A later start opens the known scanner without presetting it.
    page.close();
    sandbox.agent()->terminate();
    ASSERT_TRUE(sandbox.agent()->waitForFinished(30000));
    QFile::remove(tracePath());
    ASSERT_TRUE(startAgent({ scanner("KODAK i2600 Scanner", { { "pages", 1 }, { "capabilities", caps } }) }));
    EXPECT_EQ(valuesSet("0x8102").size(), 0);
    EXPECT_EQ(valuesSet("CAP_LANGUAGE").size(), 1);
}

} // namespace

namespace {

using namespace scantest;

TEST_F(ScanAgent, EveryPageIsUploadedAndASecondRunOfTheBatchContinuesTheNumbering)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 10 } }) }));
    ASSERT_TRUE(startScan("B-upload"));
    const auto end = page.waitForCmd("uploaded-end", kScanWaitMs);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(),
              (QJsonObject{ { "batchNo", "B-upload" }, { "imageCount", 10 }, { "succeedCount", 10 } }));
    const QList<vtest::HttpRequestRecord> uploads = http.requests("/upload");
    ASSERT_EQ(uploads.size(), 10);
    QList<int> sortNos;
    for (const vtest::HttpRequestRecord& upload : uploads) {
        const QJsonObject body = QJsonDocument::fromJson(upload.body).object();
        EXPECT_EQ(body.value("batchNumber").toString(), "B-upload");
        EXPECT_EQ(body.value("unionKey").toString(), "U-B-upload");
        const int sortNo = body.value("sortNo").toInt();
        sortNos << sortNo;
        // The posted page is the JPEG file of that page.
        QFile file(batchFolder("B-upload") + QString("Image%1.jpg").arg(sortNo));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(body.value("file").toString(), "data:image/jpeg;base64," + QString::fromLatin1(file.readAll().toBase64()));
    }
    std::sort(sortNos.begin(), sortNos.end());
    EXPECT_EQ(sortNos, (QList<int>{ 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 }));

    // The same batch again: its pages follow the ten already counted.
    ASSERT_TRUE(startScan("B-upload"));
    ASSERT_TRUE(page.waitForCmd("uploaded-end", kScanWaitMs));
    ASSERT_TRUE(vtest::waitUntil([&] { return jpegs("B-upload").size() == 20; }));
    QImage eleventh;
    ASSERT_TRUE(eleventh.load(batchFolder("B-upload") + "Image11.jpg", "JPG"));
    EXPECT_EQ(stampedPageNumber(eleventh, 75), 1);
    EXPECT_EQ(http.requestCount("/upload"), 20);
}

// Batch numbers come from the web page and name the batch's folder: whatever they hold, the
// pages stay inside the output folder, and the page hears of uploads only for pages on disk.
TEST_F(ScanAgent, BatchNumbersNeverLeaveTheOutputFolder)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 2 } }) }));
    ASSERT_TRUE(QDir().mkpath(outputFolder()));
    const QStringList outsideBefore = QDir(sandbox.root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const std::vector<std::pair<QString, QString>> contained {
        { "../escaped-batch", "_._escaped-batch" },
        { "x/../../../escaped-deeper", "x_.._.._.._escaped-deeper" },
        { "C:\\batch:7", "C__batch_7" },
    };
    for (const auto& [batch, folder] : contained) {
        const auto reply = startScan(batch);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->value("ret").toInt(), 200) << batch.toStdString();
        for (int n = 0; n < 2; ++n) {
            const auto uploaded = page.waitForCmd("uploaded-image", kScanWaitMs);
            ASSERT_TRUE(uploaded) << batch.toStdString();
            const QString file = uploaded->value("data").toObject().value("localFIle").toString();
            EXPECT_TRUE(QFileInfo(file).canonicalFilePath().startsWith(QDir(outputFolder()).canonicalPath() + "/"))
                << file.toStdString();
            EXPECT_TRUE(vtest::waitUntil([&] { return QFileInfo::exists(file); })) << file.toStdString();
        }
        ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
        EXPECT_EQ(jpegs(folder).size(), 2) << folder.toStdString();
        // The server still hears the number as the page gave it.
        EXPECT_EQ(QJsonDocument::fromJson(http.requests("/upload").last().body).object().value("batchNumber").toString(), batch);
    }
    EXPECT_EQ(QDir(sandbox.root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), outsideBefore);
    EXPECT_EQ(QDir(outputFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), int(contained.size()));

    // Numbers that no folder or setting should hold are refused before anything starts.
    const int uploadsBefore = http.requestCount("/upload");
    const std::vector<std::pair<QString, QString>> refused {
        { QString(300, QChar('b')), "wrong data: batchno is longer than 128 characters" },
        { QString(4 * 1024 * 1024, QChar('b')), "wrong data: batchno is longer than 128 characters" },
        { QStringLiteral("B") + QChar(0) + QStringLiteral("1"), "wrong data: batchno holds a control character" },
        { QStringLiteral("B\n1"), "wrong data: batchno holds a control character" },
    };
    for (const auto& [batch, message] : refused) {
        const auto reply = page.request("start-scan", QJsonObject{ { "batchno", batch },
                                                                   { "uploadUrl", http.url("/upload") },
                                                                   { "unionKey", "U-refused" } });
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->value("ret").toInt(), 400);
        EXPECT_EQ(reply->value("msg").toString(), message);
    }
    EXPECT_FALSE(page.waitForCmd("scan-end", kNoFurtherEndMs));
    EXPECT_EQ(http.requestCount("/upload"), uploadsBefore);
    EXPECT_LT(QFileInfo(sandbox.dataFolder() + "/cfg.dat").size(), 4096);
    EXPECT_LT(QFileInfo(sandbox.logFile()).size(), 1024 * 1024);
}

// What the server receives is the body the agent always built from the page's JPEG file: for
// the EPSON EM-C8100 the page turned by its parity, on disk as scanned.
TEST_F(ScanAgent, ADuplexBatchReachesTheServerAsTheFilesOnDisk)
{
    const QString epson = "EPSON EM-C8100 Series";
    ASSERT_TRUE(startAgent({ scanner(epson, { { "pages", 5 }, { "duplex", true } }) }));
    ASSERT_TRUE(startScan("B-epson"));
    const auto end = page.waitForCmd("uploaded-end", kScanWaitMs);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject().value("succeedCount").toInt(), 10);
    expectPagesInOrder("B-epson", 10);
    const QList<vtest::HttpRequestRecord> uploads = http.requests("/upload");
    ASSERT_EQ(uploads.size(), 10);
    for (const vtest::HttpRequestRecord& upload : uploads) {
        const int sortNo = QJsonDocument::fromJson(upload.body).object().value("sortNo").toInt();
        QFile file(batchFolder("B-epson") + QString("Image%1.jpg").arg(sortNo));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray jpeg = file.readAll();
        EXPECT_TRUE(upload.body == KELUploadTask::requestBody(KELUploadTask::fileValue(jpeg, sortNo, epson), sortNo,
                                                              "U-B-epson", "B-epson", 2)) << sortNo;
        const QImage onDisk = QImage::fromData(jpeg);
        const QImage sent = QImage::fromData(QByteArray::fromBase64(
            QJsonDocument::fromJson(upload.body).object().value("file").toString().mid(23).toLatin1()));
        EXPECT_EQ(sent.size(), onDisk.size().transposed()) << sortNo;
    }
}

// Pages are encoded side by side; the uploader still gets them in page order when a later page
// is ready first (the hook holds page 1's encoding until page 2's is done).
TEST_F(ScanAgent, PagesReachTheUploaderInPageOrder)
{
    sandbox.setEnv("VELLOX_TEST_HOLD_PAGE", "1");
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 8 } }) }));
    ASSERT_TRUE(startScan("B-order"));
    ASSERT_TRUE(page.waitForCmd("uploaded-end", kScanWaitMs));
    expectPagesInOrder("B-order", 8);
    // Page 1 waited for a later page, whichever finished first.
    QDateTime firstLater = QFileInfo(batchFolder("B-order") + "Image2.jpg").lastModified();
    for (int n = 3; n <= 8; ++n)
        firstLater = std::min(firstLater, QFileInfo(batchFolder("B-order") + QString("Image%1.jpg").arg(n)).lastModified());
    EXPECT_GE(QFileInfo(batchFolder("B-order") + "Image1.jpg").lastModified(), firstLater);
    QList<int> handedOver;
    const QRegularExpression line("add a file to upload: file_path: .*Image(\\d+)\\.jpg, sort_no: (\\d+)");
    for (const QString& text : sandbox.readLog().split('\n')) {
        const QRegularExpressionMatch match = line.match(text);
        if (match.hasMatch()) {
            EXPECT_EQ(match.captured(1), match.captured(2));
            handedOver << match.captured(2).toInt();
        }
    }
    EXPECT_EQ(handedOver, (QList<int>{ 1, 2, 3, 4, 5, 6, 7, 8 }));
}

// With the server not answering, the scan goes on at its own pace: every page is on disk when
// the batch ends; once the server answers, every page is uploaded exactly once, with the body
// built from its file as before.
TEST_F(ScanAgent, AStalledServerDoesNotHoldTheScan)
{
    constexpr int kPages = 200;
    http.answer("/upload", HttpReply::withStatus(200, R"({"code":200,"msg":"ok","data":{}})", "application/json").held());
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", kPages }, { "paperSize", "A5" } }) }));
    ASSERT_TRUE(startScan("B-stalled"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    EXPECT_EQ(jpegs("B-stalled").size(), kPages);
    EXPECT_LE(http.requestCount("/upload"), 6);

    http.answer("/upload", HttpReply::withStatus(200, R"({"code":200,"msg":"ok","data":{}})", "application/json"));
    http.releaseAll();
    const auto end = page.waitForCmd("uploaded-end", kScanWaitMs);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(),
              (QJsonObject{ { "batchNo", "B-stalled" }, { "imageCount", kPages }, { "succeedCount", kPages } }));
    const QList<vtest::HttpRequestRecord> uploads = http.requests("/upload");
    ASSERT_EQ(uploads.size(), kPages);
    QSet<int> sortNos;
    for (const vtest::HttpRequestRecord& upload : uploads) {
        const int sortNo = QJsonDocument::fromJson(upload.body).object().value("sortNo").toInt();
        sortNos.insert(sortNo);
        QFile file(batchFolder("B-stalled") + QString("Image%1.jpg").arg(sortNo));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_TRUE(upload.body == KELUploadTask::requestBody(KELUploadTask::fileValue(file.readAll(), sortNo, "Vellox Virtual Scanner"),
                                                              sortNo, "U-B-stalled", "B-stalled", 2)) << sortNo;
    }
    EXPECT_EQ(sortNos.size(), kPages);
}

// The teacher's session cookie goes to the school's servers only. A program on this PC without
// an Origin that starts a scan to its own address gets the pages without it; the server of the
// page that logged in (not an environment of app.dat here) gets it.
TEST_F(ScanAgent, TheLoginCookieStaysWithTheTeachersServers)
{
    HttpTestServer teacherSite;
    HttpTestServer stranger;
    for (HttpTestServer* server : { &teacherSite, &stranger })
        server->answer("/upload", HttpReply::withStatus(200, R"({"code":200,"msg":"ok","data":{}})", "application/json"));
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 1 } }) }));
    WsClient teacher;
    ASSERT_TRUE(teacher.open(port, QUrl(teacherSite.url()).adjusted(QUrl::RemovePath).toString()))
        << teacher.errorString().toStdString();
    const auto login = teacher.request("login", QJsonObject{ { "uploadCredentials", QJsonObject{ { "sid", "secret" } } } });
    ASSERT_TRUE(login);
    EXPECT_EQ(login->value("ret").toInt(), 200);

    ASSERT_TRUE(page.request("start-scan", QJsonObject{ { "batchno", "B-stranger" }, { "uploadUrl", stranger.url("/upload") },
                                                        { "unionKey", "U" } }));
    ASSERT_TRUE(vtest::waitUntil([&] { return stranger.requestCount("/upload") == 1; }, kScanWaitMs));
    EXPECT_FALSE(stranger.requests("/upload").first().hasHeader("Cookie"));

    ASSERT_TRUE(teacher.request("start-scan", QJsonObject{ { "batchno", "B-teacher" }, { "uploadUrl", teacherSite.url("/upload") },
                                                           { "unionKey", "U" } }));
    // (The first batch's own "uploaded-end" may still be on its way.)
    ASSERT_TRUE(vtest::waitUntil([&] { return teacherSite.requestCount("/upload") == 1; }, kScanWaitMs));
    EXPECT_EQ(teacherSite.requests("/upload").first().header("Cookie"), "sid=secret;");
    EXPECT_TRUE(sandbox.waitForLog("batch B-stranger uploads to " + stranger.url("/upload") + " without the login cookie"));
}

} // namespace
