// Windows: a thread hot key of the GUI thread (hotkey_win.h); its WM_HOTKEY messages pass Qt's
// native event filter.
#include "ui/globalshortcut_native.h"

#include "ui/hotkey_win.h"

#include "foundation/widestring_win.h"

#include <QCoreApplication>

namespace {

UINT virtualKeyFor(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return 'A' + UINT(key - Qt::Key_A);
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return '0' + UINT(key - Qt::Key_0);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return VK_F1 + UINT(key - Qt::Key_F1);
    return 0;
}

UINT modifiersFor(Qt::KeyboardModifiers modifiers)
{
    UINT flags = 0;
    if (modifiers & Qt::ShiftModifier)
        flags |= MOD_SHIFT;
    if (modifiers & Qt::ControlModifier)
        flags |= MOD_CONTROL;
    if (modifiers & Qt::AltModifier)
        flags |= MOD_ALT;
    if (modifiers & Qt::MetaModifier)
        flags |= MOD_WIN;
    return flags;
}

} // namespace

GlobalShortcut::Native::Native(GlobalShortcut& owner, int key, Qt::KeyboardModifiers modifiers)
    : owner(owner)
{
    keyCode = virtualKeyFor(key);
    if (keyCode == 0) {
        error = QStringLiteral("the key cannot be registered");
        return;
    }
    modifierMask = std::uint16_t(modifiersFor(modifiers));
    DWORD failure = 0;
    hotKeyId = HotKey::registerForThread(keyCode, modifierMask, &failure);
    if (hotKeyId == 0) {
        error = failure == ERROR_HOTKEY_ALREADY_REGISTERED
            ? QStringLiteral("the combination belongs to another program")
            : QString::fromStdWString(WideString::systemMessage(failure));
        return;
    }
    registered = true;
    QCoreApplication::instance()->installNativeEventFilter(this);
}

void GlobalShortcut::Native::release()
{
    HotKey::unregisterForThread(hotKeyId);
}

bool GlobalShortcut::Native::nativeEventFilter(const QByteArray& eventType, void* message, long*)
{
    if (eventType != "windows_generic_MSG" && eventType != "windows_dispatcher_MSG")
        return false;
    if (!HotKey::isPress(*static_cast<const MSG*>(message), hotKeyId))
        return false;
    Q_EMIT owner.activated();
    return true;
}
