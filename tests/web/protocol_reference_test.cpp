// docs/protocol.md against the agent: every JSON example is read from the document and every
// exchange with requests is replayed on a real connection, so the reference cannot drift from
// what the agent does. Updating the document is all a change of the protocol needs here.
//
// Examples are ```jsonl blocks of lines "> frame" (sent) and "< frame" (received). A received
// line whose reqId is "" or one of the block's own is a reply, compared member by member; any
// other is an event, matched in any order with its "time", "localFIle", "remote_key" and "batchId"
// taken as examples (their kind is checked, not their value). http://127.0.0.1:8780 stands for the demo
// server, which the replay starts.
#include "agentsandbox.h"
#include "cupsharness.h"
#include "demoserverprocess.h"
#include "wait.h"
#include "wsclient.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using vtest::AgentSandbox;
using vtest::CupsHarness;
using vtest::DemoServer;
using vtest::WsClient;

constexpr int kEventWaitMs = 60000;
const char* const kDocumentedServer = "http://127.0.0.1:8780";
const QStringList kExampleValuedMembers = {"time", "localFIle", "remote_key", "batchId"};

struct ExampleLine {
    int number = 0;     // in the document
    bool sent = false;
    QByteArray text;
    QJsonObject json;   // empty for a sent frame that is not a JSON object
};

struct Example {
    int firstLine = 0;
    QList<ExampleLine> lines;
    QSet<QString> requestIds;

    bool hasRequests() const
    {
        return std::any_of(lines.begin(), lines.end(), [](const ExampleLine& l) { return l.sent; });
    }
    bool isReply(const ExampleLine& line) const
    {
        const QString reqId = line.json.value("reqId").toString();
        return reqId.isEmpty() || requestIds.contains(reqId);
    }
    bool hasEvents() const
    {
        return std::any_of(lines.begin(), lines.end(), [this](const ExampleLine& l) { return !l.sent && !isReply(l); });
    }
};

QString where(const ExampleLine& line)
{
    return QStringLiteral("docs/protocol.md:%1: %2").arg(line.number).arg(QString::fromUtf8(line.text));
}

QList<Example> readExamples(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QList<Example> examples;
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    bool inside = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i];
        if (line.startsWith("```")) {
            inside = !inside && line.trimmed() == "```jsonl";
            if (inside)
                examples.append(Example{i + 1, {}, {}});
            continue;
        }
        if (!inside || !(line.startsWith("> ") || line.startsWith("< ")))
            continue;
        ExampleLine entry;
        entry.number = i + 1;
        entry.sent = line.startsWith('>');
        entry.text = line.mid(2).toUtf8();
        entry.json = QJsonDocument::fromJson(entry.text).object();
        if (entry.sent && entry.json.value("reqId").isString())
            examples.last().requestIds.insert(entry.json.value("reqId").toString());
        examples.last().lines.append(entry);
    }
    return examples;
}

QSet<QString> keySet(const QJsonObject& object)
{
    const QStringList keys = object.keys();
    return QSet<QString>(keys.begin(), keys.end());
}

// The documented value stands for any value of the same kind.
bool sameKind(const QJsonValue& a, const QJsonValue& b)
{
    return a.type() == b.type();
}

// Empty when `actual` is the event `expected` documents, else what differs.
QString eventDifference(const QJsonObject& expected, const QJsonObject& actual)
{
    for (const char* member : {"cmd", "ret", "msg"}) {
        if (expected.value(member) != actual.value(member))
            return QStringLiteral("\"%1\" differs").arg(member);
    }
    const QJsonObject want = expected.value("data").toObject();
    const QJsonObject got = actual.value("data").toObject();
    if (keySet(want) != keySet(got))
        return QStringLiteral("\"data\" has other members");
    for (const QString& key : want.keys()) {
        const bool example = kExampleValuedMembers.contains(key);
        if (example ? !sameKind(want.value(key), got.value(key)) : want.value(key) != got.value(key))
            return QStringLiteral("\"data\".\"%1\" differs").arg(key);
    }
    return {};
}

QByteArray withDemoServer(QByteArray text, const DemoServer& demo)
{
    return text.replace(kDocumentedServer, demo.url(QString()).toUtf8());
}

QJsonObject withDemoServer(const QJsonObject& object, const DemoServer& demo)
{
    return QJsonDocument::fromJson(withDemoServer(QJsonDocument(object).toJson(QJsonDocument::Compact), demo)).object();
}

class ProtocolReference : public ::testing::Test {
protected:
    void SetUp() override
    {
        examples = readExamples(QStringLiteral(VELLOX_SOURCE_DIR "/docs/protocol.md"));
        ASSERT_FALSE(examples.isEmpty()) << "no ```jsonl examples in docs/protocol.md";
    }

    QList<Example> examples;
};

TEST_F(ProtocolReference, EveryReceivedExampleIsAnEnvelope)
{
    const QRegularExpression eventId(QStringLiteral("^\\d{15,17}$"));
    for (const Example& example : examples) {
        for (const ExampleLine& line : example.lines) {
            SCOPED_TRACE(where(line).toStdString());
            if (line.sent) {
                // A sent line that is not JSON is a deliberately malformed frame.
                continue;
            }
            ASSERT_FALSE(line.json.isEmpty());
            EXPECT_EQ(keySet(line.json), (QSet<QString>{"cmd", "ret", "data", "msg", "reqId"}));
            EXPECT_TRUE(line.json.value("cmd").isString());
            EXPECT_TRUE(line.json.value("ret").isDouble());
            EXPECT_TRUE(line.json.value("data").isObject());
            EXPECT_TRUE(line.json.value("msg").isString());
            EXPECT_TRUE(line.json.value("reqId").isString());
            if (!example.isReply(line))
                EXPECT_TRUE(eventId.match(line.json.value("reqId").toString()).hasMatch()) << "an event's reqId is the time";
            if (line.json.value("cmd").toString() == "error")
                EXPECT_TRUE(line.json.value("data").toObject().value("errorType").isString());
        }
    }
}

TEST_F(ProtocolReference, TheAgentAnswersEveryExampleAsDocumented)
{
    DemoServer demo;
    ASSERT_TRUE(demo.isRunning()) << demo.output().toStdString();
    // The documented prints come out at a real printer, the PC's default.
    CupsHarness printer({CupsHarness::Model(QStringLiteral("office"), QStringLiteral("Vellox Generic Duplex Colour"))});
    ASSERT_TRUE(printer.isRunning()) << printer.errorText().toStdString();
    AgentSandbox sandbox;
    sandbox.usePrivateProgramFolder(AgentSandbox::appDatFor(demo.url("/")));
    // The scan sequence is a batch of two sheets, one side each.
    QFile profile(sandbox.root() + "/sources.json");
    ASSERT_TRUE(profile.open(QIODevice::WriteOnly));
    profile.write(R"({"sources":[{"productName":"Vellox Virtual Scanner","default":true,"pages":2,"duplex":false,"resolution":75,"paperSize":"A5"}]})");
    profile.close();
    sandbox.setEnv("TWAINDSM_SOURCES", profile.fileName());
    sandbox.shortenScanPauses();
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);
    {
        // The examples show a PC whose scanner is ready.
        WsClient probe;
        ASSERT_TRUE(probe.open(port));
        // Asked, in case the scanner opened before this connection; else its event follows.
        const auto login = probe.request("login");
        ASSERT_TRUE(login);
        if (!login->value("data").toObject().value("canUse").toBool()) {
            const auto canUse = probe.waitForCmd("can-use", kEventWaitMs);
            ASSERT_TRUE(canUse);
            ASSERT_TRUE(canUse->value("data").toObject().value("canUse").toBool());
        }
    }

    // Sequences with events first, so that a documented "stop-scan" never meets a running batch.
    QList<Example> replayed;
    std::copy_if(examples.begin(), examples.end(), std::back_inserter(replayed), [](const Example& e) { return e.hasRequests(); });
    std::stable_partition(replayed.begin(), replayed.end(), [](const Example& e) { return e.hasEvents(); });

    for (const Example& example : replayed) {
        SCOPED_TRACE(QStringLiteral("the example at docs/protocol.md:%1").arg(example.firstLine).toStdString());
        WsClient page;
        ASSERT_TRUE(page.open(port)) << page.errorString().toStdString();

        QList<ExampleLine> events;
        for (const ExampleLine& line : example.lines) {
            if (line.sent) {
                page.sendText(withDemoServer(line.text, demo));
                continue;
            }
            if (!example.isReply(line)) {
                events.append(line);
                continue;
            }
            const QJsonObject expected = withDemoServer(line.json, demo);
            const auto reply = page.waitFor([&](const QJsonObject& m) {
                return m.value("cmd") == expected.value("cmd") && m.value("reqId") == expected.value("reqId");
            });
            if (!reply) {
                ADD_FAILURE() << "no reply for " << where(line).toStdString();
                continue;
            }
            EXPECT_EQ(*reply, expected) << where(line).toStdString() << "\nthe agent answered "
                                        << QJsonDocument(*reply).toJson(QJsonDocument::Compact).toStdString();
        }
        for (const ExampleLine& line : events) {
            const QJsonObject expected = withDemoServer(line.json, demo);
            const auto event = page.waitFor([&](const QJsonObject& m) { return eventDifference(expected, m).isEmpty(); },
                                            kEventWaitMs);
            if (!event) {
                ADD_FAILURE() << "no event as documented at " << where(line).toStdString();
                continue;
            }
            EXPECT_TRUE(QRegularExpression("^\\d{15,17}$").match(event->value("reqId").toString()).hasMatch());
        }
        // Nothing answered that the example does not show (a reply to "stop-print", say).
        while (const auto extra = page.nextMessage(0)) {
            const QString reqId = extra->value("reqId").toString();
            EXPECT_FALSE(example.requestIds.contains(reqId) || reqId.isEmpty())
                << "an undocumented reply: " << QJsonDocument(*extra).toJson(QJsonDocument::Compact).toStdString();
        }
    }
}

} // namespace
