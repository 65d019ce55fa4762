#include "foundation/singleapp.h"

#include <QLocalSocket>

#include <memory>

namespace {
constexpr int kConnectTimeoutMs = 30000;
}

SingleApp::SingleApp(const QString& key, QObject* parent)
    : QObject(parent)
    , key(key)
{
    connect(&server, &QLocalServer::newConnection, this, &SingleApp::onNewConnection);
}

bool SingleApp::isRunning()
{
    QLocalSocket socket;
    socket.connectToServer(key, QIODevice::ReadWrite);
    return socket.waitForConnected(kConnectTimeoutMs);
}

bool SingleApp::listen()
{
    QLocalServer::removeServer(key);
    return server.listen(key);
}

void SingleApp::onNewConnection()
{
    // Take and close the caller's connection so pending ones do not pile up in the listener.
    while (QLocalSocket* socket = server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromServer();
    }
    Q_EMIT newInstanceCreated();
}
