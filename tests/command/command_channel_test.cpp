// The command channel of the real agent, seen from web pages on a WebSocket.
#include "agentsandbox.h"
#include "processinfo.h"
#include "wait.h"
#include "wsclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using vtest::AgentSandbox;
using vtest::WsClient;

// Fields of one reply or event, compared as a whole so a failure shows all of them.
struct Envelope {
    QString cmd;
    int ret = 0;
    QJsonObject data;
    QString msg;
    QString reqId;

    static Envelope of(const QJsonObject& message)
    {
        return {message.value("cmd").toString(), message.value("ret").toInt(),
                message.value("data").toObject(), message.value("msg").toString(),
                message.value("reqId").toString()};
    }
    bool operator==(const Envelope& other) const
    {
        return cmd == other.cmd && ret == other.ret && data == other.data && msg == other.msg
            && reqId == other.reqId;
    }
};

void PrintTo(const Envelope& e, std::ostream* os)
{
    *os << "{cmd=" << e.cmd.toStdString() << ", ret=" << e.ret << ", data="
        << QJsonDocument(e.data).toJson(QJsonDocument::Compact).toStdString()
        << ", msg=" << e.msg.toStdString() << ", reqId=" << e.reqId.toStdString() << "}";
}

Envelope rejected(const QString& cmd, const QString& reqId, const QString& msg)
{
    return {cmd, 400, {}, msg, reqId};
}

Envelope accepted(const QString& cmd, const QString& reqId, const QJsonObject& data = {})
{
    return {cmd, 200, data, "", reqId};
}

QJsonObject student(const QString& id, const QString& name, const QJsonArray& images = {"http://img/1.png"})
{
    return {{"studentId", id}, {"studentName", name}, {"imgList", images},
            {"config", QJsonObject {{"size", "A4"}, {"type", "whole"}}}};
}

// An agent listening on its own port, with one page connected.
class CommandChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = sandbox.startListening({"--hidden"});
        ASSERT_NE(port, 0);
        ASSERT_TRUE(page.open(port)) << page.errorString().toStdString();
    }

    // Sends a request and returns the reply that carries its reqId back.
    Envelope ask(const QString& cmd, const QString& reqId, const QJsonValue& data = QJsonValue::Undefined)
    {
        page.sendRequest(cmd, reqId, data);
        const auto reply = page.waitForReqId(reqId);
        EXPECT_TRUE(reply.has_value()) << "no reply to " << cmd.toStdString() << " " << reqId.toStdString();
        return reply ? Envelope::of(*reply) : Envelope {};
    }

    // The agent writes its log file every few seconds, and at once after a warning or error:
    // each malformed frame makes it write everything logged so far.
    bool logged(const QString& text)
    {
        return vtest::waitUntil([&] {
            page.sendText("flush");
            page.waitFor([](const QJsonObject& m) { return m.value("msg").toString() == "wrong data format."; });
            return sandbox.readLog().contains(text);
        });
    }

    AgentSandbox sandbox;
    quint16 port = 0;
    WsClient page;
};

TEST_F(CommandChannel, AnswersMalformedAndUnknownRequestsItself)
{
    const Envelope wrongFormat = rejected("", "", "wrong data format.");
    for (const QByteArray& frame : {QByteArray("not json"), QByteArray("{}"), QByteArray("[1,2]"),
                                    QByteArray(R"({"cmd":""})"), QByteArray(R"({"cmd":3})")}) {
        page.sendText(frame);
        const auto reply = page.nextMessage();
        ASSERT_TRUE(reply) << frame.toStdString();
        EXPECT_EQ(Envelope::of(*reply), wrongFormat) << frame.toStdString();
    }
    page.sendBinary(QByteArray("\x00\xff\x10garbage", 10));
    EXPECT_EQ(Envelope::of(page.nextMessage().value_or(QJsonObject())), wrongFormat);
    // Without a command the reqId is still echoed.
    page.sendText(R"({"reqId":"r0","data":{}})");
    EXPECT_EQ(Envelope::of(page.nextMessage().value_or(QJsonObject())), rejected("", "r0", "wrong data format."));

    // The envelope exactly as the page receives it: indented, keys in alphabetical order.
    page.sendText(R"({"cmd":"Frobnicate","reqId":"r1"})");
    EXPECT_EQ(page.nextText().value_or("").toStdString(),
              "{\n    \"cmd\": \"Frobnicate\",\n    \"data\": {\n    },\n    \"msg\": \"unknown cmd.\",\n"
              "    \"reqId\": \"r1\",\n    \"ret\": 400\n}\n");
    // A reqId that is not a string is answered with "".
    page.sendText(R"({"cmd":"scan-all","reqId":42})");
    EXPECT_EQ(Envelope::of(page.nextMessage().value_or(QJsonObject())), rejected("scan-all", "", "unknown cmd."));

    // "stop-print" has no reply: the next message answers the request after it.
    page.sendRequest("stop-print", "sp");
    page.sendRequest("marker", "m1");
    EXPECT_EQ(Envelope::of(page.nextMessage().value_or(QJsonObject())), rejected("marker", "m1", "unknown cmd."));

    EXPECT_TRUE(logged("wrong request data from client: "));
    EXPECT_TRUE(logged(", data: not json"));
    EXPECT_TRUE(logged(", data: <10 bytes, not text: 00 ff 10 67 61 72 62 61 67 65>"));
    EXPECT_TRUE(logged(R"(unknown cmd request from client: )"));
    EXPECT_TRUE(logged(R"(, data: {"cmd":"Frobnicate","reqId":"r1"})"));
    EXPECT_TRUE(logged(", cmd: stop-print"));
    EXPECT_TRUE(logged("ws send data: cmd(Frobnicate), ret(400), msg (unknown cmd.)"));
}

TEST_F(CommandChannel, LoginHandsTheCredentialsToEveryManagerAndStopScanIsAccepted)
{
    const QJsonObject credentials {{"uploadCredentials", QJsonObject {{"b", "2"}, {"a", "1"}}}};
    // The command is matched without regard to case and echoed as sent.
    EXPECT_EQ(ask("LOGIN", "l1", credentials), accepted("LOGIN", "l1", {{"canUse", false}}));
    EXPECT_TRUE(logged("set upload token param, items count: 2"));
    EXPECT_TRUE(logged("set print request download token param, items count: 2"));
    EXPECT_TRUE(logged("set printBatch request download token param, items count: 2"));

    // No credentials clear them everywhere.
    EXPECT_EQ(ask("login", "l2"), accepted("login", "l2", {{"canUse", false}}));
    EXPECT_TRUE(logged("set upload token param, items count: 0"));
    EXPECT_TRUE(logged("set print request download token param, items count: 0"));
    EXPECT_TRUE(logged("set printBatch request download token param, items count: 0"));

    EXPECT_EQ(ask("stop-scan", "s1"), accepted("stop-scan", "s1"));
    EXPECT_EQ(ask("Stop-Scan", "s2", QJsonObject {{"anything", 1}}), accepted("Stop-Scan", "s2"));
}

TEST_F(CommandChannel, StartScanChecksItsDataInOrder)
{
    EXPECT_EQ(ask("start-scan", "a"), rejected("start-scan", "a", "wrong data: no data"));
    EXPECT_EQ(ask("start-scan", "b", QJsonObject {}), rejected("start-scan", "b", "wrong data: no data"));
    EXPECT_EQ(ask("start-scan", "c", "text"), rejected("start-scan", "c", "wrong data: no data"));
    EXPECT_EQ(ask("start-scan", "d", QJsonObject {{"uploadUrl", "x"}}),
              rejected("start-scan", "d", "wrong data: no url or key"));
    EXPECT_EQ(ask("start-scan", "e", QJsonObject {{"unionKey", "k-only"}, {"batchno", "B0"}}),
              rejected("start-scan", "e", "wrong data: no url or key"));
    EXPECT_TRUE(logged("received batch info is wrong : no data. start-scan"));
    EXPECT_TRUE(logged("received batch info is wrong : no url or key start-scan"));

    const QString url = "http://127.0.0.1:9/upload";
    EXPECT_EQ(ask("Start-Scan", "f",
                  QJsonObject {{"uploadUrl", url}, {"unionKey", "u1"}, {"batchno", "B-1"}, {"paperVersion", "1"}}),
              accepted("Start-Scan", "f"));
    EXPECT_TRUE(logged("slotScanCmd: paperVersion=1, batch_no=B-1, union_key=u1"));
    EXPECT_TRUE(logged("setBatchTaskInfo info: url=" + url + ", union_key=u1, batch_no=B-1, paper_version=1"));

    // The paper version: a number or numeric text; 2 when absent, zero or not numeric.
    const std::vector<std::pair<QJsonValue, int>> versions {
        {QJsonValue(1), 1}, {QJsonValue("abc"), 2}, {QJsonValue(0), 2}, {QJsonValue::Undefined, 2}, {QJsonValue(true), 2}};
    int n = 0;
    for (const auto& [value, expected] : versions) {
        const QString key = QString("v%1").arg(++n);
        QJsonObject data {{"uploadUrl", url}, {"unionKey", key}};
        if (!value.isUndefined())
            data.insert("paperVersion", value);
        EXPECT_EQ(ask("start-scan", key, data), accepted("start-scan", key));
        EXPECT_TRUE(logged(QString("slotScanCmd: paperVersion=%1, batch_no=, union_key=%2").arg(expected).arg(key)));
    }
    // Rejected requests never reach the uploader.
    const QString log = sandbox.readLog();
    EXPECT_FALSE(log.contains("setBatchTaskInfo info: url=x,"));
    EXPECT_FALSE(log.contains("union_key=k-only, batch_no=B0, paper_version"));
}

TEST_F(CommandChannel, PrintChecksItsData)
{
    EXPECT_EQ(ask("print", "a"), rejected("print", "a", "wrong data: no data"));
    EXPECT_EQ(ask("print", "b", QJsonObject {}), rejected("print", "b", "wrong data: no data"));
    const QString listMsg = "wrong data: imgList not list or no student_name";
    EXPECT_EQ(ask("print", "c", QJsonObject {{"studentName", "A"}}), rejected("print", "c", listMsg));
    EXPECT_EQ(ask("print", "d", QJsonObject {{"studentName", "A"}, {"imgList", "http://img/1.png"}}),
              rejected("print", "d", listMsg));
    EXPECT_EQ(ask("print", "e", QJsonObject {{"studentName", ""}, {"imgList", QJsonArray {"http://img/1.png"}}}),
              rejected("print", "e", listMsg));
    EXPECT_TRUE(logged("received print info is wrong : imgList not list or no student_name  print"));

    // An empty image list passes, and so does a missing student id.
    EXPECT_EQ(ask("Print", "f", QJsonObject {{"studentName", "张三"}, {"imgList", QJsonArray {}}}),
              accepted("Print", "f"));
    EXPECT_TRUE(logged("print request data: {"));
    EXPECT_TRUE(logged("enqueue legacy print task. uniqueId="));
    EXPECT_TRUE(logged("studentName=张三, studentId=, pendingTaskSize=1"));
    EXPECT_EQ(sandbox.readLog().count("enqueue legacy print task."), 1);
}

TEST_F(CommandChannel, PrintBatchChecksEveryStudentInOrder)
{
    EXPECT_EQ(ask("printBatch", "a"), rejected("printBatch", "a", "wrong data: data is not array"));
    EXPECT_EQ(ask("printBatch", "b", student("s1", "A")), rejected("printBatch", "b", "wrong data: data is not array"));
    EXPECT_EQ(ask("printBatch", "c", QJsonArray {}), rejected("printBatch", "c", "wrong data: data is empty array"));

    QJsonObject noId = student("", "C");
    noId.remove("studentId");
    const std::vector<std::pair<QJsonArray, QString>> rejectedBatches {
        {{student("s1", "A"), student("s2", "B"), 5}, "wrong data: student item is not object, index=2"},
        {{student("s1", "A"), student("s2", "B"), noId}, "wrong data: no student_id, index=2"},
        {{student("s1", "A"), student("s1", "A again")}, "wrong data: duplicate student_id, index=1"},
        {{student("s1", "A"), student("s2", "B", {})}, "wrong data: imgList is empty, index=1"},
        {{student("s1", "")}, "wrong data: imgList not list or no student_name, index=0"},
        {{QJsonObject {{"studentId", "s1"}, {"studentName", "A"}, {"imgList", "http://img/1.png"}}},
         "wrong data: imgList not list or no student_name, index=0"},
        // The checks run in order: the empty list is reported before the missing id.
        {{QJsonObject {{"studentName", "D"}, {"imgList", QJsonArray {}}}}, "wrong data: imgList is empty, index=0"},
    };
    int n = 0;
    for (const auto& [batch, message] : rejectedBatches) {
        const QString reqId = QString("r%1").arg(++n);
        EXPECT_EQ(ask("printBatch", reqId, batch), rejected("printBatch", reqId, message));
    }
    EXPECT_TRUE(logged("printBatch validation failed. index=2, reason=student item is not object"));
    EXPECT_TRUE(logged("printBatch validation failed. index=2, studentName=C, reason=no student_id"));
    EXPECT_TRUE(logged("printBatch validation failed. index=1, studentName=A again, studentId=s1, reason=duplicate student_id"));
    EXPECT_TRUE(logged("printBatch validate student. index=0, studentName=A, studentId=s1, student={"));

    EXPECT_EQ(ask("PRINTBATCH", "ok", QJsonArray {student("s1", "A"), student("s2", "B")}),
              accepted("PRINTBATCH", "ok"));
    EXPECT_TRUE(logged("reqId=ok, remote_key="));
    EXPECT_TRUE(logged("studentCount=2"));
    // Only the accepted batch was handed on.
    EXPECT_EQ(sandbox.readLog().count("printBatch create batch."), 1);
}

TEST_F(CommandChannel, RepliesGoOnlyToThePageThatAsked)
{
    WsClient other; // over IPv6: the agent listens on both loopback addresses
    ASSERT_TRUE(other.open(port, {}, "::1")) << other.errorString().toStdString();

    page.sendRequest("frob", "a1");
    other.sendRequest("printBatch", "b1", QJsonArray {});
    other.sendRequest("frob", "b2");
    EXPECT_EQ(Envelope::of(page.nextMessage().value_or(QJsonObject())).reqId, "a1");
    ASSERT_TRUE(other.waitForQueued(2));

    // Whatever the other page caused would have arrived before this answer.
    page.sendRequest("frob", "a2");
    EXPECT_EQ(Envelope::of(page.nextMessage().value_or(QJsonObject())).reqId, "a2");
    EXPECT_EQ(page.queuedCount(), 0u);
    EXPECT_TRUE(other.waitForReqId("b1"));
    EXPECT_TRUE(other.waitForReqId("b2"));
    EXPECT_EQ(other.queuedCount(), 0u);
    EXPECT_TRUE(logged("scan server received a new connection : [::1]:"));
    EXPECT_TRUE(logged("scan server received a new connection : 127.0.0.1:"));

    other.close();
    EXPECT_TRUE(logged("a client disconnect from scan server : [::1]:"));
}

// A reply that follows an event closely must not wait for the page to acknowledge the event
// (Nagle's algorithm): the agent's end of every page's connection sends at once.
TEST_F(CommandChannel, EveryPageConnectionSendsWithoutDelay)
{
    WsClient other;
    ASSERT_TRUE(other.open(port, {}, "::1")) << other.errorString().toStdString();
    const qint64 agent = sandbox.agent()->processId();
    for (const WsClient* client : {&page, &other}) {
        const std::optional<bool> noDelay = vtest::processinfo::sendsWithoutDelay(agent, client->localPort());
        if (!noDelay)
            GTEST_SKIP() << "this system does not let the test look at the agent's sockets";
        EXPECT_TRUE(*noDelay) << "the connection from port " << client->localPort();
    }
}

TEST_F(CommandChannel, QuittingClosesThePagesAndEndsTheLoop)
{
    QProcess* agent = sandbox.agent();
    agent->terminate();
    ASSERT_TRUE(page.waitForClosed());
    EXPECT_EQ(page.closeCode(), 1001); // going away
    ASSERT_TRUE(agent->waitForFinished(30000));
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_TRUE(sandbox.readLog().contains("websocket server loop ended"));
}

// Two free ports in a row, so the agent's second try has somewhere to go.
quint16 freePortPair()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const quint16 port = AgentSandbox::freePort();
        if (port == 65535)
            continue;
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, port + 1))
            return port;
    }
    return 0;
}

TEST(CommandServerPort, ATakenPortMovesTheServerToTheNextOne)
{
    const quint16 port = freePortPair();
    ASSERT_NE(port, 0);
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, port));

    AgentSandbox sandbox;
    sandbox.setConfig("listenport", QString::number(port));
    sandbox.start({"--hidden"});
    EXPECT_TRUE(sandbox.waitForLog(QString("websocket server listen %1 port error, ").arg(port)));
    ASSERT_TRUE(sandbox.waitForLog(QString("websocket server listen %1 port succeed----").arg(port + 1)));

    WsClient page;
    ASSERT_TRUE(page.open(port + 1)) << page.errorString().toStdString();
    const auto reply = page.request("frob");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->value("msg").toString(), "unknown cmd.");
}

TEST(CommandServerPort, WithoutAnyPortTheAgentKeepsRunning)
{
    const quint16 port = freePortPair();
    ASSERT_NE(port, 0);
    QTcpServer first;
    QTcpServer second;
    ASSERT_TRUE(first.listen(QHostAddress::Any, port));
    ASSERT_TRUE(second.listen(QHostAddress::Any, port + 1));

    AgentSandbox sandbox;
    sandbox.setConfig("listenport", QString::number(port));
    QProcess* agent = sandbox.start({"--hidden"});
    EXPECT_TRUE(sandbox.waitForLog(QString("websocket server listen %1 port error, ").arg(port + 1)));
    EXPECT_TRUE(sandbox.waitForLog("websocket server has no port to listen on"));
    EXPECT_EQ(agent->state(), QProcess::Running);
    // It still quits in order.
    agent->terminate();
    ASSERT_TRUE(agent->waitForFinished(30000));
    EXPECT_EQ(agent->exitCode(), 0);
}

TEST(CommandServerOrigins, OnlyKnownPagesMayConnect)
{
    AgentSandbox sandbox;
    sandbox.usePrivateProgramFolder(QJsonObject {
        {"appname", "vellox"}, {"appversion", "1.0.0"}, {"current", "online"},
        {"domains", QJsonArray {
            QJsonObject {{"key", "online"}, {"name", "线上"}, {"url", "https://school.example.com/exam/"}},
            QJsonObject {{"key", "test"}, {"name", "测试"}, {"url", "http://test.example.com:8080"}}}}});
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);

    auto connects = [&](const QString& origin) {
        WsClient page;
        if (!page.open(port, origin))
            return ::testing::AssertionFailure() << page.errorString().toStdString();
        const auto reply = page.request("frob");
        if (!reply || reply->value("msg").toString() != "unknown cmd.")
            return ::testing::AssertionFailure() << "connected but not served";
        return ::testing::AssertionSuccess();
    };
    auto refused = [&](const QString& origin) {
        WsClient page;
        if (page.open(port, origin))
            return ::testing::AssertionFailure() << "accepted";
        if (!page.errorString().contains("403"))
            return ::testing::AssertionFailure() << page.errorString().toStdString();
        if (!sandbox.waitForLog("websocket handshake refused, origin not allowed: " + origin + ", client: "))
            return ::testing::AssertionFailure() << "refusal not logged";
        return ::testing::AssertionSuccess();
    };

    for (const char* origin : {"", "https://school.example.com", "http://test.example.com:8080",
                               "http://localhost:5173", "http://127.0.0.1", "http://[::1]:3000", "file://"})
        EXPECT_TRUE(connects(origin)) << origin;
    for (const char* origin : {"https://evil.example.com", "http://school.example.com",
                               "https://school.example.com:8443", "http://test.example.com", "null"})
        EXPECT_TRUE(refused(origin)) << origin;

    // The setting is read at every handshake.
    sandbox.setConfig("allowedorigins", "https://partner.example.org, null");
    EXPECT_TRUE(connects("https://partner.example.org"));
    EXPECT_TRUE(connects("null"));
    EXPECT_TRUE(connects("https://school.example.com"));
    EXPECT_TRUE(refused("https://evil.example.com:444"));

    sandbox.setConfig("allowedorigins", "*");
    EXPECT_TRUE(connects("https://evil.example.com"));
}

TEST(CommandServerLoad, ABurstFromTwentyPagesIsAnsweredInOrder)
{
    AgentSandbox sandbox;
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);

    constexpr int kPages = 20;
    constexpr int kRequestsPerPage = 500;
    std::vector<std::unique_ptr<WsClient>> pages;
    for (int p = 0; p < kPages; ++p) {
        pages.push_back(std::make_unique<WsClient>());
        ASSERT_TRUE(pages.back()->open(port)) << p << ": " << pages.back()->errorString().toStdString();
    }
    // Half the pages are answered by the server's thread, half by the controller: no side
    // effects either way.
    auto isControllerPage = [](int p) { return p % 2 == 1; };
    for (int n = 0; n < kRequestsPerPage; ++n) {
        for (int p = 0; p < kPages; ++p) {
            const QString reqId = QString("p%1-%2").arg(p).arg(n);
            if (isControllerPage(p))
                pages[p]->sendRequest("printBatch", reqId, QJsonArray {});
            else
                pages[p]->sendRequest("burst", reqId);
        }
    }
    for (int p = 0; p < kPages; ++p)
        ASSERT_TRUE(pages[p]->waitForQueued(kRequestsPerPage, 180000))
            << "page " << p << " got " << pages[p]->queuedCount();

    // An event the agent sends every page (its scanner announcement, late on a slow machine) may
    // come between the replies: it is no reply, and the reply it displaced is still on its way.
    auto nextReply = [](WsClient& page) {
        for (;;) {
            const std::optional<QJsonObject> message = page.nextMessage(30000);
            if (!message)
                return Envelope::of(QJsonObject());
            const Envelope envelope = Envelope::of(*message);
            if (envelope.reqId.startsWith('p'))
                return envelope;
        }
    };
    for (int p = 0; p < kPages; ++p) {
        const QString expectedMsg = isControllerPage(p) ? "wrong data: data is empty array" : "unknown cmd.";
        for (int n = 0; n < kRequestsPerPage; ++n) {
            const Envelope reply = nextReply(*pages[p]);
            ASSERT_EQ(reply.reqId, QString("p%1-%2").arg(p).arg(n)) << "page " << p;
            ASSERT_EQ(reply.msg, expectedMsg);
        }
    }

    WsClient late;
    ASSERT_TRUE(late.open(port));
    EXPECT_TRUE(late.request("login"));
}

TEST(CommandServerRobustness, OversizedFramesAndVanishingPagesDoNotStopTheServer)
{
    AgentSandbox sandbox;
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);

    // Several MiB of request are still answered.
    WsClient page;
    ASSERT_TRUE(page.open(port));
    const QJsonObject padded {{"pad", QString(4 * 1024 * 1024, QChar('x'))}};
    const auto big = page.request("frob", padded, 60000);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->value("msg").toString(), "unknown cmd.");

    // Beyond the limit the connection is closed as "message too big".
    page.sendText(QByteArray(9 * 1024 * 1024, 'x'));
    // (websocketpp answers 1009 "message too big"; the client may see the socket close first.)
    ASSERT_TRUE(page.waitForClosed(60000));

    // A page that vanishes with requests in flight: their replies are dropped.
    WsClient vanishing;
    ASSERT_TRUE(vanishing.open(port));
    for (int n = 0; n < 300; ++n)
        vanishing.sendRequest(n % 2 ? "printBatch" : "frob", QString::number(n), QJsonArray {});
    ASSERT_TRUE(vanishing.waitForQueued(1));
    vanishing.abort();

    WsClient after;
    ASSERT_TRUE(after.open(port)) << after.errorString().toStdString();
    EXPECT_TRUE(after.request("login"));
    EXPECT_EQ(sandbox.agent()->state(), QProcess::Running);
}

} // namespace
