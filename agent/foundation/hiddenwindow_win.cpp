#include "foundation/hiddenwindow_win.h"

HiddenWindow::HiddenWindow(const wchar_t* className, Handler handler)
    : handler(std::move(handler))
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassExW(&windowClass); // fails harmlessly when a second window registers it again
    window = CreateWindowExW(0, className, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance, this);
}

HiddenWindow::~HiddenWindow()
{
    if (!window)
        return;
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    DestroyWindow(window);
}

LRESULT CALLBACK HiddenWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* created = static_cast<HiddenWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
    }
    if (auto* self = reinterpret_cast<HiddenWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
        if (const std::optional<LRESULT> handled = self->handler(message, wParam, lParam))
            return *handled;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
