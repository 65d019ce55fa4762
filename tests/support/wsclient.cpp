#include "wsclient.h"

#include "wait.h"

#include <QJsonDocument>
#include <QUrl>
#include <QWebSocket>

namespace vtest {

WsClient::WsClient(QObject* parent)
    : QObject(parent)
{
}

WsClient::~WsClient()
{
    abort();
}

bool WsClient::open(quint16 port, const QString& origin, const QString& host, int timeoutMs)
{
    const QString hostPart = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return open(QUrl(QStringLiteral("ws://%1:%2/").arg(hostPart).arg(port)), origin, timeoutMs);
}

bool WsClient::open(const QUrl& url, const QString& origin, int timeoutMs)
{
    abort();
    received.clear();
    lastError.clear();
    socket = new QWebSocket(origin, QWebSocketProtocol::VersionLatest, this);
    // Plenty for every frame the agent sends; the default would do too, but say it.
    socket->setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) {
                received.push_back(text.toUtf8());
                Q_EMIT textReceived(received.back());
            });
    connect(socket, &QWebSocket::binaryMessageReceived, this,
            [this](const QByteArray& bytes) { received.push_back(bytes); });
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError) { lastError = socket->errorString(); });

    socket->open(url);
    waitUntil([this] {
        return socket->state() == QAbstractSocket::ConnectedState || !lastError.isEmpty()
            || socket->state() == QAbstractSocket::UnconnectedState;
    }, timeoutMs);
    if (isOpen())
        return true;
    if (lastError.isEmpty())
        lastError = QStringLiteral("no handshake within %1 ms").arg(timeoutMs);
    return false;
}

bool WsClient::isOpen() const
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

quint16 WsClient::localPort() const
{
    return socket ? socket->localPort() : 0;
}

void WsClient::close(int timeoutMs)
{
    if (!socket)
        return;
    socket->close();
    waitForClosed(timeoutMs);
}

void WsClient::abort()
{
    if (!socket)
        return;
    socket->abort();
    socket->deleteLater();
    socket = nullptr;
}

bool WsClient::waitForClosed(int timeoutMs)
{
    return waitUntil([this] { return !socket || socket->state() == QAbstractSocket::UnconnectedState; },
                     timeoutMs);
}

int WsClient::closeCode() const
{
    return socket && socket->state() == QAbstractSocket::UnconnectedState ? static_cast<int>(socket->closeCode()) : 0;
}

void WsClient::sendText(const QByteArray& text)
{
    if (socket)
        socket->sendTextMessage(QString::fromUtf8(text));
}

void WsClient::sendBinary(const QByteArray& bytes)
{
    if (socket)
        socket->sendBinaryMessage(bytes);
}

void WsClient::sendJson(const QJsonObject& object)
{
    sendText(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void WsClient::sendRequest(const QString& cmd, const QString& reqId, const QJsonValue& data)
{
    QJsonObject request {{QStringLiteral("cmd"), cmd}, {QStringLiteral("reqId"), reqId}};
    if (!data.isUndefined())
        request.insert(QStringLiteral("data"), data);
    sendJson(request);
}

std::optional<QJsonObject> WsClient::request(const QString& cmd, const QJsonValue& data, int timeoutMs)
{
    const QString reqId = QStringLiteral("test-%1").arg(++requestCounter);
    sendRequest(cmd, reqId, data);
    return waitForReqId(reqId, timeoutMs);
}

std::optional<QByteArray> WsClient::nextText(int timeoutMs)
{
    if (!waitUntil([this] { return !received.empty(); }, timeoutMs))
        return std::nullopt;
    QByteArray text = received.front();
    received.pop_front();
    return text;
}

std::optional<QJsonObject> WsClient::nextMessage(int timeoutMs)
{
    const std::optional<QByteArray> text = nextText(timeoutMs);
    if (!text)
        return std::nullopt;
    return QJsonDocument::fromJson(*text).object();
}

std::optional<QJsonObject> WsClient::takeFirst(const std::function<bool(const QJsonObject&)>& match)
{
    for (auto it = received.begin(); it != received.end(); ++it) {
        const QJsonObject message = QJsonDocument::fromJson(*it).object();
        if (match(message)) {
            received.erase(it);
            return message;
        }
    }
    return std::nullopt;
}

std::optional<QJsonObject> WsClient::waitFor(const std::function<bool(const QJsonObject&)>& match,
                                             int timeoutMs)
{
    std::optional<QJsonObject> found;
    waitUntil([&] {
        found = takeFirst(match);
        return found.has_value();
    }, timeoutMs);
    return found;
}

std::optional<QJsonObject> WsClient::waitForCmd(const QString& cmd, int timeoutMs)
{
    return waitFor([&](const QJsonObject& m) { return m.value(QStringLiteral("cmd")).toString() == cmd; },
                   timeoutMs);
}

std::optional<QJsonObject> WsClient::waitForReqId(const QString& reqId, int timeoutMs)
{
    return waitFor([&](const QJsonObject& m) { return m.value(QStringLiteral("reqId")).toString() == reqId; },
                   timeoutMs);
}

bool WsClient::waitForQueued(size_t count, int timeoutMs)
{
    return waitUntil([&] { return received.size() >= count; }, timeoutMs);
}

} // namespace vtest
