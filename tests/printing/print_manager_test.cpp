// The print task manager in this process, over the in-memory spooler and a local image server:
// the finish handlers take only the first end of a job, a job given up or stopped is taken back
// from the spooler, many legacy tasks all end (a lost wake-up would strand them), a download that
// is no image is told apart, the agent's own local print keeps the printer to itself, and the
// names and print configuration a command's values turn into.

#include "httptestserver.h"
#include "logcapture.h"
#include "memoryspooler.h"
#include "printtestkit.h"
#include "wait.h"

#include "printing/printdownloads.h"
#include "printing/printermgr.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace ptest;
using vtest::MemorySpooler;

namespace {

const std::wstring kPrinter = L"memory";

struct PageEvent {
    QString connectionKey;
    QString cmd;
    QJsonObject data;
    QString msg;
};

// Receives prepared tasks' results as the batch manager would.
class BatchReceiver : public QObject {
    Q_OBJECT
public:
    struct Result {
        QString key;
        bool success = false;
        QString message;
    };
    QList<Result> results;

public Q_SLOTS:
    void slotStudentPrintFinished(QString key, bool success, QString message)
    {
        results.append({key, success, message});
    }
};

QByteArray jpegOf(QColor color)
{
    QImage image(40, 56, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 90);
    return bytes;
}

class PrintManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        spooler->addPrinter(kPrinter, MemorySpooler::Printer());
        spooler->setDefault(kPrinter);
        page = folders.writePage("page.jpg", 40, 56, Qt::red);
        server.serveFile("/page.jpg", jpegOf(Qt::blue));
    }

    std::unique_ptr<KELPrinterMgr> manager(int giveUpMs = 600000)
    {
        PrintWaitPolicy policy;
        policy.pollIntervalMs = 100;
        policy.giveUpMs = giveUpMs;
        printer.setWaitPolicy(policy);
        auto mgr = std::make_unique<KELPrinterMgr>(
            &printer, folders.dataFolder() + "/download/",
            [this](const QString& key, const QString&, const QString& cmd, int, const QJsonObject& data,
                   const QString& msg) { events.append({key, cmd, data, msg}); });
        mgr->setBatchReceiver(&receiver);
        return mgr;
    }

    // Ends every job in the printer's queue and polls at once rather than at the next tick.
    void drainQueue()
    {
        for (const auto& job : spooler->printer(kPrinter).queue)
            spooler->finishJob(kPrinter, job.first);
        printer.pollTrackedJobs();
    }

    bool waitForDocuments(int count)
    {
        return vtest::waitUntil([&] { return spooler->documents().size() >= count; });
    }

    std::shared_ptr<MemorySpooler> spooler = std::make_shared<MemorySpooler>();
    PrintFolders folders;
    CPrinter printer {spooler, folders.config()};
    vtest::HttpTestServer server;
    BatchReceiver receiver;
    QList<PageEvent> events;
    QString page;
};

TEST_F(PrintManagerTest, OnlyTheFirstEndOfAJobCounts)
{
    auto mgr = manager();
    ASSERT_TRUE(mgr->enqueuePreparedTask("b_1", "Ann", "1", "key", {page}, {{"type", "whole"}}, "b_1"));
    EXPECT_FALSE(mgr->enqueuePreparedTask("b_1", "Ann", "1", "key", {page}, {}, "b_1"));
    ASSERT_TRUE(waitForDocuments(1));
    ASSERT_TRUE(vtest::waitUntil([&] { return printer.isTracking("b_1"); }));

    // Another task's job, or the legacy signal, ends nothing here.
    Q_EMIT printer.sigPrintJobFinished("b_2");
    Q_EMIT printer.sigPrintFinish();
    Q_EMIT printer.sigPrintJobFailed("b_2", "other");
    EXPECT_FALSE(vtest::waitUntil([&] { return !receiver.results.isEmpty(); }, 300));

    drainQueue();
    ASSERT_TRUE(vtest::waitUntil([&] { return !receiver.results.isEmpty(); }));
    EXPECT_TRUE(receiver.results[0].success);
    EXPECT_EQ(receiver.results[0].key, "b_1");
    // A late failure or repeat of the finish reports nothing more.
    Q_EMIT printer.sigPrintJobFailed("b_1", "late");
    Q_EMIT printer.sigPrintJobFinished("b_1");
    EXPECT_FALSE(vtest::waitUntil([&] { return receiver.results.size() > 1; }, 300));
    EXPECT_EQ(mgr->taskCount(), 0);
}

TEST_F(PrintManagerTest, AJobGivenUpOrStoppedIsTakenBackFromTheSpooler)
{
    vtest::LogCapture log;
    auto mgr = manager(1500);
    ASSERT_TRUE(mgr->enqueuePreparedTask("t_1", "Ann", "1", "key", {page}, {{"type", "whole"}}, "t_1"));
    ASSERT_TRUE(waitForDocuments(1));
    const int jobId = spooler->documents().front().jobId;
    ASSERT_TRUE(vtest::waitUntil([&] { return !receiver.results.isEmpty(); }));
    EXPECT_FALSE(receiver.results[0].success);
    EXPECT_EQ(receiver.results[0].message, QString::fromUtf8("打印超时，请检查打印机状态"));
    EXPECT_EQ(spooler->cancelledJobs().count(jobId), 1u) << "a failed job must not print later";
    EXPECT_FALSE(printer.isTracking("t_1"));
    EXPECT_TRUE(log.contains("tracked print job failed. uniqueId=t_1"));

    // A job that ends before the limit is not failed by it afterwards.
    ASSERT_TRUE(mgr->enqueuePreparedTask("t_2", "Bob", "2", "key", {page}, {{"type", "whole"}}, "t_2"));
    ASSERT_TRUE(waitForDocuments(2));
    ASSERT_TRUE(vtest::waitUntil([&] {
        drainQueue();
        return receiver.results.size() == 2;
    }));
    EXPECT_TRUE(receiver.results[1].success);
    EXPECT_FALSE(vtest::waitUntil([&] { return receiver.results.size() > 2; }, 2000));

    // Stopped at the printer: taken back and failed; stopped before its job went: never sent.
    auto patient = manager();
    ASSERT_TRUE(patient->enqueuePreparedTask("s_1", "Cy", "3", "key", {page}, {{"type", "whole"}}, "s_1"));
    ASSERT_TRUE(waitForDocuments(3));
    ASSERT_TRUE(vtest::waitUntil([&] { return printer.isTracking("s_1"); }));
    ASSERT_TRUE(patient->enqueuePreparedTask("s_2", "Di", "4", "key", {page}, {{"type", "whole"}}, "s_2"));
    EXPECT_TRUE(patient->cancelTask("s_2"));
    EXPECT_TRUE(patient->cancelTask("s_1"));
    EXPECT_FALSE(patient->cancelTask("nobody"));
    ASSERT_TRUE(vtest::waitUntil([&] { return receiver.results.size() == 4; }));
    for (int i : {2, 3}) {
        EXPECT_FALSE(receiver.results[i].success);
        EXPECT_EQ(receiver.results[i].message, QString::fromUtf8("打印已取消"));
    }
    EXPECT_EQ(spooler->cancelledJobs().count(spooler->documents().at(2).jobId), 1u);
    EXPECT_FALSE(vtest::waitUntil([&] { return spooler->documents().size() > 3; }, 500)) << "a stopped task sent its job";
    EXPECT_EQ(patient->taskCount(), 0);
}

TEST_F(PrintManagerTest, TwoHundredLegacyTasksAllEnd)
{
    auto mgr = manager();
    constexpr int kTasks = 200;
    for (int i = 0; i < kTasks; ++i)
        mgr->addLegacyPrintTask(QJsonObject {{"studentName", QString("s%1").arg(i)},
                                             {"studentId", QString::number(i)},
                                             {"imgList", QJsonArray {server.url("/page.jpg")}},
                                             {"remoteKey", "page"}});
    const bool allEnded = vtest::waitUntil(
        [&] {
            drainQueue();
            return events.size() == kTasks;
        },
        240000);
    ASSERT_TRUE(allEnded) << events.size() << " of " << kTasks << " ended";
    for (const PageEvent& event : events) {
        EXPECT_EQ(event.cmd, "print-end") << event.msg.toStdString();
        EXPECT_EQ(event.connectionKey, "page");
        EXPECT_EQ(event.data.value("remote_key").toString(), "page");
    }
    // One at a time at the printer, never more than five downloading.
    EXPECT_EQ(spooler->documents().size(), kTasks);
    EXPECT_LE(server.maxInFlight(), 5);
    EXPECT_EQ(mgr->taskCount(), 0);
}

TEST_F(PrintManagerTest, LegacyFailuresReachTheirPageWithWhatWentWrong)
{
    server.answer("/missing.jpg", vtest::HttpReply::withStatus(404, "no such page", "text/html"));
    // An expired session: the school's login page, answered 200, or a refusal.
    server.answer("/login.jpg",
                  vtest::HttpReply::withStatus(
                      200, "<!DOCTYPE html><html><body><form><input type='password' name=p></form></body></html>",
                      "text/html"));
    // Some other page (a proxy's, a portal's) is the network's fault.
    server.answer("/portal.jpg", vtest::HttpReply::withStatus(200, "<html><body>Wi-Fi</body></html>", "text/html"));
    server.answer("/refused.jpg", vtest::HttpReply::withStatus(401, "", "text/plain"));
    server.answer("/garbage.jpg", vtest::HttpReply::withStatus(200, QByteArray(300, 'x'), "image/jpeg"));
    auto mgr = manager();
    const auto print = [&](const char* name, const QStringList& paths) {
        QJsonArray urls;
        for (const QString& path : paths)
            urls.append(server.url(path));
        mgr->addLegacyPrintTask({{"studentName", name}, {"imgList", urls}, {"remoteKey", name}});
    };
    print("Ann", {});
    print("Bob", {"/page.jpg", "/missing.jpg"});
    print("Cy", {"/page.jpg", "/login.jpg"});
    print("Di", {"/refused.jpg"});
    print("Ed", {"/garbage.jpg"});
    print("Flo", {"/portal.jpg"});
    ASSERT_TRUE(vtest::waitUntil([&] { return events.size() == 6; }));
    const QString network = QString::fromUtf8("打印出错，请检查网络");
    const QString login = QString::fromUtf8("打印出错，登录已过期，请重新登录");
    const QMap<QString, QString> expected {{"Ann", network}, {"Bob", network}, {"Cy", login}, {"Di", login},
                                           {"Ed", network}, {"Flo", network}};
    for (const PageEvent& event : events) {
        EXPECT_EQ(event.cmd, "error");
        EXPECT_EQ(event.data.value("errorType").toString(), "print-error");
        EXPECT_EQ(event.msg, expected.value(event.connectionKey)) << event.connectionKey.toStdString();
        if (event.connectionKey == "Cy")
            EXPECT_EQ(event.data.value("imgUrl").toString(), server.url("/login.jpg"));
    }
    EXPECT_EQ(spooler->documents().size(), 0) << "an error page was printed";
    // Nothing of theirs stays on the PC.
    ASSERT_TRUE(vtest::waitUntil([&] {
        return QDir(folders.dataFolder() + "/download").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty();
    }));
}

TEST_F(PrintManagerTest, ALocalTaskKeepsThePrinterFromAWebPrintAndTellsItsStarter)
{
    vtest::LogCapture log;
    auto mgr = manager();
    QSignalSpy printedAll(mgr.get(), &KELPrinterMgr::sigFinishPrintAllImages);
    QSignalSpy localEnds(mgr.get(), &KELPrinterMgr::sigLocalTaskFinished);
    const QString second = folders.writePage("second.jpg", 40, 56, Qt::green);
    ASSERT_TRUE(mgr->enqueueLocalTask("100_0", {page, second}, {{"size", "A4"}, {"type", "part"}}));
    EXPECT_FALSE(mgr->enqueueLocalTask("100_0", {page}, {}));
    ASSERT_TRUE(waitForDocuments(1));

    // A web print arriving meanwhile waits until the local job has ended: it neither downloads
    // nor reconfigures the printer before.
    mgr->addLegacyPrintTask(QJsonObject {{"studentName", "Ann"},
                                         {"imgList", QJsonArray {server.url("/page.jpg")}},
                                         {"remoteKey", "page"}});
    EXPECT_FALSE(vtest::waitUntil([&] { return server.requestCount("/page.jpg") > 0; }, 500));
    EXPECT_EQ(spooler->documents().size(), 1);
    EXPECT_EQ(spooler->documents().front().pages.size(), 2);

    ASSERT_TRUE(vtest::waitUntil([&] {
        drainQueue();
        return events.size() == 1;
    }));
    EXPECT_EQ(events[0].cmd, "print-end");
    EXPECT_EQ(spooler->documents().size(), 2);
    // The local end goes to whoever started it: no batch result, no page event, no "all printed".
    EXPECT_TRUE(log.contains("print callback. uniqueId=100_0, success=true"));
    ASSERT_EQ(localEnds.count(), 1);
    EXPECT_EQ(localEnds.at(0).at(0).toString(), "100_0");
    EXPECT_TRUE(localEnds.at(0).at(1).toBool());
    EXPECT_TRUE(receiver.results.isEmpty());
    EXPECT_EQ(printedAll.count(), 1);
    EXPECT_EQ(mgr->taskCount(), 0);
}

TEST(PrintNames, ImagePathsStayApartAndInsideTheirFolder)
{
    const QString dir = "/data/download/s1";
    EXPECT_EQ(buildImagePath(dir, 2, "http://h/exam/answer.png?t=5"), dir + "/003_answer.png_t_5.jpg");
    // Same ending, different files; a URL without "=" or "/" is still a name.
    EXPECT_NE(buildImagePath(dir, 0, "http://h/a?page=1"), buildImagePath(dir, 1, "http://h/b?page=1"));
    EXPECT_EQ(buildImagePath(dir, 0, "plain"), dir + "/001_plain.jpg");
    EXPECT_EQ(buildImagePath(dir, 0, "http://h/dir/"), dir + "/001_http___h_dir_.jpg");
    EXPECT_EQ(buildImagePath(dir, 9, ""), dir + "/010_image_10.jpg");
    EXPECT_EQ(buildImagePath(dir, 999, "x"), dir + "/1000_x.jpg");
    for (const QString& url : {QString("http://h/q?f=..%2f.."), QString("http://h/.."), QString("=../../etc"),
                               QString("http://h/a\\..\\..\\b"), QString("http://h/x?s=a:b*c\"d<e>f|g")}) {
        const QFileInfo info(buildImagePath(dir, 0, url));
        EXPECT_EQ(info.absolutePath(), dir) << url.toStdString();
        EXPECT_TRUE(info.fileName().endsWith(".jpg")) << url.toStdString();
    }
    // Long signed URLs: within a file name's 255 bytes with the download's suffix, apart at the end.
    const QString longUrl = "http://h/img?sig=" + QString(600, QChar(0x4e2d));
    const QString a = QFileInfo(buildImagePath(dir, 0, longUrl + "a")).fileName();
    const QString b = QFileInfo(buildImagePath(dir, 0, longUrl + "b")).fileName();
    EXPECT_LE((a + ".download").toUtf8().size(), 255);
    EXPECT_NE(a, b);

    EXPECT_EQ(safeNamePiece("../../x"), "_._.._x");
    EXPECT_EQ(safeNamePiece("S001"), "S001");
}

TEST(PrintNames, PrintConfigTakesOnlyKnownValues)
{
    using Config = QMap<QString, QString>;
    EXPECT_EQ(buildPrintConfig({{"size", "A4"}, {"type", "part"}}), (Config {{"size", "A4"}, {"type", "part"}}));
    EXPECT_EQ(buildPrintConfig({{"size", "16K"}}), (Config {{"size", "16K"}, {"type", "whole"}}));
    EXPECT_EQ(buildPrintConfig({}), (Config {{"type", "whole"}}));
    EXPECT_EQ(buildPrintConfig({{"size", "a4"}, {"type", "Whole"}}), Config());
    EXPECT_EQ(buildPrintConfig({{"size", "A5"}, {"type", 1}}), Config());
    EXPECT_EQ(buildPrintConfig({{"type", QJsonValue::Null}}), Config());
}

} // namespace

#include "print_manager_test.moc"
