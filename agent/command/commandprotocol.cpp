#include "command/commandprotocol.h"

#include <QJsonDocument>

namespace KELCommandProtocol {

int listenPortFromSetting(const QString& setting)
{
    bool ok = false;
    const int port = setting.toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return kDefaultListenPort;
    return port;
}

bool listensOnEveryInterface(const QString& setting)
{
    return setting.trimmed().compare(QLatin1String("any"), Qt::CaseInsensitive) == 0;
}

QString freshRequestId(const QDateTime& now)
{
    return now.toString(QStringLiteral("yyyyMMddHHmmss")) + QString::number(now.time().msec());
}

QByteArray envelope(const QString& cmd, int ret, const QJsonObject& data, const QString& msg,
                    const QString& reqId)
{
    QJsonObject object;
    object.insert(QStringLiteral("cmd"), cmd);
    object.insert(QStringLiteral("ret"), ret);
    object.insert(QStringLiteral("data"), data);
    object.insert(QStringLiteral("msg"), msg);
    object.insert(QStringLiteral("reqId"), reqId);
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

Request parseRequest(const QByteArray& payload)
{
    Request request;
    request.object = QJsonDocument::fromJson(payload).object();
    request.cmd = request.object.value(QStringLiteral("cmd")).toString();
    request.reqId = request.object.value(QStringLiteral("reqId")).toString();
    return request;
}

QString requestProblem(const Request& request)
{
    if (request.reqId.size() > kMaxRequestIdLength)
        return QStringLiteral("reqId is longer than %1 characters").arg(kMaxRequestIdLength);
    return {};
}

} // namespace KELCommandProtocol
