#pragma once

// A hidden top-level window of a class of its own, for the Qt-free Windows cores that need the
// messages Windows sends to top-level windows only (the session's end, device changes, the
// shell's broadcasts and notification-icon events). Its messages reach `handler` through the
// creating thread's message loop; what the handler leaves (no value) goes to DefWindowProcW.

#include <windows.h>

#include <functional>
#include <optional>

class HiddenWindow {
public:
    using Handler = std::function<std::optional<LRESULT>(UINT message, WPARAM wParam, LPARAM lParam)>;

    HiddenWindow(const wchar_t* className, Handler handler);
    ~HiddenWindow();
    HiddenWindow(const HiddenWindow&) = delete;
    HiddenWindow& operator=(const HiddenWindow&) = delete;

    HWND handle() const { return window; }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    Handler handler;
    HWND window = nullptr;
};
