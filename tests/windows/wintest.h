// Small helpers of the Windows tests: paths of the build, text conversion, waiting with a
// deadline.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace wintest {

// The folder of the running test program, without a trailing separator.
inline std::wstring testProgramFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

// The build's program folder (bin/ beside tests-bin/), where TWAINDSM.dll and the programs are.
inline std::wstring programFolder()
{
    const std::wstring tests = testProgramFolder();
    return tests.substr(0, tests.find_last_of(L"\\/")) + L"\\bin";
}

inline std::string narrow(const std::wstring &text)
{
    std::string bytes(size_t(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), bytes.data(), int(bytes.size()), nullptr, nullptr);
    return bytes;
}

// Runs `step` until `done` holds or the deadline passes; false on the deadline. `step`
// typically pumps this thread's messages.
inline bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds deadline = std::chrono::seconds(30),
                      const std::function<void()> &step = {})
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        if (step)
            step();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace wintest
