// What a user or Windows does to a running agent, for the Linux test programs that drive
// vellox.exe under Wine (tests/wine/). One action per run; exit code 0 when it was done.
//
//   agent_helper answer TITLE yes|no   clicks a button of the question box titled TITLE once it
//                                      shows (within a minute)
//   agent_helper fault NAME            makes the process NAME fault: a thread of its own that
//                                      starts at address 0, as a wild jump in its code would
//   agent_helper hotkey                presses Ctrl+Alt+K
//   agent_helper windows NAME          prints "WIDTHxHEIGHT" for each visible top-level window of
//                                      the process NAME, one a line
//   agent_helper trayicons             prints "X Y", the centre on the screen of each icon shown
//                                      in the notification area of Wine's taskbar, one a line
//   agent_helper rightclick X Y        clicks the right mouse button at that point of the screen
//   agent_helper click NAME WxH DX DY  clicks the left mouse button in the visible window of
//                                      the process NAME whose client area is W by H, once it
//                                      shows (within a minute), DX and DY from its bottom-right
//   agent_helper shellwindow           shows a window as the browser shell's, until ended

#include "wintest.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int answer(const wchar_t* title, const wchar_t* button)
{
    const int id = std::wcscmp(button, L"yes") == 0 ? IDYES : IDNO;
    HWND box = nullptr;
    if (!wintest::waitUntil([&] { return (box = FindWindowW(L"#32770", title)) != nullptr; }, std::chrono::seconds(60)))
        return 1;
    HWND control = GetDlgItem(box, id);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(control));
    return 0;
}

DWORD processId(const wchar_t* name)
{
    DWORD found = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0)
            found = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    return found;
}

int fault(const wchar_t* name)
{
    const DWORD id = processId(name);
    HANDLE process = id ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, id) : nullptr;
    if (!process)
        return 1;
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, nullptr, nullptr, 0, nullptr);
    const int result = thread ? 0 : 1;
    if (thread)
        CloseHandle(thread);
    CloseHandle(process);
    return result;
}

BOOL CALLBACK printIfVisible(HWND window, LPARAM process)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    RECT rect{};
    if (owner == DWORD(process) && IsWindowVisible(window) && GetWindowRect(window, &rect))
        std::printf("%ldx%ld\n", rect.right - rect.left, rect.bottom - rect.top);
    return TRUE;
}

int windows(const wchar_t* name)
{
    const DWORD process = processId(name);
    if (!process)
        return 1;
    EnumWindows(printIfVisible, LPARAM(process));
    std::fflush(stdout);
    return 0;
}

int hotkey()
{
    INPUT keys[6] = {};
    const WORD codes[3] = {VK_CONTROL, VK_MENU, 'K'};
    for (int i = 0; i < 3; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[5 - i].type = INPUT_KEYBOARD;
        keys[5 - i].ki.wVk = codes[i];
        keys[5 - i].ki.dwFlags = KEYEVENTF_KEYUP;
    }
    return SendInput(6, keys, sizeof(INPUT)) == 6 ? 0 : 1;
}

// Wine's taskbar paints each notification icon at its right end, right to left, on the plain
// colour of the bar: an icon is a run of columns there that differ from that colour.
int trayIcons()
{
    HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
    RECT bar{};
    if (!taskbar || !IsWindowVisible(taskbar) || !GetWindowRect(taskbar, &bar))
        return 1;
    const int width = (bar.right - bar.left) / 4;
    const int height = bar.bottom - bar.top;
    const int left = bar.right - width;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    const bool copied = BitBlt(memory, 0, 0, width, height, screen, left, bar.top, SRCCOPY) != FALSE;
    GdiFlush();
    if (copied) {
        const auto* pixels = static_cast<const std::uint32_t*>(bits);
        const std::uint32_t background = pixels[size_t(height / 2) * size_t(width)] & 0xffffff;
        const auto differs = [&](int x) {
            for (int y = 0; y < height; ++y) {
                if ((pixels[size_t(y) * size_t(width) + size_t(x)] & 0xffffff) != background)
                    return true;
            }
            return false;
        };
        for (int x = width - 1; x >= 0; --x) {
            if (!differs(x))
                continue;
            const int right = x;
            while (x > 0 && differs(x - 1))
                --x;
            std::printf("%d %ld\n", left + (x + right) / 2, (bar.top + bar.bottom) / 2);
        }
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    std::fflush(stdout);
    return copied ? 0 : 1;
}

int rightClick(int x, int y)
{
    if (!SetCursorPos(x, y))
        return 1;
    INPUT buttons[2] = {};
    buttons[0].type = buttons[1].type = INPUT_MOUSE;
    buttons[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
    buttons[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
    return SendInput(2, buttons, sizeof(INPUT)) == 2 ? 0 : 1;
}

struct ClientSearch {
    DWORD process;
    LONG width;
    LONG height;
    HWND found;
};

BOOL CALLBACK findBySize(HWND window, LPARAM search)
{
    auto* wanted = reinterpret_cast<ClientSearch*>(search);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    RECT client{};
    if (owner == wanted->process && IsWindowVisible(window) && GetClientRect(window, &client)
        && client.right == wanted->width && client.bottom == wanted->height) {
        wanted->found = window;
        return FALSE;
    }
    return TRUE;
}

// By size rather than title: a title beyond ASCII would depend on the locale of the command line.
int click(const wchar_t* name, const wchar_t* size, int fromRight, int fromBottom)
{
    ClientSearch search{0, 0, 0, nullptr};
    if (std::swscanf(size, L"%ldx%ld", &search.width, &search.height) != 2)
        return 2;
    const auto shown = [&] {
        search.process = processId(name);
        if (search.process)
            EnumWindows(findBySize, LPARAM(&search));
        return search.found != nullptr;
    };
    if (!wintest::waitUntil(shown, std::chrono::seconds(60)))
        return 1;
    const LPARAM point = MAKELPARAM(search.width - fromRight, search.height - fromBottom);
    PostMessageW(search.found, WM_MOUSEMOVE, 0, point);
    PostMessageW(search.found, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageW(search.found, WM_LBUTTONUP, 0, point);
    return 0;
}

// The agent looks for the shell's window by its class, and asks the shell only whether it is
// shown; enabling and activating it needs no answer.
int shellWindow()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VelloxBrowserWindow";
    if (!RegisterClassW(&windowClass))
        return 1;
    HWND window = CreateWindowW(windowClass.lpszClassName, L"Shell stand-in", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480,
                                nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, SW_SHOWNORMAL);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring action = argc > 1 ? argv[1] : L"";
    if (action == L"answer" && argc == 4)
        return answer(argv[2], argv[3]);
    if (action == L"fault" && argc == 3)
        return fault(argv[2]);
    if (action == L"hotkey" && argc == 2)
        return hotkey();
    if (action == L"windows" && argc == 3)
        return windows(argv[2]);
    if (action == L"trayicons" && argc == 2)
        return trayIcons();
    if (action == L"rightclick" && argc == 4)
        return rightClick(std::stoi(argv[2]), std::stoi(argv[3]));
    if (action == L"click" && argc == 6)
        return click(argv[2], argv[3], std::stoi(argv[4]), std::stoi(argv[5]));
    if (action == L"shellwindow" && argc == 2)
        return shellWindow();
    std::fputs("usage: agent_helper answer TITLE yes|no | fault NAME | hotkey | windows NAME | trayicons | "
               "rightclick X Y | click NAME WxH DX DY | shellwindow\n",
               stderr);
    return 2;
}
