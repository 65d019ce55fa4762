// The synchronous request: the header lines it sends, its time-outs and retries, and that HTTP
// error statuses reach the caller as answers.
#include "http/curlrequest.h"

#include "httptestserver.h"
#include "logcapture.h"
#include "testfiles.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using vtest::HttpReply;
using vtest::HttpTestServer;

namespace {

class RequestTest : public httptest::CurlTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        server.answer("/api", HttpReply::withStatus(200, "{\"ok\":true}", "application/json"));
    }

    // The request as the server saw it; a failed expectation when it did not see exactly one.
    vtest::HttpRequestRecord onlyRequest() const
    {
        const auto received = server.requests("/api");
        EXPECT_EQ(received.size(), 1);
        return received.isEmpty() ? vtest::HttpRequestRecord() : received.front();
    }

    HttpTestServer server;
};

TEST_F(RequestTest, HeaderLinesFollowTheMapWithTheFixedAgentAndContentLengthLast)
{
    {
        CUrlRequest request;
        const HeaderMap headers{{"user-agent", "SomeBrowser/1.0"},
                                {"content-type", "application/json"},
                                {"X-Empty", ""},
                                {"Authorization", "Bearer abc"}};
        ASSERT_EQ(request.syncRequest(true, server.url("/api"), "{\"a\":1}", headers, 10, 0), 0);
        const auto seen = onlyRequest();
        EXPECT_EQ(seen.method, "POST");
        EXPECT_EQ(seen.body, "{\"a\":1}");
        EXPECT_EQ(seen.headerValues("User-Agent"), QByteArrayList{"kel curl vellox"});
        EXPECT_TRUE(seen.headerLines.contains("Content-Type:application/json"));
        EXPECT_EQ(seen.headerValues("Content-Type").size(), 1);
        EXPECT_TRUE(seen.headerLines.contains("Authorization:Bearer abc"));
        EXPECT_FALSE(seen.hasHeader("X-Empty"));
        EXPECT_EQ(seen.headerLines.last(), "Content-Length:7");
    }
    {
        // No content type in the map, or only an empty one: the octet-stream default.
        HttpTestServer other;
        other.answer("/api", HttpReply::withStatus(200, "ok"));
        CUrlRequest request;
        ASSERT_EQ(request.syncRequest(true, other.url("/api"), QByteArray(), {{"Content-Type", ""}}, 10, 0), 0);
        const auto seen = other.requests("/api").value(0);
        EXPECT_EQ(seen.headerValues("Content-Type"), QByteArrayList{"application/octet-stream"});
        EXPECT_TRUE(seen.headerLines.contains("Content-Type: application/octet-stream"));
        EXPECT_EQ(seen.headerLines.last(), "Content-Length:0");
        EXPECT_EQ(seen.headerValues("User-Agent"), QByteArrayList{"kel curl vellox"});
    }
}

TEST_F(RequestTest, BodiesGoOutWholeAndGetSendsNone)
{
    CUrlRequest post;
    const QByteArray binary = httptest::patternBytes(300000) + QByteArray("\0tail", 5);
    ASSERT_EQ(post.syncRequest(true, server.url("/api"), binary, {}, 30, 0), 0);
    CUrlRequest get;
    ASSERT_EQ(get.syncRequest(false, server.url("/api"), "ignored", {}, 30, 0), 0);

    const auto received = server.requests("/api");
    ASSERT_EQ(received.size(), 2);
    EXPECT_EQ(received[0].body, binary);
    EXPECT_EQ(received[0].header("Content-Length"), QByteArray::number(binary.size()));
    EXPECT_EQ(received[1].method, "GET");
    EXPECT_TRUE(received[1].body.isEmpty());
    EXPECT_FALSE(received[1].hasHeader("Content-Length"));
    EXPECT_EQ(get.responseBody(), "{\"ok\":true}");
}

TEST_F(RequestTest, TimeoutsDefaultToThirtySecondsAndAreEnforced)
{
    for (int unset : {0, -1, -30}) {
        const auto timeouts = CUrlRequest::requestTimeouts(unset);
        EXPECT_EQ(timeouts.totalSec, 30) << unset;
        EXPECT_EQ(timeouts.connectSec, 15) << unset;
    }
    EXPECT_EQ(CUrlRequest::requestTimeouts(7).totalSec, 7);
    EXPECT_EQ(CUrlRequest::requestTimeouts(7).connectSec, 3);

    // A server that never answers: the request gives up after its total time-out.
    server.answer("/slow", HttpReply::withStatus(200, "late").held());
    CUrlRequest request;
    EXPECT_EQ(request.syncRequest(true, server.url("/slow"), "x", {}, 2, 0), int(CURLE_OPERATION_TIMEDOUT));
    EXPECT_EQ(request.errorString(), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    server.releaseAll();
}

TEST_F(RequestTest, FailedTransfersAreRetriedAfterGrowingPausesAndEachAttemptLogged)
{
    vtest::LogCapture log;
    server.stopListening();
    {
        CUrlRequest request;
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(request.syncRequest(true, server.url("/api"), "body", {}, 5, 3), int(CURLE_COULDNT_CONNECT));
        // 1 s, 2 s and 4 s between the four attempts: a server that blinks gets time to come back.
        EXPECT_GE(clock.elapsed(), 7000);
        const QStringList attempts = log.linesContaining("Curl perform error, code(7)");
        ASSERT_EQ(attempts.size(), 4);
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(attempts[i].endsWith(QStringLiteral("data size: 4, retry time %1").arg(i))) << attempts[i].toStdString();
        EXPECT_FALSE(request.errorString().isEmpty());
    }
    EXPECT_EQ(CUrlRequest::retryDelayMs(0), 1000);
    EXPECT_EQ(CUrlRequest::retryDelayMs(1), 2000);
    EXPECT_EQ(CUrlRequest::retryDelayMs(2), 4000);
    EXPECT_EQ(CUrlRequest::retryDelayMs(7), 4000);
    {
        CUrlRequest request;
        const int before = log.linesContaining("Curl perform error").size();
        EXPECT_EQ(request.syncRequest(true, server.url("/api"), "body", {}, 5, 0), int(CURLE_COULDNT_CONNECT));
        const QStringList attempts = log.linesContaining("Curl perform error").mid(before);
        ASSERT_EQ(attempts.size(), 1);
        EXPECT_TRUE(attempts[0].endsWith("retry time 0"));
    }
    ASSERT_TRUE(server.resumeListening());

    // A connection reset, then a 200 whose body is cut short: the third attempt's answer is
    // the answer, with nothing of the broken one in front of it.
    server.answerNext("/flaky", HttpReply().cut(HttpReply::Fault::ResetWithoutAnswer));
    server.answerNext("/flaky", HttpReply::withStatus(200, "partial").cut(HttpReply::Fault::ResetMidBody, 3));
    server.answer("/flaky", HttpReply::withStatus(201, "whole"));
    CUrlRequest request;
    EXPECT_EQ(request.syncRequest(true, server.url("/flaky"), "body", {}, 10, 3), 0);
    EXPECT_EQ(server.requestCount("/flaky"), 3);
    EXPECT_EQ(request.responseBody(), "whole");
    EXPECT_EQ(request.httpCode(), 201);
    EXPECT_EQ(request.responseHeaders().count("HTTP/1.1"), 1);
    EXPECT_EQ(log.linesContaining("Curl perform error").size(), 5 + 2);
    EXPECT_TRUE(log.contains("request succeed, url: " + server.url("/flaky") + ", data size: 4,  cost time "));
}

TEST_F(RequestTest, CancellingEndsThePauseBeforeTheNextAttempt)
{
    vtest::LogCapture log;
    server.stopListening();
    CUrlRequest request;
    // From another thread, as the upload manager cancels at quit: once the first attempt failed.
    std::thread canceller([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!log.contains("retry time 0") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        request.setCancelled(true);
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(request.syncRequest(true, server.url("/api"), "body", {}, 5, 3), int(CURLE_COULDNT_CONNECT));
    canceller.join();
    // Without the cancel the pauses alone would take 7 s.
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(log.linesContaining("Curl perform error").size(), 1);
}

TEST_F(RequestTest, ErrorStatusIsAnAnswerWithItsBody)
{
    const QByteArray body = "{\"code\":500,\"msg\":\"server broke\"}";
    server.answer("/api", HttpReply::withStatus(500, body, "application/json"));
    CUrlRequest request;
    EXPECT_EQ(request.syncRequest(true, server.url("/api"), "{}", {}, 10, 3), 0);
    EXPECT_EQ(server.requestCount("/api"), 1);
    EXPECT_EQ(request.responseBody(), body);
    EXPECT_TRUE(request.responseHeaders().startsWith("HTTP/1.1 500"));
    EXPECT_EQ(request.httpCode(), 500);
    EXPECT_EQ(request.statusLine(), "HTTP/1.1 500 Internal Server Error");
    EXPECT_TRUE(request.errorString().isEmpty());
}

TEST_F(RequestTest, UploadProgressCountsBytesSent)
{
    CUrlRequest request;
    httptest::ProgressLog progress(request);
    ASSERT_EQ(request.syncRequest(true, server.url("/api"), httptest::patternBytes(4 << 20), {}, 30, 0), 0);
    EXPECT_TRUE(request.uploadMode());
    ASSERT_FALSE(progress.values.isEmpty());
    EXPECT_EQ(progress.values.last(), 100);
    for (int i = 1; i < progress.values.size(); ++i)
        ASSERT_LE(progress.values[i - 1], progress.values[i]);
}

} // namespace
