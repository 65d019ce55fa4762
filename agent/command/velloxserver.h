#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>
#include <string>

class KELVelloxServerTask;

// The local WebSocket endpoint the web page talks to. It answers malformed requests itself and
// hands every well-formed command to the controller as a signal carrying the connection key
// (the peer's address as text) and the whole request object. The signals are emitted on the
// server's own thread (a thread of Qt's global pool, taken for the agent's life).
//
// replyTo, notifyClient and notifyError may be called from any thread.
class KELVelloxServer : public QObject {
    Q_OBJECT
public:
    static KELVelloxServer* instance();

    // Starts listening on the global thread pool; the first instance() does this on the GUI thread.
    KELVelloxServer();
    ~KELVelloxServer() override;

    // One envelope to the connection registered under `connectionKey`; dropped with a warning
    // when that connection has gone.
    void replyTo(const std::string& connectionKey, const QString& cmd, const QString& reqId,
                 int ret, const QJsonObject& data, const QString& msg);
    // An event with a fresh "reqId": to every connection with `broadcast`, else to the
    // connection of the latest "start-scan" or "print".
    void notifyClient(const QString& cmd, int ret, const QJsonObject& data = {},
                      const QString& msg = {}, bool broadcast = false);
    // An event of work a page asked for: to that page's connection (`connectionKey`), or, once it
    // has gone (a reload), to every open page of its `origin`, the newest first; dropped with a
    // warning when there is none. An empty `reqId` is a fresh one.
    void notifyPage(const std::string& connectionKey, const QString& origin, const QString& cmd,
                    const QString& reqId, int ret, const QJsonObject& data, const QString& msg);
    // The Origin header the page of `connectionKey` opened its connection with; empty for a
    // client without one. Still known for a while after that connection has closed.
    QString pageOrigin(const std::string& connectionKey) const;
    // An "error" event whose data carry "errorType".
    void notifyError(const QString& errorType, const QString& msg, const QJsonObject& data = {},
                     int ret = 400, bool broadcast = false);

    // Ends the network loop (quitting): stops listening, closes the open connections and waits
    // a short while for the loop's thread to be released.
    void stop();

Q_SIGNALS:
    void sigScanCmd(QString connection_key, QJsonObject param);
    void sigStopScanCmd(QString connection_key, QJsonObject param);
    void sigTokenInfo(QString connection_key, QJsonObject param);
    void sigPrintCmd(QString connection_key, QJsonObject param);
    void sigPrintBatchCmd(QString connection_key, QJsonObject param);
    void sigStopPrintCmd(QString connection_key, QJsonObject param);
    void sigPrintStatusCmd(QString connection_key, QJsonObject param);

private:
    // Holds websocketpp, which is kept out of every other translation unit for build time.
    std::unique_ptr<KELVelloxServerTask> task;
};
