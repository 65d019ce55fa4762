#pragma once

// The window through which Windows asks a program to end: the session ending
// (WM_QUERYENDSESSION / WM_ENDSESSION, sent to top-level windows only) and a program that
// started this one closing its windows (WM_CLOSE, as TiedProcess asks before it ends a program).
// Qt-free; the messages reach it through the thread's message loop.

#include "foundation/hiddenwindow_win.h"

#include <functional>

class QuitWindow {
public:
    static constexpr const wchar_t* kClassName = L"VelloxQuitSignal";

    // `quit` runs on the creating thread for every request; by the session's end the process
    // may be ended as soon as it returns.
    explicit QuitWindow(std::function<void()> quit);

    HWND handle() const { return window.handle(); }

private:
    std::function<void()> quit;
    HiddenWindow window;
};
