// Requests per second and reply times on the command channel: 20 connections, each sending its
// next request when the last one was answered, for a few seconds; against the agent ("stop-scan",
// answered by the server thread) and against a plain websocketpp echo server in this process,
// measured in the same run.
//
//   command_bench [seconds]
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
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kConnections = 20;

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
    }
    ~EchoServer()
    {
        endpoint.stop();
        loop.join();
    }
    quint16 port = 0;

private:
    using Endpoint = websocketpp::server<websocketpp::config::asio>;
    Endpoint endpoint;
    std::thread loop;
};

struct Result {
    double perSecond = 0;
    double p50 = 0;
    double p99 = 0;
};

// Every connection keeps one request in flight for `seconds`.
Result measure(quint16 port, double seconds)
{
    const QByteArray request = R"({"cmd":"stop-scan","reqId":"r","data":{}})";
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    std::vector<QElapsedTimer> sent(kConnections);
    std::vector<double> replyMs;
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
    if (open < kConnections)
        return Result();

    QElapsedTimer clock;
    clock.start();
    bool running = true;
    for (int i = 0; i < kConnections; ++i) {
        QWebSocket* socket = sockets[size_t(i)].get();
        QObject::connect(socket, &QWebSocket::textMessageReceived, [&, i, socket] {
            replyMs.push_back(sent[size_t(i)].nsecsElapsed() / 1e6);
            if (!running)
                return;
            sent[size_t(i)].start();
            socket->sendTextMessage(QString::fromLatin1(request));
        });
        sent[size_t(i)].start();
        socket->sendTextMessage(QString::fromLatin1(request));
    }
    QTimer::singleShot(int(seconds * 1000), &loop, [&] {
        running = false;
        loop.quit();
    });
    loop.exec();
    const double elapsed = clock.elapsed() / 1000.0;
    Result result;
    result.perSecond = double(replyMs.size()) / elapsed;
    std::sort(replyMs.begin(), replyMs.end());
    if (!replyMs.empty()) {
        result.p50 = replyMs[replyMs.size() / 2];
        result.p99 = replyMs[std::min(replyMs.size() - 1, size_t(double(replyMs.size()) * 0.99))];
    }
    for (auto& socket : sockets)
        socket->close();
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    vtest::isolateUserFolders();
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 5.0;

    vtest::AgentSandbox sandbox;
    sandbox.usePrivateProgramFolder(QJsonObject{ { "appname", "vellox" }, { "appversion", "1.0.0" },
                                                 { "current", "local" }, { "domains", QJsonArray{} } });
    const quint16 port = sandbox.startListening({ "--hidden" });
    if (port == 0) {
        std::fprintf(stderr, "the agent did not start\n");
        return 1;
    }
    const Result agent = measure(port, seconds);
    EchoServer echo;
    const Result plain = measure(echo.port, seconds);
    std::printf("%d connections, one request in flight each, %.0f s\n", kConnections, seconds);
    std::printf("agent: %.0f requests/s, p50 %.2f ms, p99 %.2f ms\n", agent.perSecond, agent.p50, agent.p99);
    std::printf("websocketpp echo: %.0f requests/s, p50 %.2f ms, p99 %.2f ms\n", plain.perSecond, plain.p50, plain.p99);
    std::printf("agent / echo: %.2f\n", plain.perSecond > 0 ? agent.perSecond / plain.perSecond : 0);
    return 0;
}
