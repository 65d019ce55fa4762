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
//   disable  -> "ok": the window takes no input until enabled, or until the connection that
//               sent it closes (the agent's dialog that stood over the shell is gone with it)
//   enable   -> "ok"
//   activate -> "ok" (restored or shown, raised and given the focus)
//   envmenu  -> "ok" when the window is the active one: it opens its environment menu (the
//               agent holds the desktop's Ctrl+Alt+K and hands it over); else "no"
//   other    -> "error"
// Requests that come before the window exists take effect when it is attached.
class WindowControlServer : public QObject {
    Q_OBJECT
public:
    // "VelloxBrowserWindow" in the user's own folder of sockets (UserLocal).
    static QString defaultName();

    explicit WindowControlServer(QObject* parent = nullptr);
    ~WindowControlServer() override;

    // Only the instance holder listens, so a socket left by a crashed shell is removed first.
    bool listen(const QString& name = defaultName());
    void stopListening();
    bool isListening() const { return server.isListening(); }
    QString errorString() const { return server.errorString(); }

    void attachWindow(QWidget* window);

    // The client's side: sends one request and returns the answer line without its line end;
    // empty when nobody answered within `timeoutMs`.
    static QByteArray request(const QByteArray& line, int timeoutMs, const QString& name = defaultName());

Q_SIGNALS:
    // Ctrl+Alt+K came to another program while this window was in front.
    void envMenuRequested();

private:
    void onNewConnection();
    void serve(QLocalSocket* socket);
    void onDisconnected(QLocalSocket* socket);
    QByteArray answer(QLocalSocket* socket, const QByteArray& request);
    void setEnabled(bool enabled);
    void activate();

    QLocalServer server;
    QPointer<QWidget> window;
    bool windowEnabled = true;
    bool activationPending = false;
    QPointer<QLocalSocket> disabledBy; // the link whose end gives the window back its input
};
