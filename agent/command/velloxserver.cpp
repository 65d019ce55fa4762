// The only translation unit that includes websocketpp and asio: they dominate build time.
#include "command/velloxserver.h"

#include "command/commandprotocol.h"
#include "command/originpolicy.h"
#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/singleton.h"

#include <QDateTime>
#include <QRunnable>
#include <QThreadPool>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <vector>

namespace {

// websocketpp's plain asio configuration. Each connection also remembers the key it was
// registered under: once its socket has closed, the peer's address can no longer be read,
// and the close handler still has to find the entry.
struct ServerConfig : websocketpp::config::asio {
    struct connection_base {
        std::string key;
    };
};

using Endpoint = websocketpp::server<ServerConfig>;
using ConnectionHandle = websocketpp::connection_hdl;
using ConnectionPtr = Endpoint::connection_ptr;
using MessagePtr = Endpoint::message_ptr;
using ErrorCode = websocketpp::lib::error_code;

// The commands carry a few image addresses each; a larger frame is refused by websocketpp,
// which closes that connection with "message too big" (1009).
constexpr size_t kMaxMessageBytes = 8 * 1024 * 1024;
// Peers that do not answer the closing handshake at quit must not hold the agent's exit.
constexpr long kCloseDeadlineMs = 1000;
constexpr auto kStopWait = std::chrono::seconds(3);
constexpr size_t kLoggedPayloadBytes = 64 * 1024;
constexpr size_t kLoggedBinaryBytes = 64;

bool sameConnection(const ConnectionHandle& a, const ConnectionHandle& b)
{
    return !a.owner_before(b) && !b.owner_before(a);
}

// A rejected frame is logged with its payload. A huge one is cut; one that is not text (binary,
// broken UTF-8, NUL bytes) is written as hex, so the log file stays readable text.
QByteArray payloadForLog(const std::string& payload)
{
    const size_t size = payload.size();
    const QByteArray head(payload.data(), static_cast<int>(std::min(size, kLoggedPayloadBytes)));
    const bool text = !head.contains('\0') && QString::fromUtf8(head).toUtf8() == head;
    if (!text) {
        return QByteArrayLiteral("<") + QByteArray::number(static_cast<qulonglong>(size))
            + QByteArrayLiteral(" bytes, not text: ") + head.left(kLoggedBinaryBytes).toHex(' ')
            + (size > kLoggedBinaryBytes ? QByteArrayLiteral(" ...>") : QByteArrayLiteral(">"));
    }
    if (size <= kLoggedPayloadBytes)
        return head;
    return head + QByteArrayLiteral("... (") + QByteArray::number(static_cast<qulonglong>(size))
        + QByteArrayLiteral(" bytes)");
}

bool isCommand(const QString& cmd, const char* name)
{
    return cmd.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

} // namespace

// Owns the endpoint and runs its asio loop on a thread of the global pool for the agent's life.
// The server object keeps it, so the pool must not delete it.
class KELVelloxServerTask : public QRunnable {
public:
    explicit KELVelloxServerTask(KELVelloxServer* server);

    void run() override;
    void stop();

    void replyTo(const std::string& connectionKey, const QString& cmd, const QString& reqId,
                 int ret, const QJsonObject& data, const QString& msg);
    void notifyClient(const QString& cmd, int ret, const QJsonObject& data, const QString& msg,
                      bool broadcast);

private:
    enum class LoopState { NotStarted, Running, Ended };

    bool listenOn(int port, ErrorCode& ec);
    bool listenWithRetry();
    void runLoop();
    void setLoopState(LoopState state);
    void closeAllOnLoop();

    bool onValidate(ConnectionHandle hdl);
    void onOpen(ConnectionHandle hdl);
    void onClose(ConnectionHandle hdl);
    void onMessage(ConnectionHandle hdl, MessagePtr message);

    std::string keyOf(const ConnectionHandle& hdl);
    void sendEnvelope(const ConnectionHandle& hdl, const QString& cmd, int ret,
                      const QJsonObject& data, const QString& msg, const QString& reqId);

    KELVelloxServer* server;

    // Guarded by connectionsMutex: the server thread changes them while any thread sends.
    ConnectionHandle taskConnection;
    QString printConnectionKey;
    Endpoint endpoint;
    std::map<std::string, ConnectionHandle> connections;
    std::mutex connectionsMutex;

    std::mutex loopMutex;
    std::condition_variable loopStateChanged;
    LoopState loopState = LoopState::NotStarted;
    std::atomic<bool> stopping {false};
};

KELVelloxServerTask::KELVelloxServerTask(KELVelloxServer* server)
    : server(server)
{
    setAutoDelete(false);

    endpoint.set_error_channels(websocketpp::log::elevel::all);
    endpoint.set_access_channels(websocketpp::log::alevel::all);
    endpoint.clear_access_channels(websocketpp::log::alevel::frame_payload);

    ErrorCode ec;
    endpoint.init_asio(ec);
    if (ec)
        KLOG->error("websocket server transport init failed: {}", ec.message());
    endpoint.set_max_message_size(kMaxMessageBytes);
    // An agent restarted while its old connections are still closing keeps its port.
    endpoint.set_reuse_addr(true);

    // One IPv6 socket serves IPv4 peers too; said explicitly, since the default differs between
    // systems (Linux follows net.ipv6.bindv6only, Windows defaults to IPv6 only).
    endpoint.set_tcp_pre_bind_handler([](std::shared_ptr<asio::ip::tcp::acceptor> acceptor) {
        asio::error_code aec;
        acceptor->set_option(asio::ip::v6_only(false), aec);
        return ErrorCode(aec);
    });

    endpoint.set_validate_handler([this](ConnectionHandle hdl) { return onValidate(hdl); });
    endpoint.set_open_handler([this](ConnectionHandle hdl) { onOpen(hdl); });
    endpoint.set_close_handler([this](ConnectionHandle hdl) { onClose(hdl); });
    endpoint.set_message_handler(
        [this](ConnectionHandle hdl, MessagePtr message) { onMessage(hdl, message); });
}

bool KELVelloxServerTask::listenOn(int port, ErrorCode& ec)
{
    ec = ErrorCode();
    endpoint.listen(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), static_cast<unsigned short>(port)), ec);
    return !ec;
}

bool KELVelloxServerTask::listenWithRetry()
{
    const int port = KELCommandProtocol::listenPortFromSetting(
        KELGlobalConfig::instance()->value(QStringLiteral("listenport")));
    ErrorCode ec;
    if (listenOn(port, ec)) {
        KLOG->error("websocket server listen {} port succeed-----", port);
        return true;
    }
    KLOG->error("websocket server listen {} port error, {}", port, ec.value());

    const int nextPort = port + 1;
    if (nextPort > 65535) {
        KLOG->error("websocket server listen {} port error, {}", nextPort,
                    static_cast<int>(std::errc::invalid_argument));
        return false;
    }
    if (listenOn(nextPort, ec)) {
        KLOG->error("websocket server listen {} port succeed----", nextPort);
        return true;
    }
    KLOG->error("websocket server listen {} port error, {}", nextPort, ec.value());
    return false;
}

void KELVelloxServerTask::run()
{
    if (!listenWithRetry()) {
        // The agent keeps scanning and printing from its own window and tray.
        KLOG->critical("websocket server has no port to listen on; web pages cannot reach the agent");
        setLoopState(LoopState::Ended);
        return;
    }
    ErrorCode ec;
    endpoint.start_accept(ec);
    if (ec) {
        KLOG->critical("websocket server cannot accept connections: {}", ec.message());
        setLoopState(LoopState::Ended);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(loopMutex);
        if (stopping) {
            loopState = LoopState::Ended;
            loopStateChanged.notify_all();
            return;
        }
        loopState = LoopState::Running;
    }
    runLoop();
    // Logged before the stop() waiting for the end returns: the agent may end right after it.
    KLOG->info("websocket server loop ended");
    setLoopState(LoopState::Ended);
}

void KELVelloxServerTask::runLoop()
{
    // A failing handler must not take the command channel down with it: asio lets the loop
    // be run again after an exception left it.
    for (;;) {
        try {
            endpoint.run();
            return;
        } catch (const std::exception& e) {
            KLOG->critical("websocket server loop failed: {}", e.what());
        } catch (...) {
            KLOG->critical("websocket server loop failed with an unknown error");
        }
        if (stopping)
            return;
    }
}

void KELVelloxServerTask::setLoopState(LoopState state)
{
    std::lock_guard<std::mutex> lock(loopMutex);
    loopState = state;
    loopStateChanged.notify_all();
}

void KELVelloxServerTask::stop()
{
    std::unique_lock<std::mutex> lock(loopMutex);
    if (stopping.exchange(true))
        return;
    // Stopping from another thread floods websocketpp's log with handshake errors; the loop
    // closes its own acceptor and connections instead and then runs out of work.
    if (loopState == LoopState::Running)
        endpoint.get_io_service().post([this] { closeAllOnLoop(); });
    if (!loopStateChanged.wait_for(lock, kStopWait, [this] { return loopState == LoopState::Ended; }))
        KLOG->warn("websocket server loop did not end in time");
}

void KELVelloxServerTask::closeAllOnLoop()
{
    ErrorCode ec;
    endpoint.stop_listening(ec);

    std::vector<ConnectionHandle> open;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        for (const auto& entry : connections)
            open.push_back(entry.second);
    }
    if (open.empty()) {
        endpoint.stop();
        return;
    }
    for (const ConnectionHandle& hdl : open)
        endpoint.close(hdl, websocketpp::close::status::going_away, "agent quitting", ec);
    endpoint.set_timer(kCloseDeadlineMs, [this](const ErrorCode&) { endpoint.stop(); });
}

std::string KELVelloxServerTask::keyOf(const ConnectionHandle& hdl)
{
    ErrorCode ec;
    ConnectionPtr con = endpoint.get_con_from_hdl(hdl, ec);
    return ec || !con ? std::string("Unknown") : con->key;
}

bool KELVelloxServerTask::onValidate(ConnectionHandle hdl)
{
    ErrorCode ec;
    ConnectionPtr con = endpoint.get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return false;
    const QString origin = QString::fromStdString(con->get_origin());
    // Read at every handshake, so a changed "allowedorigins" needs no restart.
    KELGlobalConfig* config = KELGlobalConfig::instance();
    const KELOriginPolicy policy(config->getDomains(), config->value(QStringLiteral("allowedorigins")));
    if (policy.allows(origin))
        return true;
    KLOG->warn("websocket handshake refused, origin not allowed: {}, client: {}", origin,
               con->get_remote_endpoint());
    con->set_status(websocketpp::http::status_code::forbidden);
    return false;
}

void KELVelloxServerTask::onOpen(ConnectionHandle hdl)
{
    ErrorCode ec;
    ConnectionPtr con = endpoint.get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return;
    con->key = con->get_remote_endpoint();
    KLOG->info("scan server received a new connection : {}", con->key);
    std::lock_guard<std::mutex> lock(connectionsMutex);
    connections[con->key] = hdl;
}

void KELVelloxServerTask::onClose(ConnectionHandle hdl)
{
    const std::string key = keyOf(hdl);
    KLOG->info("a client disconnect from scan server : {}", key);
    bool noneLeft = false;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        if (sameConnection(taskConnection, hdl))
            taskConnection.reset();
        // Only this connection's entry: a newer one may have taken over the same key.
        auto it = connections.find(key);
        if (it != connections.end() && sameConnection(it->second, hdl))
            connections.erase(it);
        noneLeft = connections.empty();
    }
    if (stopping && noneLeft)
        endpoint.stop();
}

void KELVelloxServerTask::onMessage(ConnectionHandle hdl, MessagePtr message)
{
    const std::string& payload = message->get_payload();
    const KELCommandProtocol::Request request =
        KELCommandProtocol::parseRequest(QByteArray::fromRawData(payload.data(), static_cast<int>(payload.size())));
    const std::string key = keyOf(hdl);

    if (request.cmd.isEmpty()) {
        KLOG->error("wrong request data from client: {}, data: {}", key, payloadForLog(payload));
        sendEnvelope(hdl, QString(), 400, QJsonObject(), QStringLiteral("wrong data format."), request.reqId);
        return;
    }
    KLOG->info("received request from client: {}, cmd: {}", key, request.cmd);

    const QString connectionKey = QString::fromStdString(key);
    const QString& cmd = request.cmd;
    if (isCommand(cmd, "login")) {
        emit server->sigTokenInfo(connectionKey, request.object);
    } else if (isCommand(cmd, "start-scan")) {
        // Set before the controller hears of the command, so that the scan's first events
        // cannot miss their connection.
        {
            std::lock_guard<std::mutex> lock(connectionsMutex);
            taskConnection = hdl;
        }
        emit server->sigScanCmd(connectionKey, request.object);
    } else if (isCommand(cmd, "stop-scan")) {
        emit server->sigStopScanCmd(connectionKey, request.object);
    } else if (isCommand(cmd, "print")) {
        {
            std::lock_guard<std::mutex> lock(connectionsMutex);
            taskConnection = hdl;
            printConnectionKey = connectionKey;
        }
        emit server->sigPrintCmd(connectionKey, request.object);
    } else if (isCommand(cmd, "printBatch")) {
        emit server->sigPrintBatchCmd(connectionKey, request.object);
    } else if (isCommand(cmd, "stop-print")) {
        emit server->sigStopPrintCmd(connectionKey, request.object);
    } else {
        KLOG->error("unknown cmd request from client: {}, data: {}", key, payloadForLog(payload));
        sendEnvelope(hdl, cmd, 400, QJsonObject(), QStringLiteral("unknown cmd."), request.reqId);
    }
}

void KELVelloxServerTask::sendEnvelope(const ConnectionHandle& hdl, const QString& cmd, int ret,
                                       const QJsonObject& data, const QString& msg,
                                       const QString& reqId)
{
    KLOG->info("ws send data: cmd({}), ret({}), msg ({})", cmd, ret, msg);
    const QByteArray bytes = KELCommandProtocol::envelope(cmd, ret, data, msg, reqId);
    ErrorCode ec;
    ConnectionPtr con = endpoint.get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return; // the connection has gone
    ec = con->send(bytes.constData(), static_cast<size_t>(bytes.size()), websocketpp::frame::opcode::text);
    if (ec)
        KLOG->warn("ws send dropped, connection {} refused it: {}", con->key, ec.message());
}

void KELVelloxServerTask::replyTo(const std::string& connectionKey, const QString& cmd,
                                  const QString& reqId, int ret, const QJsonObject& data,
                                  const QString& msg)
{
    ConnectionHandle hdl;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        auto it = connections.find(connectionKey);
        if (it == connections.end()) {
            KLOG->warn("client has disconnected : {} ", connectionKey);
            return;
        }
        hdl = it->second;
    }
    sendEnvelope(hdl, cmd, ret, data, msg, reqId);
}

void KELVelloxServerTask::notifyClient(const QString& cmd, int ret, const QJsonObject& data,
                                       const QString& msg, bool broadcast)
{
    const QString reqId = KELCommandProtocol::freshRequestId(QDateTime::currentDateTime());
    if (broadcast) {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        for (const auto& entry : connections)
            sendEnvelope(entry.second, cmd, ret, data, msg, reqId);
        return;
    }
    ConnectionHandle target;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        if (cmd == QLatin1String("print-end")) {
            const QString remoteKey = data.value(QStringLiteral("remote_key")).toString();
            if (remoteKey != printConnectionKey) {
                KLOG->info("The task connection has been lost, don't send print-end to frontend. {}", remoteKey);
                return;
            }
        }
        target = taskConnection;
    }
    sendEnvelope(target, cmd, ret, data, msg, reqId);
}

KELVelloxServer* KELVelloxServer::instance()
{
    return KELS::Singleton<KELVelloxServer>::instance();
}

KELVelloxServer::KELVelloxServer()
    : task(std::make_unique<KELVelloxServerTask>(this))
{
    QThreadPool::globalInstance()->start(task.get());
}

KELVelloxServer::~KELVelloxServer()
{
    task->stop();
}

void KELVelloxServer::replyTo(const std::string& connectionKey, const QString& cmd,
                              const QString& reqId, int ret, const QJsonObject& data,
                              const QString& msg)
{
    task->replyTo(connectionKey, cmd, reqId, ret, data, msg);
}

void KELVelloxServer::notifyClient(const QString& cmd, int ret, const QJsonObject& data,
                                   const QString& msg, bool broadcast)
{
    task->notifyClient(cmd, ret, data, msg, broadcast);
}

void KELVelloxServer::notifyError(const QString& errorType, const QString& msg,
                                  const QJsonObject& data, int ret, bool broadcast)
{
    QJsonObject withType = data;
    withType.insert(QStringLiteral("errorType"), errorType);
    notifyClient(QStringLiteral("error"), ret, withType, msg, broadcast);
}

void KELVelloxServer::stop()
{
    task->stop();
}
