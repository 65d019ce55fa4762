#pragma once

#include "plainlog.h"

#include <windows.h>

#include <functional>
#include <string>

// The window of class "VelloxBrowserWindow" by which other programs find the shell: the agent
// (to time its upgrade dialog, to keep the shell disabled meanwhile) and a second start of the
// shell (to bring it forward). The shell's real window is the browser's; this one is never seen
// (no size, no taskbar button) and mirrors onto the browser's window what is done to it:
//   EnableWindow        WM_ENABLE: the browser's window is enabled or disabled with it
//   WM_APP + 1          the browser's window is restored and brought to the front
//   WM_APP + 2          the environment menu opens (the agent hands its Ctrl+Alt+K over)
//   WM_APP + 3          answers 1 while a window of the browser is in front, else 0 (the agent
//                       asks it to know whether Ctrl+Alt+K is meant for the shell)
//   WM_CLOSE            the shell closes
// and in turn it counts as visible exactly while the browser's window is shown and not
// minimised. While that window is in front, Ctrl+Alt+K is the shell's (a system hot key of the
// window's thread).
class ShellWindow {
public:
    static constexpr const wchar_t* kClassName = L"VelloxBrowserWindow";
    static constexpr UINT kBringToFront = WM_APP + 1;
    static constexpr UINT kShowEnvironmentMenu = WM_APP + 2;
    static constexpr UINT kIsInFront = WM_APP + 3;
    static constexpr UINT kFollowIntervalMs = 250;

    struct Handlers {
        std::function<void()> bringToFront;        // after the window was restored and raised
        std::function<void()> showEnvironmentMenu; // Ctrl+Alt+K or the agent's request
        std::function<void()> close;               // WM_CLOSE
    };

    ShellWindow(HINSTANCE instance, const std::wstring& title, DWORD browserProcessId, Handlers handlers,
                PlainLog& keyLog);
    ~ShellWindow();
    ShellWindow(const ShellWindow&) = delete;
    ShellWindow& operator=(const ShellWindow&) = delete;

    bool isCreated() const { return window != nullptr; }
    HWND handle() const { return window; }
    // The browser's top-level window, once it has shown one.
    HWND browserWindow() const { return appWindow; }

    // Runs `task` on the thread of `window` (a ShellWindow's); from any thread, also when that
    // window is gone (the task is then dropped).
    static void post(HWND window, std::function<void()> task);

    // The thread's messages for no window (the hot key's) pass here first; true when taken.
    bool takeThreadMessage(const MSG& message);

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    // Looks again at the browser's window: found, shown, in front.
    void follow();
    bool browserIsInFront() const;
    void setHotKey(bool registered);

    HWND window = nullptr;
    DWORD browserProcessId;
    Handlers handlers;
    PlainLog& keyLog;
    HWND appWindow = nullptr;
    int hotKeyId = 0; // while Ctrl+Alt+K is the shell's
    bool hotKeyRefusalLogged = false;
};

// The browser's top-level window that shows the shell: the first visible, unowned top-level
// window of its process. None while it has shown none.
HWND findTopLevelWindowOf(DWORD processId);
