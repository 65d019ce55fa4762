#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QPointer>
#include <QString>

class QLocalSocket;
class QWidget;

// The shell's window as other processes see it: a local socket (user access only) on which
// each request is one ASCII line and gets one line back.
//   visible  -> "1" when the window is shown and not minimised, else "0"
//   disable  -> "ok" (the window takes no input until enabled)
//   enable   -> "ok"
//   activate -> "ok" (restored or shown, raised and given the focus)
//   other    -> "error"
// Requests that come before the window exists take effect when it is attached.
class WindowControlServer : public QObject {
    Q_OBJECT
public:
    static const QString kDefaultName; // "VelloxBrowserWindow"

    explicit WindowControlServer(QObject* parent = nullptr);

    // Only the instance holder listens, so a socket left by a crashed shell is removed first.
    bool listen(const QString& name = kDefaultName);
    void stopListening();
    bool isListening() const { return server.isListening(); }
    QString errorString() const { return server.errorString(); }

    void attachWindow(QWidget* window);

    // The client's side: sends one request and returns the answer line without its line end;
    // empty when nobody answered within `timeoutMs`.
    static QByteArray request(const QByteArray& line, int timeoutMs, const QString& name = kDefaultName);

private:
    void onNewConnection();
    void serve(QLocalSocket* socket);
    QByteArray answer(const QByteArray& request);
    void setEnabled(bool enabled);
    void activate();

    QLocalServer server;
    QPointer<QWidget> window;
    bool windowEnabled = true;
    bool activationPending = false;
};
