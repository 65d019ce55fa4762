// The shell serves its window on the local socket "VelloxBrowserWindow" (in the user's own
// folder of sockets): one ASCII line per request, one line back. Requests go one at a time, in
// order, each on a connection of its own; "disable" goes on a link that stays open while the
// shell is disabled.
#include "upgrade/browserwindow.h"

#include "foundation/logging.h"
#include "foundation/userlocal.h"

#include <QByteArray>
#include <QLocalSocket>
#include <QQueue>
#include <QTimer>

namespace {
QString socketName()
{
    return QString::fromStdString(UserLocal::path("VelloxBrowserWindow"));
}
constexpr int kAnswerTimeoutMs = 500;
} // namespace

class KELBrowserWindow::Impl : public QObject {
public:
    struct Request {
        QByteArray line;
        std::function<void(const QByteArray&)> done;
    };

    Impl()
    {
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, this, [this] { onDeadline(); });
    }

    void send(const QByteArray& line, std::function<void(const QByteArray&)> done = {})
    {
        queue.enqueue(Request{line, std::move(done)});
        startNext();
    }

    void disableOverLink()
    {
        if (link)
            return;
        link = new QLocalSocket(this);
        QLocalSocket* const current = link;
        connect(current, &QLocalSocket::connected, this, [current] {
            current->write("disable\n");
            current->flush();
        });
        connect(current, &QLocalSocket::readyRead, current, [current] { current->readAll(); });
        // A shell that ends or was never there leaves nothing to enable.
        connect(current, &QLocalSocket::disconnected, this, [this, current] { dropLink(current); }, Qt::QueuedConnection);
        connect(current, &QLocalSocket::errorOccurred, this, [this, current] { dropLink(current); }, Qt::QueuedConnection);
        current->connectToServer(socketName());
    }

    // True when a link was there to carry it.
    bool enableOverLink()
    {
        QLocalSocket* const current = link;
        if (!current)
            return false;
        link = nullptr;
        const bool sent = current->state() == QLocalSocket::ConnectedState;
        if (sent) {
            current->write("enable\n");
            current->flush();
        }
        current->disconnect(this);
        current->close();
        current->deleteLater();
        return sent;
    }

private:
    void startNext()
    {
        if (socket || queue.isEmpty())
            return;
        socket = new QLocalSocket(this);
        QLocalSocket* const current = socket;
        // Direct: the line goes out as soon as the connection stands, often inside
        // connectToServer already.
        connect(current, &QLocalSocket::connected, this, [this, current] {
            if (current == socket) {
                socket->write(queue.head().line + '\n');
                socket->flush();
            }
        });
        connect(current, &QLocalSocket::readyRead, this, [this, current] {
            if (current == socket && socket->canReadLine())
                finish(socket->readLine().trimmed());
        }, Qt::QueuedConnection);
        // Queued: a missing server is reported inside connectToServer.
        connect(current, &QLocalSocket::errorOccurred, this, [this, current] {
            QMetaObject::invokeMethod(this, [this, current] {
                if (current == socket)
                    finish(QByteArray());
            }, Qt::QueuedConnection);
        });
        deadline.start(kAnswerTimeoutMs);
        socket->connectToServer(socketName());
    }

    // The deadline counts while the GUI thread is busy too (showing a window, say): an answer
    // that came meanwhile is still taken.
    void onDeadline()
    {
        if (socket && socket->state() == QLocalSocket::ConnectedState) {
            socket->waitForReadyRead(0);
            if (socket->canReadLine()) {
                finish(socket->readLine().trimmed());
                return;
            }
        }
        finish(QByteArray());
    }

    void finish(const QByteArray& answer)
    {
        if (!socket)
            return;
        deadline.stop();
        QLocalSocket* const done = socket;
        socket = nullptr;
        done->disconnect(this);
        done->abort();
        done->deleteLater();
        const Request request = queue.dequeue();
        KLOG->debug("Browser window asked '{}', answer: '{}'", request.line, KELLog::clipped(answer));
        if (request.done)
            request.done(answer);
        startNext();
    }

    void dropLink(QLocalSocket* current)
    {
        if (current != link)
            return;
        link = nullptr;
        current->deleteLater();
    }

    QQueue<Request> queue;
    QLocalSocket* socket = nullptr;
    QLocalSocket* link = nullptr;
    QTimer deadline;
};

KELBrowserWindow::KELBrowserWindow(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Impl>())
{
}

KELBrowserWindow::~KELBrowserWindow() = default;

void KELBrowserWindow::queryVisible(std::function<void(bool)> done)
{
    d->send("visible", [done = std::move(done)](const QByteArray& answer) { done(answer == "1"); });
}

void KELBrowserWindow::setEnabled(bool enabled)
{
    if (!enabled)
        d->disableOverLink();
    else if (!d->enableOverLink())
        d->send("enable");
}

void KELBrowserWindow::release()
{
    d->enableOverLink();
}

void KELBrowserWindow::offerEnvMenu(std::function<void(bool)> done)
{
    d->send("envmenu", [done = std::move(done)](const QByteArray& answer) { done(answer == "ok"); });
}

void KELBrowserWindow::activate()
{
    d->send("activate");
}
