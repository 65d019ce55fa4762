#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

// Keeps the agent to one process: a second start finds the first one's local socket,
// which makes the first one show its window.
class SingleApp : public QObject {
    Q_OBJECT
public:
    explicit SingleApp(const QString& key, QObject* parent = nullptr);

    bool isRunning();
    bool listen();
    QString errorString() const { return server.errorString(); }

Q_SIGNALS:
    void newInstanceCreated();

private Q_SLOTS:
    void onNewConnection();

private:
    QLocalServer server;
    QString key;
};
