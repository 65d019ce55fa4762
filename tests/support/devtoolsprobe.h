#pragma once

#include "wsclient.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace vtest {

// Reads what a page in a Chromium-based browser sees, over the DevTools protocol of its
// remote-debugging port: the target list (/json), then one page's socket for
// Runtime.evaluate and Network.getCookies. The page stays attached across navigations.
class DevToolsProbe {
public:
    static constexpr int kWaitMs = 60000;

    explicit DevToolsProbe(quint16 port) : port(port) {}

    // The port's targets, as /json lists them; empty while it does not answer.
    QJsonArray targets(int timeoutMs = 10000) const;
    // Waits for a page target whose URL `matches` and attaches to it.
    bool attach(const std::function<bool(const QString& url)>& matches, int timeoutMs = kWaitMs);
    bool isAttached() const { return socket.isOpen(); }
    QString errorString() const { return error; }

    // The expression's value in the page (by value); none when it threw or nobody answered.
    std::optional<QJsonValue> evaluate(const QString& expression, int timeoutMs = kWaitMs);
    // Waits until the expression's value satisfies `accept`; returns the last value seen.
    std::optional<QJsonValue> waitForValue(const QString& expression,
                                           const std::function<bool(const QJsonValue&)>& accept,
                                           int timeoutMs = kWaitMs);
    // The cookies the browser would send to the page's address, or to each of `urls`.
    std::optional<QJsonArray> cookies(const QStringList& urls = {}, int timeoutMs = kWaitMs);
    // Any other command to the page; its result, none when it failed.
    std::optional<QJsonObject> call(const QString& method, const QJsonObject& params = {}, int timeoutMs = kWaitMs);

private:

    quint16 port;
    WsClient socket;
    QString error;
    int lastId = 0;
};

} // namespace vtest
