// Windows: a window without the close button in its flags still has "Close" in its system
// menu (Alt+Space, Alt+F4): it is greyed out there.
#include "upgrade/windowhints.h"

#include <QWidget>

#include <windows.h>

namespace KELWindowHints {

void withoutCloseFunction(QWidget* window)
{
    HWND handle = reinterpret_cast<HWND>(window->winId());
    if (HMENU menu = GetSystemMenu(handle, FALSE))
        EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
}

} // namespace KELWindowHints
