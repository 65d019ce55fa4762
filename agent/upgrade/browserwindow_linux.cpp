// The shell serves its window on the local socket "VelloxBrowserWindow" (in the temporary
// folder): one ASCII line per request, one line back. Requests go one at a time, in order,
// each on a connection of its own.
#include "upgrade/browserwindow.h"

#include "foundation/logging.h"

#include <QByteArray>
#include <QLocalSocket>
#include <QQueue>
#include <QTimer>

namespace {
const QString kSocketName = QStringLiteral("VelloxBrowserWindow");
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
        socket->connectToServer(kSocketName);
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

    QQueue<Request> queue;
    QLocalSocket* socket = nullptr;
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
    d->send(enabled ? "enable" : "disable");
}

void KELBrowserWindow::activate()
{
    d->send("activate");
}
