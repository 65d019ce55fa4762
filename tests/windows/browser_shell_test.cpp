// vellox-browser.exe under Wine, with stand-ins for Edge (browser_standin.exe, registered where
// Windows registers msedge.exe) and for the agent (agent_standin.exe as vellox.exe): the single
// instance, the job object, the window the agent finds and what it mirrors, the hot key and
// its menu, and what the shell says when it cannot run.
#include "wintest.h"

#include "foundation/userlocal.h"
#include "foundation/widestring_win.h"
#include "upgrade/shellwindowlink_win.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace {

using namespace std::chrono_literals;

const wchar_t* const kAppPaths = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\msedge.exe";
const wchar_t* const kEdgePolicies = L"Software\\Policies\\Microsoft\\Edge";

std::string readFile(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void pumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    Sleep(5);
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds deadline = 30s)
{
    return wintest::waitUntil(done, deadline, pumpMessages);
}

bool hasEnded(HANDLE process, DWORD waitMs = 0)
{
    return WaitForSingleObject(process, waitMs) == WAIT_OBJECT_0;
}

void pressKeys(const std::vector<WORD>& keys)
{
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT input {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        inputs.push_back(input);
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        INPUT input {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = *key;
        input.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    SendInput(UINT(inputs.size()), inputs.data(), sizeof(INPUT));
}

// An install folder with the shell, the agent stand-in and app.dat; the user's folders; Edge's
// registration pointing at the browser stand-in.
class ShellInstallation {
public:
    ShellInstallation()
    {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        root = std::wstring(temp) + L"vellox-shell-" + std::to_wstring(GetCurrentProcessId()) + L"-"
            + std::to_wstring(GetTickCount());
        for (const wchar_t* folder : {L"", L"\\program", L"\\browser", L"\\local", L"\\roaming"})
            CreateDirectoryW((root + folder).c_str(), nullptr);
        const std::wstring tests = wintest::testProgramFolder();
        CopyFileW((wintest::programFolder() + L"\\vellox-browser.exe").c_str(), shellProgram().c_str(), FALSE);
        CopyFileW((tests + L"\\win_agent_standin.exe").c_str(), (root + L"\\program\\vellox.exe").c_str(), FALSE);
        CopyFileW((tests + L"\\win_browser_standin.exe").c_str(), browserProgram().c_str(), FALSE);
        std::ofstream(std::filesystem::path(root + L"\\program\\app.dat"))
            << R"({"appname":"Shell under Wine","current":"a","domains":[)"
               R"({"key":"a","name":"A","url":"http://127.0.0.1:9/a/"},{"key":"b","url":"http://127.0.0.1:9/b"}]})";
        SetEnvironmentVariableW(L"LOCALAPPDATA", (root + L"\\local").c_str());
        SetEnvironmentVariableW(L"APPDATA", (root + L"\\roaming").c_str());
        registerBrowser(true);
    }
    ~ShellInstallation()
    {
        for (PROCESS_INFORMATION& started : shells) {
            TerminateProcess(started.hProcess, 0);
            CloseHandle(started.hProcess);
            CloseHandle(started.hThread);
        }
        registerBrowser(false);
        RegDeleteTreeW(HKEY_CURRENT_USER, kEdgePolicies);
    }

    std::wstring shellProgram() const { return root + L"\\program\\vellox-browser.exe"; }
    std::wstring browserProgram() const { return root + L"\\browser\\msedge.exe"; }
    std::wstring dataFolder() const { return root + L"\\local\\vellox-browser"; }
    std::string browserCalls() const { return readFile(dataFolder() + L"\\profile\\calls.txt"); }
    std::string startupLog() const { return readFile(dataFolder() + L"\\browser_debug.log"); }

    void registerBrowser(bool registered) const
    {
        if (!registered) {
            RegDeleteTreeW(HKEY_CURRENT_USER, kAppPaths);
            return;
        }
        const std::wstring path = browserProgram();
        RegSetKeyValueW(HKEY_CURRENT_USER, kAppPaths, nullptr, REG_SZ, path.c_str(),
                        DWORD((path.size() + 1) * sizeof(wchar_t)));
    }

    HANDLE startShell()
    {
        STARTUPINFOW startup {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started {};
        std::wstring line = L"\"" + shellProgram() + L"\"";
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
            return nullptr;
        shells.push_back(started);
        return started.hProcess;
    }

    std::wstring agentReport() const { return root + L"\\program\\agent.txt"; }
    // The agent stand-in's process, once it has started.
    HANDLE agent() const
    {
        std::istringstream report(readFile(agentReport()));
        DWORD pid = 0;
        report >> pid;
        return pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
    }

private:
    std::wstring root;
    std::vector<PROCESS_INFORMATION> shells;
};

DWORD exitCodeOf(HANDLE process)
{
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

HWND shellWindow()
{
    return FindWindowW(L"VelloxBrowserWindow", nullptr);
}

HWND browserWindow()
{
    return FindWindowW(L"BrowserStandIn", nullptr);
}

HWND openMenu()
{
    HWND menu = FindWindowW(L"#32768", nullptr);
    return menu && IsWindowVisible(menu) ? menu : nullptr;
}

bool holdsCtrlAltK()
{
    if (RegisterHotKey(nullptr, 77, MOD_CONTROL | MOD_ALT, 'K')) {
        UnregisterHotKey(nullptr, 77);
        return false;
    }
    return true;
}

TEST(BrowserShellOnWindows, DrivesTheBrowserAndMirrorsWhatTheAgentDoesToItsWindow)
{
    ShellInstallation installation;
    HANDLE shell = installation.startShell();
    ASSERT_NE(shell, nullptr);
    ASSERT_TRUE(waitFor([] { return shellWindow() && browserWindow(); })) << installation.startupLog();
    HWND window = shellWindow();
    HWND browser = browserWindow();
    {
        SCOPED_TRACE("the browser shows the front end, tagged first for its origin; the agent runs hidden");
        const std::string navigation = "Page.navigate http://127.0.0.1:9/a/reviewer/?isWindows=1#/home";
        EXPECT_TRUE(waitFor([&] { return installation.browserCalls().find(navigation) != std::string::npos; }))
            << installation.browserCalls();
        // Every adapter is Ethernet under Wine: there is a device id.
        const size_t cookie = installation.browserCalls().find("Network.setCookie http://127.0.0.1:9/\n");
        EXPECT_LT(cookie, installation.browserCalls().find(navigation)) << installation.browserCalls();
        ASSERT_TRUE(waitFor([&] { return installation.agent() != nullptr; }));
        EXPECT_NE(readFile(installation.agentReport()).find(" --hidden"), std::string::npos);
    }
    // What the agent does to the shell's window, through the agent's own link to it.
    {
        SCOPED_TRACE("visible while the browser's window is shown and not minimised");
        EXPECT_TRUE(waitFor(ShellWindowLink::isVisible));
        ShowWindow(browser, SW_MINIMIZE);
        EXPECT_TRUE(waitFor([] { return !ShellWindowLink::isVisible(); }));
        ShowWindow(browser, SW_RESTORE);
        EXPECT_TRUE(waitFor(ShellWindowLink::isVisible));
    }
    {
        SCOPED_TRACE("EnableWindow reaches the browser's window");
        ShellWindowLink::setEnabled(false);
        EXPECT_FALSE(IsWindowEnabled(browser));
        ShellWindowLink::setEnabled(true);
        EXPECT_TRUE(IsWindowEnabled(browser));
    }
    {
        SCOPED_TRACE("a second start of this user's finds the mutex, brings the window forward and leaves");
        const std::wstring mutex = WideString::fromUtf8(UserLocal::path("Global\\VelloxBrowserMutex"));
        HANDLE held = OpenMutexW(SYNCHRONIZE, FALSE, mutex.c_str());
        EXPECT_NE(held, nullptr);
        if (held)
            CloseHandle(held);
        HANDLE second = installation.startShell();
        ASSERT_TRUE(waitFor([&] { return hasEnded(second); }));
        EXPECT_EQ(exitCodeOf(second), 0u);
        EXPECT_TRUE(waitFor([&] { return installation.browserCalls().find("Page.bringToFront") != std::string::npos; }));
        EXPECT_FALSE(hasEnded(shell));
    }
    {
        SCOPED_TRACE("Ctrl+Alt+K while the browser is in front: the menu, and the second environment");
        SetForegroundWindow(browser);
        ASSERT_TRUE(waitFor(holdsCtrlAltK));
        pressKeys({VK_CONTROL, VK_MENU, 'K'});
        ASSERT_TRUE(waitFor([] { return openMenu() != nullptr; }));
        pressKeys({VK_DOWN});
        pressKeys({VK_DOWN});
        pressKeys({VK_RETURN});
        EXPECT_TRUE(waitFor([&] {
            return installation.browserCalls().find("Page.navigate http://127.0.0.1:9/b/reviewer/?isWindows=1#/home")
                != std::string::npos;
        })) << installation.browserCalls();
        EXPECT_EQ(readFile(installation.dataFolder() + L"\\env.dat"), "b");
        EXPECT_NE(readFile(installation.dataFolder() + L"\\key_debug.log").find("Ctrl+Alt+K detected, showing env switch"),
                  std::string::npos);
    }
    {
        SCOPED_TRACE("the agent hands Ctrl+Alt+K over while the browser is in front; Escape changes nothing");
        SetForegroundWindow(browser);
        std::optional<bool> taken;
        ShellWindowLink::offerEnvironmentMenu([&](bool answer) { taken = answer; });
        ASSERT_TRUE(waitFor([&] { return taken.has_value(); }));
        EXPECT_TRUE(*taken);
        ASSERT_TRUE(waitFor([] { return openMenu() != nullptr; }));
        pressKeys({VK_ESCAPE});
        EXPECT_TRUE(waitFor([] { return openMenu() == nullptr; }));
        EXPECT_EQ(readFile(installation.dataFolder() + L"\\env.dat"), "b");
    }
    {
        SCOPED_TRACE("WM_CLOSE closes the browser's window, and the shell ends with its agent, asked to quit");
        HANDLE agent = installation.agent();
        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_TRUE(hasEnded(shell, 10000));
        EXPECT_EQ(exitCodeOf(shell), 0u);
        EXPECT_TRUE(hasEnded(agent, 5000));
        EXPECT_NE(readFile(installation.agentReport()).find("asked to close"), std::string::npos);
        EXPECT_NE(installation.browserCalls().find("Browser.close"), std::string::npos);
        CloseHandle(agent);
    }
}

TEST(BrowserShellOnWindows, ItsJobEndsTheAgentAndTheBrowserWhenTheShellIsKilled)
{
    ShellInstallation installation;
    HANDLE shell = installation.startShell();
    ASSERT_TRUE(waitFor([&] { return browserWindow() && installation.agent(); }));
    DWORD browserPid = 0;
    GetWindowThreadProcessId(browserWindow(), &browserPid);
    HANDLE browser = OpenProcess(SYNCHRONIZE, FALSE, browserPid);
    HANDLE agent = installation.agent();
    ASSERT_TRUE(browser && agent);

    TerminateProcess(shell, 9);
    EXPECT_TRUE(hasEnded(agent, 10000));
    EXPECT_TRUE(hasEnded(browser, 10000));
    CloseHandle(agent);
    CloseHandle(browser);
}

TEST(BrowserShellOnWindows, LeavesAnAgentThatRunsAlreadyAlone)
{
    // The agent started at login answers on its single-instance pipe, this user's.
    const std::wstring pipe = L"\\\\.\\pipe\\" + WideString::fromUtf8(UserLocal::path(UserLocal::kAgentInstanceName));
    HANDLE agentInstance = CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES,
                                            512, 512, 0, nullptr);
    ASSERT_NE(agentInstance, INVALID_HANDLE_VALUE);
    ShellInstallation installation;
    HANDLE shell = installation.startShell();
    ASSERT_TRUE(waitFor([] { return shellWindow() && browserWindow(); }));
    EXPECT_NE(installation.startupLog().find("vellox already running"), std::string::npos) << installation.startupLog();
    EXPECT_EQ(installation.agent(), nullptr);
    PostMessageW(shellWindow(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(hasEnded(shell, 10000));
    CloseHandle(agentInstance);
}

// The box the shell shows, answered; the shell's exit code.
DWORD answerTheBox(HANDLE shell, std::wstring& text)
{
    HWND box = nullptr;
    waitFor([&] { return (box = FindWindowW(nullptr, L"Error")) != nullptr || hasEnded(shell); });
    if (box) {
        wchar_t shown[1024] = {};
        GetDlgItemTextW(box, 0xFFFF, shown, 1024); // a message box's text
        text = shown;
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    return hasEnded(shell, 10000) ? exitCodeOf(shell) : STILL_ACTIVE;
}

TEST(BrowserShellOnWindows, SaysWhyWhenItHasNoBrowserToDrive)
{
    ShellInstallation installation;
    {
        SCOPED_TRACE("a policy that forbids remote debugging");
        const DWORD forbidden = 0;
        RegSetKeyValueW(HKEY_CURRENT_USER, kEdgePolicies, L"RemoteDebuggingAllowed", REG_DWORD, &forbidden,
                        sizeof forbidden);
        std::wstring text;
        EXPECT_EQ(answerTheBox(installation.startShell(), text), 1u);
        EXPECT_NE(text.find(L"RemoteDebuggingAllowed = 0"), std::wstring::npos);
        EXPECT_NE(installation.startupLog().find("ERROR: Remote debugging is forbidden by policy: HKEY_CURRENT_USER"),
                  std::string::npos)
            << installation.startupLog();
        RegDeleteTreeW(HKEY_CURRENT_USER, kEdgePolicies);
    }
    {
        SCOPED_TRACE("no browser at all");
        installation.registerBrowser(false);
        std::wstring text;
        EXPECT_EQ(answerTheBox(installation.startShell(), text), 1u);
        EXPECT_NE(text.find(L"Microsoft Edge"), std::wstring::npos);
        EXPECT_NE(installation.startupLog().find("ERROR: No browser found"), std::string::npos);
        HANDLE agent = installation.agent();
        EXPECT_TRUE(agent == nullptr || hasEnded(agent, 5000)); // not left running without a shell
        if (agent)
            CloseHandle(agent);
    }
}

} // namespace
