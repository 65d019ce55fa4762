// Batches as teachers run them: scanned again after a jam, a stop or a restart, started again
// while the last one's uploads are under way or within its end, stopped while idle, and the
// scanner released whatever state the agent quits in. Every page reaches the batch folder and
// the server exactly once, and every batch ends with its events.
#include "scanagent.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSet>

namespace {

using namespace scantest;
using vtest::HttpReply;

class ScanBatch : public ScanAgent {
protected:
    // The bytes of every page file of the batch, by name.
    QMap<QString, QByteArray> pageFiles(const QString& batch) const
    {
        QMap<QString, QByteArray> files;
        for (const QString& name : QDir(batchFolder(batch)).entryList({ "Image*" }, QDir::Files)) {
            QFile file(batchFolder(batch) + name);
            if (file.open(QIODevice::ReadOnly))
                files.insert(name, file.readAll());
        }
        return files;
    }

    // The sortNo of every upload of the batch, in the order the server received them.
    QList<int> postedSortNos(const QString& batch) const
    {
        QList<int> sortNos;
        for (const vtest::HttpRequestRecord& upload : http.requests("/upload")) {
            const QJsonObject body = QJsonDocument::fromJson(upload.body).object();
            if (body.value("batchNumber").toString() == batch)
                sortNos << body.value("sortNo").toInt();
        }
        return sortNos;
    }

    // Files written before stay as they were, and every page number was posted once.
    void expectNothingRewritten(const QString& batch, const QMap<QString, QByteArray>& before, int pages)
    {
        ASSERT_TRUE(vtest::waitUntil([&] { return jpegs(batch).size() == pages; }, kScanWaitMs))
            << jpegs(batch).join(',').toStdString();
        const QMap<QString, QByteArray> now = pageFiles(batch);
        for (auto it = before.begin(); it != before.end(); ++it)
            EXPECT_EQ(now.value(it.key()), it.value()) << it.key().toStdString() << " was rewritten";
        QList<int> sortNos = postedSortNos(batch);
        std::sort(sortNos.begin(), sortNos.end());
        QList<int> expected;
        for (int n = 1; n <= pages; ++n)
            expected << n;
        EXPECT_EQ(sortNos, expected);
    }

    std::optional<QJsonObject> uploadedEnd()
    {
        return page.waitForCmd("uploaded-end", kScanWaitMs);
    }

    static QJsonObject totals(const QString& batch, int pages)
    {
        return QJsonObject{ { "batchNo", batch }, { "imageCount", pages }, { "succeedCount", pages } };
    }

    void restartAgent()
    {
        page.close();
        sandbox.latest()->terminate();
        ASSERT_TRUE(sandbox.latest()->waitForFinished(30000));
        port = sandbox.startListening({ "--hidden" });
        ASSERT_NE(port, 0);
        ASSERT_TRUE(page.open(port));
        ASSERT_TRUE(page.waitForCmd("can-use", kScanWaitMs));
    }
};

// A jam at page 4, a stop, a restart of the agent: each rescan of the batch goes on after its
// last page, and each run's "uploaded-end" counts what the server received in it.
TEST_F(ScanBatch, RescansAfterAJamAStopAndARestartNeverRewriteAPage)
{
    const QString batch = "B-rescan";
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner",
                                     { { "pages", 10 }, { "failAtPage", QJsonObject{ { "page", 4 }, { "condition", "TWCC_PAPERJAM" } } } }) }));
    ASSERT_TRUE(startScan(batch));
    EXPECT_EQ(failureEndsTheBatch(QString::fromUtf8("请检查进纸槽是否卡纸.")), totals(batch, 3));
    expectNothingRewritten(batch, {}, 3);

    // The jam cleared: the rest of the stack.
    QMap<QString, QByteArray> before = pageFiles(batch);
    writeProfile({ scanner("Vellox Virtual Scanner", { { "pages", 7 }, { "pageDelayMs", 300 } }) });
    ASSERT_TRUE(startScan(batch));
    ASSERT_TRUE(vtest::waitUntil([&] { return jpegs(batch).size() >= 5; }, kScanWaitMs));
    ASSERT_TRUE(page.request("stop-scan"));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    auto end = uploadedEnd();
    ASSERT_TRUE(end);
    const int stoppedRun = end->value("data").toObject().value("imageCount").toInt();
    EXPECT_GE(stoppedRun, 2);
    EXPECT_LT(stoppedRun, 7);
    expectNothingRewritten(batch, before, 3 + stoppedRun);
    EXPECT_EQ(http.requestCount("/upload"), 3 + stoppedRun);

    // Another batch is the last one the settings remember; after a restart the folder tells.
    writeProfile({ scanner("Vellox Virtual Scanner", { { "pages", 2 } }) });
    ASSERT_TRUE(startScan("B-other"));
    ASSERT_TRUE(uploadedEnd());
    restartAgent();
    before = pageFiles(batch);
    ASSERT_TRUE(startScan(batch));
    end = uploadedEnd();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(), totals(batch, 2));
    expectNothingRewritten(batch, before, 3 + stoppedRun + 2);
    // The new pages are the scanner's first two of this run, under the next numbers.
    QImage first;
    ASSERT_TRUE(first.load(batchFolder(batch) + QString("Image%1.jpg").arg(3 + stoppedRun + 1), "JPG"));
    EXPECT_EQ(stampedPageNumber(first, 75), 1);
}

// The first run's uploads are still held by the server when the batch is scanned again: the
// second run continues the batch, and one "uploaded-end" reports both runs.
TEST_F(ScanBatch, ARescanWhileUploadsAreHeldContinuesTheBatch)
{
    const QString batch = "B-held";
    http.answer("/upload", HttpReply::withStatus(200, R"({"code":200,"msg":"ok","data":{}})", "application/json").held());
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 3 } }) }));
    ASSERT_TRUE(startScan(batch));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    ASSERT_TRUE(vtest::waitUntil([&] { return http.heldCount() == 3; }, kScanWaitMs));
    const QMap<QString, QByteArray> before = pageFiles(batch);
    ASSERT_EQ(before.size(), 3);

    ASSERT_TRUE(startScan(batch));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    ASSERT_TRUE(vtest::waitUntil([&] { return http.heldCount() == 6; }, kScanWaitMs));
    EXPECT_FALSE(page.waitForCmd("uploaded-end", 0));
    http.releaseAll();
    const auto end = uploadedEnd();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(), totals(batch, 6));
    expectNothingRewritten(batch, before, 6);
    EXPECT_FALSE(page.waitForCmd("uploaded-end", 3000)) << "a second uploaded-end";
}

// Batch B starts within the five seconds of A's end, and B's first page is slow: A's end comes
// at B's start, B is not disabled before its pages, and B ends once after its last page.
TEST_F(ScanBatch, ABatchStartedWithinTheLastOnesEndKeepsItsPages)
{
    sandbox.setEnv("VELLOX_TEST_TIME_SCALE", "");  // the pauses as they are in use
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 2 } }) }));
    ASSERT_TRUE(startScan("B-first"));
    ASSERT_TRUE(vtest::waitUntil([&] { return traceCount("DAT_PENDINGXFERS", "MSG_ENDXFER") == 2; }, kScanWaitMs));
    writeProfile({ scanner("Vellox Virtual Scanner", { { "pages", 2 }, { "pageDelayMs", 5500 } }) });
    QElapsedTimer sinceFirstEnd;
    sinceFirstEnd.start();
    // The first batch's end comes at once, named, and before the reply that starts the second.
    page.sendRequest("start-scan", "second", QJsonObject{ { "batchno", "B-second" }, { "uploadUrl", http.url("/upload") },
                                                          { "unionKey", "U" } });
    const auto firstEnd = page.waitFor([](const QJsonObject& m) {
        return m.value("cmd").toString() == "scan-end" || m.value("reqId").toString() == "second";
    }, kScanWaitMs);
    ASSERT_TRUE(firstEnd);
    EXPECT_EQ(firstEnd->value("cmd").toString(), "scan-end");
    EXPECT_EQ(firstEnd->value("data").toObject(), (QJsonObject{ { "batchNo", "B-first" } }));
    ASSERT_TRUE(page.waitForReqId("second"));
    EXPECT_LT(sinceFirstEnd.elapsed(), 5000);
    EXPECT_TRUE(jpegs("B-second").isEmpty());

    ASSERT_TRUE(vtest::waitUntil([&] { return traceCount("DAT_PENDINGXFERS", "MSG_ENDXFER") == 4; }, kScanWaitMs));
    const auto end = page.waitForCmd("scan-end", kScanWaitMs);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(), (QJsonObject{ { "batchNo", "B-second" } }));
    expectPagesInOrder("B-second", 2);
    EXPECT_FALSE(page.waitForCmd("scan-end", 6000)) << "a second scan-end after the second batch";
    // Between the second enabling and its last page the source was never disabled.
    int enables = 0;
    int secondPages = 0;
    int disabledDuringSecond = 0;
    for (const QJsonObject& line : trace()) {
        const QString msg = line.value("msg").toString();
        if (msg == "MSG_ENABLEDS")
            ++enables;
        else if (enables == 2 && msg == "MSG_ENDXFER")
            ++secondPages;
        else if (enables == 2 && secondPages < 2 && msg == "MSG_DISABLEDS")
            ++disabledDuringSecond;
    }
    EXPECT_EQ(enables, 2);
    EXPECT_EQ(disabledDuringSecond, 0);
    EXPECT_EQ(traceCount("DAT_IMAGENATIVEXFER", "MSG_GET"), 4);
}

// Quitting while pages are in transfer, and after a jam, walks the session down to the end.
TEST_F(ScanBatch, QuitReleasesTheScannerInEveryState)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 20 }, { "pageDelayMs", 300 } }) }));
    ASSERT_TRUE(startScan("B-quit"));
    ASSERT_TRUE(vtest::waitUntil([&] { return jpegs("B-quit").size() >= 2; }, kScanWaitMs));
    sandbox.agent()->terminate();
    ASSERT_TRUE(sandbox.agent()->waitForFinished(30000));
    const std::vector<QJsonObject> lines = trace();
    QStringList walk;
    for (auto it = lines.rbegin(); it != lines.rend() && walk.size() < 4; ++it) {
        const QString msg = it->value("msg").toString();
        const bool reset = msg == "MSG_RESET" && it->value("dat").toString() == "DAT_PENDINGXFERS";
        if (reset || msg == "MSG_DISABLEDS" || msg == "MSG_CLOSEDS" || msg == "MSG_CLOSEDSM")
            walk.prepend(msg);
    }
    EXPECT_EQ(walk, (QStringList{ "MSG_RESET", "MSG_DISABLEDS", "MSG_CLOSEDS", "MSG_CLOSEDSM" }));
    EXPECT_LT(jpegs("B-quit").size(), 20);

    QFile::remove(tracePath());
    writeProfile({ scanner("Vellox Virtual Scanner",
                           { { "pages", 10 }, { "failAtPage", QJsonObject{ { "page", 2 }, { "condition", "TWCC_PAPERJAM" } } } }) });
    port = sandbox.startListening({ "--hidden" });
    ASSERT_NE(port, 0);
    ASSERT_TRUE(page.open(port));
    ASSERT_TRUE(page.waitForCmd("can-use", kScanWaitMs));
    ASSERT_TRUE(startScan("B-quit-jam"));
    ASSERT_TRUE(scanErrorEvent());
    sandbox.latest()->terminate();
    ASSERT_TRUE(sandbox.latest()->waitForFinished(30000));
    EXPECT_EQ(traceCount("DAT_USERINTERFACE", "MSG_DISABLEDS"), 1);
    EXPECT_EQ(traceCount("DAT_IDENTITY", "MSG_CLOSEDS"), 1);
    EXPECT_EQ(traceCount("DAT_PARENT", "MSG_CLOSEDSM"), 1);
}

// The scanner that was used last is gone: the DSM's default opens instead, else the first.
TEST_F(ScanBatch, AMissingLastScannerFallsBackToAnother)
{
    sandbox.setConfig("lastselectedscanner", "Scanner Taken Away");
    const auto canUse = startAgent({ scanner("First Scanner", { { "default", false } }), scanner("Default Scanner") });
    ASSERT_TRUE(canUse);
    EXPECT_EQ(canUse->value("data").toObject().value("canUse").toBool(), true);
    EXPECT_EQ(sandbox.config("lastselectedscanner"), "Default Scanner");
    EXPECT_TRUE(sandbox.waitForLog("Data source Scanner Taken Away is not installed, opening Default Scanner instead"));
}

// A page the scanner cannot describe, from a scanner that went away: the teacher is told, and
// the batch ends with what it has. At its end the agent opens the scanner again; while that
// fails the page hears "can-use" false with the reason, and the next batch tries once more.
TEST_F(ScanBatch, AScannerGoneMidBatchIsReportedAndOpenedAgainWhenItIsBack)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner",
                                     { { "pages", 5 },
                                       { "failImageInfoAtPage", QJsonObject{ { "page", 3 }, { "condition", "TWCC_CHECKDEVICEONLINE" } } } }) }));
    ASSERT_TRUE(startScan("B-gone"));
    // Still gone when the agent opens it again.
    ASSERT_TRUE(vtest::waitUntil([&] { return traceCount("DAT_USERINTERFACE", "MSG_ENABLEDS") == 1; }));
    writeProfile({ scanner("Vellox Virtual Scanner", { { "pages", 2 }, { "openFailure", "TWCC_CHECKDEVICEONLINE" } }) });
    EXPECT_EQ(failureEndsTheBatch(QString::fromUtf8("扫描仪已断开，请检查扫描仪连接")), totals("B-gone", 2));
    expectPagesInOrder("B-gone", 2);
    const QString openFailure = QString::fromUtf8("初始化扫描仪(Vellox Virtual Scanner); 失败, ret: 1");
    const auto gone = page.waitForCmd("can-use", kScanWaitMs);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->value("data").toObject().value("canUse").toBool(), false);
    EXPECT_EQ(gone->value("msg").toString(), openFailure);
    const auto error = scanErrorEvent();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->value("msg").toString(), openFailure);
    EXPECT_FALSE(scanErrorEvent(0)) << "one error for each failure";
    const auto login = page.request("login", QJsonObject{});
    ASSERT_TRUE(login);
    EXPECT_EQ(login->value("data").toObject().value("canUse").toBool(), false);

    // Plugged in again: the next batch opens it and scans.
    writeProfile({ scanner("Vellox Virtual Scanner", { { "pages", 2 } }) });
    ASSERT_TRUE(startScan("B-back"));
    const auto back = page.waitForCmd("can-use", kScanWaitMs);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->value("data").toObject().value("canUse").toBool(), true);
    const auto end = uploadedEnd();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(), totals("B-back", 2));
    EXPECT_EQ(traceCount("DAT_IDENTITY", "MSG_OPENDS"), 3);
}

// A page of the last run still being encoded when the batch is scanned again: the new pages
// are numbered after it, nothing is overwritten, and the runs end as one batch (the hook holds
// page 3's encoding until a later page has been encoded).
TEST_F(ScanBatch, ARescanWhileAPageIsStillEncodingNumbersAfterIt)
{
    const QString batch = "B-encoding";
    sandbox.setEnv("VELLOX_TEST_HOLD_PAGE", "3");
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 3 } }) }));
    ASSERT_TRUE(startScan(batch));
    ASSERT_TRUE(page.waitForCmd("scan-end", kScanWaitMs));
    // Page 3 waits in the pipeline: neither its file nor the batch's end has come.
    EXPECT_EQ(jpegs(batch), (QStringList{ "Image1.jpg", "Image2.jpg" }));
    const QMap<QString, QByteArray> before = pageFiles(batch);

    writeProfile({ scanner("Vellox Virtual Scanner", { { "pages", 2 } }) });
    ASSERT_TRUE(startScan(batch));
    const auto end = uploadedEnd();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(), totals(batch, 5));
    expectNothingRewritten(batch, before, 5);
    const int stamps[] = { 1, 2, 3, 1, 2 };
    for (int n = 1; n <= 5; ++n) {
        QImage image;
        ASSERT_TRUE(image.load(batchFolder(batch) + QString("Image%1.jpg").arg(n), "JPG")) << n;
        EXPECT_EQ(stampedPageNumber(image, 75), stamps[n - 1]) << n;
    }
    EXPECT_FALSE(page.waitForCmd("uploaded-end", 3000)) << "the batch ended twice";
}

// A driver whose image header claims more than it handed over: that page is reported and not
// saved, the agent reads nothing beyond the image and carries on with the next pages.
TEST_F(ScanBatch, APageWithLyingSizesIsReportedAndTheBatchGoesOn)
{
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 3 }, { "lyingDibAtPage", 2 } }) }));
    ASSERT_TRUE(startScan("B-lying"));
    const auto unsaved = scanErrorEvent();
    ASSERT_TRUE(unsaved);
    EXPECT_EQ(unsaved->value("msg").toString(), QString::fromUtf8("第2张扫描图像无法识别, 未能保存, 请重新扫描该页"));
    EXPECT_EQ(unsaved->value("data").toObject().value("page").toInt(), 2);
    const auto end = page.waitForCmd("uploaded-end", kScanWaitMs);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(), totals("B-lying", 2));
    ASSERT_EQ(jpegs("B-lying"), (QStringList{ "Image1.jpg", "Image2.jpg" }));
    QImage third;
    ASSERT_TRUE(third.load(batchFolder("B-lying") + "Image2.jpg", "JPG"));
    EXPECT_EQ(stampedPageNumber(third, 75), 3);
    EXPECT_TRUE(sandbox.waitForLog("the DIB header claims"));
    EXPECT_EQ(sandbox.agent()->state(), QProcess::Running);
}

// Pages by file transfer are read on the encoders while the scanner writes the next page under
// the same name: page 1 is still unread when later pages have gone through that name (the hook
// holds its encoding until page 2's is done), yet every page is saved from its own file, once and
// in order. A file the driver never wrote or left empty is reported with its image number as the
// teacher hears of any unreadable page, and the pages after it take the numbers on; no transfer
// file stays behind in the agent's temporary folder.
TEST_F(ScanBatch, PagesByFileTransferAreEachReadFromTheirOwnFile)
{
    const QString batch = "B-files";
    sandbox.setEnv("VELLOX_TEST_HOLD_PAGE", "1");
    // An output folder given with a separator at its end still makes plain paths.
    sandbox.setConfig("outputpath", outputFolder() + "/");
    // Pages in transfer when an earlier agent ended: removed at the next start.
    const QString temp = sandbox.dataFolder() + "/temp";
    ASSERT_TRUE(QDir().mkpath(temp));
    for (const QString& name : { "vellox-transfer.bmp", "vellox-transfer-2.bmp" }) {
        QFile leftover(temp + "/" + name);
        ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
        leftover.write("BM");
        ASSERT_TRUE(leftover.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    }
    ASSERT_TRUE(startAgent({ scanner("Vellox Virtual Scanner", { { "pages", 6 }, { "xferMech", "file" },
                                                                 { "missingFileAtPage", 3 }, { "emptyFileAtPage", 5 } }) }));
    ASSERT_TRUE(startScan(batch));
    for (const int image : { 3, 5 }) {
        const auto unsaved = scanErrorEvent();
        ASSERT_TRUE(unsaved) << image;
        EXPECT_EQ(unsaved->value("msg").toString(),
                  QString::fromUtf8("第%1张扫描图像无法识别, 未能保存, 请重新扫描该页").arg(image));
        EXPECT_EQ(unsaved->value("data").toObject().value("page").toInt(), image);
    }
    const auto uploaded = page.waitForCmd("uploaded-image", kScanWaitMs);
    ASSERT_TRUE(uploaded);
    EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(batchFolder(batch)) + "Image[1-4]\\.jpg$")
                    .match(uploaded->value("data").toObject().value("localFIle").toString()).hasMatch())
        << uploaded->value("data").toObject().value("localFIle").toString().toStdString();
    const auto end = uploadedEnd();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->value("data").toObject(), totals(batch, 4));
    expectNothingRewritten(batch, {}, 4);
    const int stamps[] = { 1, 2, 4, 6 };
    for (int n = 1; n <= 4; ++n) {
        QImage image;
        ASSERT_TRUE(image.load(batchFolder(batch) + QString("Image%1.jpg").arg(n), "JPG")) << n;
        EXPECT_EQ(stampedPageNumber(image, 75), stamps[n - 1]) << n;
    }
    const QString transferFile = sandbox.dataFolder() + "/temp/vellox-transfer.bmp";
    EXPECT_TRUE(sandbox.waitForLog("the transferred file cannot be read: " + transferFile));
    EXPECT_TRUE(sandbox.waitForLog("the transferred file is empty: " + transferFile));
    EXPECT_EQ(QDir(sandbox.dataFolder() + "/temp").entryList({ "vellox-transfer*" }, QDir::Files), QStringList());
    EXPECT_FALSE(scanErrorEvent(0)) << "one error for each unreadable page";
    EXPECT_EQ(sandbox.agent()->state(), QProcess::Running);
}

// Without a server environment the agent asks no server anything, and the scanner is ready
// at once instead of after a failed name lookup.
TEST_F(ScanBatch, NoRequestWithoutAnEnvironment)
{
    sandbox.usePrivateProgramFolder(QJsonObject{ { "appname", "vellox" }, { "appversion", "1.0.0" }, { "current", "" }, { "domains", QJsonArray{} } });
    writeProfile({ scanner("Vellox Virtual Scanner") });
    port = sandbox.startListening({ "--hidden" });
    ASSERT_NE(port, 0);
    QElapsedTimer sinceListening;
    sinceListening.start();
    ASSERT_TRUE(page.open(port));
    const auto canUse = page.waitForCmd("can-use", kScanWaitMs);
    ASSERT_TRUE(canUse);
    // Two one-second steps bring the scanner up after the check; the rest is a busy machine.
    EXPECT_LT(sinceListening.elapsed(), 5000);
    EXPECT_EQ(canUse->value("data").toObject().value("canUse").toBool(), true);
    EXPECT_TRUE(sandbox.waitForLog("Check upgrade skipped: no server environment is configured"));
    EXPECT_EQ(http.requestCount(), 0);
}

} // namespace
