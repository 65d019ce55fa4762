#include "ui/hotkey_win.h"

namespace HotKey {

int registerForThread(UINT virtualKey, UINT modifiers, DWORD* error)
{
    // Ids of the process's own, within the range Windows leaves to applications.
    static LONG lastId = 0;
    const int id = int(InterlockedIncrement(&lastId) % 0xBFFF) + 1;
    if (RegisterHotKey(nullptr, id, modifiers | MOD_NOREPEAT, virtualKey))
        return id;
    *error = GetLastError();
    return 0;
}

void unregisterForThread(int id)
{
    if (id > 0)
        UnregisterHotKey(nullptr, id);
}

bool isPress(const MSG& message, int id)
{
    return message.message == WM_HOTKEY && message.hwnd == nullptr && int(message.wParam) == id;
}

} // namespace HotKey
