#include "foundation/quitwindow_win.h"

QuitWindow::QuitWindow(std::function<void()> quit)
    : quit(std::move(quit))
    , window(kClassName, [this](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE; // the program does not hold the session up: it ends in order instead
        case WM_ENDSESSION:
            if (wParam)
                this->quit();
            return 0;
        case WM_CLOSE:
            this->quit();
            return 0; // the window stays until its owner goes
        default:
            return std::nullopt;
        }
    })
{
}
