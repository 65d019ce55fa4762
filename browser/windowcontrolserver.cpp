#include "windowcontrolserver.h"

#include "windowactivation.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QWidget>

const QString WindowControlServer::kDefaultName = QStringLiteral("VelloxBrowserWindow");

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
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serve(socket); });
        serve(socket);
    }
}

void WindowControlServer::serve(QLocalSocket* socket)
{
    while (socket->canReadLine())
        socket->write(answer(socket->readLine().trimmed()) + '\n');
    if (socket->bytesAvailable() > kMaxLineBytes) {
        socket->write("error\n");
        socket->disconnectFromServer();
    }
}

QByteArray WindowControlServer::answer(const QByteArray& request)
{
    if (request == "visible")
        return window && window->isVisible() && !window->isMinimized() ? "1" : "0";
    if (request == "disable" || request == "enable") {
        setEnabled(request == "enable");
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
