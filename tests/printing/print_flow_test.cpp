// Printing end to end: the real agent takes "print" and "printBatch" from web pages, downloads
// the students' images from a local server and prints them at a real IPP printer behind a private
// CUPS. Each kept document is read back by its colours, so the tests see whose pages came out and
// in which order. Held downloads and held jobs, never sleeps, decide what happens when.

#include "printflowkit.h"
#include "wait.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace pflow;
using vtest::CupsHarness;
using vtest::HttpReply;
using vtest::WsClient;

namespace {

testing::Environment* const printerEnvironment = registerPrinter();

const QString kNetworkError = QString::fromUtf8("打印出错，请检查网络");
const QString kPrinterError = QString::fromUtf8("打印出错，请检查打印机状态");

// What the students after a failed one are told: the batch stopped because of that student.
QString stoppedBecauseOf(const QString& student, const QString& message)
{
    return QString::fromUtf8("因%1打印失败，本批打印已停止：%2").arg(student, message);
}

QStringList idRange(int first, int last, const QList<int>& except = {})
{
    QStringList ids;
    for (int s = first; s <= last; ++s) {
        if (!except.contains(s))
            ids.append(QStringLiteral("S%1").arg(s));
    }
    return ids;
}

class PrintFlowTest : public PrintFlow {};

TEST_F(PrintFlowTest, LegacyPrintsComeOutInTheOrderOfTheirCommands)
{
    cups().setDefaultFate(CupsHarness::Fate::Hold);
    for (int s = 0; s < 6; ++s)
        ASSERT_TRUE(accepted(page, "print", studentData(s, 1, true)));

    // Five download at once; the sixth waits for one of them to end.
    ASSERT_TRUE(vtest::waitUntil([&] { return server.inFlight() == 5; }));
    EXPECT_EQ(requestedStudents(), (QSet<int> {0, 1, 2, 3, 4}));

    // Their downloads end in reverse: nothing prints before the first command's student.
    for (int s = 4; s >= 1; --s) {
        openGate(s);
        ASSERT_TRUE(vtest::waitUntil([&] { return server.inFlight() == s; }));
    }
    EXPECT_FALSE(waitForJobs(1, 1000));
    openGate(0);
    ASSERT_TRUE(waitForJobs(1));
    // While the first job is held no other job reaches the queue, and no task has ended.
    EXPECT_FALSE(waitForJobs(2, 500));
    EXPECT_EQ(cups().queuedJobCount(kQueue), 1);
    EXPECT_FALSE(requestedStudents().contains(5));

    openGate(5);
    cups().setDefaultFate(CupsHarness::Fate::Print);
    releaseJob(jobs().first());
    const QList<QJsonObject> ends = waitForEvents(page, {"print-end", "error"}, 6);
    ASSERT_EQ(ends.size(), 6);
    QStringList names;
    for (const QJsonObject& end : ends) {
        EXPECT_EQ(end.value("cmd").toString(), "print-end") << end.value("msg").toString().toStdString();
        names.append(dataOf(end).value("studentName").toString());
    }
    EXPECT_EQ(names, (QStringList {"student0", "student1", "student2", "student3", "student4", "student5"}));
    EXPECT_EQ(printedStudents(), (QList<int> {0, 1, 2, 3, 4, 5}));
    // Nothing of the students stays on the PC.
    EXPECT_TRUE(vtest::waitUntil([&] { return downloadedFiles().isEmpty(); })) << downloadedFiles().join(' ').toStdString();
}

TEST_F(PrintFlowTest, LegacyImagesKeepTheirPagesAndBadDownloadsFail)
{
    // Two addresses ending alike and one without "=": three different pages, in order.
    server.serveFile("/plain/s7p2", studentPage(7, 2));
    ASSERT_TRUE(accepted(page, "print",
                         studentData(7, {imageUrl(7, 0), imageUrl(7, 1), server.url("/plain/s7p2")})));
    const QList<QJsonObject> result = waitForEvents(page, {"print-end", "error"}, 1);
    ASSERT_EQ(result.size(), 1);
    const QJsonObject* end = &result.first();
    ASSERT_EQ(end->value("cmd").toString(), "print-end") << end->value("msg").toString().toStdString();
    EXPECT_EQ(dataOf(*end).value("studentName").toString(), "student7");
    EXPECT_FALSE(dataOf(*end).value("remote_key").toString().isEmpty());
    ASSERT_EQ(jobs().size(), 1);
    EXPECT_EQ(pagesOfJob(jobs().first()), (QList<PrintedPage> {{7, 0}, {7, 1}, {7, 2}}));

    // No images, an address the server answers with 404, a web page answered 200 in place of an
    // image, and the school's login page (an expired session): nothing printed, the page told
    // what to look at, in the order of the commands.
    server.answer("/img/missing", HttpReply::withStatus(404, "<html>not here</html>", "text/html"));
    server.answer("/img/page", HttpReply::withStatus(200, "<html><body>Proxy says hello</body></html>", "text/html"));
    server.answer("/img/login", HttpReply::withStatus(
                                    200, "<html><form action=/login><input type=\"password\"></form></html>", "text/html"));
    ASSERT_TRUE(accepted(page, "print", studentData(8, QStringList {})));
    ASSERT_TRUE(accepted(page, "print", studentData(9, {imageUrl(9, 0), server.url("/img/missing?v=2")})));
    ASSERT_TRUE(accepted(page, "print", studentData(10, {server.url("/img/page")})));
    ASSERT_TRUE(accepted(page, "print", studentData(11, {server.url("/img/login")})));
    const QList<QJsonObject> errors = waitForEvents(page, {"print-end", "error"}, 4);
    ASSERT_EQ(errors.size(), 4);
    for (const QJsonObject& error : errors) {
        EXPECT_EQ(error.value("cmd").toString(), "error");
        EXPECT_EQ(dataOf(error).value("errorType").toString(), "print-error");
    }
    EXPECT_EQ(errors[0].value("msg").toString(), kNetworkError);
    EXPECT_EQ(errors[1].value("msg").toString(), kNetworkError);
    EXPECT_EQ(dataOf(errors[1]).value("imgUrl").toString(), server.url("/img/missing?v=2"));
    EXPECT_EQ(errors[2].value("msg").toString(), kNetworkError);
    EXPECT_EQ(dataOf(errors[2]).value("imgUrl").toString(), server.url("/img/page"));
    EXPECT_EQ(errors[3].value("msg").toString(), QString::fromUtf8("打印出错，登录已过期，请重新登录"));
    EXPECT_TRUE(sandbox.readLog().contains("httpCode=404"));
    EXPECT_EQ(jobs().size(), 1);
}

TEST_F(PrintFlowTest, ABatchPrintsInListOrderWithTenStudentsDownloadedAhead)
{
    // More students than the download window, by a few.
    constexpr int kClass = 14;
    cups().setDefaultFate(CupsHarness::Fate::Hold);
    QJsonArray students;
    for (int s = 0; s < kClass; ++s)
        students.append(studentData(s, s % 2 ? 3 : 2, s == 0 || s == 3));
    ASSERT_TRUE(accepted(page, "printBatch", students));

    // Students 0 and 3 (two and three images) are answered last of the window: nothing prints
    // before 0, nothing beyond the window is fetched.
    ASSERT_TRUE(vtest::waitUntil([&] { return server.inFlight() == 5 && requestedStudents().size() == 10; }));
    openGate(3);
    ASSERT_TRUE(vtest::waitUntil([&] { return server.inFlight() == 2; }));
    EXPECT_FALSE(waitForJobs(1, 1000));
    openGate(0);
    ASSERT_TRUE(waitForJobs(1));
    QSet<int> window;
    for (int s = 0; s < 10; ++s)
        window.insert(s);
    EXPECT_EQ(requestedStudents(), window);

    // Each printed student lets one more download start.
    releaseJob(jobs().at(0));
    ASSERT_TRUE(waitForJobs(2));
    window.insert(10);
    ASSERT_TRUE(vtest::waitUntil([&] { return requestedStudents() == window; }));
    EXPECT_EQ(requestedStudents(), window);

    cups().setDefaultFate(CupsHarness::Fate::Print);
    releaseJob(jobs().at(1));
    const QList<QJsonObject> ends = waitForEvents(page, {"print-end", "error"}, kClass, 300000);
    ASSERT_EQ(ends.size(), kClass);
    EXPECT_EQ(studentIds(ends), idRange(0, kClass - 1));
    for (const QJsonObject& end : ends) {
        EXPECT_EQ(end.value("cmd").toString(), "print-end");
        EXPECT_EQ(dataOf(end).value("remote_key").toString(), dataOf(ends.first()).value("remote_key").toString());
        EXPECT_EQ(end.value("msg").toString(), dataOf(end).value("studentName").toString() + " print end");
    }
    QList<int> order;
    for (int s = 0; s < kClass; ++s)
        order.append(s);
    EXPECT_EQ(printedStudents(), order);
    EXPECT_EQ(pagesOfJob(jobs().at(3)), (QList<PrintedPage> {{3, 0}, {3, 1}, {3, 2}}));
    // Nothing of the class stays on the PC.
    EXPECT_TRUE(vtest::waitUntil([&] { return downloadedFiles().isEmpty(); })) << downloadedFiles().join(' ').toStdString();
    EXPECT_TRUE(QDir(sandbox.dataFolder() + "/download/print_batch").entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
}

class BatchFailureTest : public PrintFlowTest, public ::testing::WithParamInterface<HttpReply::Fault> {};

TEST_P(BatchFailureTest, TheFirstFailureStopsTheBatchAndTheNextBatchPrints)
{
    cups().setDefaultFate(CupsHarness::Fate::Hold);
    std::shared_ptr<Gate> failing = std::make_shared<Gate>();
    const HttpReply::Fault fault = GetParam();
    server.handle("/img/s7/p0", [failing, fault](const vtest::HttpRequestRecord&) {
        failing->wait(180000);
        if (fault == HttpReply::Fault::None)
            return HttpReply::withStatus(404, "<html>gone</html>", "text/html");
        return HttpReply::withStatus(200, studentPage(7, 0), "image/jpeg").cut(fault, 100);
    });
    QJsonArray students;
    for (int s = 0; s < 25; ++s)
        students.append(s == 7 ? studentData(7, {server.url("/img/s7/p0?v=1")}) : studentData(s, 1));
    ASSERT_TRUE(accepted(page, "printBatch", students));
    releaseJobsUntil(2);
    ASSERT_TRUE(waitForJobs(3)); // student 2, held

    // Another page's batch, sent before the failure, waits for this one.
    WsClient other;
    ASSERT_TRUE(other.open(port));
    QJsonArray second;
    for (int s = 20; s < 23; ++s)
        second.append(studentData(s, 1));
    ASSERT_TRUE(accepted(other, "printBatch", second));

    failing->open();
    const QList<QJsonObject> errors = waitForEvents(page, {"error"}, 22);
    ASSERT_EQ(errors.size(), 22);
    EXPECT_EQ(studentIds(errors).first(), "S7");
    QStringList failed = studentIds(errors);
    failed.sort();
    QStringList expected = idRange(3, 24);
    expected.sort();
    EXPECT_EQ(failed, expected);
    EXPECT_EQ(errors.first().value("msg").toString(), kNetworkError);
    for (const QJsonObject& error : errors.mid(1)) {
        EXPECT_EQ(dataOf(error).value("errorType").toString(), "print-error");
        EXPECT_EQ(error.value("msg").toString(), stoppedBecauseOf("student7", kNetworkError));
    }
    EXPECT_EQ(jobs().size(), 3);
    // The students after the failure stop downloading: none of them is still being fetched.
    EXPECT_TRUE(vtest::waitUntil([&] { return server.inFlight() == 0; }));

    // Student 2 still ends as printed; then the other page's batch prints, in order.
    cups().setDefaultFate(CupsHarness::Fate::Print);
    releaseJob(jobs().at(2));
    const QList<QJsonObject> ends = waitForEvents(page, {"print-end"}, 3);
    EXPECT_EQ(studentIds(ends), idRange(0, 2));
    const QList<QJsonObject> otherEnds = waitForEvents(other, {"print-end", "error"}, 3);
    ASSERT_EQ(otherEnds.size(), 3);
    EXPECT_EQ(studentIds(otherEnds), idRange(20, 22));
    for (const QJsonObject& end : otherEnds)
        EXPECT_EQ(end.value("cmd").toString(), "print-end");
    EXPECT_EQ(printedStudents(), (QList<int> {0, 1, 2, 20, 21, 22}));
    EXPECT_FALSE(page.waitFor([](const QJsonObject& m) { return m.value("cmd") == "print-end"; }, 0));
}

INSTANTIATE_TEST_SUITE_P(NotFoundAndReset, BatchFailureTest,
                         ::testing::Values(HttpReply::Fault::None, HttpReply::Fault::ResetMidBody));

TEST_F(PrintFlowTest, ABatchWhoseFolderCannotBeMadeFailsEveryStudent)
{
    QFile blocker(sandbox.dataFolder() + "/download/print_batch");
    ASSERT_TRUE(QDir().mkpath(sandbox.dataFolder() + "/download"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QJsonArray students;
    for (int s = 0; s < 12; ++s)
        students.append(studentData(s, 1));
    ASSERT_TRUE(accepted(page, "printBatch", students));
    const QList<QJsonObject> errors = waitForEvents(page, {"error", "print-end"}, 12);
    ASSERT_EQ(errors.size(), 12);
    const QString writeFailed = QString::fromUtf8("打印出错，文件写入失败");
    EXPECT_EQ(errors.first().value("msg").toString(), writeFailed);
    for (const QJsonObject& error : errors) {
        EXPECT_EQ(error.value("cmd").toString(), "error");
        EXPECT_TRUE(error.value("msg").toString().endsWith(writeFailed)) << error.value("msg").toString().toStdString();
    }
    EXPECT_TRUE(jobs().isEmpty());
}

TEST_F(PrintFlowTest, APrintDuringABatchGoesBetweenTwoStudents)
{
    ASSERT_NO_FATAL_FAILURE(startHeldBatch(page, 0, 3));
    // Registered before its reply: it waits for the student at the printer.
    ASSERT_TRUE(accepted(page, "print", studentData(10, 1)));

    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(waitForJobs(i + 1));
        // Ours alone at the queue: the one before has completed.
        EXPECT_EQ(cups().queuedJobCount(kQueue), 1) << "at job " << i;
        releaseJob(jobs().at(i));
    }
    const QList<QJsonObject> ends = waitForEvents(page, {"print-end", "error"}, 4);
    ASSERT_EQ(ends.size(), 4);
    EXPECT_EQ(printedStudents(), (QList<int> {0, 10, 1, 2}));
    EXPECT_EQ(dataOf(ends.at(1)).value("studentName").toString(), "student10");
}

TEST_F(PrintFlowTest, AJobThatDoesNotPrintFailsItsStudentAndStopsTheBatch)
{
    ASSERT_NO_FATAL_FAILURE(startHeldBatch(page, 0, 3));
    ASSERT_TRUE(cups().cancelAll(kQueue));
    const QList<QJsonObject> cancelled = waitForEvents(page, {"error", "print-end"}, 3);
    ASSERT_EQ(cancelled.size(), 3);
    EXPECT_EQ(studentIds(cancelled), idRange(0, 2));
    for (const QJsonObject& event : cancelled)
        EXPECT_EQ(event.value("cmd").toString(), "error");
    EXPECT_EQ(cancelled[0].value("msg").toString(), kPrinterError);
    EXPECT_EQ(cancelled[2].value("msg").toString(), stoppedBecauseOf("student0", kPrinterError));

    // The printer itself still holds the cancelled job: let it go, or nothing else reaches it.
    for (const QString& job : submittedJobs())
        releaseJob(job);
    ASSERT_TRUE(vtest::waitUntil([] { return cups().queuedJobCount(kQueue) == 0; }));

    // A printer stopped at the queue while a student prints.
    ASSERT_NO_FATAL_FAILURE(startHeldBatch(page, 5, 2));
    ASSERT_TRUE(cups().disable(kQueue));
    const QList<QJsonObject> stopped = waitForEvents(page, {"error", "print-end"}, 2);
    ASSERT_EQ(stopped.size(), 2);
    const QString stoppedText = QString::fromUtf8("打印机已停止，请检查打印机状态");
    EXPECT_EQ(stopped[0].value("msg").toString(), stoppedText);
    EXPECT_EQ(stopped[1].value("msg").toString(), stoppedBecauseOf("student5", stoppedText));
    EXPECT_EQ(jobs().size(), 2);
}

TEST_F(PrintFlowTest, APrinterThatNeedsAPersonKeepsTheBatchWaitingAndTellsThePage)
{
    // Told of a job not printed after a second; given up only after two minutes.
    sandbox.setConfig("printnoticeseconds", "1");
    sandbox.setConfig("printgiveupseconds", "120");
    cups().setDefaultFate(CupsHarness::Fate::MediaEmpty);
    QJsonArray students;
    for (int s = 0; s < 3; ++s)
        students.append(studentData(s, 1));
    ASSERT_TRUE(accepted(page, "printBatch", students));
    ASSERT_TRUE(waitForJobs(1));
    const QString first = jobs().first();

    // Out of paper: the page is told whose paper waits where, and why.
    const auto waiting = page.waitFor(
        [](const QJsonObject& m) { return m.value("cmd") == "print-waiting" && dataOf(m).value("reason") == "media-empty"; },
        kEventWaitMs);
    ASSERT_TRUE(waiting);
    EXPECT_EQ(waiting->value("ret").toInt(), 200);
    EXPECT_EQ(waiting->value("msg").toString(), QString::fromUtf8("打印机缺纸，请添加纸张"));
    const QJsonObject data = dataOf(*waiting);
    EXPECT_EQ(data.value("reason").toString(), "media-empty");
    EXPECT_EQ(data.value("studentId").toString(), "S0");
    EXPECT_EQ(data.value("printerName").toString(), kQueue);
    EXPECT_TRUE(data.value("batchId").toString().startsWith("printBatch_"));
    // Longer than a job used to be waited for: still no failure.
    EXPECT_TRUE(waitForEvents(page, {"error", "print-end"}, 1, 2500).isEmpty());

    cups().setDefaultFate(CupsHarness::Fate::Print);
    cups().release(first);
    const QList<QJsonObject> ends = waitForEvents(page, {"print-end", "error"}, 3);
    ASSERT_EQ(ends.size(), 3);
    EXPECT_EQ(studentIds(ends), idRange(0, 2));
    for (const QJsonObject& end : ends) {
        EXPECT_EQ(end.value("cmd").toString(), "print-end");
        EXPECT_EQ(dataOf(end).value("batchId").toString(), data.value("batchId").toString());
    }
    EXPECT_EQ(printedStudents(), (QList<int> {0, 1, 2})) << "printed once each";

    // A printer asleep (offline) for a while is waited for too, and prints.
    cups().setDefaultFate(CupsHarness::Fate::Offline);
    ASSERT_TRUE(accepted(page, "print", studentData(5, 1)));
    const auto asleep = page.waitFor(
        [](const QJsonObject& m) {
            return m.value("cmd") == "print-waiting" && dataOf(m).value("studentName") == "student5"
                && dataOf(m).value("reason") != "no-response";
        },
        kEventWaitMs);
    ASSERT_TRUE(asleep);
    EXPECT_EQ(dataOf(*asleep).value("reason").toString(), "offline");
    EXPECT_EQ(dataOf(*asleep).value("studentName").toString(), "student5");
    EXPECT_TRUE(waitForEvents(page, {"error", "print-end"}, 1, 1500).isEmpty());
    cups().setDefaultFate(CupsHarness::Fate::Print);
    // The job has not reached the printer: it is woken by the name the agent gave it.
    ASSERT_FALSE(submittedJobs().isEmpty());
    cups().release(submittedJobs().last());
    const QList<QJsonObject> woke = waitForEvents(page, {"print-end", "error"}, 1);
    ASSERT_EQ(woke.size(), 1);
    EXPECT_EQ(woke.first().value("cmd").toString(), "print-end");
    EXPECT_EQ(printedStudents(), (QList<int> {0, 1, 2, 5}));
}

TEST_F(PrintFlowTest, AJobGivenUpIsTakenBackAndNeverPrints)
{
    // A printer switched off: the server says nothing about it, the job stays "processing".
    sandbox.setConfig("printnoticeseconds", "1");
    sandbox.setConfig("printgiveupseconds", "4");
    ASSERT_TRUE(cups().setReachable(kQueue, false));
    QJsonArray students;
    for (int s = 0; s < 3; ++s)
        students.append(studentData(s, 1));
    ASSERT_TRUE(accepted(page, "printBatch", students));

    const auto waiting = page.waitFor([](const QJsonObject& m) { return m.value("cmd") == "print-waiting"; }, kEventWaitMs);
    ASSERT_TRUE(waiting);
    EXPECT_EQ(dataOf(*waiting).value("reason").toString(), "no-response");
    const QList<QJsonObject> errors = waitForEvents(page, {"print-end", "error"}, 3);
    ASSERT_EQ(errors.size(), 3);
    const QString timeout = QString::fromUtf8("打印超时，请检查打印机状态");
    EXPECT_EQ(errors[0].value("msg").toString(), timeout);
    EXPECT_EQ(errors[1].value("msg").toString(), stoppedBecauseOf("student0", timeout));
    EXPECT_EQ(cups().queuedJobCount(kQueue), 0) << "the job was cancelled at the queue";

    // Back on the network, the printer gets the next print, never the one given up.
    ASSERT_TRUE(cups().setReachable(kQueue, true));
    ASSERT_TRUE(accepted(page, "print", studentData(7, 1)));
    const QList<QJsonObject> ends = waitForEvents(page, {"print-end", "error"}, 1);
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(ends.first().value("cmd").toString(), "print-end");
    EXPECT_EQ(printedStudents(), (QList<int> {7}));
    EXPECT_TRUE(vtest::waitUntil([&] { return downloadedFiles().isEmpty(); }));
}

} // namespace
