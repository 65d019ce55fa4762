#include "ui/globalshortcut.h"

#include "ui/globalshortcut_native.h"

#include <QCoreApplication>

GlobalShortcut::GlobalShortcut(QObject* parent)
    : QObject(parent)
{
}

GlobalShortcut::GlobalShortcut(const QKeySequence& shortcut, QObject* parent)
    : QObject(parent)
{
    setShortcut(shortcut);
}

bool GlobalShortcut::setShortcut(const QKeySequence& shortcut)
{
    native.reset();
    keys = shortcut;
    error.clear();
    // One combination only: the first of a sequence, its modifiers split from its key.
    const int combined = shortcut.isEmpty() ? 0 : shortcut[0];
    const auto modifiers = Qt::KeyboardModifiers(combined & Qt::KeyboardModifierMask);
    const int key = combined & ~int(Qt::KeyboardModifierMask);
    if (key == 0) {
        error = QStringLiteral("no key in the shortcut");
        return false;
    }
    native = std::make_unique<Native>(*this, key, modifiers);
    if (!native->isRegistered()) {
        error = native->errorString();
        native.reset();
        qWarning("Global shortcut %s is not registered: %s",
                 qUtf8Printable(shortcut.toString(QKeySequence::PortableText)), qUtf8Printable(error));
        return false;
    }
    return true;
}

GlobalShortcut::~GlobalShortcut() = default;

bool GlobalShortcut::isRegistered() const
{
    return native != nullptr;
}

GlobalShortcut::Native::~Native()
{
    if (!registered)
        return;
    QCoreApplication::instance()->removeNativeEventFilter(this);
    release();
}
