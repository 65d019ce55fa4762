#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

// The small rules of the command channel that need no network: the listening port and address,
// event identifiers, the reply/event envelope and how a request frame is read.
namespace KELCommandProtocol {

inline constexpr int kDefaultListenPort = 9086;

// "listenport" as a port number: anything outside 1..65535, empty or not a number gives 9086.
int listenPortFromSetting(const QString& setting);

// "listenaddress": "any" opens the port on every interface; anything else keeps it on this
// PC's loopback (127.0.0.1 and ::1).
bool listensOnEveryInterface(const QString& setting);

// Identifier of an event the agent sends on its own: the time as "yyyyMMddHHmmss" followed by
// its milliseconds as a plain number (12:00:00.007 ends in "1200007").
QString freshRequestId(const QDateTime& now);

// One reply or event, in the indented form of Qt's JSON writer (keys in alphabetical order).
QByteArray envelope(const QString& cmd, int ret, const QJsonObject& data, const QString& msg,
                    const QString& reqId);

// What a received frame asks for, before any command-specific checks.
struct Request {
    QJsonObject object; // the whole request; empty when the frame is not a JSON object
    QString cmd;
    QString reqId;      // "" when missing or not a string
};
Request parseRequest(const QByteArray& payload);

// Longest "reqId": every reply carries it back.
inline constexpr int kMaxRequestIdLength = 128;
// What makes a request with a command unusable whatever the command ("reqId is longer than 128
// characters"), as the text after "wrong data: "; empty when there is nothing.
QString requestProblem(const Request& request);

} // namespace KELCommandProtocol
