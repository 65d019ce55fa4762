#include "windowcontrolserver.h"

#include "foundation/userlocal.h"
#include "windowactivation.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QWidget>

QString WindowControlServer::defaultName()
{
    return QString::fromStdString(UserLocal::path("VelloxBrowserWindow"));
}

namespace {
// Far longer than any request; a peer that sends more without a line end is not a client.
constexpr qint64 kMaxLineBytes = 256;
}

WindowControlServer::WindowControlServer(QObject* parent)
    : QObject(parent)
{
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, &WindowControlServer::onNewConnection);
}

WindowControlServer::~WindowControlServer()
{
    // Connections closed as the server goes must not reach a window that may be gone.
    for (QLocalSocket* socket : server.findChildren<QLocalSocket*>())
        socket->disconnect(this);
}

bool WindowControlServer::listen(const QString& name)
{
    QLocalServer::removeServer(name);
    return server.listen(name);
}

void WindowControlServer::stopListening()
{
    server.close();
}

void WindowControlServer::attachWindow(QWidget* attached)
{
    window = attached;
    if (!window)
        return;
    window->setEnabled(windowEnabled);
    if (activationPending) {
        activationPending = false;
        bringToFront(window);
    }
}

void WindowControlServer::onNewConnection()
{
    while (QLocalSocket* socket = server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { onDisconnected(socket); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serve(socket); });
        serve(socket);
    }
}

void WindowControlServer::serve(QLocalSocket* socket)
{
    while (socket->canReadLine())
        socket->write(answer(socket, socket->readLine().trimmed()) + '\n');
    if (socket->bytesAvailable() > kMaxLineBytes) {
        socket->write("error\n");
        socket->disconnectFromServer();
    }
}

void WindowControlServer::onDisconnected(QLocalSocket* socket)
{
    // However the agent ended (a crash too), its dialog no longer stands over the window.
    if (socket == disabledBy && !windowEnabled) {
        qInfo("the link that disabled the window closed: the window takes input again");
        setEnabled(true);
    }
    socket->deleteLater();
}

QByteArray WindowControlServer::answer(QLocalSocket* socket, const QByteArray& request)
{
    if (request == "visible")
        return window && window->isVisible() && !window->isMinimized() ? "1" : "0";
    if (request == "disable" || request == "enable") {
        disabledBy = request == "disable" ? socket : nullptr;
        setEnabled(request == "enable");
        return "ok";
    }
    if (request == "envmenu") {
        if (!window || !window->isVisible() || !window->isActiveWindow())
            return "no";
        Q_EMIT envMenuRequested();
        return "ok";
    }
    if (request == "activate") {
        activate();
        return "ok";
    }
    return "error";
}

void WindowControlServer::setEnabled(bool enabled)
{
    if (enabled != windowEnabled)
        qInfo(enabled ? "window enabled" : "window disabled: another program's dialog stands over it");
    windowEnabled = enabled;
    if (window)
        window->setEnabled(enabled);
}

void WindowControlServer::activate()
{
    if (window)
        bringToFront(window);
    else
        activationPending = true;
}

QByteArray WindowControlServer::request(const QByteArray& line, int timeoutMs, const QString& name)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return {};
    socket.write(line + '\n');
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return {};
    }
    return socket.readLine().trimmed();
}
