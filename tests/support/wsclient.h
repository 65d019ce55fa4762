#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

class QUrl;
class QWebSocket;

namespace vtest {

// The web page's side of the agent's command channel, driven step by step from a test (over
// Qt's QWebSocket, so the agent meets a client other than its own library). Every wait processes
// Qt events and ends at a deadline; received messages queue up until a wait takes them.
class WsClient : public QObject {
    Q_OBJECT
public:
    static constexpr int kWaitMs = 30000;

    explicit WsClient(QObject* parent = nullptr);
    ~WsClient() override;

    // Opens ws://host:port/ and waits for the handshake. A non-empty `origin` is sent as the
    // Origin header; an empty one sends none. False when refused or unreachable; errorString()
    // then says why (it names the HTTP status of a refused handshake).
    bool open(quint16 port, const QString& origin = {}, const QString& host = QStringLiteral("127.0.0.1"),
              int timeoutMs = kWaitMs);
    // The same for any ws:// address, path included (a DevTools target, for one).
    bool open(const QUrl& url, const QString& origin = {}, int timeoutMs = kWaitMs);
    bool isOpen() const;
    // This side's port of the connection (0 when closed).
    quint16 localPort() const;
    QString errorString() const { return lastError; }
    // Orderly close: sends the closing handshake and waits for the socket to close.
    void close(int timeoutMs = kWaitMs);
    // Drops the connection at once, without a closing handshake.
    void abort();
    bool waitForClosed(int timeoutMs = kWaitMs);
    // The close code the agent gave, when it closed the connection (0 while open).
    int closeCode() const;

    void sendText(const QByteArray& text);
    void sendBinary(const QByteArray& bytes);
    void sendJson(const QJsonObject& object);
    // Sends {"cmd", "reqId", "data"}; "data" is left out when undefined.
    void sendRequest(const QString& cmd, const QString& reqId, const QJsonValue& data = QJsonValue::Undefined);
    // Sends a request with a fresh reqId and waits for the message that carries it back.
    std::optional<QJsonObject> request(const QString& cmd, const QJsonValue& data = QJsonValue::Undefined,
                                       int timeoutMs = kWaitMs);

    // The oldest message not yet taken, as received / as a JSON object.
    std::optional<QByteArray> nextText(int timeoutMs = kWaitMs);
    std::optional<QJsonObject> nextMessage(int timeoutMs = kWaitMs);
    // The oldest message that `match` accepts; the ones it passes over stay queued.
    std::optional<QJsonObject> waitFor(const std::function<bool(const QJsonObject&)>& match,
                                       int timeoutMs = kWaitMs);
    std::optional<QJsonObject> waitForCmd(const QString& cmd, int timeoutMs = kWaitMs);
    std::optional<QJsonObject> waitForReqId(const QString& reqId, int timeoutMs = kWaitMs);
    // Waits until at least `count` messages are queued.
    bool waitForQueued(size_t count, int timeoutMs = kWaitMs);
    size_t queuedCount() const { return received.size(); }

Q_SIGNALS:
    // Every text message as it arrives (it is queued as well), for timing replies to the moment.
    void textReceived(const QByteArray& text);

private:
    std::optional<QJsonObject> takeFirst(const std::function<bool(const QJsonObject&)>& match);

    QWebSocket* socket = nullptr;
    std::deque<QByteArray> received;
    QString lastError;
    int requestCounter = 0;
};

} // namespace vtest
