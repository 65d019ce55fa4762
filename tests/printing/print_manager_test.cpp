// The print task manager in this process, over the in-memory spooler and a local image server:
// the finish handlers take only the first end of a job, a time-out forgets the job, many legacy
// tasks all end (a lost wake-up would strand them), the agent's own local print keeps the printer
// to itself, and the names and print configuration a command's values turn into.

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

    std::unique_ptr<KELPrinterMgr> manager(int timeoutMs = 60000)
    {
        auto mgr = std::make_unique<KELPrinterMgr>(
            &printer, folders.dataFolder() + "/download/",
            [this](const QString& key, const QString& cmd, int, const QJsonObject& data, const QString& msg) {
                events.append({key, cmd, data, msg});
            },
            KELPrinterMgr::Timing {timeoutMs, timeoutMs});
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

TEST_F(PrintManagerTest, ATimeOutFailsTheTaskAndForgetsItsJob)
{
    vtest::LogCapture log;
    auto mgr = manager(1500);
    ASSERT_TRUE(mgr->enqueuePreparedTask("t_1", "Ann", "1", "key", {page}, {{"type", "whole"}}, "t_1"));
    ASSERT_TRUE(waitForDocuments(1));
    ASSERT_TRUE(vtest::waitUntil([&] { return !receiver.results.isEmpty(); }));
    EXPECT_FALSE(receiver.results[0].success);
    EXPECT_EQ(receiver.results[0].message, QString::fromUtf8("打印超时，请检查打印机状态"));
    EXPECT_FALSE(printer.isTracking("t_1"));
    EXPECT_TRUE(log.contains("print task timeout error, please check printer status. uniqueId=t_1"));

    // The job printing after all, or its signal, changes nothing.
    drainQueue();
    Q_EMIT printer.sigPrintJobFinished("t_1");
    EXPECT_FALSE(vtest::waitUntil([&] { return receiver.results.size() > 1; }, 300));

    // A job that ends before its time-out is not failed by it afterwards.
    ASSERT_TRUE(mgr->enqueuePreparedTask("t_2", "Bob", "2", "key", {page}, {{"type", "whole"}}, "t_2"));
    ASSERT_TRUE(waitForDocuments(2));
    ASSERT_TRUE(vtest::waitUntil([&] {
        drainQueue();
        return receiver.results.size() == 2;
    }));
    EXPECT_TRUE(receiver.results[1].success);
    EXPECT_FALSE(vtest::waitUntil([&] { return receiver.results.size() > 2; }, 2000));
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

TEST_F(PrintManagerTest, LegacyFailuresReachTheirPage)
{
    server.answer("/missing.jpg", vtest::HttpReply::withStatus(404, "no such page", "text/html"));
    auto mgr = manager();
    mgr->addLegacyPrintTask({{"studentName", "Ann"}, {"imgList", QJsonArray {}}, {"remoteKey", "a"}});
    mgr->addLegacyPrintTask({{"studentName", "Bob"},
                             {"imgList", QJsonArray {server.url("/page.jpg"), server.url("/missing.jpg")}},
                             {"remoteKey", "b"}});
    ASSERT_TRUE(vtest::waitUntil([&] { return events.size() == 2; }));
    for (const PageEvent& event : events) {
        EXPECT_EQ(event.cmd, "error");
        EXPECT_EQ(event.data.value("errorType").toString(), "print-error");
        EXPECT_EQ(event.msg, QString::fromUtf8("打印出错，请检查网络"));
    }
    EXPECT_EQ(spooler->documents().size(), 0) << "an error page was printed";
}

TEST_F(PrintManagerTest, ALocalTaskKeepsThePrinterFromAWebPrintAndTellsNobody)
{
    vtest::LogCapture log;
    auto mgr = manager();
    QSignalSpy printedAll(mgr.get(), &KELPrinterMgr::sigFinishPrintAllImages);
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
    // The local end is only logged: no batch result, no page event, no "all printed".
    EXPECT_TRUE(log.contains("print callback. uniqueId=100_0, success=true"));
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
