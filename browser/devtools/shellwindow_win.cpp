#include "shellwindow_win.h"

#include "ui/hotkey_win.h"

#include <cstdio>
#include <memory>

namespace {
constexpr UINT kRunTask = WM_APP + 10;
constexpr UINT_PTR kFollowTimer = 1;
constexpr int kIconResource = 101;
// Control and Alt as the shell's key log has always written them (CEF's modifier flags).
constexpr int kLoggedControlAlt = 0x4 | 0x8;

std::string hex(int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK takeFirstOfProcess(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window) || GetWindow(window, GW_OWNER))
        return TRUE;
    search->found = window;
    return FALSE;
}
} // namespace

HWND findTopLevelWindowOf(DWORD processId)
{
    WindowSearch search {processId, nullptr};
    EnumWindows(takeFirstOfProcess, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

ShellWindow::ShellWindow(HINSTANCE instance, const std::wstring& title, DWORD browserProcessId, Handlers handlers,
                         PlainLog& keyLog)
    : browserProcessId(browserProcessId)
    , handlers(std::move(handlers))
    , keyLog(keyLog)
{
    WNDCLASSEXW windowClass {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconResource));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);
    // A tool window without size off the screen: found and shown, never seen nor in the taskbar.
    window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kClassName, title.c_str(), WS_POPUP, -32000,
                             -32000, 0, 0, nullptr, nullptr, instance, this);
    if (!window)
        return;
    SetTimer(window, kFollowTimer, kFollowIntervalMs, nullptr);
    follow();
}

ShellWindow::~ShellWindow()
{
    if (!window)
        return;
    setHotKey(false);
    KillTimer(window, kFollowTimer);
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    DestroyWindow(window);
}

void ShellWindow::post(HWND window, std::function<void()> task)
{
    auto* posted = new std::function<void()>(std::move(task));
    if (!window || !PostMessageW(window, kRunTask, 0, reinterpret_cast<LPARAM>(posted)))
        delete posted;
}

LRESULT CALLBACK ShellWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* created = static_cast<ShellWindow*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        created->window = window; // before CreateWindowExW returns it
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
    }
    auto* self = reinterpret_cast<ShellWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) {
        if (message == kRunTask) // the shell is going: its tasks with it
            delete reinterpret_cast<std::function<void()>*>(lParam);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->handle(message, wParam, lParam);
}

LRESULT ShellWindow::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_ENABLE:
        // Whoever disables this window (the agent's upgrade dialog) means the shell's window.
        if (appWindow)
            EnableWindow(appWindow, wParam ? TRUE : FALSE);
        return 0;
    case kBringToFront:
        follow();
        if (appWindow) {
            if (IsIconic(appWindow))
                ShowWindow(appWindow, SW_RESTORE);
            else
                ShowWindow(appWindow, SW_SHOW);
            AllowSetForegroundWindow(browserProcessId);
            SetWindowPos(appWindow, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            SetForegroundWindow(appWindow);
        }
        if (handlers.bringToFront)
            handlers.bringToFront();
        return 0;
    case kShowEnvironmentMenu:
        if (handlers.showEnvironmentMenu)
            handlers.showEnvironmentMenu();
        return 0;
    case kIsInFront:
        return browserIsInFront() ? 1 : 0;
    case WM_TIMER:
        if (wParam == kFollowTimer)
            follow();
        return 0;
    case WM_CLOSE:
        if (handlers.close)
            handlers.close();
        return 0;
    case kRunTask: {
        const std::unique_ptr<std::function<void()>> task(reinterpret_cast<std::function<void()>*>(lParam));
        (*task)();
        return 0;
    }
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void ShellWindow::follow()
{
    if (!appWindow || !IsWindow(appWindow))
        appWindow = findTopLevelWindowOf(browserProcessId);
    const bool shown = appWindow && IsWindowVisible(appWindow) && !IsIconic(appWindow);
    if (shown != bool(IsWindowVisible(window)))
        ShowWindow(window, shown ? SW_SHOWNOACTIVATE : SW_HIDE);
    // The agent disabled this window before the browser's window existed: it is disabled too.
    if (appWindow && !IsWindowEnabled(window) && IsWindowEnabled(appWindow))
        EnableWindow(appWindow, FALSE);
    setHotKey(appWindow && browserIsInFront());
}

bool ShellWindow::browserIsInFront() const
{
    DWORD foregroundProcess = 0;
    GetWindowThreadProcessId(GetForegroundWindow(), &foregroundProcess);
    return foregroundProcess == browserProcessId;
}

bool ShellWindow::takeThreadMessage(const MSG& message)
{
    if (!HotKey::isPress(message, hotKeyId))
        return false;
    keyLog.write("KeyDown: code=75 modifiers=0x" + hex(kLoggedControlAlt));
    keyLog.write("Ctrl+Alt+K detected, showing env switch");
    if (handlers.showEnvironmentMenu)
        handlers.showEnvironmentMenu();
    return true;
}

void ShellWindow::setHotKey(bool registered)
{
    if (registered == (hotKeyId != 0))
        return;
    if (!registered) {
        HotKey::unregisterForThread(hotKeyId);
        hotKeyId = 0;
        return;
    }
    DWORD error = 0;
    hotKeyId = HotKey::registerForThread('K', MOD_CONTROL | MOD_ALT, &error);
    if (!hotKeyId && !hotKeyRefusalLogged) {
        // Another program holds it (the agent, started first): it hands the key over.
        hotKeyRefusalLogged = true;
        keyLog.write("Ctrl+Alt+K is taken by another program (error " + std::to_string(error) + ")");
    }
}
