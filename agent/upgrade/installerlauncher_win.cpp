// The installer leaves the shell's job: it is started through cmd.exe's "start" with breakaway
// from the job, in a process group of its own, hidden, inheriting no handle of the agent's (the
// listening socket and the log file among them), so it outlives the agent and the shell.
#include "upgrade/installerlauncher.h"

#include "foundation/widestring_win.h"

#include <windows.h>

namespace InstallerLauncher {

bool supports(KELUpgradePackage::Kind kind)
{
    return kind == KELUpgradePackage::Kind::WindowsInstaller;
}

std::vector<std::string> commandFor(KELUpgradePackage::Kind kind, const std::string& path)
{
    if (kind != KELUpgradePackage::Kind::WindowsInstaller)
        return {};
    return {"cmd.exe", "/c", "start", "", path};
}

int startDetached(const std::vector<std::string>& argv)
{
    if (argv.empty() || argv.front().empty())
        return ERROR_INVALID_PARAMETER;
    std::wstring commandLine;
    for (const std::string& argument : argv)
        commandLine += (commandLine.empty() ? L"" : L" ") + WideString::quotedArgument(WideString::fromUtf8(argument));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB;
    BOOL created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                                  &startup, &started);
    if (!created && GetLastError() == ERROR_ACCESS_DENIED) {
        // A job of someone else's that forbids breakaway (the agent started on its own from a
        // launcher): the installer then shares the agent's job, as anything the agent starts.
        flags &= ~DWORD(CREATE_BREAKAWAY_FROM_JOB);
        created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                                 &startup, &started);
    }
    if (!created)
        return int(GetLastError());
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return 0;
}

int launch(KELUpgradePackage::Kind kind, const std::string& path)
{
    if (!supports(kind))
        return ERROR_BAD_FORMAT;
    return startDetached(commandFor(kind, path));
}

std::string errorText(int error)
{
    return WideString::toUtf8(WideString::systemMessage(DWORD(error)));
}

} // namespace InstallerLauncher
