// `vellox-browser.exe`: the browser shell on Windows, over the PC's own Edge (or Chrome).
#include "deviceid.h"
#include "devtoolsshell.h"
#include "envmenu_win.h"
#include "foundation/userlocal.h"
#include "foundation/widestring_win.h"
#include "plainlog.h"
#include "shellwindow_win.h"
#include "upgrade/shellwindowlink_win.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <memory>

namespace {
// One shell per user of the PC: the machine-wide name carries the user's identifier, so a second
// user's session runs a shell of its own (windows are found within a session anyway).
const char* const kInstanceMutex = "Global\\VelloxBrowserMutex";
// The front end when app.dat lists no environment; empty: a page that says so.
const char* const kBuiltInBaseUrl = VELLOX_FRONTEND_BASE_URL;

std::filesystem::path knownFolder(const wchar_t* variable, REFKNOWNFOLDERID folder)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(variable, value, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        return std::filesystem::path(std::wstring(value, length));
    PWSTR path = nullptr;
    std::filesystem::path found;
    if (SUCCEEDED(SHGetKnownFolderPath(folder, 0, nullptr, &path)))
        found = path;
    CoTaskMemFree(path);
    return found;
}

std::filesystem::path programFolder()
{
    return std::filesystem::path(WideString::moduleFileName(nullptr)).parent_path();
}

bool agentAnswers()
{
    // The agent's single-instance socket is this user's named pipe. One that exists but is busy
    // still names a running agent.
    const std::wstring pipe = L"\\\\.\\pipe\\" + WideString::fromUtf8(UserLocal::path(UserLocal::kAgentInstanceName));
    return WaitNamedPipeW(pipe.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

void showError(const std::string& text)
{
    MessageBoxW(nullptr, WideString::fromUtf8(text).c_str(), L"Error", MB_OK | MB_ICONERROR);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    HANDLE instanceMutex = CreateMutexW(nullptr, TRUE, WideString::fromUtf8(UserLocal::path(kInstanceMutex)).c_str());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // A second start: the running shell comes forward (as the agent brings it), this one leaves.
        ShellWindowLink::activate();
        if (instanceMutex)
            CloseHandle(instanceMutex);
        return 0;
    }

    // Other threads reach the main loop through the shell's window, once it exists.
    std::atomic<HWND> shellWindow {nullptr};
    std::atomic<bool> quitRequested {false};
    const auto quit = [&] {
        quitRequested = true;
        ShellWindow::post(shellWindow, [] { PostQuitMessage(0); });
    };

    DevToolsShell::Platform platform;
    platform.paths.installFolder = programFolder();
    platform.paths.dataFolder = knownFolder(L"LOCALAPPDATA", FOLDERID_LocalAppData) / "vellox-browser";
    platform.agentProgram = "vellox.exe";
    platform.agentSettings = knownFolder(L"APPDATA", FOLDERID_RoamingAppData) / "kelmora" / "vellox" / "cfg.dat";
    platform.builtInBase = kBuiltInBaseUrl;
    platform.deviceId = computeDeviceId();
    platform.browser = findBrowser();
    platform.agentAlreadyRunning = agentAnswers;
    platform.showError = showError;
    platform.requestQuit = quit;
    platform.openElsewhere = [&shellWindow](const std::string& url) {
        ShellWindow::post(shellWindow, [url] {
            ShellExecuteW(nullptr, L"open", WideString::fromUtf8(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        });
    };
    DevToolsShell shell(std::move(platform));
    const ShellPaths& paths = shell.paths();
    PlainLog keyLog(PlainLog::Stamp::TimeOnly);

    std::unique_ptr<ShellWindow> window;
    int exitCode = 0;
    if (const std::optional<int> refused = shell.start()) {
        exitCode = *refused;
    } else {
        keyLog.setPath(paths.keyLog());
        ShellWindow::Handlers handlers;
        handlers.bringToFront = [&shell] { shell.bringToFront(); };
        handlers.close = [&shell] { shell.close(); };
        handlers.showEnvironmentMenu = [&] {
            if (const std::optional<size_t> chosen =
                    chooseEnvironment(window->handle(), window->browserWindow(), shell.config().environments))
                shell.showEnvironment(*chosen);
        };
        window = std::make_unique<ShellWindow>(instance, WideString::fromUtf8(shell.config().appName),
                                               DWORD(shell.browserProcessId()), std::move(handlers), keyLog);
        if (!window->isCreated()) {
            shellLog("ERROR: Window creation failed (error " + std::to_string(GetLastError()) + ")");
            shell.close();
            exitCode = 1;
        } else {
            shellWindow = window->handle();
            shellLog("Window created");
            if (quitRequested)
                PostQuitMessage(0);
            MSG message;
            while (GetMessageW(&message, nullptr, 0, 0) > 0) {
                if (window->takeThreadMessage(message))
                    continue;
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        // Gone before the shell ends: nobody else waits on a window that no longer answers.
        shellWindow = nullptr;
        window.reset();
        const int finished = shell.finish();
        if (exitCode == 0)
            exitCode = finished;
    }
    ReleaseMutex(instanceMutex);
    CloseHandle(instanceMutex);
    return exitCode;
}
