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

std::string administratorNeeded(KELUpgradePackage::Kind, const std::string&)
{
    // The installer asks Windows for an administrator itself (UAC) when it needs one.
    return std::string();
}

std::vector<std::string> commandFor(KELUpgradePackage::Kind kind, const std::string& path)
{
    if (kind != KELUpgradePackage::Kind::WindowsInstaller)
        return {};
    return {"cmd.exe", "/c", "start", "", path};
}

Launched startDetached(const std::vector<std::string>& argv)
{
    Launched launched;
    if (argv.empty() || argv.front().empty()) {
        launched.error = ERROR_INVALID_PARAMETER;
        return launched;
    }
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
    if (!created) {
        launched.error = int(GetLastError());
        return launched;
    }
    // cmd.exe's "start" ends at once: its status says nothing of the installer's, so the
    // installer is not followed to its end.
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
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
