// vellox-client.js in headless Chromium against the real agent.
//
// The page comes from a local HTTP server on port P; the agent is told to listen on P too,
// finds it taken and moves to P + 1, so every case also shows the client skipping a port that
// is held by something other than the agent.
#include "agentsandbox.h"
#include "browser.h"
#include "httptestserver.h"
#include "profilefifo.h"
#include "wait.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <memory>

namespace {

using vtest::AgentSandbox;
using vtest::HttpReply;
using vtest::HttpTestServer;

constexpr int kAgentWaitMs = 90000;
const char* const kCheckPath = "/web-awg/navrel-hub/app/upgrade/check";

QByteArray sourceFile(const QString& path)
{
    QFile file(QStringLiteral(VELLOX_SOURCE_DIR "/") + path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray profileOf(const QJsonObject& scanner)
{
    return QJsonDocument(QJsonObject{{"sources", QJsonArray{scanner}}}).toJson(QJsonDocument::Compact);
}

class ClientInBrowser : public vtest::BrowserTest {
protected:
    void SetUp() override
    {
        BrowserTest::SetUp();
        if (HasFatalFailure())
            return;
        // The system hands out ports next to the one it just gave, so the one above the page
        // server's is usually free; another program may hold it all the same, and then the
        // pair is chosen again.
        for (int attempt = 0; attempt < 20 && !agentPortHold.isListening(); ++attempt) {
            pages = std::make_unique<HttpTestServer>();
            ASSERT_TRUE(pages->isListening());
            agentPort = quint16(pages->port() + 1);
            agentPortHold.listen(QHostAddress::LocalHost, agentPort);
        }
        ASSERT_TRUE(agentPortHold.isListening()) << "no free port above the page server's";
        pages->answer("/vellox-client.js", HttpReply::withStatus(200, sourceFile("web/vellox-client.js"), "text/javascript"));
        pages->answer("/client-page.html", HttpReply::withStatus(200, sourceFile("tests/web/client_page.html"), "text/html; charset=utf-8"));
        pages->answer(kCheckPath, HttpReply::withStatus(200, R"({"code":200,"data":{"hasNewVersion":false}})", "application/json"));
        sandbox.usePrivateProgramFolder(AgentSandbox::appDatFor(pages->url("/")));
        sandbox.setConfig("listenport", QString::number(pages->port()));
        sandbox.shortenScanPauses();
        // The agent's port stays held until the agent starts: a connection made meanwhile would
        // take it.
    }

    void TearDown() override
    {
        if (!HasFailure())
            return;
        printPageConsole();
        if (const auto record = browser().evaluate("return window.t;"))
            std::fprintf(stderr, "page record:\n%s\n", QJsonDocument(record->toObject()).toJson().constData());
        std::fprintf(stderr, "agent log:\n%s\n", sandbox.readLog().toUtf8().constData());
    }

    QProcess* startAgent()
    {
        agentPortHold.close();
        QProcess* agent = sandbox.start({"--hidden"});
        EXPECT_TRUE(sandbox.waitUntilListening(agentPort, kAgentWaitMs));
        return agent;
    }

    // Loads the test page and connects a client with the ports [P, P + 1]; its port.
    int openClient()
    {
        if (!browser().open(pages->url("/client-page.html")) || !browser().waitFor("window.pageReady === true"))
            return 0;
        const auto port = js(QStringLiteral("return startClient([%1, %2]);").arg(pages->port()).arg(agentPort));
        return port ? port->toInt() : 0;
    }

    QJsonObject result(const QString& name)
    {
        const auto value = js(QStringLiteral("return t.results[%1];").arg(jsString(name)));
        return value ? value->toObject() : QJsonObject();
    }

    QStringList connectionStates()
    {
        QStringList states;
        if (const auto value = js("return t.connection.map((c) => c.state);"))
            for (const QJsonValue& state : value->toArray())
                states.append(state.toString());
        return states;
    }

    std::unique_ptr<HttpTestServer> pages;
    AgentSandbox sandbox;
    quint16 agentPort = 0;
    QTcpServer agentPortHold;
};

TEST_F(ClientInBrowser, RepliesSettleTheirOwnRequestsAndEventsReachHandlers)
{
    // The agent reads this profile on its GUI thread when it opens the scanner manager; while
    // the gate is shut that thread is held, so commands handled there wait and those handled on
    // the server's thread ("login") are answered first.
    ProfileFifo profile(sandbox.root() + "/sources.fifo",
                        profileOf({{"productName", "Vellox Virtual Scanner"}, {"default", true}, {"enableFailure", "TWCC_BUMMER"}}));
    ASSERT_TRUE(profile.isValid());
    sandbox.setEnv("TWAINDSM_SOURCES", profile.path());
    startAgent();
    ASSERT_EQ(openClient(), agentPort) << "the client should skip port " << pages->port() << ", which is not the agent";
    ASSERT_TRUE(vtest::waitUntil([&] { return profile.hasHeldReader(); }, kAgentWaitMs));

    js("track('print', client.print({})); track('login', client.login({ SESSION: 'abc' })); return true;");
    ASSERT_TRUE(browser().waitFor("t.ended.length === 1"));
    EXPECT_EQ(js("return t.ended[0];")->toString(), "login");
    const QJsonObject login = result("login");
    EXPECT_TRUE(login.value("ok").toBool());
    EXPECT_EQ(login.value("reply").toObject().value("cmd").toString(), "login");
    EXPECT_EQ(login.value("reply").toObject().value("reqId").toString(), js("return sentReqIds('login')[0];")->toString());
    EXPECT_FALSE(login.value("reply").toObject().value("data").toObject().value("canUse").toBool());

    profile.openGate();
    ASSERT_TRUE(browser().waitFor("t.ended.length === 2"));
    // The reply that came second settled the request that was sent first, and as a rejection
    // with the agent's own text.
    const QJsonObject print = result("print");
    EXPECT_FALSE(print.value("ok").toBool());
    EXPECT_EQ(print.value("type").toString(), "VelloxError");
    EXPECT_EQ(print.value("code").toString(), "rejected");
    EXPECT_EQ(print.value("ret").toInt(), 400);
    EXPECT_EQ(print.value("msg").toString(), "wrong data: no data");
    EXPECT_EQ(print.value("reqId").toString(), js("return sentReqIds('print')[0];")->toString());
    EXPECT_NE(print.value("reqId").toString(), login.value("reply").toObject().value("reqId").toString());

    // The typed helpers send the documented field names.
    js("track('no-key', client.startScan({ batchno: 'B1', uploadUrl: 'http://127.0.0.1:1/upload' })); return true;");
    ASSERT_TRUE(browser().waitFor("t.results['no-key']"));
    EXPECT_EQ(result("no-key").value("msg").toString(), "wrong data: no url or key");

    // Events: the scanner opened once the gate opened, and a start that the scanner refuses.
    ASSERT_TRUE(browser().waitFor("t.events.some((e) => e.name === 'can-use' && e.data.canUse === true)", kAgentWaitMs));
    js("track('scan', client.startScan({ batchno: 'B2', uploadUrl: 'http://127.0.0.1:1/upload', unionKey: 'K', paperVersion: 1 })); return true;");
    ASSERT_TRUE(browser().waitFor("t.events.some((e) => e.name === 'error:scan-error')", kAgentWaitMs));
    EXPECT_TRUE(result("scan").value("ok").toBool());
    const QJsonArray errors = js("return t.events.filter((e) => e.name === 'error');")->toArray();
    ASSERT_EQ(errors.size(), 1);
    const QJsonObject error = errors[0].toObject();
    EXPECT_EQ(error.value("ret").toInt(), 400);
    EXPECT_EQ(error.value("data").toObject().value("errorType").toString(), "scan-error");
    EXPECT_EQ(error.value("data").toObject().value("msg").toString(), "TWRC_FAILURE");
    EXPECT_TRUE(error.value("msg").toString().startsWith("启动扫描失败, 扫描仪(Vellox Virtual Scanner) ret: 1"))
        << error.value("msg").toString().toStdString();
    // An event's reqId is the agent's own, so it never settles a request.
    EXPECT_EQ(js("return Object.keys(t.results).length;")->toInt(), 4);
}

TEST_F(ClientInBrowser, ALostAgentRejectsWhatIsPendingAndIsFoundAgainWithoutResending)
{
    QProcess* agent = startAgent();
    ASSERT_EQ(openClient(), agentPort);

    // "stop-print" is never answered: a generic request for it times out, or stays pending.
    js("track('timeout', client.request('stop-print', undefined, { timeoutMs: 300 })); return true;");
    ASSERT_TRUE(browser().waitFor("t.results.timeout"));
    EXPECT_EQ(result("timeout").value("code").toString(), "timeout");
    js("track('pending', client.request('stop-print', undefined, { timeoutMs: 600000 })); return true;");
    ASSERT_TRUE(vtest::waitUntil([&] { return sandbox.readLog().count("cmd: stop-print") == 2; }));

    agent->terminate();
    ASSERT_TRUE(agent->waitForFinished(30000));
    ASSERT_TRUE(browser().waitFor("t.results.pending"));
    const QJsonObject pending = result("pending");
    EXPECT_EQ(pending.value("code").toString(), "connection-lost");
    // Rejected at once, when the connection was lost, not at its time-out.
    EXPECT_EQ(js("return t.connection.findIndex((c) => c.state === 'lost');")->toInt(), 1);
    ASSERT_TRUE(browser().waitFor("t.connection.some((c) => c.state === 'reconnecting')"));
    js("track('while-down', client.login({})); return true;");
    ASSERT_TRUE(browser().waitFor("t.results['while-down']"));
    EXPECT_EQ(result("while-down").value("code").toString(), "not-connected");

    startAgent();
    ASSERT_TRUE(browser().waitFor("client.state === 'open'", kAgentWaitMs));
    EXPECT_EQ(js("return client.port;")->toInt(), agentPort);
    QStringList states = connectionStates();
    states.removeDuplicates();
    EXPECT_EQ(states, QStringList({"open", "lost", "reconnecting"}));
    EXPECT_EQ(connectionStates().last(), "open");
    // Back-off grows from 100 ms and is capped at 800 ms.
    const QJsonArray delays = js("return t.connection.filter((c) => c.state === 'reconnecting').map((c) => c.delayMs);")->toArray();
    ASSERT_FALSE(delays.isEmpty());
    EXPECT_EQ(delays[0].toInt(), 100);
    for (int i = 1; i < delays.size(); ++i)
        EXPECT_EQ(delays[i].toInt(), std::min(800, delays[i - 1].toInt() * 2));

    // Nothing was sent again to the new agent, and the connection works.
    js("track('after', client.login({})); return true;");
    ASSERT_TRUE(browser().waitFor("t.results.after"));
    EXPECT_TRUE(result("after").value("ok").toBool());
    EXPECT_EQ(sandbox.readLog().count("cmd: stop-print"), 2);
    EXPECT_EQ(js("return sentReqIds('stop-print').length;")->toInt(), 2);
}

} // namespace
