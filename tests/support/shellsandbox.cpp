#include "shellsandbox.h"

#include "processinfo.h"
#include "xvfbdisplay.h"

#include <QFile>

namespace vtest {

ShellSandbox::ShellSandbox(const XvfbDisplay& display)
{
    prepare(display);
}

ShellSandbox::ShellSandbox(const XvfbDisplay& display, const QString& keptRoot)
    : AgentSandbox(keptRoot)
{
    prepare(display);
}

void ShellSandbox::prepare(const XvfbDisplay& display)
{
    debuggingPort = freePort();
    setConfig("listenport", QString::number(freePort()));
    setEnv("DISPLAY", display.name());
    setEnv("QT_QPA_PLATFORM", "xcb");
    setEnv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    setEnv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
    setEnv("QTWEBENGINE_REMOTE_DEBUGGING", QStringLiteral("127.0.0.1:%1").arg(debuggingPort));
}

ShellSandbox::~ShellSandbox()
{
    for (auto& shell : shells) {
        if (shell->state() == QProcess::NotRunning)
            continue;
        shell->terminate();
        if (!shell->waitForFinished(15000)) {
            shell->kill();
            shell->waitForFinished(15000);
        }
    }
}

QString ShellSandbox::shellDataFolder() const
{
    return root() + "/data/vellox-browser";
}

QByteArray ShellSandbox::readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint16 ShellSandbox::agentPort() const
{
    return quint16(config("listenport").toUInt());
}

QProcess* ShellSandbox::startShell(const QStringList& args)
{
    auto shell = std::make_unique<QProcess>();
    shell->setProcessEnvironment(environment());
    shell->setProcessChannelMode(QProcess::ForwardedChannels);
    shell->setProgram(programFolder() + "/vellox-browser");
    shell->setArguments(args);
    shell->start();
    shell->waitForStarted(30000);
    shells.push_back(std::move(shell));
    return shells.back().get();
}

QList<qint64> ShellSandbox::agentsOf(const QProcess* shell) const
{
    return processinfo::childrenNamed(shell->processId(), QStringLiteral("vellox"));
}

} // namespace vtest
