// What every transfer of the agent may and may not do: the schemes it speaks, how it follows
// redirects, how it checks TLS peers, and the header lines it lets through.
#include "http/curlrequest.h"

#include "foundation/globalconfig.h"

#include "httptestserver.h"
#include "testcertificates.h"
#include "testfiles.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using vtest::HttpReply;
using vtest::HttpTestServer;

namespace {

class TransferRules : public httptest::CurlTest {
protected:
    void TearDown() override
    {
        config()->setValue("tlsverify", QString());
        config()->setValue("cafile", QString());
    }
    static KELGlobalConfig* config() { return KELGlobalConfig::instance(); }
};

TEST_F(TransferRules, OnlyHttpAndHttpsAreSpoken)
{
    QTemporaryDir dir;
    const QString secretPath = dir.filePath("secret.txt");
    ASSERT_TRUE(httptest::writeFile(secretPath, "the teacher's private notes"));
    for (const QString& url : {QUrl::fromLocalFile(secretPath).toString(), QStringLiteral("ftp://127.0.0.1:1/x"),
                               QStringLiteral("gopher://127.0.0.1:1/x"), QStringLiteral("dict://127.0.0.1:1/x")}) {
        CUrlRequest request;
        EXPECT_EQ(request.syncRequest(true, url, "page", {}, 5, 3), int(CURLE_UNSUPPORTED_PROTOCOL))
            << url.toStdString();
        EXPECT_TRUE(request.responseBody().isEmpty()) << url.toStdString();
        CUrlRequest download;
        EXPECT_EQ(download.syncDownloadPrintFile(url, dir.filePath("copy.jpg"), {}, 5), int(CURLE_UNSUPPORTED_PROTOCOL));
        EXPECT_FALSE(QFile::exists(dir.filePath("copy.jpg")));
    }
    EXPECT_EQ(httptest::readFile(secretPath), "the teacher's private notes");
}

TEST_F(TransferRules, PostsFollowRedirectsWithTheirBody)
{
    HttpTestServer server;
    for (int status : {301, 302, 303, 307, 308}) {
        const QString from = QStringLiteral("/old-%1").arg(status);
        const QString to = QStringLiteral("/new-%1").arg(status);
        server.answer(from, HttpReply::withStatus(status).withHeader("Location", server.url(to).toUtf8()));
        server.answer(to, HttpReply::withStatus(200, "{\"code\":200}"));
        CUrlRequest request;
        ASSERT_EQ(request.syncRequest(true, server.url(from), "page-bytes", {}, 10, 0), 0) << status;
        EXPECT_EQ(request.responseBody(), "{\"code\":200}") << status;
        EXPECT_EQ(request.httpCode(), 200);
        const auto landed = server.requests(to);
        ASSERT_EQ(landed.size(), 1) << status;
        EXPECT_EQ(landed[0].method, "POST") << status;
        EXPECT_EQ(landed[0].body, "page-bytes") << status;
    }
}

TEST_F(TransferRules, TlsPeersAreVerifiedUnlessTheSettingsSayOtherwise)
{
    const vtest::TestCertificates certificates;
    ASSERT_TRUE(certificates.isValid()) << certificates.errorString().toStdString();
    HttpTestServer impostor(certificates.selfSignedForOtherName());
    HttpTestServer school(certificates.signedForLoopback());
    ASSERT_TRUE(impostor.isListening());
    ASSERT_TRUE(school.isListening());
    impostor.answer("/upload", HttpReply::withStatus(200, "ok"));
    school.answer("/upload", HttpReply::withStatus(200, "ok"));
    const HeaderMap cookie {{"Cookie", "SESSION=secret;"}};
    const auto post = [&](const HttpTestServer& server) {
        CUrlRequest request;
        return request.syncRequest(true, server.url("/upload"), "page", cookie, 10, 3);
    };

    // A certificate of no known CA, for another name: nothing is sent, not even once more.
    EXPECT_EQ(post(impostor), int(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_EQ(post(school), int(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_EQ(impostor.requestCount() + school.requestCount(), 0);

    // The school's own CA, named in "cafile".
    config()->setValue("cafile", certificates.caFile());
    EXPECT_EQ(post(school), 0);
    EXPECT_EQ(post(impostor), int(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_EQ(school.requests("/upload").value(0).header("Cookie"), "SESSION=secret;");

    // Verification switched off on purpose.
    config()->setValue("cafile", QString());
    config()->setValue("tlsverify", "0");
    EXPECT_EQ(post(impostor), 0);
    EXPECT_EQ(impostor.requestCount(), 1);
    // Only "0" switches it off.
    config()->setValue("tlsverify", "no");
    EXPECT_EQ(post(impostor), int(CURLE_PEER_FAILED_VERIFICATION));
}

TEST_F(TransferRules, WhatStartsOnHttpsNeverGoesOnInClearText)
{
    const vtest::TestCertificates certificates;
    ASSERT_TRUE(certificates.isValid()) << certificates.errorString().toStdString();
    HttpTestServer secure(certificates.signedForLoopback());
    HttpTestServer clear;
    config()->setValue("cafile", certificates.caFile());
    clear.answer("/upload", HttpReply::withStatus(200, "ok"));
    secure.answer("/upload", HttpReply::withStatus(307).withHeader("Location", clear.url("/upload").toUtf8()));
    secure.answer("/moved", HttpReply::withStatus(302).withHeader("Location", secure.url("/landed").toUtf8()));
    secure.answer("/landed", HttpReply::withStatus(200, "ok"));

    CUrlRequest downgraded;
    EXPECT_EQ(downgraded.syncRequest(true, secure.url("/upload"), "page", {{"Cookie", "SESSION=secret;"}}, 10, 3),
              int(CURLE_UNSUPPORTED_PROTOCOL));
    EXPECT_EQ(clear.requestCount(), 0);
    EXPECT_EQ(secure.requestCount("/upload"), 1);

    CUrlRequest staying;
    EXPECT_EQ(staying.syncRequest(true, secure.url("/moved"), "page", {}, 10, 0), 0);
    EXPECT_EQ(secure.requests("/landed").value(0).body, "page");

    // Plain http may move up to https.
    clear.answer("/up", HttpReply::withStatus(302).withHeader("Location", secure.url("/landed").toUtf8()));
    CUrlRequest upgraded;
    EXPECT_EQ(upgraded.syncRequest(true, clear.url("/up"), "page", {}, 10, 0), 0);
    EXPECT_EQ(secure.requestCount("/landed"), 2);
}

TEST_F(TransferRules, HeaderLinesCannotBeSplit)
{
    HttpTestServer server;
    server.answer("/api", HttpReply::withStatus(200, "ok"));
    CUrlRequest request;
    const HeaderMap headers {{"Cookie", "a=1;\r\nX-Injected: yes"},
                             {"X-Name\nX-Injected", "yes"},
                             {"X-Nul", QStringLiteral("a") + QChar(0) + "b"},
                             {"Authorization", "Bearer fine"}};
    ASSERT_EQ(request.syncRequest(true, server.url("/api"), "{}", headers, 10, 0), 0);
    const auto seen = server.requests("/api").value(0);
    EXPECT_FALSE(seen.hasHeader("X-Injected"));
    EXPECT_FALSE(seen.hasHeader("Cookie"));
    EXPECT_FALSE(seen.hasHeader("X-Nul"));
    EXPECT_EQ(seen.header("Authorization"), "Bearer fine");
}

} // namespace
