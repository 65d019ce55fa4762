// What the Windows TWAIN tests share: the scanner profile of a test, the answer to the session's
// question about the unsigned DSM, and waiting for window messages with a deadline.
#pragma once

#include "wintest.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace wintest {

// A profile file of virtual scanners for TWAINDSM.dll (TWAINDSM_SOURCES), removed at the end.
class ScannerProfile {
public:
    explicit ScannerProfile(const std::string& sourcesJson)
    {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        wchar_t file[MAX_PATH];
        GetTempFileNameW(folder, L"dsm", 0, file);
        path = file;
        std::ofstream(std::filesystem::path(path)) << "{\"sources\": " << sourcesJson << "}";
        // The DSM reads the C runtime's environment, which _wputenv keeps in step.
        _wputenv_s(L"TWAINDSM_SOURCES", path.c_str());
    }
    ~ScannerProfile()
    {
        _wputenv_s(L"TWAINDSM_SOURCES", L"");
        DeleteFileW(path.c_str());
    }

private:
    std::wstring path;
};

// Answers the question box a window titled `title` puts up, from a thread of its own, as the
// user would: the button `answer` is clicked. Stops looking when destroyed.
class DialogAnswerer {
public:
    DialogAnswerer(const wchar_t* title, int answer)
        : worker([this, title, answer] {
            while (!stopping) {
                if (HWND box = FindWindowW(L"#32770", title)) {
                    if (HWND button = GetDlgItem(box, answer)) {
                        // Counted first: the box may close, and its caller read the count,
                        // before this thread runs again.
                        ++answered;
                        PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), LPARAM(button));
                        // The same box stays findable until its loop has seen the click.
                        while (!stopping && IsWindow(box))
                            std::this_thread::sleep_for(std::chrono::milliseconds(5));
                        continue;
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        })
    {
    }
    ~DialogAnswerer()
    {
        stopping = true;
        worker.join();
    }
    int timesAnswered() const { return answered; }

private:
    std::atomic<bool> stopping{false};
    std::atomic<int> answered{0};
    std::thread worker;
};

// Waits for this thread's next message, up to the deadline; false when none came. No timer is
// involved: the thread sleeps until a message is posted to it.
inline bool nextMessage(MSG& message, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(left.count()), QS_ALLINPUT);
    }
}

} // namespace wintest
