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

#include "wintest.h"

#include <windows.h>
#include <tlhelp32.h>

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
    std::fputs("usage: agent_helper answer TITLE yes|no | fault NAME | hotkey | windows NAME\n", stderr);
    return 2;
}
