// Requests per second and reply times on the command channel: 20 connections, each sending its
// next request when the last one was answered; against the agent ("stop-scan", answered by the
// server thread) and against a plain websocketpp echo server in this process, in alternating
// rounds of a second each, so a change in the machine's load meets both alike. Prints the ratio
// of every pair of rounds (min, median, max), the reply times of all rounds, and the CPU time each
// server spends per request (load does not change that much).
//
//   command_bench [rounds]     (10 by default)
#include "../support/agentcpu.h"

#include "agentsandbox.h"
#include "isolation.h"
#include "wsclient.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <algorithm>
#include <ctime>
#include <pthread.h>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kConnections = 20;
constexpr double kRoundSeconds = 1.0;
constexpr double kRatioGoal = 0.8;
constexpr double kP99GoalMs = 2.0;

double threadCpuMs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

class EchoServer {
public:
    EchoServer()
    {
        endpoint.clear_access_channels(websocketpp::log::alevel::all);
        endpoint.clear_error_channels(websocketpp::log::elevel::all);
        endpoint.init_asio();
        endpoint.set_reuse_addr(true);
        endpoint.set_message_handler([this](websocketpp::connection_hdl hdl, Endpoint::message_ptr message) {
            websocketpp::lib::error_code ec;
            endpoint.send(hdl, message->get_payload(), message->get_opcode(), ec);
        });
        endpoint.listen(asio::ip::tcp::endpoint(asio::ip::address::from_string("127.0.0.1"), 0));
        endpoint.start_accept();
        websocketpp::lib::error_code ec;
        port = endpoint.get_local_endpoint(ec).port();
        loop = std::thread([this] { endpoint.run(); });
        pthread_getcpuclockid(loop.native_handle(), &loopClock);
    }
    ~EchoServer()
    {
        endpoint.stop();
        loop.join();
    }
    // CPU time of the server's thread so far.
    double cpuMs() const { return threadCpuMs(loopClock); }
    quint16 port = 0;

private:
    using Endpoint = websocketpp::server<websocketpp::config::asio>;
    Endpoint endpoint;
    std::thread loop;
    clockid_t loopClock = CLOCK_THREAD_CPUTIME_ID;
};

// Twenty pages connected to one server, each keeping one request in flight during a round.
class Pages {
public:
    explicit Pages(quint16 port)
    {
        QEventLoop loop;
        int open = 0;
        for (int i = 0; i < kConnections; ++i) {
            auto socket = std::make_unique<QWebSocket>();
            QObject::connect(socket.get(), &QWebSocket::connected, [&] {
                if (++open == kConnections)
                    loop.quit();
            });
            socket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(port)));
            sockets.push_back(std::move(socket));
        }
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        connected = open == kConnections;
        sent.resize(kConnections);
        for (int i = 0; i < kConnections; ++i) {
            QWebSocket* socket = sockets[size_t(i)].get();
            QObject::connect(socket, &QWebSocket::textMessageReceived, [this, i, socket] {
                if (!running)
                    return;  // a reply to the last round
                replyMs.push_back(double(sent[size_t(i)].nsecsElapsed()) / 1e6);
                ++answered;
                send(i, socket);
            });
        }
    }
    ~Pages()
    {
        for (auto& socket : sockets)
            socket->close();
    }

    bool connected = false;
    std::vector<double> replyMs;  // of every round

    // Requests answered per second in a round of `seconds`.
    double round(double seconds)
    {
        QEventLoop loop;
        answered = 0;
        running = true;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kConnections; ++i)
            send(i, sockets[size_t(i)].get());
        QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
        loop.exec();
        running = false;
        const double elapsed = double(clock.nsecsElapsed()) / 1e9;
        // The replies still on their way arrive before the next round starts.
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
        return double(answered) / elapsed;
    }

private:
    void send(int i, QWebSocket* socket)
    {
        static const QString request = QStringLiteral(R"({"cmd":"stop-scan","reqId":"r","data":{}})");
        sent[size_t(i)].start();
        socket->sendTextMessage(request);
    }

    std::vector<std::unique_ptr<QWebSocket>> sockets;
    std::vector<QElapsedTimer> sent;
    bool running = false;
    long answered = 0;
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    vtest::isolateUserFolders();
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    vtest::AgentSandbox sandbox;
    sandbox.usePrivateProgramFolder(QJsonObject{ { "appname", "vellox" }, { "appversion", "1.0.0" },
                                                 { "current", "local" }, { "domains", QJsonArray{} } });
    const quint16 port = sandbox.startListening({ "--hidden" });
    if (port == 0) {
        std::fprintf(stderr, "the agent did not start\n");
        return 1;
    }
    EchoServer echo;
    Pages agentPages(port);
    Pages echoPages(echo.port);
    if (!agentPages.connected || !echoPages.connected) {
        std::fprintf(stderr, "the pages could not connect\n");
        return 1;
    }
    const qint64 agentPid = sandbox.agent()->processId();
    std::vector<double> ratios;
    double agentRequests = 0, echoRequests = 0, agentCpuMs = 0, echoCpuMs = 0;
    for (int i = 0; i < rounds; ++i) {
        const double agentCpuBefore = bench::processCpuMs(agentPid);
        const double agentRate = agentPages.round(kRoundSeconds);
        agentCpuMs += bench::processCpuMs(agentPid) - agentCpuBefore;
        const double echoCpuBefore = echo.cpuMs();
        const double echoRate = echoPages.round(kRoundSeconds);
        echoCpuMs += echo.cpuMs() - echoCpuBefore;
        agentRequests += agentRate * kRoundSeconds;
        echoRequests += echoRate * kRoundSeconds;
        if (echoRate > 0)
            ratios.push_back(agentRate / echoRate);
    }
    const double agentP99 = percentile(agentPages.replyMs, 0.99);
    const double ratioMedian = percentile(ratios, 0.5);
    std::printf("%d connections, one request in flight each, %d rounds of %.0f s each, in turn\n", kConnections,
                rounds, kRoundSeconds);
    std::printf("agent: %.0f requests/s, p50 %.2f ms, p99 %.2f ms, %.1f us CPU a request\n",
                agentRequests / (rounds * kRoundSeconds), percentile(agentPages.replyMs, 0.5), agentP99,
                agentRequests > 0 ? agentCpuMs * 1000 / agentRequests : 0);
    std::printf("websocketpp echo: %.0f requests/s, p50 %.2f ms, p99 %.2f ms, %.1f us CPU a request\n",
                echoRequests / (rounds * kRoundSeconds), percentile(echoPages.replyMs, 0.5),
                percentile(echoPages.replyMs, 0.99), echoRequests > 0 ? echoCpuMs * 1000 / echoRequests : 0);
    std::printf("agent / echo, by round: min %.2f, median %.2f, max %.2f\n", percentile(ratios, 0),
                ratioMedian, percentile(ratios, 1));
    std::printf("goal: median >= %.1f: %s; agent p99 < %.0f ms: %s\n", kRatioGoal,
                ratioMedian >= kRatioGoal ? "met" : "NOT met", kP99GoalMs, agentP99 < kP99GoalMs ? "met" : "NOT met");
    return 0;
}
