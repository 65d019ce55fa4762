// The resumable big-file download against a real server: the probe, the choice between one
// transfer and ranges, the range lines, resuming from the temporary file, and failing ranges.
#include "http/curlrequest.h"

#include "httptestserver.h"
#include "testfiles.h"
#include "wait.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <future>

using httptest::patternBytes;
using httptest::readFile;
using httptest::writeFile;
using vtest::HttpReply;
using vtest::HttpRequestRecord;
using vtest::HttpTestServer;

namespace {

constexpr qint64 kChunk = CUrlRequest::kBigFileChunk;

class BigFileDownloadTest : public httptest::CurlTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        ASSERT_TRUE(server.isListening());
    }

    QString target() const { return folder.filePath("package.bin"); }
    QString temporary() const { return target() + ".download"; }

    // The Range values the server received after the probe.
    QByteArrayList rangesAfterProbe() const
    {
        QByteArrayList ranges;
        const auto received = server.requests("/file");
        for (int i = 1; i < received.size(); ++i)
            ranges.append(received[i].header("Range"));
        return ranges;
    }

    int download(CUrlRequest& request)
    {
        return request.SyncDownloadBigFile(server.url("/file"), target(), {}, 60);
    }

    QTemporaryDir folder;
    HttpTestServer server;
};

TEST_F(BigFileDownloadTest, ExistingTargetIsTakenAsDone)
{
    ASSERT_TRUE(writeFile(target(), "earlier"));
    server.serveFile("/file", patternBytes(1000));
    CUrlRequest request;
    httptest::ProgressLog progress(request);
    EXPECT_EQ(download(request), 0);
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_TRUE(progress.values.isEmpty());
    EXPECT_EQ(readFile(target()), "earlier");
}

TEST_F(BigFileDownloadTest, ServerWithoutRangesGetsOneTransfer)
{
    const QByteArray content = patternBytes(100000);
    server.serveFile("/file", content, HttpTestServer::Ranges::Ignored);
    ASSERT_TRUE(writeFile(temporary(), "stale bytes of another run"));
    CUrlRequest request;
    httptest::ProgressLog progress(request);
    EXPECT_EQ(download(request), 0);

    const auto received = server.requests("/file");
    ASSERT_EQ(received.size(), 2);
    EXPECT_EQ(received[0].header("Range"), "bytes=0-1");
    EXPECT_FALSE(received[1].hasHeader("Range"));
    EXPECT_EQ(readFile(target()), content);
    EXPECT_FALSE(QFileInfo::exists(temporary()));
    ASSERT_FALSE(progress.values.isEmpty());
    EXPECT_EQ(progress.values.last(), 100);
}

TEST_F(BigFileDownloadTest, RangesStartOneByteAboveTheThreshold)
{
    {
        const QByteArray content = patternBytes(kChunk, 2);
        server.serveFile("/file", content);
        CUrlRequest request;
        EXPECT_EQ(download(request), 0);
        EXPECT_EQ(rangesAfterProbe(), QByteArrayList{QByteArray()});
        EXPECT_EQ(readFile(target()), content);
    }
    QFile::remove(target());
    HttpTestServer rangedServer;
    const QByteArray content = patternBytes(kChunk + 1, 3);
    rangedServer.serveFile("/file", content);
    CUrlRequest request;
    httptest::ProgressLog progress(request);
    EXPECT_EQ(request.SyncDownloadBigFile(rangedServer.url("/file"), target(), {}, 60), 0);
    const auto received = rangedServer.requests("/file");
    ASSERT_EQ(received.size(), 3);
    EXPECT_EQ(received[1].rawLines("Range"), QByteArrayList{"Range: bytes=0-20971519"});
    EXPECT_EQ(received[2].rawLines("Range"), QByteArrayList{"Range: bytes=20971520-"});
    EXPECT_EQ(request.totalSize(), kChunk + 1);
    EXPECT_EQ(readFile(target()), content);
    EXPECT_FALSE(QFileInfo::exists(temporary()));
    ASSERT_FALSE(progress.values.isEmpty());
    EXPECT_EQ(progress.values.first(), 0);
    EXPECT_EQ(progress.values.last(), 100);
}

TEST_F(BigFileDownloadTest, ResumesFromTheTemporaryFile)
{
    const QByteArray content = patternBytes(50000000, 4);
    server.serveFile("/file", content);
    ASSERT_TRUE(writeFile(temporary(), content.left(30000000)));
    CUrlRequest request;
    httptest::ProgressLog progress(request);
    EXPECT_EQ(download(request), 0);
    EXPECT_EQ(rangesAfterProbe(), QByteArrayList{"bytes=30000000-"});
    ASSERT_FALSE(progress.values.isEmpty());
    EXPECT_EQ(progress.values.first(), 60);
    EXPECT_EQ(progress.values.last(), 100);
    EXPECT_EQ(readFile(target()), content);
}

TEST_F(BigFileDownloadTest, OverlongTemporaryFileIsCutToTheTotal)
{
    const QByteArray content = patternBytes(kChunk + 5000, 5);
    server.serveFile("/file", content);
    ASSERT_TRUE(writeFile(temporary(), content + "trailing bytes"));
    CUrlRequest request;
    httptest::ProgressLog progress(request);
    EXPECT_EQ(download(request), 0);
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(readFile(target()), content);
    ASSERT_FALSE(progress.values.isEmpty());
    EXPECT_EQ(progress.values.last(), 100);
}

TEST_F(BigFileDownloadTest, FailingRangesEndTheCallAndKeepThePartialFile)
{
    const QByteArray content = patternBytes(kChunk + 4000000, 6);
    server.handle("/file", [content](const HttpRequestRecord& request) {
        HttpReply reply = HttpTestServer::fileReply(content, request);
        if (request.header("Range") != "bytes=0-1")
            reply.cut(HttpReply::Fault::CloseMidBody, 1000);
        return reply;
    });
    const QByteArray partial = content.left(777);
    ASSERT_TRUE(writeFile(temporary(), partial));
    CUrlRequest request;
    EXPECT_EQ(download(request), int(CURLE_PARTIAL_FILE));
    const QByteArray range = "bytes=777-" + QByteArray::number(777 + kChunk - 1);
    EXPECT_EQ(rangesAfterProbe(), QByteArrayList({range, range, range, range}));
    EXPECT_EQ(readFile(temporary()), partial);
    EXPECT_FALSE(QFileInfo::exists(target()));

    // The next call continues from the same temporary file once the server behaves.
    server.serveFile("/file", content);
    CUrlRequest again;
    EXPECT_EQ(again.SyncDownloadBigFile(server.url("/file"), target(), {}, 60), 0);
    EXPECT_EQ(readFile(target()), content);
}

TEST_F(BigFileDownloadTest, ContentRangeMatchesInAnySpellingAndAnUnknownTotalFallsBack)
{
    const QByteArray content = patternBytes(kChunk + 10, 7);
    server.handle("/file", [content](const HttpRequestRecord& request) {
        HttpReply reply = HttpTestServer::fileReply(content, request);
        for (auto& header : reply.headers)
            header.first = header.first.toLower();
        return reply;
    });
    CUrlRequest request;
    EXPECT_EQ(download(request), 0);
    EXPECT_EQ(rangesAfterProbe(), QByteArrayList({"bytes=0-20971519", "bytes=20971520-"}));
    EXPECT_EQ(readFile(target()), content);

    QFile::remove(target());
    HttpTestServer unknownTotal;
    unknownTotal.handle("/file", [content](const HttpRequestRecord& request) {
        if (request.header("Range") == "bytes=0-1")
            return HttpReply::withStatus(206, content.left(2)).withHeader("Content-Range", "bytes 0-1/*");
        return HttpTestServer::fileReply(content, request, HttpTestServer::Ranges::Ignored);
    });
    CUrlRequest fallback;
    EXPECT_EQ(fallback.SyncDownloadBigFile(unknownTotal.url("/file"), target(), {}, 60), 0);
    EXPECT_EQ(unknownTotal.requestCount("/file"), 2);
    EXPECT_FALSE(unknownTotal.requests("/file").value(1).hasHeader("Range"));
    EXPECT_EQ(readFile(target()), content);
}

TEST_F(BigFileDownloadTest, CancelledRequestStopsWithinASecond)
{
    // A slow server: the first range trickles in.
    const QByteArray content = patternBytes(kChunk * 2 + 100, 8);
    server.handle("/file", [&content](const vtest::HttpRequestRecord& record) {
        vtest::HttpReply reply = vtest::HttpTestServer::fileReply(content, record);
        if (!record.header("Range").startsWith("bytes=0-1"))
            reply.trickled(4096, 100);
        return reply;
    });
    CUrlRequest request;
    auto result = std::async(std::launch::async, [&] { return download(request); });
    ASSERT_TRUE(vtest::waitUntil([&] { return rangesAfterProbe().size() == 1; }));
    QElapsedTimer clock;
    clock.start();
    request.setCancelled(true);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_EQ(result.get(), -6);
    EXPECT_EQ(rangesAfterProbe().size(), 1);
    EXPECT_FALSE(QFileInfo::exists(target()));

    // Cancelled before it starts, it fetches nothing at all.
    CUrlRequest early;
    early.setCancelled(true);
    const int requests = server.requestCount("/file");
    EXPECT_EQ(download(early), -6);
    EXPECT_EQ(server.requestCount("/file"), requests) << "not even the probe";
}

} // namespace
