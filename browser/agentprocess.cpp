#include "agentprocess.h"

#include "agentprocess_native.h"

#include "foundation/userlocal.h"

#include <QLocalSocket>

namespace {
// The agent's single-instance socket: a second agent of this user connects to it and exits.
QString agentInstanceKey()
{
    return QString::fromStdString(UserLocal::path("kelmora-vellox"));
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
    auto started = std::make_unique<Native>(*this);
    if (!started->start(installFolder + QStringLiteral("vellox"), installFolder, error))
        return false;
    native = std::move(started);
    return true;
}

bool AgentProcess::isStarted() const
{
    return native != nullptr;
}

qint64 AgentProcess::processId() const
{
    return native ? native->processId() : 0;
}

void AgentProcess::startWatcher()
{
    if (native)
        native->startWatcher();
}

void AgentProcess::terminate()
{
    if (!native)
        return;
    native->terminate(kTerminateGraceMs);
    native.reset();
}
