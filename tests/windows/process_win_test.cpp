// The processes of the two programs as Windows ties them: the agent in the shell's job dies
// with the shell however the shell ends, and the installer the agent starts breaks away and
// lives on.
#include "wintest.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace std::chrono_literals;

// A folder of its own under the temporary folder, removed with what is in it.
class TemporaryFolder {
public:
    TemporaryFolder()
    {
        path = std::filesystem::temp_directory_path() / ("vellox-" + std::to_string(GetCurrentProcessId()) + "-"
                                                         + std::to_string(GetTickCount64()));
        std::filesystem::create_directories(path);
    }
    ~TemporaryFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

// The process that announced itself in `folder` as `role`, opened for waiting and ending; null
// when it does not within the deadline.
HANDLE announcedProcess(const std::filesystem::path& folder, const std::string& role)
{
    DWORD id = 0;
    wintest::waitUntil([&] { return bool(std::ifstream(folder / (role + ".pid")) >> id); }, 30s);
    return id ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id) : nullptr;
}

// Starts the shell stand-in on `folder` (with an installer beside it to start).
PROCESS_INFORMATION startShell(const std::filesystem::path& folder, const wchar_t* extra = L"")
{
    const std::wstring standin = wintest::testProgramFolder() + L"\\process_standin.exe";
    CopyFileW(standin.c_str(), (folder / "installer.exe").c_str(), FALSE);
    std::wstring command = L"\"" + standin + L"\" shell \"" + folder.wstring() + L"\" " + extra;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION shell{};
    CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &shell);
    if (shell.hThread)
        CloseHandle(shell.hThread);
    return shell;
}

void endProcess(HANDLE process)
{
    if (!process)
        return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 20000);
    CloseHandle(process);
}

TEST(ShellProcesses, TheAgentEndsWithTheShellAndTheInstallerItStartsLivesOn)
{
    TemporaryFolder folder;
    PROCESS_INFORMATION shell = startShell(folder.path);
    ASSERT_NE(shell.hProcess, nullptr);
    HANDLE agent = announcedProcess(folder.path, "agent");
    HANDLE installer = announcedProcess(folder.path, "installer");
    ASSERT_NE(agent, nullptr);
    ASSERT_NE(installer, nullptr);

    // The shell ends the hard way: nothing of its own code runs.
    TerminateProcess(shell.hProcess, 9);
    CloseHandle(shell.hProcess);
    EXPECT_EQ(WaitForSingleObject(agent, 20000), WAIT_OBJECT_0) << "the agent outlived its shell";
    EXPECT_EQ(WaitForSingleObject(installer, 0), WAIT_TIMEOUT) << "the installer ended with the agent";
    EXPECT_FALSE(std::filesystem::exists(folder.path / "agent.quit.pid")) << "the agent was asked, not ended";

    endProcess(installer);
    CloseHandle(agent);
}

TEST(ShellProcesses, AShellThatClosesAsksItsAgentToQuitFirst)
{
    TemporaryFolder folder;
    PROCESS_INFORMATION shell = startShell(folder.path, L"end");
    ASSERT_NE(shell.hProcess, nullptr);
    HANDLE installer = announcedProcess(folder.path, "installer");
    EXPECT_EQ(WaitForSingleObject(shell.hProcess, 30000), WAIT_OBJECT_0);
    DWORD shellExit = 1;
    GetExitCodeProcess(shell.hProcess, &shellExit);
    EXPECT_EQ(shellExit, 0u);
    // The agent's quit window took the request: it ended in order, well before the grace ran out.
    EXPECT_TRUE(std::filesystem::exists(folder.path / "agent.quit.pid"));
    CloseHandle(shell.hProcess);
    endProcess(installer);
}

// The self-upgrade starts the installer silently and learns how it ended; a path with spaces
// stays one argument.
TEST(ShellProcesses, TheInstallerRunsSilentlyAndItsExitStatusIsKnown)
{
    TemporaryFolder folder;
    const std::filesystem::path packages = folder.path / "new version";
    std::filesystem::create_directories(packages);
    const std::wstring standin = wintest::testProgramFolder() + L"\\process_standin.exe";
    const std::filesystem::path package = packages / "vellox setup.exe";
    ASSERT_TRUE(CopyFileW(standin.c_str(), package.c_str(), FALSE));
    std::ofstream(packages / "installer.fails") << "";
    std::wstring command = L"\"" + standin + L"\" upgrade \"" + package.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION upgrade{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &upgrade));
    CloseHandle(upgrade.hThread);
    EXPECT_EQ(WaitForSingleObject(upgrade.hProcess, 30000), WAIT_OBJECT_0);
    DWORD status = 0;
    GetExitCodeProcess(upgrade.hProcess, &status);
    CloseHandle(upgrade.hProcess);
    EXPECT_EQ(status, 3u) << "4: not started silently; 100: not started or not watched";
    EXPECT_TRUE(std::filesystem::exists(packages / "installer.pid"));
}

} // namespace
