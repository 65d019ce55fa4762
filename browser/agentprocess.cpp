#include "agentprocess.h"

#include "shellconfig.h"

#include "foundation/userlocal.h"

#include <QLocalSocket>

namespace {
QString agentInstanceKey()
{
    return QString::fromStdString(UserLocal::path(UserLocal::kAgentInstanceName));
}
} // namespace

AgentProcess::AgentProcess(QObject* parent)
    : QObject(parent)
{
}

AgentProcess::~AgentProcess()
{
    terminate();
}

bool AgentProcess::isAgentRunning(int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(agentInstanceKey());
    return socket.waitForConnected(timeoutMs);
}

bool AgentProcess::launch(const QString& installFolder)
{
    if (isStarted())
        return true;
    error.clear();
    TiedProcess::Command command;
    command.program = pathFromUtf8((installFolder + QStringLiteral("vellox")).toStdString());
    command.arguments = {"--hidden"};
    command.workingFolder = pathFromUtf8(installFolder.toStdString());
    std::string failure;
    if (process.start(command, failure))
        return true;
    error = QString::fromStdString(failure);
    return false;
}

bool AgentProcess::isStarted() const
{
    return process.isStarted();
}

qint64 AgentProcess::processId() const
{
    return process.processId();
}

void AgentProcess::startWatcher()
{
    // Emitted from the watcher's thread: queued to whoever listens on the main thread.
    process.watch([this] { Q_EMIT ended(); });
}

void AgentProcess::terminate()
{
    process.terminate(kTerminateGraceMs);
}
