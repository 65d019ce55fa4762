#pragma once

// One icon in the notification area (Shell_NotifyIconW), identified by a GUID and id 1, with a
// hidden top-level window of its own that receives the icon's mouse messages and the shell's
// "TaskbarCreated" broadcast, after which the icon is added again (a restarted Explorer has
// forgotten it). Qt-free; the messages reach it through the creating thread's message loop.

#include "foundation/hiddenwindow_win.h"

#include <shellapi.h>

#include <cstdint>
#include <functional>
#include <string>

class NotifyIcon {
public:
    static constexpr UINT kCallbackMessage = 5423;

    // `guid` as "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"; `mouse` receives the mouse message
    // (WM_LBUTTONDOWN, WM_RBUTTONUP …) of each event on the icon.
    NotifyIcon(const std::wstring& guid, std::function<void(UINT mouseMessage)> mouse);
    ~NotifyIcon(); // removes the icon
    NotifyIcon(const NotifyIcon&) = delete;
    NotifyIcon& operator=(const NotifyIcon&) = delete;

    // Shows the icon (an older one of the same identity is removed first); false when the shell
    // refused. The icon handle stays the caller's.
    bool add(HICON icon, const std::wstring& tip);
    // Changes the picture; where the shell no longer knows the icon, adds it again.
    bool setIcon(HICON icon);
    bool remove();
    bool showBalloon(const std::wstring& title, const std::wstring& text);
    bool isShown() const { return shown; }

    // Where the icon is on the screen; the taskbar's rectangle where the shell cannot say (Wine).
    bool rect(RECT* area) const;
    static bool taskbarRect(RECT* area);

    // An icon from rows of 32-bit 0xAARRGGBB pixels, top row first; destroyed with DestroyIcon.
    static HICON iconFromPixels(int width, int height, const std::uint32_t* pixels);

    HWND handle() const { return window.handle(); }

private:
    std::optional<LRESULT> onMessage(UINT message, LPARAM lParam);
    NOTIFYICONDATAW data(UINT flags) const;

    std::function<void(UINT)> mouse;
    GUID identity{};
    HICON icon = nullptr;
    std::wstring tip;
    bool shown = false;
    HiddenWindow window; // last: its messages may reach the members above
};
