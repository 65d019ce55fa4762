#pragma once

#include "ui/globalshortcut.h"

#include <QAbstractNativeEventFilter>

#include <cstdint>

// The platform's side of GlobalShortcut: registers the combination when constructed, releases
// it when destroyed, and emits the owner's activated() for each press.
class GlobalShortcut::Native : public QAbstractNativeEventFilter {
public:
    Native(GlobalShortcut& owner, int key, Qt::KeyboardModifiers modifiers);
    ~Native() override;
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;

    bool isRegistered() const { return registered; }
    QString errorString() const { return error; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override;

private:
    void release();

    GlobalShortcut& owner;
    bool registered = false;
    QString error;
    std::uint32_t keyCode = 0;
    std::uint16_t modifierMask = 0;
    std::uint16_t numLock = 0;  // the modifier bit of NumLock, which like CapsLock leaves the combination as it is
    int hotKeyId = 0;           // Windows: the thread hot key's id
};
