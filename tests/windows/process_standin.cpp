// The shell, the agent and the installer as plain processes, tied as the programs tie them:
//   process_standin shell FOLDER   starts itself as the agent, tied to its life, then waits
//   process_standin agent FOLDER   starts FOLDER\installer.exe as the agent starts an installer
//   installer.exe (a copy)         only waits
// Each writes its process id to FOLDER\<role>.pid once it has done its part; all wait to be
// ended by the test.
#include "foundation/widestring_win.h"
#include "tiedprocess.h"
#include "upgrade/installerlauncher.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

void announce(const std::wstring& folder, const wchar_t* role)
{
    std::ofstream(std::filesystem::path(folder + L"\\" + role + L".pid")) << GetCurrentProcessId();
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring self = WideString::moduleFileName(nullptr);
    const std::wstring folder = argc > 2 ? argv[2] : self.substr(0, self.find_last_of(L'\\'));
    const std::wstring role = argc > 1 ? argv[1] : L"installer";
    if (role == L"shell") {
        TiedProcess agent;
        TiedProcess::Command command;
        command.program = self;
        command.arguments = {"agent", WideString::toUtf8(folder)};
        std::string error;
        if (!agent.start(command, error))
            return 2;
        announce(folder, L"shell");
        Sleep(INFINITE);
    } else if (role == L"agent") {
        if (InstallerLauncher::launch(KELUpgradePackage::Kind::WindowsInstaller,
                                      WideString::toUtf8(folder + L"\\installer.exe")) != 0)
            return 3;
        announce(folder, L"agent");
        Sleep(INFINITE);
    } else {
        announce(folder, L"installer");
        Sleep(INFINITE);
    }
    return 0;
}
