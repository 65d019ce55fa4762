#include "ui/notifyicon_win.h"

#include <objbase.h>

#include <algorithm>
#include <vector>

namespace {

UINT taskbarCreatedMessage()
{
    static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    return message;
}

template <size_t N>
void copyText(wchar_t (&field)[N], const std::wstring& text)
{
    // Cut to the field, never in the middle of a surrogate pair.
    size_t length = std::min(text.size(), N - 1);
    if (length > 0 && length < text.size() && IS_HIGH_SURROGATE(text[length - 1]))
        --length;
    text.copy(field, length);
    field[length] = L'\0';
}

} // namespace

NotifyIcon::NotifyIcon(const std::wstring& guid, std::function<void(UINT)> mouse)
    : mouse(std::move(mouse))
    , window(L"VelloxNotifyIcon", [this](UINT message, WPARAM, LPARAM lParam) { return onMessage(message, lParam); })
{
    CLSIDFromString(guid.c_str(), &identity);
    taskbarCreatedMessage();
}

NotifyIcon::~NotifyIcon()
{
    remove();
}

NOTIFYICONDATAW NotifyIcon::data(UINT flags) const
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window.handle();
    data.uID = 1;
    data.uFlags = flags | NIF_GUID;
    data.guidItem = identity;
    data.uCallbackMessage = kCallbackMessage;
    data.hIcon = icon;
    copyText(data.szTip, tip);
    return data;
}

bool NotifyIcon::add(HICON newIcon, const std::wstring& newTip)
{
    icon = newIcon;
    tip = newTip;
    NOTIFYICONDATAW stale = data(0);
    Shell_NotifyIconW(NIM_DELETE, &stale);
    NOTIFYICONDATAW added = data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    shown = Shell_NotifyIconW(NIM_ADD, &added) != FALSE;
    return shown;
}

bool NotifyIcon::setIcon(HICON newIcon)
{
    icon = newIcon;
    if (!shown)
        return false;
    NOTIFYICONDATAW modified = data(NIF_ICON);
    if (Shell_NotifyIconW(NIM_MODIFY, &modified))
        return true;
    return add(icon, tip);
}

bool NotifyIcon::remove()
{
    if (!shown)
        return false;
    shown = false;
    NOTIFYICONDATAW removed = data(0);
    return Shell_NotifyIconW(NIM_DELETE, &removed) != FALSE;
}

bool NotifyIcon::showBalloon(const std::wstring& title, const std::wstring& text)
{
    if (!shown)
        return false;
    NOTIFYICONDATAW balloon = data(NIF_INFO);
    copyText(balloon.szInfoTitle, title);
    copyText(balloon.szInfo, text);
    balloon.dwInfoFlags = NIIF_INFO;
    return Shell_NotifyIconW(NIM_MODIFY, &balloon) != FALSE;
}

bool NotifyIcon::rect(RECT* area) const
{
    NOTIFYICONIDENTIFIER identifier{};
    identifier.cbSize = sizeof identifier;
    identifier.hWnd = window.handle();
    identifier.uID = 1;
    identifier.guidItem = identity;
    return SUCCEEDED(Shell_NotifyIconGetRect(&identifier, area)) || taskbarRect(area);
}

bool NotifyIcon::taskbarRect(RECT* area)
{
    HWND taskbar = FindWindowW(L"Shell_TrayWnd", L"");
    if (!taskbar)
        taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
    return taskbar && GetWindowRect(taskbar, area);
}

HICON NotifyIcon::iconFromPixels(int width, int height, const std::uint32_t* pixels)
{
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = width;
    header.bV5Height = -height; // top row first
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00ff0000;
    header.bV5GreenMask = 0x0000ff00;
    header.bV5BlueMask = 0x000000ff;
    header.bV5AlphaMask = 0xff000000;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP color = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!color)
        return nullptr;
    std::copy(pixels, pixels + size_t(width) * size_t(height), static_cast<std::uint32_t*>(bits));
    // The alpha channel decides; the mask only has to be there.
    const std::vector<unsigned char> noMask(size_t((width + 15) / 16 * 2) * size_t(height), 0);
    HBITMAP mask = CreateBitmap(width, height, 1, 1, noMask.data());
    ICONINFO info{TRUE, 0, 0, mask, color};
    HICON created = CreateIconIndirect(&info);
    DeleteObject(mask);
    DeleteObject(color);
    return created;
}

std::optional<LRESULT> NotifyIcon::onMessage(UINT message, LPARAM lParam)
{
    if (message == kCallbackMessage) {
        mouse(UINT(LOWORD(lParam)));
        return 0;
    }
    if (message == taskbarCreatedMessage() && shown) {
        add(icon, tip);
        return 0;
    }
    return std::nullopt;
}
