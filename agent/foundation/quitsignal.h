#pragma once

#include <QObject>

// Turns the system's request to end the process (SIGTERM, SIGINT, SIGHUP on Linux; the session
// ending on Windows) into a Qt signal on the GUI thread, so the program quits in order.
// Shared by both programs.
class QuitSignal : public QObject {
    Q_OBJECT
public:
    explicit QuitSignal(QObject* parent = nullptr);

Q_SIGNALS:
    void quitRequested();

private:
    void install(); // the platform's part
};
