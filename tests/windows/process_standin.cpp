// The shell, the agent and the installer as plain processes, tied as the programs tie them:
//   process_standin shell FOLDER [end]  starts itself as the agent, tied to its life, then waits;
//                                       with "end", ends the agent as the shell does and leaves
//   process_standin agent FOLDER        starts FOLDER\installer.exe as the agent starts an
//                                       installer, then runs its message loop until asked to
//                                       quit, which it notes in FOLDER\agent.quit
//   process_standin upgrade PACKAGE     starts PACKAGE as the agent's self-upgrade starts an
//                                       installer, and ends with the installer's exit status
//   installer.exe /S (a copy)           writes its arguments to FOLDER\installer.args, one a
//                                       line, then only waits; ends with 3 where
//                                       FOLDER\installer.fails exists, with 4 when not started
//                                       silently (FOLDER: its own)
// Each writes its process id to FOLDER\<role>.pid once it has done its part; the test ends what
// is left.
#include "foundation/quitwindow_win.h"
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
        if (argc > 3 && std::wstring(argv[3]) == L"end") {
            // Once the agent runs its loop, as the shell ends it when it closes.
            while (GetFileAttributesW((folder + L"\\agent.pid").c_str()) == INVALID_FILE_ATTRIBUTES)
                Sleep(10);
            agent.terminate(20000);
            return 0;
        }
        Sleep(INFINITE);
    } else if (role == L"agent") {
        if (InstallerLauncher::launch(KELUpgradePackage::Kind::WindowsInstaller,
                                      WideString::toUtf8(folder + L"\\installer.exe")).error != 0)
            return 3;
        QuitWindow quitWindow([&folder] {
            announce(folder, L"agent.quit");
            PostQuitMessage(0);
        });
        announce(folder, L"agent");
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
            DispatchMessageW(&message);
    } else if (role == L"upgrade" && argc > 2) {
        InstallerLauncher::Launched launched =
            InstallerLauncher::launch(KELUpgradePackage::Kind::WindowsInstaller, WideString::toUtf8(argv[2]));
        if (launched.error != 0 || !launched.watch)
            return 100;
        std::optional<int> status;
        while (!(status = launched.watch->exitStatus()))
            Sleep(50);
        return *status;
    } else {
        // What it was started with, one argument a line, for the tests that start it as a package.
        std::ofstream arguments(std::filesystem::path(folder + L"\\installer.args"), std::ios::binary);
        for (int i = 1; i < argc; ++i)
            arguments << WideString::toUtf8(argv[i]) << '\n';
        arguments.close();
        if (role != L"/S")
            return 4;
        announce(folder, L"installer");
        if (GetFileAttributesW((folder + L"\\installer.fails").c_str()) != INVALID_FILE_ATTRIBUTES)
            return 3;
        Sleep(INFINITE);
    }
    return 0;
}
