// A body read while it is sent: the same bytes as the body built in one piece, whatever the
// file's size against the chunks; every attempt sends it whole again; a page file that is gone
// fails the request without sending anything.
#include "http/streamedbody.h"

#include "httptestserver.h"
#include "testfiles.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using vtest::HttpReply;
using vtest::HttpTestServer;

namespace {

class StreamedBody : public httptest::CurlTest {
protected:
    QString file(const QByteArray& content)
    {
        const QString path = folder.filePath(QString("page%1.jpg").arg(++files));
        EXPECT_TRUE(httptest::writeFile(path, content));
        return path;
    }

    QTemporaryDir folder;
    int files = 0;
};

TEST_F(StreamedBody, IsTheBodyBuiltInOnePiece)
{
    // Around the chunk of 49,152 raw bytes, and the three base64 paddings.
    for (const qint64 size : { 0, 1, 2, 3, 4, 49151, 49152, 49153, 98304, 300001 }) {
        const QByteArray content = httptest::patternBytes(size, quint32(size) + 7);
        const QString path = file(content);
        const QByteArray expected = "{\"file\": \"data:image/jpeg;base64," + content.toBase64() + "\",\n}";
        for (const bool fromFile : { true, false }) {
            KELStreamedBody body;
            body.appendBytes("{\"file\": \"data:image/jpeg;base64,");
            if (fromFile)
                body.appendBase64OfFile(path, size);
            else
                body.appendBase64(content);
            body.appendBytes("\",\n}");
            EXPECT_EQ(body.size(), expected.size()) << size;
            EXPECT_TRUE(body.readAll() == expected) << size;
            // Small reads, as libcurl may ask for, and a second pass after rewinding.
            ASSERT_TRUE(body.rewind());
            QByteArray pieces;
            char buffer[7];
            for (qint64 n; (n = body.read(buffer, sizeof buffer)) > 0;)
                pieces.append(buffer, int(n));
            EXPECT_TRUE(pieces == expected) << size;
        }
    }
}

TEST_F(StreamedBody, AMissingOrShortFileFails)
{
    KELStreamedBody missing;
    missing.appendBase64OfFile(folder.filePath("gone.jpg"), 10);
    EXPECT_FALSE(missing.rewind());
    EXPECT_FALSE(missing.errorText().isEmpty());

    KELStreamedBody shorter;
    shorter.appendBase64OfFile(file("12345"), 10);
    EXPECT_FALSE(shorter.rewind());

    // A file cut after the body was rewound ends the read with a failure, not a short body.
    const QByteArray content = httptest::patternBytes(200000);
    const QString path = file(content);
    KELStreamedBody cut;
    cut.appendBase64OfFile(path, content.size());
    ASSERT_TRUE(cut.rewind());
    ASSERT_TRUE(httptest::writeFile(path, content.left(1000)));
    char buffer[65536];
    qint64 result = 0;
    while ((result = cut.read(buffer, sizeof buffer)) > 0) {
    }
    EXPECT_EQ(result, -1);

    HttpTestServer server;
    server.answer("/upload", HttpReply::withStatus(200, "{}"));
    CUrlRequest request;
    EXPECT_EQ(request.syncRequest(server.url("/upload"), missing, {}, 10, 3), int(CURLE_READ_ERROR));
    EXPECT_EQ(server.requestCount(), 0);
}

// What the server receives from a streamed body is what it received from the body in memory:
// the same header lines (a body over a megabyte included) and the same bytes, on every attempt.
TEST_F(StreamedBody, TheServerSeesTheSameRequestAsFromMemory)
{
    HttpTestServer server;
    server.answer("/upload", HttpReply::withStatus(200, "{\"code\":200}", "application/json"));
    const QByteArray content = httptest::patternBytes(1500000, 3);
    const QString path = file(content);
    const QByteArray head = "{\n    \"file\": \"data:image/jpeg;base64,";
    const QByteArray tail = "\"\n}\n";
    const HeaderMap headers{ { "Content-Type", "application/json" }, { "Cookie", "a=1;" } };

    CUrlRequest inMemory;
    ASSERT_EQ(inMemory.syncRequest(true, server.url("/upload"), head + content.toBase64() + tail, headers, 30, 0), 0);
    KELStreamedBody body;
    body.appendBytes(head);
    body.appendBase64OfFile(path, content.size());
    body.appendBytes(tail);
    CUrlRequest streamed;
    ASSERT_EQ(streamed.syncRequest(server.url("/upload"), body, headers, 30, 0), 0);
    EXPECT_EQ(streamed.httpCode(), 200);

    const QList<vtest::HttpRequestRecord> seen = server.requests("/upload");
    ASSERT_EQ(seen.size(), 2);
    EXPECT_EQ(seen[1].headerLines, seen[0].headerLines);
    EXPECT_TRUE(seen[1].body == seen[0].body);

    // A broken first attempt: the retry sends the whole body again.
    server.answerNext("/upload", HttpReply::withStatus(200).cut(HttpReply::Fault::ResetWithoutAnswer));
    CUrlRequest retried;
    ASSERT_EQ(retried.syncRequest(server.url("/upload"), body, headers, 30, 2), 0);
    const QList<vtest::HttpRequestRecord> after = server.requests("/upload");
    ASSERT_EQ(after.size(), 4);
    EXPECT_TRUE(after[2].body == seen[0].body);
    EXPECT_TRUE(after[3].body == seen[0].body);
}

} // namespace
