// The installer is started directly and silently ("/S"), with breakaway from the shell's job, in
// a process group of its own, hidden, inheriting no handle of the agent's (the listening socket
// and the log file among them), so it outlives the agent and the shell; a wait on the system's
// thread pool notes how it ended.
//
// The installer asks a running agent to close before it replaces it, and starts the new agent
// when it is done: the agent that watches it hears only of failures before that point, which
// are the ones that leave the old agent running (no administrator, a refused mode).
#include "upgrade/installerlauncher.h"

#include "foundation/widestring_win.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <atomic>

namespace InstallerLauncher {

namespace {

constexpr DWORD kElevationRequired = 740; // ERROR_ELEVATION_REQUIRED, beyond this SDK's target
constexpr int kStatusUnknown = -1;
constexpr int kRunning = -2;

// The installer's process, whose end a wait on the system's thread pool notes: the agent's
// GUI thread only reads what it noted.
class WinWatch : public Watch {
public:
    // Null, with the process handle closed, when the system cannot wait for it: the installer
    // then runs unwatched rather than be reported as failed.
    static std::unique_ptr<Watch> start(HANDLE process)
    {
        std::unique_ptr<WinWatch> watch(new WinWatch(process));
        if (!RegisterWaitForSingleObject(&watch->wait, process, &WinWatch::ended, watch.get(), INFINITE,
                                         WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD))
            return nullptr;
        return watch;
    }
    ~WinWatch() override
    {
        // Waits for a callback under way: it writes into this object.
        if (wait)
            UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
        CloseHandle(process);
    }

    std::optional<int> exitStatus() override
    {
        const int status = code.load();
        return status == kRunning ? std::nullopt : std::optional<int>(status);
    }

private:
    explicit WinWatch(HANDLE process) : process(process) {}

    static void CALLBACK ended(void* self, BOOLEAN)
    {
        auto* watch = static_cast<WinWatch*>(self);
        DWORD exitCode = 0;
        watch->code = GetExitCodeProcess(watch->process, &exitCode) ? int(exitCode) : kStatusUnknown;
    }

    HANDLE process;
    HANDLE wait = nullptr;
    std::atomic<int> code{kRunning};
};

// An installer whose manifest asks for an administrator cannot be created by CreateProcessW
// (ERROR_ELEVATION_REQUIRED): the shell starts it, asking the user (UAC). Elevated processes
// are started by the system, outside the agent's job.
HANDLE startElevated(const std::wstring& program, const std::wstring& parameters, DWORD* error)
{
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    const bool started = ShellExecuteExW(&info) && info.hProcess;
    *error = started ? 0 : GetLastError(); // ERROR_CANCELLED when the user said no
    if (SUCCEEDED(com))
        CoUninitialize();
    return started ? info.hProcess : nullptr;
}

} // namespace

bool supports(KELUpgradePackage::Kind kind)
{
    return kind == KELUpgradePackage::Kind::WindowsInstaller;
}

std::string administratorNeeded(KELUpgradePackage::Kind, const std::string&)
{
    // The installer asks Windows for an administrator itself (UAC) when it needs one.
    return std::string();
}

std::vector<std::string> commandFor(KELUpgradePackage::Kind kind, const std::string& path)
{
    if (kind != KELUpgradePackage::Kind::WindowsInstaller)
        return {};
    return {path, "/S"};
}

Launched startDetached(const std::vector<std::string>& argv)
{
    Launched launched;
    if (argv.empty() || argv.front().empty()) {
        launched.error = ERROR_INVALID_PARAMETER;
        return launched;
    }
    const std::wstring program = WideString::fromUtf8(argv.front());
    std::wstring parameters;
    for (size_t i = 1; i < argv.size(); ++i)
        parameters += (parameters.empty() ? L"" : L" ") + WideString::quotedArgument(WideString::fromUtf8(argv[i]));
    std::wstring commandLine = WideString::quotedArgument(program) + (parameters.empty() ? L"" : L" " + parameters);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB;
    BOOL created = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                                  nullptr, &startup, &started);
    if (!created && GetLastError() == ERROR_ACCESS_DENIED) {
        // A job of someone else's that forbids breakaway (the agent started on its own from a
        // launcher): the installer then shares the agent's job, as anything the agent starts.
        flags &= ~DWORD(CREATE_BREAKAWAY_FROM_JOB);
        created = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                                 nullptr, &startup, &started);
    }
    HANDLE process = nullptr;
    if (created) {
        CloseHandle(started.hThread);
        process = started.hProcess;
    } else if (GetLastError() == kElevationRequired) {
        DWORD error = 0;
        process = startElevated(program, parameters, &error);
        if (!process) {
            launched.error = int(error);
            return launched;
        }
    } else {
        launched.error = int(GetLastError());
        return launched;
    }
    launched.watch = WinWatch::start(process);
    return launched;
}

Launched launch(KELUpgradePackage::Kind kind, const std::string& path)
{
    if (!supports(kind)) {
        Launched refused;
        refused.error = ERROR_BAD_FORMAT;
        return refused;
    }
    return startDetached(commandFor(kind, path));
}

std::string errorText(int error)
{
    return WideString::toUtf8(WideString::systemMessage(DWORD(error)));
}

} // namespace InstallerLauncher
