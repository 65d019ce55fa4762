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
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <string>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// websocketpp's access log into the agent's log at debug level. While the log records less than
// that, a channel tests as off, so the library neither formats a line nor describes each frame
// it sends (hex dumps, string streams, a timestamp) only for the line to be dropped.
class AccessLog : public websocketpp::log::basic<websocketpp::concurrency::basic, websocketpp::log::alevel> {
public:
    using basic::basic;

    bool dynamic_test(websocketpp::log::level channel)
    {
        if (!basic::dynamic_test(channel))
            return false;
        const auto logger = log.lock();
        return logger && logger->should_log(spdlog::level::debug);
    }
    void write(websocketpp::log::level channel, const std::string& message)
    {
        if (!dynamic_test(channel))
            return;
        if (const auto logger = log.lock())
            logger->debug("[{}] {}", websocketpp::log::alevel::channel_name(channel), message);
    }
    void write(websocketpp::log::level channel, const char* message) { write(channel, std::string(message)); }

private:
    // The agent's logger as the server starts, looked up once rather than by name for every
    // frame. Not held: the log file's last lines are written when the logger goes at exit.
    std::weak_ptr<spdlog::logger> log = KLOG;
};

// websocketpp's plain asio configuration, with the access log above. Each connection also
// remembers the key it was registered under (once its socket has closed, the peer's address can
// no longer be read, and the close handler still has to find the entry), whether it holds one of
// the page places, and whether it was closed for not reading.
struct ServerConfig : websocketpp::config::asio {
    using alog_type = AccessLog;
    struct transport_config : websocketpp::config::asio::transport_config {
        using alog_type = AccessLog;
    };
    using transport_type = websocketpp::transport::asio::endpoint<transport_config>;

    struct connection_base {
        std::string key;
        std::string origin;       // the Origin header of its handshake
        std::uint64_t opened = 0; // the order connections opened in
        bool admitted = false;
        std::atomic<bool> overflowed {false};
    };
};

using Endpoint = websocketpp::server<ServerConfig>;
using ConnectionHandle = websocketpp::connection_hdl;
using ConnectionPtr = Endpoint::connection_ptr;
using MessagePtr = Endpoint::message_ptr;
using ErrorCode = websocketpp::lib::error_code;
using Clock = std::chrono::steady_clock;

// The commands carry a few image addresses each; a larger frame is refused by websocketpp,
// which closes that connection with "message too big" (1009).
constexpr size_t kMaxMessageBytes = 8 * 1024 * 1024;
// Replies waiting for a page that does not read them; beyond this the page is closed (1008).
constexpr size_t kMaxBufferedBytes = 16 * 1024 * 1024;
// Pages served at once; more handshakes are refused with 503.
constexpr int kMaxConnections = 256;
// After a failed accept (no descriptors left) the listener waits, doubling up to a second.
constexpr long kFirstAcceptBackoffMs = 50;
constexpr long kMaxAcceptBackoffMs = 1000;
constexpr auto kWarningInterval = std::chrono::minutes(1);
// Peers that do not answer the closing handshake at quit must not hold the agent's exit.
constexpr long kCloseDeadlineMs = 1000;
constexpr auto kStopWait = std::chrono::seconds(3);
constexpr size_t kLoggedBinaryBytes = 64;
constexpr size_t kRememberedClosedOrigins = 64;

// A warning that a flood would repeat: written at most once per interval, with the number of
// occurrences it stands for.
class ThrottledWarning {
public:
    // The count to report when a warning is due now, else 0.
    int due()
    {
        ++occurrences;
        const Clock::time_point now = Clock::now();
        if (written && now - lastWritten < kWarningInterval)
            return 0;
        written = true;
        lastWritten = now;
        return std::exchange(occurrences, 0);
    }

private:
    bool written = false;
    Clock::time_point lastWritten;
    int occurrences = 0;
};

bool isLoopback(const asio::ip::address& address)
{
    if (address.is_loopback())
        return true;
    return address.is_v6() && address.to_v6().is_v4_mapped()
        && asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).is_loopback();
}

bool sameConnection(const ConnectionHandle& a, const ConnectionHandle& b)
{
    return !a.owner_before(b) && !b.owner_before(a);
}

// A rejected frame is logged with its payload. A long one is cut; one that is not text (binary,
// broken UTF-8, NUL bytes) is written as hex, so the log file stays readable text.
QByteArray payloadForLog(const std::string& payload)
{
    const QByteArray bytes = QByteArray::fromRawData(payload.data(), static_cast<int>(payload.size()));
    // Judged on whole characters: a UTF-8 sequence has at most three continuation bytes.
    int headSize = std::min(bytes.size(), KELLog::kLoggedTextBytes);
    for (int back = 0; back < 3 && headSize < bytes.size() && (uchar(bytes.at(headSize)) & 0xC0) == 0x80; ++back)
        --headSize;
    const QByteArray head = bytes.left(headSize);
    const bool text = !head.contains('\0') && QString::fromUtf8(head).toUtf8() == head;
    if (!text) {
        return QByteArrayLiteral("<") + QByteArray::number(bytes.size())
            + QByteArrayLiteral(" bytes, not text: ") + head.left(kLoggedBinaryBytes).toHex(' ')
            + (bytes.size() > int(kLoggedBinaryBytes) ? QByteArrayLiteral(" ...>") : QByteArrayLiteral(">"));
    }
    return KELLog::clipped(head.size() == bytes.size() ? head : bytes);
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
    void notifyPage(const std::string& connectionKey, const QString& origin, const QString& cmd,
                    const QString& reqId, int ret, const QJsonObject& data, const QString& msg);
    void notifyClient(const QString& cmd, int ret, const QJsonObject& data, const QString& msg,
                      bool broadcast);
    QString pageOrigin(const std::string& connectionKey);

private:
    enum class LoopState { NotStarted, Running, Ended };

    // One listening socket with its own accept loop.
    struct Listener {
        explicit Listener(asio::io_service& io) : acceptor(io), retry(io) {}
        asio::ip::tcp::acceptor acceptor;
        asio::steady_timer retry;
        long backoffMs = 0;
    };

    // Binds every address of `port`: false (with the error) when the port cannot be had.
    bool listenOn(int port, ErrorCode& ec);
    // true when bound, or when an `optional` address does not exist on this system (`ec` clear);
    // false with the error when it cannot be bound.
    bool addListener(const asio::ip::address& address, int port, bool optional, ErrorCode& ec);
    bool listenWithRetry();
    void acceptNext(Listener& listener, ConnectionPtr con = nullptr);
    void onAccepted(Listener& listener, ConnectionPtr con, const asio::error_code& ec);
    void runLoop();
    void setLoopState(LoopState state);
    void closeAllOnLoop();

    bool onValidate(ConnectionHandle hdl);
    void sendWithoutDelay(ConnectionHandle hdl);
    void onOpen(ConnectionHandle hdl);
    void onClose(ConnectionHandle hdl);
    void onFail(ConnectionHandle hdl);
    void onMessage(ConnectionHandle hdl, MessagePtr message);
    void releasePlace(const ConnectionPtr& con);

    std::string keyOf(const ConnectionHandle& hdl);
    void sendEnvelope(const ConnectionHandle& hdl, const QString& cmd, int ret,
                      const QJsonObject& data, const QString& msg, const QString& reqId);

    KELVelloxServer* server;
    // Guarded by connectionsMutex: the server thread changes them while any thread sends.
    ConnectionHandle taskConnection;
    // Origins of connections that closed lately: a command read after its page went keeps it.
    std::deque<std::pair<std::string, std::string>> closedOrigins;
    std::uint64_t openedConnections = 0;
    Endpoint endpoint;
    std::map<std::string, ConnectionHandle> connections;
    std::mutex connectionsMutex;

    // Used on the loop's thread only.
    std::vector<std::unique_ptr<Listener>> listeners;
    int admittedConnections = 0;
    ThrottledWarning acceptFailures;
    ThrottledWarning refusedForCapacity;

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
    // What happens to connections stays in the log; lines about every frame and every socket
    // operation do not: they outnumbered the agent's own lines several times over, filled the
    // log with hex dumps of frame headers, and cost more than answering the request itself.
    endpoint.clear_access_channels(websocketpp::log::alevel::frame_payload | websocketpp::log::alevel::frame_header
                                   | websocketpp::log::alevel::message_header
                                   | websocketpp::log::alevel::message_payload | websocketpp::log::alevel::devel);

    ErrorCode ec;
    endpoint.init_asio(ec);
    if (ec)
        KLOG->error("websocket server transport init failed: {}", ec.message());
    endpoint.set_max_message_size(kMaxMessageBytes);
    // The listening sockets are our own (addListener), with address reuse set there.

    // Runs once the socket is accepted (websocketpp's socket init handler comes before that,
    // on a socket not yet open).
    endpoint.set_tcp_pre_init_handler([this](ConnectionHandle hdl) { sendWithoutDelay(hdl); });
    endpoint.set_validate_handler([this](ConnectionHandle hdl) { return onValidate(hdl); });
    endpoint.set_open_handler([this](ConnectionHandle hdl) { onOpen(hdl); });
    endpoint.set_close_handler([this](ConnectionHandle hdl) { onClose(hdl); });
    endpoint.set_fail_handler([this](ConnectionHandle hdl) { onFail(hdl); });
    endpoint.set_message_handler(
        [this](ConnectionHandle hdl, MessagePtr message) { onMessage(hdl, message); });
}

bool KELVelloxServerTask::addListener(const asio::ip::address& address, int port, bool optional,
                                      ErrorCode& ec)
{
    auto listener = std::make_unique<Listener>(endpoint.get_io_service());
    asio::ip::tcp::acceptor& acceptor = listener->acceptor;
    const asio::ip::tcp::endpoint where(address, static_cast<unsigned short>(port));
    acceptor.open(where.protocol(), ec);
    // A restarted agent gets its port back while the old connections are still closing.
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    // The IPv6 wildcard serves IPv4 peers too; ::1 only itself. Said explicitly, since the
    // default differs between systems.
    if (!ec && address.is_v6())
        acceptor.set_option(asio::ip::v6_only(!address.is_unspecified()), ec);
    if (!ec)
        acceptor.bind(where, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        // A system without IPv6 has no such address: the other family serves alone.
        if (optional && (ec == asio::error::address_family_not_supported || ec == std::errc::address_not_available)) {
            KLOG->info("websocket server cannot listen on {}: {}", address.to_string(), ec.message());
            ec.clear();
            return true;
        }
        return false;
    }
    listeners.push_back(std::move(listener));
    return true;
}

bool KELVelloxServerTask::listenOn(int port, ErrorCode& ec)
{
    listeners.clear();
    ec.clear();
    const bool everyInterface = KELCommandProtocol::listensOnEveryInterface(
        KELGlobalConfig::instance()->value(QStringLiteral("listenaddress")));
    bool bound = false;
    if (everyInterface) {
        bound = addListener(asio::ip::address_v6::any(), port, true, ec)
            && (!listeners.empty() || addListener(asio::ip::address_v4::any(), port, false, ec));
    } else {
        bound = addListener(asio::ip::address_v4::loopback(), port, false, ec)
            && addListener(asio::ip::address_v6::loopback(), port, true, ec);
    }
    if (!bound) {
        listeners.clear();
        return false;
    }
    std::string addresses;
    for (const auto& listener : listeners) {
        asio::error_code ignored;
        addresses += (addresses.empty() ? "" : ", ") + listener->acceptor.local_endpoint(ignored).address().to_string();
    }
    KLOG->info("websocket server listens on {} ({})", addresses,
               everyInterface ? "every interface" : "this computer only");
    return true;
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
    for (const auto& listener : listeners)
        acceptNext(*listener);
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

// Our own accept loop instead of websocketpp's: that one retries a failing accept at once,
// which spins a core and floods the standard streams when descriptors run out.
void KELVelloxServerTask::acceptNext(Listener& listener, ConnectionPtr con)
{
    if (!con)
        con = endpoint.get_connection();
    if (!con) {
        KLOG->error("websocket server cannot create a connection object");
        return;
    }
    listener.acceptor.async_accept(
        con->get_raw_socket(),
        con->get_strand()->wrap([this, &listener, con](const asio::error_code& ec) { onAccepted(listener, con, ec); }));
}

void KELVelloxServerTask::onAccepted(Listener& listener, ConnectionPtr con, const asio::error_code& ec)
{
    if (!ec) {
        listener.backoffMs = 0;
        con->start();
        acceptNext(listener);
        return;
    }
    if (ec == asio::error::operation_aborted || stopping)
        return; // the listener was closed: quitting
    // Out of descriptors (or another passing failure): the connection object was never used
    // and waits for the next try.
    listener.backoffMs = std::clamp(listener.backoffMs * 2, kFirstAcceptBackoffMs, kMaxAcceptBackoffMs);
    if (const int failures = acceptFailures.due())
        KLOG->warn("websocket server cannot accept connections: {} ({} times); trying again in {} ms",
                   ec.message(), failures, listener.backoffMs);
    listener.retry.expires_after(std::chrono::milliseconds(listener.backoffMs));
    listener.retry.async_wait([this, &listener, con](const asio::error_code& waited) {
        if (!waited && !stopping)
            acceptNext(listener, con);
    });
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
    for (const auto& listener : listeners) {
        listener->retry.cancel();
        listener->acceptor.close(ec);
    }

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
    if (admittedConnections >= kMaxConnections) {
        if (const int refused = refusedForCapacity.due())
            KLOG->warn("websocket handshake refused, {} pages are connected already ({} refused since the last warning)",
                       admittedConnections, refused);
        con->set_status(websocketpp::http::status_code::service_unavailable);
        return false;
    }

    const asio::ip::tcp::endpoint peer = con->get_raw_socket().remote_endpoint(ec);
    const bool loopbackPeer = !ec && isLoopback(peer.address());
    const QString origin = QString::fromStdString(con->get_origin());
    // Read at every handshake, so a changed "allowedorigins" needs no restart.
    KELGlobalConfig* config = KELGlobalConfig::instance();
    const KELOriginPolicy policy(config->getDomains(), config->value(QStringLiteral("allowedorigins")));
    if (!policy.allows(origin, loopbackPeer)) {
        KLOG->warn("websocket handshake refused, origin not allowed: {}, client: {}",
                   KELLog::clipped(origin), con->get_remote_endpoint());
        con->set_status(websocketpp::http::status_code::forbidden);
        return false;
    }
    con->admitted = true;
    ++admittedConnections;
    return true;
}

// A reply is a small frame that often follows an event closely. With Nagle's algorithm it would
// wait until the page acknowledges that event, which a page's system may delay by up to 200 ms.
void KELVelloxServerTask::sendWithoutDelay(ConnectionHandle hdl)
{
    ErrorCode ec;
    ConnectionPtr con = endpoint.get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return;
    asio::error_code optionError;
    con->get_raw_socket().set_option(asio::ip::tcp::no_delay(true), optionError);
    if (optionError)
        KLOG->warn("websocket connection {} sends with delay: {}", con->get_remote_endpoint(), optionError.message());
}

void KELVelloxServerTask::releasePlace(const ConnectionPtr& con)
{
    if (con && con->admitted) {
        con->admitted = false;
        --admittedConnections;
    }
}

void KELVelloxServerTask::onFail(ConnectionHandle hdl)
{
    ErrorCode ec;
    releasePlace(endpoint.get_con_from_hdl(hdl, ec));
}

void KELVelloxServerTask::onOpen(ConnectionHandle hdl)
{
    ErrorCode ec;
    ConnectionPtr con = endpoint.get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return;
    con->key = con->get_remote_endpoint();
    con->origin = con->get_origin();
    KLOG->info("scan server received a new connection : {}", con->key);
    std::lock_guard<std::mutex> lock(connectionsMutex);
    con->opened = ++openedConnections;
    connections[con->key] = hdl;
}

void KELVelloxServerTask::onClose(ConnectionHandle hdl)
{
    const std::string key = keyOf(hdl);
    KLOG->info("a client disconnect from scan server : {}", key);
    ErrorCode ec;
    releasePlace(endpoint.get_con_from_hdl(hdl, ec));
    bool noneLeft = false;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        if (sameConnection(taskConnection, hdl))
            taskConnection.reset();
        // Only this connection's entry: a newer one may have taken over the same key.
        auto it = connections.find(key);
        if (it != connections.end() && sameConnection(it->second, hdl)) {
            connections.erase(it);
            if (ConnectionPtr con = endpoint.get_con_from_hdl(hdl, ec)) {
                closedOrigins.emplace_back(key, con->origin);
                if (closedOrigins.size() > kRememberedClosedOrigins)
                    closedOrigins.pop_front();
            }
        }
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
    KLOG->info("received request from client: {}, cmd: {}", key, KELLog::clipped(request.cmd));
    const QString problem = KELCommandProtocol::requestProblem(request);
    if (!problem.isEmpty()) {
        // Not echoed: the reply would carry it back whole.
        KLOG->warn("wrong request from client: {}, {}", key, problem);
        sendEnvelope(hdl, request.cmd, 400, QJsonObject(), QStringLiteral("wrong data: ") + problem, QString());
        return;
    }

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
        }
        emit server->sigPrintCmd(connectionKey, request.object);
    } else if (isCommand(cmd, "printBatch")) {
        emit server->sigPrintBatchCmd(connectionKey, request.object);
    } else if (isCommand(cmd, "stop-print")) {
        emit server->sigStopPrintCmd(connectionKey, request.object);
    } else if (isCommand(cmd, "print-status")) {
        emit server->sigPrintStatusCmd(connectionKey, request.object);
    } else {
        KLOG->error("unknown cmd request from client: {}, data: {}", key, payloadForLog(payload));
        sendEnvelope(hdl, cmd, 400, QJsonObject(), QStringLiteral("unknown cmd."), request.reqId);
    }
}

void KELVelloxServerTask::sendEnvelope(const ConnectionHandle& hdl, const QString& cmd, int ret,
                                       const QJsonObject& data, const QString& msg,
                                       const QString& reqId)
{
    KLOG->info("ws send data: cmd({}), ret({}), msg ({})", KELLog::clipped(cmd), ret, KELLog::clipped(msg));
    ErrorCode ec;
    ConnectionPtr con = endpoint.get_con_from_hdl(hdl, ec);
    if (ec || !con)
        return; // the connection has gone
    if (con->overflowed)
        return;
    const QByteArray bytes = KELCommandProtocol::envelope(cmd, ret, data, msg, reqId);
    // A page that sends and never reads would have every reply kept for it.
    const size_t waiting = con->get_buffered_amount();
    if (waiting + static_cast<size_t>(bytes.size()) > kMaxBufferedBytes) {
        if (!con->overflowed.exchange(true)) {
            KLOG->warn("ws connection {} does not read its messages ({} bytes waiting); closing it",
                       con->key, waiting);
            con->close(websocketpp::close::status::policy_violation, "messages are not read", ec);
        }
        return;
    }
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
        target = taskConnection;
    }
    sendEnvelope(target, cmd, ret, data, msg, reqId);
}

void KELVelloxServerTask::notifyPage(const std::string& connectionKey, const QString& origin, const QString& cmd,
                                     const QString& reqId, int ret, const QJsonObject& data, const QString& msg)
{
    const QString id = reqId.isEmpty() ? KELCommandProtocol::freshRequestId(QDateTime::currentDateTime()) : reqId;
    ConnectionHandle own;
    std::vector<std::pair<std::uint64_t, ConnectionHandle>> sameOrigin;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        const auto it = connections.find(connectionKey);
        if (it != connections.end()) {
            own = it->second;
        } else {
            const std::string wanted = origin.toStdString();
            for (const auto& entry : connections) {
                ErrorCode ec;
                ConnectionPtr con = endpoint.get_con_from_hdl(entry.second, ec);
                if (!ec && con && con->origin == wanted)
                    sameOrigin.emplace_back(con->opened, entry.second);
            }
        }
    }
    if (!own.expired()) {
        sendEnvelope(own, cmd, ret, data, msg, id);
        return;
    }
    if (sameOrigin.empty()) {
        KLOG->warn("client has disconnected : {} ", connectionKey);
        return;
    }
    // The page that asked has gone (reloaded, say): the pages of its site hear it, newest first.
    std::sort(sameOrigin.begin(), sameOrigin.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    KLOG->info("page {} has gone, {} sent to {} page(s) of its origin {}", connectionKey, KELLog::clipped(cmd),
               sameOrigin.size(), KELLog::clipped(origin));
    for (const auto& entry : sameOrigin)
        sendEnvelope(entry.second, cmd, ret, data, msg, id);
}

QString KELVelloxServerTask::pageOrigin(const std::string& connectionKey)
{
    ConnectionHandle hdl;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        auto it = connections.find(connectionKey);
        if (it == connections.end()) {
            // Closed since: the latest connection of that key.
            for (auto closed = closedOrigins.rbegin(); closed != closedOrigins.rend(); ++closed) {
                if (closed->first == connectionKey)
                    return QString::fromStdString(closed->second);
            }
            return {};
        }
        hdl = it->second;
    }
    ErrorCode ec;
    ConnectionPtr con = endpoint.get_con_from_hdl(hdl, ec);
    return ec || !con ? QString() : QString::fromStdString(con->origin);
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

void KELVelloxServer::notifyPage(const std::string& connectionKey, const QString& origin, const QString& cmd,
                                 const QString& reqId, int ret, const QJsonObject& data, const QString& msg)
{
    task->notifyPage(connectionKey, origin, cmd, reqId, ret, data, msg);
}

QString KELVelloxServer::pageOrigin(const std::string& connectionKey) const
{
    return task->pageOrigin(connectionKey);
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
