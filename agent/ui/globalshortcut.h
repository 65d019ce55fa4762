#pragma once

#include <QKeySequence>
#include <QObject>
#include <QString>

#include <memory>

// One key combination registered for the whole desktop: it fires wherever the keyboard focus
// is. The first program to register a combination owns it; a later one is refused
// (isRegistered() false, errorString() says why) and has taken nothing. Both programs use it
// for Ctrl+Alt+K. Released when destroyed.
class GlobalShortcut : public QObject {
    Q_OBJECT
public:
    explicit GlobalShortcut(QObject* parent = nullptr);
    explicit GlobalShortcut(const QKeySequence& shortcut, QObject* parent = nullptr);
    ~GlobalShortcut() override;

    // Releases the combination held so far and registers `shortcut` instead; true when it is
    // registered. Refused, it logs a warning and holds nothing.
    bool setShortcut(const QKeySequence& shortcut);

    QKeySequence shortcut() const { return keys; }
    bool isRegistered() const;
    QString errorString() const { return error; }

Q_SIGNALS:
    void activated();

private:
    class Native; // the platform's registration
    friend class Native;

    QKeySequence keys;
    QString error;
    std::unique_ptr<Native> native;
};
