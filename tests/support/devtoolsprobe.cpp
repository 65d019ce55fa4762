#include "devtoolsprobe.h"

#include "wait.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <memory>

namespace vtest {

QJsonArray DevToolsProbe::targets(int timeoutMs) const
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/json").arg(port)))));
    if (!waitUntil([&] { return reply->isFinished(); }, timeoutMs) || reply->error() != QNetworkReply::NoError)
        return {};
    return QJsonDocument::fromJson(reply->readAll()).array();
}

bool DevToolsProbe::attach(const std::function<bool(const QString& url)>& matches, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QString address;
    waitUntil([&] {
        for (const QJsonValue& target : targets(int(qMin<qint64>(deadline.remainingTime(), 10000)))) {
            const QJsonObject object = target.toObject();
            if (object.value(QStringLiteral("type")).toString() == QLatin1String("page")
                && matches(object.value(QStringLiteral("url")).toString())) {
                address = object.value(QStringLiteral("webSocketDebuggerUrl")).toString();
                return true;
            }
        }
        return false;
    }, timeoutMs);
    if (address.isEmpty()) {
        error = QStringLiteral("no such page among the targets on port %1").arg(port);
        return false;
    }
    if (!socket.open(QUrl(address), {}, int(qMax<qint64>(deadline.remainingTime(), 1000)))) {
        error = socket.errorString();
        return false;
    }
    return true;
}

std::optional<QJsonObject> DevToolsProbe::call(const QString& method, const QJsonObject& params, int timeoutMs)
{
    const int id = ++lastId;
    socket.sendJson({{QStringLiteral("id"), id}, {QStringLiteral("method"), method},
                     {QStringLiteral("params"), params}});
    // Events the page sends meanwhile are left queued and never looked at.
    const std::optional<QJsonObject> answer = socket.waitFor(
        [id](const QJsonObject& message) { return message.value(QStringLiteral("id")).toInt() == id; }, timeoutMs);
    if (!answer || answer->contains(QStringLiteral("error")))
        return std::nullopt;
    return answer->value(QStringLiteral("result")).toObject();
}

std::optional<QJsonValue> DevToolsProbe::evaluate(const QString& expression, int timeoutMs)
{
    const std::optional<QJsonObject> result = call(
        QStringLiteral("Runtime.evaluate"),
        {{QStringLiteral("expression"), expression}, {QStringLiteral("returnByValue"), true}}, timeoutMs);
    if (!result || result->contains(QStringLiteral("exceptionDetails")))
        return std::nullopt;
    return result->value(QStringLiteral("result")).toObject().value(QStringLiteral("value"));
}

std::optional<QJsonValue> DevToolsProbe::waitForValue(const QString& expression,
                                                      const std::function<bool(const QJsonValue&)>& accept,
                                                      int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    std::optional<QJsonValue> last;
    waitUntil([&] {
        last = evaluate(expression, int(qMax<qint64>(deadline.remainingTime(), 1000)));
        return last && accept(*last);
    }, timeoutMs);
    return last;
}

std::optional<QJsonArray> DevToolsProbe::cookies(const QStringList& urls, int timeoutMs)
{
    QJsonObject params;
    if (!urls.isEmpty())
        params.insert(QStringLiteral("urls"), QJsonArray::fromStringList(urls));
    const std::optional<QJsonObject> result = call(QStringLiteral("Network.getCookies"), params, timeoutMs);
    if (!result)
        return std::nullopt;
    return result->value(QStringLiteral("cookies")).toArray();
}

} // namespace vtest
