#include "foundation/quitwindow_win.h"

QuitWindow::QuitWindow(std::function<void()> quit)
    : quit(std::move(quit))
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass); // fails harmlessly when a second window registers it again
    window = CreateWindowExW(0, kClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance, this);
}

QuitWindow::~QuitWindow()
{
    if (window)
        DestroyWindow(window);
}

LRESULT CALLBACK QuitWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* self = static_cast<QuitWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<QuitWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE; // the program does not hold the session up: it ends in order instead
    case WM_ENDSESSION:
        if (wParam && self)
            self->quit();
        return 0;
    case WM_CLOSE:
        if (self)
            self->quit();
        return 0; // the window stays until its owner goes
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
