#include "upgrade/shellwindowlink_win.h"

#include <windows.h>

namespace ShellWindowLink {

namespace {

constexpr const wchar_t* kClassName = L"VelloxBrowserWindow";
constexpr UINT kBringToFront = WM_APP + 1;

HWND shellWindow()
{
    return FindWindowW(kClassName, nullptr);
}

} // namespace

bool isVisible()
{
    HWND window = shellWindow();
    return window && IsWindowVisible(window) && !IsIconic(window);
}

void setEnabled(bool enabled)
{
    if (HWND window = shellWindow())
        EnableWindow(window, enabled ? TRUE : FALSE);
}

void activate()
{
    HWND window = shellWindow();
    if (!window)
        return;
    // The shell may take the foreground from us: we are what the user is working with.
    DWORD shellProcess = 0;
    GetWindowThreadProcessId(window, &shellProcess);
    AllowSetForegroundWindow(shellProcess);
    PostMessageW(window, kBringToFront, 0, 0);
}

} // namespace ShellWindowLink
