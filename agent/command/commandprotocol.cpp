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

namespace {

// Text that Qt's JSON writer copies as it stands: printable ASCII without quotes or backslashes.
bool isPlainText(const QString& text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || u > 0x7E || u == '"' || u == '\\')
            return false;
    }
    return true;
}

void appendPlainString(QByteArray& out, const QString& text)
{
    out += '"';
    out += text.toLatin1();
    out += '"';
}

// The envelope as Qt's writer makes it, written directly: every reply goes through here, and
// building a JSON object for five fixed members costs more than sending the frame.
QByteArray plainEnvelope(const QString& cmd, int ret, const QJsonObject& data, const QString& msg,
                         const QString& reqId)
{
    QByteArray out;
    out.reserve(96 + cmd.size() + msg.size() + reqId.size());
    out += "{\n    \"cmd\": ";
    appendPlainString(out, cmd);
    out += ",\n    \"data\": ";
    if (data.isEmpty()) {
        out += "{\n    }";
    } else {
        // The object one level in: each of its lines four spaces further.
        QByteArray nested = QJsonDocument(data).toJson(QJsonDocument::Indented);
        nested.chop(1);
        out += nested.replace('\n', QByteArrayLiteral("\n    "));
    }
    out += ",\n    \"msg\": ";
    appendPlainString(out, msg);
    out += ",\n    \"reqId\": ";
    appendPlainString(out, reqId);
    out += ",\n    \"ret\": ";
    out += QByteArray::number(ret);
    out += "\n}\n";
    return out;
}

} // namespace

QByteArray envelope(const QString& cmd, int ret, const QJsonObject& data, const QString& msg,
                    const QString& reqId)
{
    if (isPlainText(cmd) && isPlainText(msg) && isPlainText(reqId))
        return plainEnvelope(cmd, ret, data, msg, reqId);
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
