#include "envmenu_win.h"

#include "foundation/widestring_win.h"

std::optional<size_t> chooseEnvironment(HWND owner, HWND around, const std::vector<ShellEnvironment>& environments)
{
    if (environments.empty())
        return std::nullopt;
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return std::nullopt;
    for (size_t i = 0; i < environments.size(); ++i) {
        const ShellEnvironment& environment = environments[i];
        const std::wstring label = WideString::fromUtf8(environment.name.empty() ? environment.key : environment.name);
        AppendMenuW(menu, MF_STRING, UINT_PTR(i + 1), label.c_str());
    }
    RECT area {};
    if (!around || !GetWindowRect(around, &area))
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    // The menu's owner must be in front, or a click elsewhere would not dismiss it.
    SetForegroundWindow(owner);
    const int chosen = int(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_CENTERALIGN | TPM_VCENTERALIGN,
                                          (area.left + area.right) / 2, (area.top + area.bottom) / 2, 0, owner,
                                          nullptr));
    PostMessageW(owner, WM_NULL, 0, 0);
    DestroyMenu(menu);
    if (around)
        SetForegroundWindow(around);
    if (chosen < 1 || size_t(chosen) > environments.size())
        return std::nullopt;
    return size_t(chosen - 1);
}
