// The command port as a hostile page or a careless client meets it: where it listens, what it
// refuses, and what it does with a page that floods it or never reads.
#include "agentsandbox.h"
#include "wait.h"
#include "wsclient.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSet>
#include <QTcpSocket>
#include <QtEndian>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <optional>
#include <unistd.h>
#include <vector>

namespace {

using vtest::AgentSandbox;
using vtest::WsClient;

// The addresses on which something listens on `port`, as the system's socket tables show them
// ("127.0.0.1", "::1", "::", "0.0.0.0"). Read from the tables instead of connecting, so no test
// sends anything to an address other than loopback.
QSet<QString> listeningAddresses(quint16 port)
{
    QSet<QString> addresses;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(table);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 4 || fields[3] != "0A") // LISTEN
                continue;
            const QList<QByteArray> local = fields[1].split(':');
            if (local.size() != 2 || local[1].toUShort(nullptr, 16) != port)
                continue;
            // Each 32-bit word of the address is printed in the machine's byte order.
            QByteArray bytes;
            const QByteArray hex = local[0];
            for (int word = 0; word + 8 <= hex.size(); word += 8) {
                const quint32 value = hex.mid(word, 8).toUInt(nullptr, 16);
                for (int b = 0; b < 4; ++b)
                    bytes.append(char((value >> (8 * b)) & 0xff));
            }
            addresses.insert(bytes.size() == 4 ? QHostAddress(qFromBigEndian<quint32>(bytes.constData())).toString()
                                               : QHostAddress(reinterpret_cast<const quint8*>(bytes.constData())).toString());
        }
    }
    return addresses;
}

class ChannelHardening : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "agent log (tail):\n%s\n", sandbox.readLog().right(6000).toUtf8().constData());
    }

    std::optional<QJsonObject> ask(WsClient& client, const QString& cmd, const QJsonValue& data)
    {
        return client.request(cmd, data, 60000);
    }

    // Starts the agent and connects `page` from this computer; false when either fails.
    bool startWithPage(WsClient& page)
    {
        const quint16 port = sandbox.startListening({"--hidden"});
        return port != 0 && page.open(port);
    }

    static bool answeredWrongFormat(WsClient& page)
    {
        return page.waitFor([](const QJsonObject& m) { return m.value("msg").toString() == "wrong data format."; })
            .has_value();
    }

    AgentSandbox sandbox;
};

TEST_F(ChannelHardening, ThePortIsThisComputersUnlessOpenedOnPurpose)
{
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);
    // Loopback only: a host on the network finds nothing listening.
    const QSet<QString> loopback = listeningAddresses(port);
    EXPECT_TRUE(loopback.contains("127.0.0.1"));
    EXPECT_TRUE((QSet<QString> {"127.0.0.1", "::1"}).contains(loopback)) << loopback.values().join(' ').toStdString();
    WsClient native; // no Origin header, from this computer
    ASSERT_TRUE(native.open(port)) << native.errorString().toStdString();
    native.close();
    if (loopback.contains("::1")) {
        WsClient overIpv6;
        ASSERT_TRUE(overIpv6.open(port, "http://localhost:5173", "::1")) << overIpv6.errorString().toStdString();
        overIpv6.close();
    }

    // A restart while a page is connected gets the same port, not the next one.
    WsClient connected;
    ASSERT_TRUE(connected.open(port));
    QProcess* first = sandbox.agent();
    first->terminate();
    ASSERT_TRUE(first->waitForFinished(30000));
    QProcess* second = sandbox.start({"--hidden"});
    const QString listening = QString("websocket server listen %1 port succeed-----").arg(port);
    ASSERT_TRUE(vtest::waitUntil([&] { return sandbox.readLog().count(listening) == 2; })) << "restarted elsewhere";
    EXPECT_FALSE(sandbox.readLog().contains(QString("websocket server listen %1 port error").arg(port)));
    WsClient again;
    ASSERT_TRUE(again.open(port)) << again.errorString().toStdString();
    second->terminate();
    ASSERT_TRUE(second->waitForFinished(30000));

    // "listenaddress" "any" opens every interface; pages of this computer are served as before
    // (from other computers the origin must be one of the agent's: see OriginPolicy).
    sandbox.setConfig("listenaddress", "any");
    sandbox.start({"--hidden"});
    ASSERT_TRUE(sandbox.waitForLog("(every interface)"));
    // The IPv6 wildcard serves IPv4 too; without IPv6 the IPv4 one stands in.
    EXPECT_EQ(listeningAddresses(port), (QSet<QString> {loopback.contains("::1") ? "::" : "0.0.0.0"}));
    WsClient anyPage;
    ASSERT_TRUE(anyPage.open(port)) << anyPage.errorString().toStdString();
    EXPECT_TRUE(anyPage.request("login"));
}

TEST_F(ChannelHardening, CredentialsAndNumbersThatCannotBeUsedAreRefused)
{
    WsClient page;
    ASSERT_TRUE(startWithPage(page));

    const QString nameMsg = R"(wrong data: uploadCredentials name holds a control character, "=" or ";")";
    const QString valueMsg = "wrong data: uploadCredentials value holds a control character";
    const std::vector<std::pair<QJsonObject, QString>> logins {
        {{{"SESSION", "abc\r\nX-Injected: yes"}}, valueMsg},
        {{{"SESSION", QStringLiteral("abc") + QChar(0)}}, valueMsg},
        {{{"a=b", "1"}}, nameMsg},
        {{{"a;b", "1"}}, nameMsg},
        {{{"a\nb", "1"}}, nameMsg},
    };
    for (const auto& [credentials, message] : logins) {
        const auto reply = ask(page, "login", QJsonObject {{"uploadCredentials", credentials}});
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->value("ret").toInt(), 400);
        EXPECT_EQ(reply->value("msg").toString(), message);
    }
    // A refused login leaves the credentials as they were: nothing was handed on.
    EXPECT_FALSE(sandbox.readLog().contains("set upload token param, items count: 1"));

    const QString numberMsg = "wrong data: paperVersion is not a usable number";
    const QJsonObject scan {{"uploadUrl", "http://127.0.0.1:9/upload"}, {"unionKey", "u"}};
    for (const QJsonValue& version : {QJsonValue("1e999"), QJsonValue("NaN"), QJsonValue("-inf"),
                                      QJsonValue(9223372036854775808.0), QJsonValue(-9.3e18), QJsonValue(1.5),
                                      QJsonValue("2147483648"), QJsonValue(1e308)}) {
        QJsonObject data = scan;
        data.insert("paperVersion", version);
        const auto reply = ask(page, "start-scan", data);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->value("ret").toInt(), 400) << QJsonDocument(data).toJson().toStdString();
        EXPECT_EQ(reply->value("msg").toString(), numberMsg);
    }
    // Every field of the batch has a limit well inside the frame's 8 MiB.
    const QString longUrl = "http://127.0.0.1:9/" + QString(3 * 1024 * 1024, QChar('u'));
    for (const auto& [field, value, message] : std::vector<std::tuple<QString, QString, QString>> {
             {"uploadUrl", longUrl, "wrong data: uploadUrl is longer than 2048 characters"},
             {"uploadUrl", "http://127.0.0.1:9/up\nload", "wrong data: uploadUrl holds a control character"},
             {"unionKey", QString(257, QChar('k')), "wrong data: unionKey is longer than 256 characters"}}) {
        QJsonObject data = scan;
        data.insert(field, value);
        const auto reply = ask(page, "start-scan", data);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->value("ret").toInt(), 400) << field.toStdString();
        EXPECT_EQ(reply->value("msg").toString(), message);
    }
    // An over-long reqId is refused for every command, and not sent back.
    for (const char* cmd : {"login", "start-scan", "stop-scan"}) {
        page.sendJson(QJsonObject {{"cmd", cmd}, {"reqId", QString(4 * 1024 * 1024, QChar('r'))}, {"data", scan}});
        const auto reply = page.waitFor([&](const QJsonObject& m) { return m.value("cmd").toString() == cmd; });
        ASSERT_TRUE(reply) << cmd;
        EXPECT_EQ(reply->value("ret").toInt(), 400);
        EXPECT_EQ(reply->value("msg").toString(), "wrong data: reqId is longer than 128 characters");
        EXPECT_EQ(reply->value("reqId").toString(), "");
    }
    const QString longestIdText(128, QChar('r'));
    page.sendRequest("login", longestIdText, QJsonObject {});
    const auto longestId = page.waitForReqId(longestIdText);
    ASSERT_TRUE(longestId);
    EXPECT_EQ(longestId->value("ret").toInt(), 200);

    // Numbers JSON cannot hold never reach a command.
    for (const char* frame : {R"({"cmd":"start-scan","reqId":"n","data":{"paperVersion":1e999}})",
                              R"({"cmd":"start-scan","reqId":"n","data":{"paperVersion":NaN}})"}) {
        page.sendText(frame);
        EXPECT_TRUE(answeredWrongFormat(page)) << frame;
    }
    EXPECT_FALSE(sandbox.readLog().contains("setBatchTaskInfo info"));

    // Still serving.
    const auto login = ask(page, "login", QJsonObject {{"uploadCredentials", QJsonObject {{"SESSION", "abc"}}}});
    ASSERT_TRUE(login);
    EXPECT_EQ(login->value("ret").toInt(), 200);
}

TEST_F(ChannelHardening, PrintStudentIdsThatCannotNameAFolderAreRefused)
{
    WsClient page;
    ASSERT_TRUE(startWithPage(page));
    const auto student = [](const QString& id) {
        return QJsonObject {{"studentId", id}, {"studentName", "A"}, {"imgList", QJsonArray {"http://img/a.png"}}};
    };
    const QString tooLong(129, QChar('s'));
    const QString control = QStringLiteral("s\n1");

    for (const auto& [id, message] : std::vector<std::pair<QString, QString>> {
             {tooLong, "wrong data: studentId is longer than 128 characters"},
             {control, "wrong data: studentId holds a control character"}}) {
        const auto print = ask(page, "print", student(id));
        ASSERT_TRUE(print);
        EXPECT_EQ(print->value("ret").toInt(), 400);
        EXPECT_EQ(print->value("msg").toString(), message);
        const auto batch = ask(page, "printBatch", QJsonArray {student("s0"), student(id)});
        ASSERT_TRUE(batch);
        EXPECT_EQ(batch->value("ret").toInt(), 400);
        EXPECT_EQ(batch->value("msg").toString(), message + ", index=1");
    }
    EXPECT_FALSE(sandbox.readLog().contains("enqueue legacy print task."));
    EXPECT_FALSE(sandbox.readLog().contains("printBatch create batch."));
    // An id that is only odd, not unusable, is the print manager's to turn into a safe name.
    const auto odd = ask(page, "print", student("../../s1"));
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->value("ret").toInt(), 200);
}

TEST_F(ChannelHardening, AHugeRequestLeavesASmallLog)
{
    WsClient page;
    ASSERT_TRUE(startWithPage(page));
    // A warning writes the log file at once: its size is then all that was logged.
    page.sendText("not json");
    ASSERT_TRUE(answeredWrongFormat(page));
    ASSERT_TRUE(sandbox.waitForLog("wrong request data from client"));
    const qint64 before = QFileInfo(sandbox.logFile()).size();

    const QString huge(7 * 1024 * 1024, QChar('c'));
    page.sendText(QJsonDocument(QJsonObject {{"cmd", huge}, {"reqId", "big"}}).toJson(QJsonDocument::Compact));
    const auto reply = page.waitForReqId("big", 60000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->value("msg").toString(), "unknown cmd.");
    ASSERT_TRUE(sandbox.waitForLog("unknown cmd request from client"));
    ASSERT_TRUE(sandbox.waitForLog(QString("... (%1 bytes)").arg(huge.size())));
    EXPECT_LT(QFileInfo(sandbox.logFile()).size() - before, 16 * 1024);
}

// The WebSocket handshake and masked client frames over a plain socket, for a page that sends
// and never reads.
class RawPage {
public:
    bool open(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(30000))
            return false;
        socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        QByteArray answer;
        while (!answer.contains("\r\n\r\n") && socket.waitForReadyRead(30000))
            answer += socket.readAll();
        // From now on nothing more is read: Qt keeps at most one byte for us.
        socket.setReadBufferSize(1);
        return answer.startsWith("HTTP/1.1 101");
    }
    void sendText(const QByteArray& payload)
    {
        QByteArray frame;
        frame.append(char(0x81));
        frame.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.append(char((quint64(payload.size()) >> shift) & 0xff));
        const quint32 mask = QRandomGenerator::global()->generate();
        const char key[4] = {char(mask >> 24), char(mask >> 16), char(mask >> 8), char(mask)};
        frame.append(key, 4);
        QByteArray masked = payload;
        for (int i = 0; i < masked.size(); ++i)
            masked[i] = char(masked[i] ^ key[i % 4]);
        socket.write(frame + masked);
    }
    QTcpSocket socket;
};

TEST_F(ChannelHardening, APageThatNeverReadsIsClosedWhileOthersAreServed)
{
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);
    RawPage greedy;
    ASSERT_TRUE(greedy.open(port));
    WsClient other;
    ASSERT_TRUE(other.open(port));

    // Each request is answered with its 1 MiB command echoed back, and none is read.
    const QByteArray request = QJsonDocument(QJsonObject {{"cmd", QString(1024 * 1024, QChar('x'))}})
                                   .toJson(QJsonDocument::Compact);
    for (int n = 0; n < 60 && !sandbox.readLog().contains("does not read its messages"); ++n) {
        greedy.sendText(request);
        while (greedy.socket.bytesToWrite() > 0 && greedy.socket.waitForBytesWritten(30000)) {
        }
        EXPECT_TRUE(other.request("login")) << "the other page is not served";
    }
    ASSERT_TRUE(sandbox.waitForLog("does not read its messages")) << "never closed";
    EXPECT_TRUE(sandbox.waitForLog("a client disconnect from scan server : 127.0.0.1:"));
    EXPECT_TRUE(other.request("login"));
    EXPECT_EQ(sandbox.agent()->state(), QProcess::Running);
}

// CPU seconds the process has used so far (user and system).
double cpuSeconds(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// How busy the agent is over a second, with nothing asked of it meanwhile.
double busyShareOverASecond(qint64 pid)
{
    const double start = cpuSeconds(pid);
    QTest::qWait(1000); // a measuring window, not a wait for something to happen
    return cpuSeconds(pid) - start;
}

TEST_F(ChannelHardening, ManyPagesAtOnceAreCappedAndLeaveTheAgentIdle)
{
    sandbox.setFileLimit(1024);
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);
    std::vector<std::unique_ptr<WsClient>> pages;
    int refused = 0;
    for (int n = 0; n < 300; ++n) {
        auto page = std::make_unique<WsClient>();
        if (page->open(port))
            pages.push_back(std::move(page));
        else if (page->errorString().contains("503"))
            ++refused;
        else
            ADD_FAILURE() << n << ": " << page->errorString().toStdString();
    }
    EXPECT_EQ(pages.size(), 256u);
    EXPECT_EQ(refused, 44);
    EXPECT_TRUE(sandbox.waitForLog("websocket handshake refused, 256 pages are connected already"));
    // One warning stands for the whole flood.
    EXPECT_EQ(sandbox.readLog().count("pages are connected already"), 1);

    QProcess* agent = sandbox.agent();
    agent->readAllStandardOutput();
    EXPECT_LT(busyShareOverASecond(agent->processId()), 0.2);
    EXPECT_LT(agent->readAllStandardOutput().size(), 512);

    // A place that frees up is taken by the next page.
    pages.front()->close();
    WsClient late;
    ASSERT_TRUE(vtest::waitUntil([&] { return late.open(port, {}, "127.0.0.1", 2000); }))
        << late.errorString().toStdString();
    EXPECT_TRUE(late.request("login"));
}

TEST_F(ChannelHardening, RunningOutOfDescriptorsIsSurvivedQuietly)
{
    // Just above what the agent needs for itself: the connections below exhaust the rest.
    constexpr int kFileLimit = 96;
    sandbox.setFileLimit(kFileLimit);
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);
    {
        // The agent has started up (its scanner is open) before the descriptors run out.
        WsClient first;
        ASSERT_TRUE(first.open(port) && first.waitForCmd("can-use", 60000));
    }
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int n = 0; n < kFileLimit + 24; ++n) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(sockets.back()->waitForConnected(30000)) << n; // the system's backlog takes them
    }
    ASSERT_TRUE(sandbox.waitForLog("websocket server cannot accept connections: "));
    QProcess* agent = sandbox.agent();
    agent->readAllStandardOutput();
    EXPECT_LT(busyShareOverASecond(agent->processId()), 0.2);
    EXPECT_LT(agent->readAllStandardOutput().size(), 4096);

    sockets.clear();
    WsClient page;
    ASSERT_TRUE(vtest::waitUntil([&] { return page.open(port, {}, "127.0.0.1", 2000); }, 60000))
        << page.errorString().toStdString();
    EXPECT_TRUE(page.request("login"));
    EXPECT_EQ(agent->state(), QProcess::Running);
}

} // namespace
