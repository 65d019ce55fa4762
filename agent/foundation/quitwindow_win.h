#pragma once

// The window through which Windows asks a program to end: the session ending
// (WM_QUERYENDSESSION / WM_ENDSESSION, sent to top-level windows only, so the window is a hidden
// top-level one rather than a message-only one) and a program that started this one closing its
// windows (WM_CLOSE, as TiedProcess asks before it ends a program). Qt-free; the messages reach
// it through the thread's message loop.

#include <windows.h>

#include <functional>

class QuitWindow {
public:
    static constexpr const wchar_t* kClassName = L"VelloxQuitSignal";

    // `quit` runs on the creating thread for every request; by the session's end the process
    // may be ended as soon as it returns.
    explicit QuitWindow(std::function<void()> quit);
    ~QuitWindow();
    QuitWindow(const QuitWindow&) = delete;
    QuitWindow& operator=(const QuitWindow&) = delete;

    HWND handle() const { return window; }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::function<void()> quit;
    HWND window = nullptr;
};
