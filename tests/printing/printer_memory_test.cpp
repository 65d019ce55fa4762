// CPrinter over the in-memory spooler: every failure of a print with what it leaves behind, the
// empty document, the bin count per printer, a stopped or offline printer, transparent and
// landscape pages, and a poll and a name query that never wait for a print.

#include "logcapture.h"
#include "memoryspooler.h"
#include "printtestkit.h"
#include "wait.h"

#include <QFile>
#include <QSemaphore>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <future>

using namespace ptest;
using vtest::MemorySpooler;

namespace {

const std::wstring kPrinter = L"memory";

class PrinterMemoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MemorySpooler::Printer p;
        p.binCount = 2;
        p.devModeSize = 220 + 32;
        spooler->addPrinter(kPrinter, p);
        spooler->setDefault(kPrinter);
        ASSERT_TRUE(printer.selectPrinter(QString()));
        pages = QStringList {folders.writePage("one.jpg", 200, 280, Qt::red), folders.writePage("two.jpg", 200, 280, Qt::blue)};
    }

    // Configures and prints; the document the spooler saw, if one was created.
    bool configuredPrint(const QString& uniqueId, const QStringList& files, bool legacy = false)
    {
        EXPECT_NE(printer.configPrinter({{"size", "A4"}, {"type", "whole"}}), nullptr);
        return printFromPool(printer, uniqueId, files, legacy);
    }

    // The device mode is consumed: the next document gets none unless configured again.
    void expectDevModeFreed()
    {
        const int before = spooler->documents().size();
        printFromPool(printer, "probe", {});
        const QList<MemorySpooler::Document> docs = spooler->documents();
        ASSERT_EQ(docs.size(), before + 1);
        EXPECT_TRUE(docs.last().devMode.empty());
        printer.removeTrackedPrintJob("probe");
    }

    void expectForgottenAndTimerStopped(const QString& uniqueId)
    {
        EXPECT_FALSE(printer.isTracking(uniqueId));
        EXPECT_TRUE(vtest::waitUntil([&] { return !printer.isPolling(); }));
    }

    std::shared_ptr<MemorySpooler> spooler = std::make_shared<MemorySpooler>();
    PrintFolders folders;
    CPrinter printer {spooler, folders.config()};
    QStringList pages;
};

TEST_F(PrinterMemoryTest, PrecheckFailuresCreateNoDocument)
{
    vtest::LogCapture log;
    const QString missing = folders.dataFolder() + "/missing.jpg";
    QString message;
    EXPECT_FALSE(printer.precheckPrintFiles("u1", {pages[0], missing}, "Ann", "7", &message));
    EXPECT_EQ(message, QString::fromUtf8("打印文件不存在"));
    EXPECT_TRUE(log.contains(QString("print file precheck failed. uniqueId=u1, studentName=Ann, studentId=7, "
                                     "pageIndex=1, filePath=%1, fileExists=0, decodeOk=0, "
                                     "failStage=precheck_file_invalid")
                                 .arg(missing)));
    EXPECT_FALSE(printer.precheckPrintFiles("u1", {QString()}, "Ann", "7", nullptr));

    QFile broken(folders.dataFolder() + "/broken.jpg");
    broken.open(QIODevice::WriteOnly);
    broken.write("not an image");
    broken.close();
    EXPECT_FALSE(printer.precheckPrintFiles("u1", {broken.fileName()}, "Ann", "7", &message));
    EXPECT_EQ(message, QString::fromUtf8("打印文件解析失败"));
    EXPECT_TRUE(log.contains("fileExists=1, decodeOk=0, failStage=precheck_file_invalid"));

    EXPECT_FALSE(configuredPrint("u1", {pages[0], broken.fileName()}));
    EXPECT_TRUE(log.contains(QString("print precheck failed. uniqueId=u1, studentName=student, studentId=s1, "
                                     "fileCount=2, filePaths=%1|%2, msg=打印文件解析失败")
                                 .arg(pages[0], broken.fileName())));
    EXPECT_TRUE(spooler->documents().isEmpty());
    expectDevModeFreed();
}

TEST_F(PrinterMemoryTest, EachFailedStepAbortsForgetsTheJobAndFreesTheDeviceMode)
{
    struct Case {
        const char* stage;
        MemorySpooler::DocumentScript script;
        bool startsJob;
    };
    MemorySpooler::DocumentScript createFails;
    createFails.createFails = true;
    MemorySpooler::DocumentScript startDocFails;
    startDocFails.startDocFails = true;
    MemorySpooler::DocumentScript startPageFails;
    startPageFails.startPageFailsAt = 1;
    MemorySpooler::DocumentScript endDocFails;
    endDocFails.endDocFails = true;
    const std::vector<Case> cases = {
        {"failStage=create_dc", createFails, false},
        {"failStage=start_doc", startDocFails, false},
        {"failStage=start_page", startPageFails, true},
        {"failStage=end_doc", endDocFails, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        vtest::LogCapture log;
        spooler->setDocumentScript(c.script);
        const int before = spooler->documents().size();
        EXPECT_FALSE(configuredPrint("fail", pages));
        EXPECT_TRUE(log.contains(c.stage));
        if (c.startsJob) {
            EXPECT_TRUE(log.contains("register tracked print job. uniqueId=fail"));
            const MemorySpooler::Document doc = spooler->documents().last();
            EXPECT_TRUE(doc.aborted);
            EXPECT_EQ(spooler->printer(kPrinter).queue.count(doc.jobId), 0u) << "nothing left to print";
        } else {
            EXPECT_FALSE(log.contains("register tracked print job"));
        }
        if (std::string(c.stage) == "failStage=create_dc")
            EXPECT_EQ(spooler->documents().size(), before);
        expectForgottenAndTimerStopped("fail");
        spooler->setDocumentScript({});
        expectDevModeFreed();
    }

    // A page that decoded in the precheck and is gone when its turn comes: page ended, document
    // aborted.
    vtest::LogCapture log;
    MemorySpooler::DocumentScript spoil;
    const QString vanishing = folders.writePage("vanishing.png", 100, 140, Qt::green, QColor(), "PNG");
    spoil.onStartPage = [vanishing](int page) {
        if (page == 1)
            QFile::remove(vanishing);
    };
    spooler->setDocumentScript(spoil);
    EXPECT_FALSE(configuredPrint("spoiled", {pages[0], vanishing}));
    EXPECT_TRUE(log.contains(QString("print image decode failed after precheck. uniqueId=spoiled, studentName=student, "
                                     "studentId=s1, filePath=%1, printerName=memory, failStage=decode_image_runtime")
                                 .arg(vanishing)));
    EXPECT_TRUE(spooler->documents().last().aborted);
    EXPECT_EQ(spooler->documents().last().pages.size(), 1);
    expectForgottenAndTimerStopped("spoiled");
}

TEST_F(PrinterMemoryTest, StartDocFailureForgetsAnEarlierJobOfTheSameId)
{
    ASSERT_TRUE(configuredPrint("again", pages));
    EXPECT_TRUE(printer.isTracking("again"));
    MemorySpooler::DocumentScript startDocFails;
    startDocFails.startDocFails = true;
    spooler->setDocumentScript(startDocFails);
    EXPECT_FALSE(configuredPrint("again", pages));
    expectForgottenAndTimerStopped("again");
}

TEST_F(PrinterMemoryTest, EmptyListPrintsAnEmptyDocumentAndTracksIt)
{
    ASSERT_TRUE(configuredPrint("empty", {}));
    const MemorySpooler::Document doc = spooler->documents().last();
    EXPECT_TRUE(doc.ended);
    EXPECT_TRUE(doc.pages.isEmpty());
    EXPECT_EQ(doc.name, L"empty");
    EXPECT_FALSE(doc.devMode.empty());
    EXPECT_TRUE(printer.isTracking("empty"));
    EXPECT_TRUE(vtest::waitUntil([&] { return printer.isPolling(); }));
    printer.removeTrackedPrintJob("empty");
    EXPECT_TRUE(vtest::waitUntil([&] { return !printer.isPolling(); }));
}

TEST_F(PrinterMemoryTest, PagesArePlacedOnThePrintableAreaFromDecodedOrEncodedImages)
{
    MemorySpooler::DocumentScript script;
    script.area = {1000, 2000};
    spooler->setDocumentScript(script);
    ASSERT_TRUE(configuredPrint("placed", pages));
    QList<MemorySpooler::Page> drawn = spooler->documents().last().pages;
    ASSERT_EQ(drawn.size(), 2);
    EXPECT_EQ(drawn[0].width, 1000);
    EXPECT_EQ(drawn[0].height, 1400);
    EXPECT_EQ(drawn[0].y, 300);
    EXPECT_TRUE(drawn[0].hadPixels);
    const QColor first = QColor::fromRgb(drawn[0].firstPixel);
    EXPECT_TRUE(first.red() > 200 && first.blue() < 50) << std::hex << drawn[0].firstPixel;
    EXPECT_FALSE(drawn[0].halfTurn);

    // A document that embeds JPEG needs only the size.
    script.embedsJpeg = true;
    spooler->setDocumentScript(script);
    ASSERT_TRUE(configuredPrint("embedded", pages));
    drawn = spooler->documents().last().pages;
    ASSERT_EQ(drawn.size(), 2);
    EXPECT_FALSE(drawn[0].hadPixels);
    EXPECT_EQ(drawn[0].imageWidth, 200);
    EXPECT_EQ(drawn[0].height, 1400);
}

TEST_F(PrinterMemoryTest, BinCountIsThatOfTheSelectedPrinter)
{
    MemorySpooler::Printer other;
    other.binCount = 5;
    spooler->addPrinter(L"other", other);
    EXPECT_EQ(printer.binCount(), 2);
    ASSERT_TRUE(printer.selectPrinter("other"));
    EXPECT_EQ(printer.printerName(), "other");
    EXPECT_EQ(printer.binCount(), 5) << "another printer has trays of its own";
    ASSERT_TRUE(printer.selectPrinter(QString()));
    EXPECT_EQ(printer.binCount(), 2);

    // No default printer any more (it was removed): no printer, not the one it used to be.
    spooler->setDefault(std::wstring());
    EXPECT_FALSE(printer.selectPrinter(QString()));
    EXPECT_TRUE(printer.printerName().isEmpty());
    EXPECT_FALSE(printer.selectPrinter("gone")) << "a printer that cannot be opened is not there";
}

TEST_F(PrinterMemoryTest, PollAndTheDefaultPrintersNameNeverWaitForARunningPrint)
{
    ASSERT_TRUE(configuredPrint("queued", pages));
    // A second print blocks inside its first page until the test lets it go.
    QSemaphore entered;
    QSemaphore proceed;
    MemorySpooler::DocumentScript blocking;
    blocking.onStartPage = [&](int) {
        entered.release();
        proceed.acquire();
    };
    spooler->setDocumentScript(blocking);
    EXPECT_NE(printer.configPrinter({{"size", "A4"}}), nullptr);
    std::atomic<int> result {0};
    QThreadPool::globalInstance()->start([&] {
        result = printer.print("blocking", pages, false, "student", "s1") ? 1 : 2;
    });
    ASSERT_TRUE(entered.tryAcquire(1, 30000));

    // While that print holds the printer, the first job leaves the queue and is reported.
    bool finished = false;
    QObject context;
    QObject::connect(&printer, &CPrinter::sigPrintJobFinished, &context,
                     [&](const QString& id) { finished = finished || id == "queued"; });
    spooler->finishJob(kPrinter, spooler->documents().first().jobId);
    EXPECT_TRUE(vtest::waitUntil([&] { return finished; }));
    // The status panel's refresh reads the name meanwhile, on another thread, without waiting.
    auto shown = std::async(std::launch::async, [&] { return printer.defaultPrinterName(); });
    ASSERT_EQ(shown.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(shown.get(), QString::fromStdWString(kPrinter));
    EXPECT_EQ(result.load(), 0) << "the print is still running";

    proceed.release(2);
    EXPECT_TRUE(vtest::waitUntil([&] { return result.load() != 0; }));
    EXPECT_EQ(result.load(), 1);
    spooler->setDocumentScript({});
}

TEST_F(PrinterMemoryTest, JobsOfAStoppedPrinterAreCancelledAndFailedAnOfflineOneWaits)
{
    ASSERT_TRUE(configuredPrint("stuck", pages));
    const int jobId = printer.jobId();
    QString message;
    QStringList waits;
    QObject context;
    QObject::connect(&printer, &CPrinter::sigPrintJobFailed, &context,
                     [&](const QString& id, const QString& text) { message = id + ": " + text; });
    QObject::connect(&printer, &CPrinter::sigPrintJobWaiting, &context,
                     [&](const QString& id, const QString& name, const QString& reason, const QString&) {
                         waits << id + "@" + name + ":" + reason;
                     });
    // Offline for a while: the page is told, nothing fails.
    spooler->updatePrinter(kPrinter, [](MemorySpooler::Printer& p) { p.condition.offline = true; });
    ASSERT_TRUE(vtest::waitUntil([&] { return !waits.isEmpty(); }));
    const int polls = printer.completedPolls();
    ASSERT_TRUE(vtest::waitUntil([&] { return printer.completedPolls() >= polls + 3; }));
    EXPECT_TRUE(message.isEmpty());
    EXPECT_TRUE(printer.isTracking("stuck"));

    // Stopped at the queue: cancelled and failed.
    spooler->updatePrinter(kPrinter, [](MemorySpooler::Printer& p) {
        p.condition.offline = false;
        p.condition.stopped = true;
    });
    EXPECT_TRUE(vtest::waitUntil([&] { return !message.isEmpty(); }));
    EXPECT_EQ(message, QString::fromUtf8("stuck: 打印机已停止，请检查打印机状态"));
    EXPECT_TRUE(vtest::waitUntil([&] { return spooler->cancelledJobs().count(jobId) == 1; }));
    EXPECT_FALSE(printer.isTracking("stuck"));
    EXPECT_EQ(waits, (QStringList {"stuck@memory:offline", "stuck@memory:"}));
}

TEST_F(PrinterMemoryTest, TransparencyIsPaperAndALandscapePageTurnsTheSheet)
{
    QImage clear(300, 100, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    const QString png = folders.dataFolder() + "/clear.png";
    ASSERT_TRUE(clear.save(png));
    ASSERT_TRUE(configuredPrint("clear", {png}));
    const MemorySpooler::Document document = spooler->documents().last();
    ASSERT_EQ(document.pages.size(), 1);
    EXPECT_EQ(document.pages[0].firstPixel & 0xffffffu, 0xffffffu) << "transparent printed as black";
    const DEVMODEW* dm = reinterpret_cast<const DEVMODEW*>(document.devMode.data());
    ASSERT_TRUE(dm->dmFields & DM_ORIENTATION);
    EXPECT_EQ(dm->dmOrientation, DMORIENT_LANDSCAPE);

    ASSERT_TRUE(configuredPrint("upright", pages));
    const MemorySpooler::Document uprightDocument = spooler->documents().last();
    const DEVMODEW* upright = reinterpret_cast<const DEVMODEW*>(uprightDocument.devMode.data());
    EXPECT_EQ(upright->dmOrientation, DMORIENT_PORTRAIT);
}

} // namespace

namespace {

TEST_F(PrinterMemoryTest, PresetFileNeverClaimsMoreThanTheDriversBlock)
{
    // The driver's block is 252 bytes: 220 and 32 of driver data.
    const QString big = folders.writePreset("any/", "big.dat", devModeBytes(DMPAPER_A3, DMDUP_HORIZONTAL, 0, 0, 600));
    DevModeBuffer loaded;
    ASSERT_TRUE(printer.loadPresetFile(big.toStdWString(), kPrinter, &loaded));
    ASSERT_EQ(loaded.size(), 252u);
    EXPECT_EQ(loaded.get()->dmPaperSize, DMPAPER_A3);
    EXPECT_EQ(loaded.get()->dmDriverExtra, 32) << "cut to what the block holds";
    EXPECT_EQ(loaded.declaredSize(), loaded.size());

    // A header larger than the block is no preset for this driver.
    QByteArray oversized = devModeBytes(DMPAPER_A3, 0, 0, 0, 200);
    oversized[68] = char(300 & 0xff);
    oversized[69] = char(300 >> 8);
    const QString wrong = folders.writePreset("any/", "wrong.dat", oversized);
    EXPECT_FALSE(printer.loadPresetFile(wrong.toStdWString(), kPrinter, &loaded));
    EXPECT_TRUE(loaded.isNull());

    const QString missing = folders.installFolder() + "/devmode/any/missing.dat";
    EXPECT_FALSE(printer.loadPresetFile(missing.toStdWString(), kPrinter, &loaded));
}

} // namespace
