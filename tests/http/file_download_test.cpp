// The one-transfer downloads: print images with their failure stages, small files, and many
// request objects downloading at once on pool threads.
#include "http/curlrequest.h"

#include "httptestserver.h"
#include "logcapture.h"
#include "testfiles.h"
#include "wait.h"

#include <QFileInfo>
#include <QRunnable>
#include <QTemporaryDir>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <array>

using httptest::patternBytes;
using httptest::readFile;
using httptest::writeFile;
using vtest::HttpReply;
using vtest::HttpTestServer;

namespace {

class FileDownloadTest : public httptest::CurlTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        ASSERT_TRUE(server.isListening());
    }

    QString target() const { return folder.filePath("page1.jpg"); }

    QTemporaryDir folder;
    HttpTestServer server;
};

TEST_F(FileDownloadTest, PrintDownloadSavesAnyAnswerAndReportsItsStatus)
{
    ASSERT_TRUE(writeFile(target(), "an older copy"));
    server.answer("/missing.jpg", HttpReply::withStatus(404, "<html>not here</html>", "text/html"));
    CUrlRequest request;
    EXPECT_EQ(request.syncDownloadPrintFile(server.url("/missing.jpg"), target(), {{"Cookie", "sid=1;"}}, 900), 0);
    EXPECT_EQ(request.httpCode(), 404);
    EXPECT_TRUE(request.failStage().isEmpty());
    EXPECT_TRUE(request.errorString().isEmpty());
    EXPECT_EQ(readFile(target()), "<html>not here</html>");
    EXPECT_FALSE(QFileInfo::exists(target() + ".download"));
    EXPECT_EQ(server.requests("/missing.jpg").value(0).rawLines("Cookie"), QByteArrayList{"Cookie:sid=1;"});
}

TEST_F(FileDownloadTest, PrintDownloadNamesTheStageThatFailed)
{
    vtest::LogCapture log;
    server.serveFile("/page.jpg", patternBytes(200000));
    {
        CUrlRequest request;
        const QString nowhere = folder.filePath("no/such/folder/page.jpg");
        EXPECT_EQ(request.syncDownloadPrintFile(server.url("/page.jpg"), nowhere, {}, 900), -1);
        EXPECT_EQ(request.failStage(), "open_target_file");
        EXPECT_EQ(server.requestCount(), 0);
        const QStringList failed = log.linesContaining("open file failed after retry");
        ASSERT_EQ(failed.size(), 1);
        EXPECT_TRUE(failed[0].contains("failStage=open_target_file"));
        EXPECT_TRUE(failed[0].endsWith("dirExists=false")) << failed[0].toStdString();
        EXPECT_TRUE(log.contains("final failed. url=" + server.url("/page.jpg")));
    }
    for (auto fault : {HttpReply::Fault::CloseMidBody, HttpReply::Fault::ResetMidBody}) {
        server.answer("/cut.jpg", HttpReply::withStatus(200, patternBytes(200000)).cut(fault, 5000));
        CUrlRequest request;
        const int expected = fault == HttpReply::Fault::CloseMidBody ? CURLE_PARTIAL_FILE : CURLE_RECV_ERROR;
        EXPECT_EQ(request.syncDownloadPrintFile(server.url("/cut.jpg"), target(), {}, 900), expected);
        EXPECT_EQ(request.failStage(), "curl_perform");
        EXPECT_EQ(request.httpCode(), 200);
        EXPECT_EQ(request.errorString(), curl_easy_strerror(CURLcode(expected)));
        EXPECT_FALSE(QFileInfo::exists(target()));
    }
    EXPECT_EQ(log.linesContaining("failStage=curl_perform").size(), 4);

    CUrlRequest request;
    EXPECT_EQ(request.syncDownloadPrintFile(QString(), target(), {}, 900), -5);
    EXPECT_EQ(request.syncDownloadPrintFile(server.url("/page.jpg"), QString(), {}, 900), -5);
}

TEST_F(FileDownloadTest, SmallFileDownloadReplacesTheTargetAndReportsProgress)
{
    const QByteArray content = patternBytes(3 << 20, 9);
    server.serveFile("/small.bin", content);
    ASSERT_TRUE(writeFile(target(), "old"));
    CUrlRequest request;
    httptest::ProgressLog progress(request);
    EXPECT_EQ(request.syncDownloadSmallFile(server.url("/small.bin"), target(), {}, 0), 0);
    EXPECT_EQ(readFile(target()), content);
    EXPECT_EQ(request.httpCode(), 200);
    ASSERT_FALSE(progress.values.isEmpty());
    EXPECT_EQ(progress.values.last(), 100);
    EXPECT_EQ(request.syncDownloadSmallFile(server.url("/small.bin"), QString(), {}, 0), -5);

    server.answer("/cut.bin", HttpReply::withStatus(200, content).cut(HttpReply::Fault::CloseMidBody, 100));
    CUrlRequest failing;
    EXPECT_EQ(failing.syncDownloadSmallFile(server.url("/cut.bin"), target(), {}, 0), int(CURLE_PARTIAL_FILE));
    EXPECT_FALSE(QFileInfo::exists(target()));
}

TEST_F(FileDownloadTest, TenRequestsDownloadAtOnceOnPoolThreads)
{
    constexpr int kCount = 10;
    QList<QByteArray> contents;
    for (int i = 0; i < kCount; ++i) {
        contents.append(patternBytes(300000 + i * 1000, 100 + i));
        server.answer(QStringLiteral("/img%1.jpg").arg(i), HttpReply::withStatus(200, contents[i]).held());
    }
    QThreadPool pool;
    pool.setMaxThreadCount(kCount);
    std::array<int, kCount> results;
    results.fill(-100);
    for (int i = 0; i < kCount; ++i) {
        const QString url = server.url(QStringLiteral("/img%1.jpg").arg(i));
        const QString path = folder.filePath(QStringLiteral("img%1.jpg").arg(i));
        pool.start(QRunnable::create([&results, i, url, path] {
            CUrlRequest request;
            results[i] = request.syncDownloadPrintFile(url, path, {}, 900);
        }));
    }
    // All ten are in the server's hands at the same moment before any is answered.
    EXPECT_TRUE(vtest::waitUntil([&] { return server.heldCount() == kCount; }));
    EXPECT_EQ(server.maxInFlight(), kCount);
    server.releaseAll();
    ASSERT_TRUE(pool.waitForDone(60000));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(results[i], 0) << i;
        EXPECT_EQ(readFile(folder.filePath(QStringLiteral("img%1.jpg").arg(i))), contents[i]) << i;
    }
}

} // namespace
