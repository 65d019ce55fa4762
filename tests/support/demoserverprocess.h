#pragma once

#include "httprequest.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace vtest {

// The built vellox-demo-server, on a free loopback port, with a private data folder (or the one
// given). Stopped when the object goes.
class DemoServer {
public:
    explicit DemoServer(const QString& dataFolder = {});
    ~DemoServer();
    DemoServer(const DemoServer&) = delete;
    DemoServer& operator=(const DemoServer&) = delete;

    bool isRunning() const;
    quint16 port() const { return boundPort; }
    QString url(const QString& path = QStringLiteral("/")) const;
    QString dataFolder() const { return data; }
    // What the server wrote so far (request lines, stored pages).
    QString output();

    HttpResponse get(const QString& path);
    HttpResponse post(const QString& path, const QByteArray& body, const QByteArray& contentType);

private:
    QTemporaryDir privateFolder;
    QString data;
    QProcess process;
    QByteArray written;
    quint16 boundPort = 0;
};

} // namespace vtest
