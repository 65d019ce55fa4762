#include "demoserverprocess.h"

#include "wait.h"

#include <QRegularExpression>

namespace vtest {

DemoServer::DemoServer(const QString& dataFolder)
    : data(dataFolder.isEmpty() ? privateFolder.path() + QStringLiteral("/demo") : dataFolder)
{
    process.setProgram(QStringLiteral(VELLOX_PROGRAM_DIR "/vellox-demo-server"));
    process.setArguments({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"), data});
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start();
    const QRegularExpression serving(QStringLiteral("serving http://127\\.0\\.0\\.1:(\\d+)/"));
    waitUntil([&] {
        written += process.readAll();
        const auto match = serving.match(QString::fromUtf8(written));
        if (match.hasMatch())
            boundPort = quint16(match.captured(1).toUInt());
        return boundPort != 0 || process.state() == QProcess::NotRunning;
    });
}

DemoServer::~DemoServer()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(10000);
    }
}

bool DemoServer::isRunning() const
{
    return boundPort != 0 && process.state() == QProcess::Running;
}

QString DemoServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(boundPort).arg(path);
}

QString DemoServer::output()
{
    written += process.readAll();
    return QString::fromUtf8(written);
}

HttpResponse DemoServer::get(const QString& path)
{
    return httpRequest("GET", url(path));
}

HttpResponse DemoServer::post(const QString& path, const QByteArray& body, const QByteArray& contentType)
{
    return httpRequest("POST", url(path), body, {{"Content-Type", contentType}});
}

} // namespace vtest
