#include "command/commandcheck.h"
#include "command/commandprotocol.h"
#include "command/credentials.h"
#include "command/originpolicy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

using namespace KELCommandProtocol;

TEST(CommandProtocol, ListenPortFallsBackTo9086OutsideTheValidRange)
{
    EXPECT_EQ(listenPortFromSetting("9090"), 9090);
    EXPECT_EQ(listenPortFromSetting("1"), 1);
    EXPECT_EQ(listenPortFromSetting("65535"), 65535);
    for (const char* unusable : {"0", "70000", "65536", "-1", "", "abc", "90x"})
        EXPECT_EQ(listenPortFromSetting(unusable), 9086) << unusable;
}

TEST(CommandProtocol, FreshRequestIdEndsInTheMillisecondsWithoutLeadingZeros)
{
    const QDate day(2024, 5, 6);
    EXPECT_EQ(freshRequestId(QDateTime(day, QTime(12, 0, 0, 7))), "202405061200007");
    EXPECT_EQ(freshRequestId(QDateTime(day, QTime(9, 8, 7, 450))), "20240506090807450");
    EXPECT_EQ(freshRequestId(QDateTime(day, QTime(23, 59, 59, 0))), "202405062359590");
}

TEST(CommandProtocol, EnvelopeIsIndentedWithKeysInOrder)
{
    const QByteArray text = envelope("login", 200, QJsonObject {{"canUse", true}}, "", "r-1");
    EXPECT_EQ(text.toStdString(),
              "{\n"
              "    \"cmd\": \"login\",\n"
              "    \"data\": {\n"
              "        \"canUse\": true\n"
              "    },\n"
              "    \"msg\": \"\",\n"
              "    \"reqId\": \"r-1\",\n"
              "    \"ret\": 200\n"
              "}\n");

    // Exactly what Qt's writer makes of the same object, whatever the texts and data hold.
    const auto qtWriter = [](const QString& cmd, int ret, const QJsonObject& data, const QString& msg,
                             const QString& reqId) {
        return QJsonDocument(QJsonObject {{"cmd", cmd}, {"ret", ret}, {"data", data}, {"msg", msg}, {"reqId", reqId}})
            .toJson(QJsonDocument::Indented);
    };
    const QJsonObject nested {{"list", QJsonArray {1, "two", QJsonObject {{"x", QJsonArray {}}}, QJsonObject {}}},
                              {"text", "line\nnext \"q\""}, {"n", -2.5}, {"empty", QJsonObject {}}};
    for (const QString& text : {QString(), QStringLiteral("stop-scan"), QStringLiteral("a \"quoted\" \\ path"),
                                QStringLiteral("tab\there\x01\x1f\x7f"), QStringLiteral("扫描仪 / ünïcode"),
                                QString(QChar(0xD800)) + "lone"}) {
        for (const QJsonObject& data : {QJsonObject(), nested}) {
            for (const int ret : {200, -1, 0, 2147483647}) {
                EXPECT_EQ(envelope(text, ret, data, text, text), qtWriter(text, ret, data, text, text))
                    << text.toStdString() << " " << ret;
                EXPECT_EQ(envelope("print-end", ret, data, "", "20240506120000" + text),
                          qtWriter("print-end", ret, data, "", "20240506120000" + text));
            }
        }
    }
}

TEST(CommandProtocol, ParseRequestReadsOnlyStringsAndObjects)
{
    const Request numeric = parseRequest(R"({"cmd":"Login","reqId":12,"data":{}})");
    EXPECT_EQ(numeric.cmd, "Login");
    EXPECT_EQ(numeric.reqId, "");
    EXPECT_TRUE(numeric.object.contains("data"));

    for (const char* notAnObject : {"", "not json", "[1,2]", "\"text\"", "{\"cmd\":5}"}) {
        const Request request = parseRequest(notAnObject);
        EXPECT_TRUE(request.cmd.isEmpty()) << notAnObject;
    }
}

TEST(Credentials, CookieHeaderListsThePairsInNameOrder)
{
    EXPECT_EQ(cookieHeaderFrom({{"b", "2"}, {"a", "1"}}), "a=1;b=2;");
    EXPECT_EQ(cookieHeaderFrom({}), "");

    QMap<QString, QString> headers {{"Content-Type", "application/json"}};
    setCookieHeader(headers, {{"token", "x"}});
    EXPECT_EQ(headers.value("Cookie"), "token=x;");
    setCookieHeader(headers, {});
    EXPECT_FALSE(headers.contains("Cookie"));
    EXPECT_EQ(headers.value("Content-Type"), "application/json");
}

QJsonArray environments()
{
    return QJsonArray {
        QJsonObject {{"key", "online"}, {"name", "线上"}, {"url", "https://school.example.com/exam/"}},
        QJsonObject {{"key", "test"}, {"name", "测试"}, {"url", "http://test.example.com:8080"}},
        QJsonObject {{"key", "broken"}, {"name", "坏"}, {"url", "not a url"}},
    };
}

constexpr bool kLoopbackPeer = true;
constexpr bool kRemotePeer = false;

TEST(OriginPolicy, AcceptsTheEnvironmentsAndFromThisComputerAlsoLoopbackAndLocalFiles)
{
    const KELOriginPolicy policy(environments(), QString());
    for (const char* everywhere : {"https://school.example.com", "https://SCHOOL.example.com",
                                   "https://school.example.com:443", "http://test.example.com:8080"}) {
        EXPECT_TRUE(policy.allows(everywhere, kLoopbackPeer)) << everywhere;
        EXPECT_TRUE(policy.allows(everywhere, kRemotePeer)) << everywhere;
    }
    // A page of another PC that calls its own localhost, or a native client without an Origin,
    // is not this PC's.
    for (const char* localOnly : {"", "http://localhost:5173", "http://127.0.0.1", "https://[::1]:8443", "file://"}) {
        EXPECT_TRUE(policy.allows(localOnly, kLoopbackPeer)) << localOnly;
        EXPECT_FALSE(policy.allows(localOnly, kRemotePeer)) << localOnly;
    }
    for (const char* refused : {"https://evil.example.com", "http://school.example.com",
                                "https://school.example.com:8443", "http://test.example.com",
                                "null", "http://localhost.evil.example.com", "ftp://localhost",
                                "https://school.example.com/exam/", "not a url", "*"}) {
        EXPECT_FALSE(policy.allows(refused, kLoopbackPeer)) << refused;
        EXPECT_FALSE(policy.allows(refused, kRemotePeer)) << refused;
    }
}

TEST(OriginPolicy, AllowedOriginsSettingAddsOriginsOrAcceptsAll)
{
    const KELOriginPolicy listed({}, " https://partner.example.org , null,,http://lab.example.net:81");
    for (bool peer : {kLoopbackPeer, kRemotePeer}) {
        EXPECT_TRUE(listed.allows("https://partner.example.org", peer));
        EXPECT_TRUE(listed.allows("null", peer));
        EXPECT_TRUE(listed.allows("http://lab.example.net:81", peer));
        EXPECT_FALSE(listed.allows("http://lab.example.net", peer));
        EXPECT_FALSE(listed.allows("https://evil.example.com", peer));
    }

    // "*" accepts every page, but a client that names none only from this computer.
    const KELOriginPolicy everyone({}, "*");
    EXPECT_TRUE(everyone.allows("https://evil.example.com", kRemotePeer));
    EXPECT_TRUE(everyone.allows("null", kRemotePeer));
    EXPECT_TRUE(everyone.allows("", kLoopbackPeer));
    EXPECT_FALSE(everyone.allows("", kRemotePeer));
}

TEST(CookieScope, TheCookieGoesToTheEnvironmentsAndTheLoginPagesServerOnly)
{
    const KELCookieScope scope(environments(), "https://teacher.example.org");
    for (const char* school : {"https://school.example.com/web-awg/upload?x=1", "https://SCHOOL.example.com:443/",
                               "http://test.example.com:8080/img/1.png", "https://teacher.example.org/upload"})
        EXPECT_TRUE(scope.allows(school)) << school;
    // Another port, scheme or host, a look-alike, or no address at all.
    for (const char* stranger : {"http://school.example.com/upload", "https://school.example.com:8443/upload",
                                 "https://school.example.com.evil.example/upload", "https://evil.example.com/?school.example.com",
                                 "http://127.0.0.1:9999/upload", "http://teacher.example.org/upload", "not a url", ""})
        EXPECT_FALSE(scope.allows(stranger)) << stranger;

    const QMap<QString, QString> headers {{"Cookie", "sid=1;"}, {"Content-Type", "application/json"}};
    EXPECT_EQ(scope.headersFor(headers, "https://teacher.example.org/a"), headers);
    EXPECT_EQ(scope.headersFor(headers, "http://127.0.0.1:9999/"),
              (QMap<QString, QString> {{"Content-Type", "application/json"}}));

    // A program without an Origin, or a page from the disk, brings no server of its own.
    for (const char* origin : {"", "file://", "null"}) {
        const KELCookieScope environmentsOnly(environments(), origin);
        EXPECT_TRUE(environmentsOnly.allows("https://school.example.com/upload")) << origin;
        EXPECT_FALSE(environmentsOnly.allows("https://teacher.example.org/upload")) << origin;
    }
    EXPECT_FALSE(KELCookieScope().allows("https://school.example.com/upload"));
}

TEST(CommandCheck, NumbersAreReadOneWayAndOnlyWhenAnIntCanHoldThem)
{
    using KELCommandCheck::Integer;
    using KELCommandCheck::readInteger;
    const auto kind = [](const QJsonValue& v) { return readInteger(v).kind; };
    EXPECT_EQ(readInteger(QJsonValue(1)).value, 1);
    EXPECT_EQ(readInteger(QJsonValue(" -12 ")).value, -12);
    EXPECT_EQ(readInteger(QJsonValue("2.0")).value, 2);
    EXPECT_EQ(readInteger(QJsonValue("1e1")).value, 10);
    EXPECT_EQ(readInteger(QJsonValue(2147483647.0)).value, 2147483647);
    for (const QJsonValue& absent : {QJsonValue(QJsonValue::Undefined), QJsonValue()})
        EXPECT_EQ(kind(absent), Integer::Kind::Absent);
    for (const QJsonValue& text : {QJsonValue("abc"), QJsonValue(""), QJsonValue("0x10"), QJsonValue("1e"),
                                   QJsonValue("."), QJsonValue(true), QJsonValue(QJsonObject{})})
        EXPECT_EQ(kind(text), Integer::Kind::NotNumeric) << QJsonDocument(QJsonArray{text}).toJson().toStdString();
    for (const QJsonValue& invalid : {QJsonValue("1e999"), QJsonValue("NaN"), QJsonValue("+Infinity"), QJsonValue(1.5),
                                      QJsonValue(2147483648.0), QJsonValue(-2147483649.0), QJsonValue("9223372036854775808")})
        EXPECT_EQ(kind(invalid), Integer::Kind::Invalid) << QJsonDocument(QJsonArray{invalid}).toJson().toStdString();

    // "paperVersion": 2 for absent, zero or not numeric; refused only when it cannot be a number.
    const auto scan = [](const QJsonValue& version) {
        QJsonObject data {{"uploadUrl", "u"}, {"unionKey", "k"}};
        if (!version.isUndefined())
            data.insert("paperVersion", version);
        return KELCommandCheck::readScanData(data);
    };
    EXPECT_EQ(scan(QJsonValue::Undefined).paperVersion, 2);
    EXPECT_EQ(scan(QJsonValue(0)).paperVersion, 2);
    EXPECT_EQ(scan(QJsonValue("abc")).paperVersion, 2);
    EXPECT_EQ(scan(QJsonValue("1")).paperVersion, 1);
    EXPECT_TRUE(KELCommandCheck::scanDataProblem(scan(QJsonValue("abc"))).isEmpty());
    EXPECT_EQ(KELCommandCheck::scanDataProblem(scan(QJsonValue(1e300))), "paperVersion is not a usable number");
}

} // namespace
