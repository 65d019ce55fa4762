// vellox.exe under Wine, black-box from Linux: its own Wine folder and data folder, a web page on
// its command port, the upgrade check and the pages' uploads on a Linux loopback server.

#include "agentsandbox.h"
#include "httptestserver.h"
#include "wait.h"
#include "winesession.h"
#include "wsclient.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <memory>

using namespace vtest;

namespace {

constexpr const char* kCheckPath = "/web-awg/navrel-hub/app/upgrade/check";
constexpr int kWaitMs = 90000;

// One Wine folder for the program's cases: the agent's data folder is emptied between them.
class WindowsAgent : public ::testing::Test {
protected:
    static void SetUpTestSuite() { wine = new WineSession; }
    static void TearDownTestSuite()
    {
        delete wine;
        wine = nullptr;
    }

    void SetUp() override
    {
        ASSERT_FALSE(WineSession::windowsProgramFolder().isEmpty()) << "VELLOX_WIN32_BUILD_DIR names no Windows build";
        ASSERT_TRUE(QFileInfo::exists(WineSession::windowsProgramFolder() + "/vellox.exe"));
        ASSERT_TRUE(wine->isRunning());
        ASSERT_TRUE(http.isListening());
        sandbox.useWine(wine);
        QDir(sandbox.dataFolder()).removeRecursively();
        http.answer(kCheckPath, HttpReply::withStatus(200, R"({"code":200,"data":{"hasNewVersion":false}})",
                                                      "application/json"));
        sandbox.usePrivateProgramFolder(AgentSandbox::appDatFor(http.url("/")));
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "agent log:\n%s\n", sandbox.readLog().toUtf8().constData());
    }

    static WineSession* wine;
    HttpTestServer http;
    AgentSandbox sandbox;
    WsClient page;
};

WineSession* WindowsAgent::wine = nullptr;

TEST_F(WindowsAgent, AnswersThePageKeepsItsDataInTheRoamingFolderAndRefusesASecondAgent)
{
    const quint16 port = sandbox.startListening({"--hidden"});
    ASSERT_NE(port, 0);
    ASSERT_TRUE(page.open(port));
    const auto login = page.request("login", QJsonObject{{"uploadCredentials", QJsonObject{{"SESSION", "3f9a"}}}});
    ASSERT_TRUE(login);
    EXPECT_EQ(login->value("ret").toInt(), 200);
    EXPECT_TRUE(login->value("data").toObject().value("canUse").isBool());

    // The upgrade check reached the Linux server with the version of the program folder's app.dat.
    ASSERT_TRUE(waitUntil([&] { return http.requestCount(kCheckPath) >= 1; }, kWaitMs));
    EXPECT_TRUE(http.requests(kCheckPath).front().body.contains(R"("currentVersion":"1.0.0")"));
    // Settings, logs and dumps live under the user's roaming application data.
    EXPECT_TRUE(sandbox.dataFolder().endsWith("/AppData/Roaming/kelmora/vellox"));
    EXPECT_TRUE(QFileInfo::exists(sandbox.logFile()));
    EXPECT_TRUE(QFileInfo(sandbox.dumpFolder()).isDir());

    // A second agent finds the first through its named pipe and ends at once with 0.
    QProcess* second = sandbox.start({"--hidden"});
    ASSERT_TRUE(second->waitForFinished(kWaitMs));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(sandbox.agent()->state(), QProcess::Running);
    EXPECT_TRUE(page.request("login"));
}

} // namespace
