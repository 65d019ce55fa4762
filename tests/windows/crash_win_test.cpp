// A program that crashes leaves one minidump named by a GUID in the dump folder and ends.
#include "wintest.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

namespace {

struct CrashRun {
    std::vector<std::filesystem::path> dumps;
    std::string output;
    DWORD exitCode = 0;
    bool finished = false;
};

CrashRun crash(const wchar_t* how)
{
    const std::filesystem::path folder = std::filesystem::temp_directory_path()
        / ("crash-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path outputFile = folder.parent_path() / (folder.filename().string() + ".out");
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE output = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
    std::wstring command = L"\"" + wintest::testProgramFolder() + L"\\crash_probe_win.exe\" \"" + folder.wstring()
        + L"\" " + how;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process{};
    CrashRun run;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        run.finished = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
        if (!run.finished)
            TerminateProcess(process.hProcess, 99);
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(output);
    run.output.assign(std::istreambuf_iterator<char>(std::ifstream(outputFile, std::ios::binary).rdbuf()), {});
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        run.dumps.push_back(entry.path());
    return run;
}

void expectOneMinidump(const CrashRun& run)
{
    ASSERT_TRUE(run.finished);
    EXPECT_NE(run.exitCode, 0u);
    EXPECT_NE(run.exitCode, 5u) << "the probe did not crash";
    ASSERT_EQ(run.dumps.size(), 1u) << run.output;
    const std::regex guidName("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.dmp");
    EXPECT_TRUE(std::regex_match(run.dumps.front().filename().string(), guidName)) << run.dumps.front();
    char signature[4] = {};
    std::ifstream(run.dumps.front(), std::ios::binary).read(signature, 4);
    EXPECT_EQ(std::string(signature, 4), "MDMP");
    EXPECT_NE(run.output.find("BreakpadQt crash"), std::string::npos) << run.output;
}

TEST(CrashHandlerWin, EveryKindOfCrashLeavesOneMinidumpNamedByAGuid)
{
    for (const wchar_t* how : {L"badpointer", L"purevirtual", L"overflow"}) {
        SCOPED_TRACE(wintest::narrow(how));
        expectOneMinidump(crash(how));
    }
}

} // namespace
