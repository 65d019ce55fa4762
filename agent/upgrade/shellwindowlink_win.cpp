#include "upgrade/shellwindowlink_win.h"

#include <windows.h>

#include <memory>

namespace ShellWindowLink {

namespace {

constexpr const wchar_t* kClassName = L"VelloxBrowserWindow";
constexpr UINT kBringToFront = WM_APP + 1;
constexpr UINT kShowEnvironmentMenu = WM_APP + 2;
constexpr UINT kIsInFront = WM_APP + 3;

HWND shellWindow()
{
    return FindWindowW(kClassName, nullptr);
}

using Answer = std::function<void(bool)>;

void CALLBACK onInFrontAnswer(HWND window, UINT, ULONG_PTR context, LRESULT inFront)
{
    const std::unique_ptr<Answer> answer(reinterpret_cast<Answer*>(context));
    const bool taken = inFront == 1 && PostMessageW(window, kShowEnvironmentMenu, 0, 0);
    (*answer)(taken);
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

void offerEnvironmentMenu(std::function<void(bool taken)> answer)
{
    HWND window = shellWindow();
    auto* pending = new Answer(std::move(answer));
    if (window && SendMessageCallbackW(window, kIsInFront, 0, 0, onInFrontAnswer, reinterpret_cast<ULONG_PTR>(pending)))
        return;
    const std::unique_ptr<Answer> refused(pending);
    (*refused)(false);
}

} // namespace ShellWindowLink
