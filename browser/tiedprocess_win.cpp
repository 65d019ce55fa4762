#include "tiedprocess_native.h"

#include "foundation/widestring_win.h"

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

// The program runs in a job object of the shell's that kills its members when the job's last
// handle closes: the shell holds that handle alone (it is never inherited), so the system closes
// it and ends the program however the shell ends. Breakaway is allowed, so the agent can start
// its installer outside the job. The program starts suspended and runs only once it is in the
// job, so nothing it starts early escapes the tie.

namespace {

using WideString::fromUtf8;
using WideString::systemMessage;
using WideString::toUtf8;

HANDLE shellJob(std::string& error)
{
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        if (!created)
            return created;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        if (!SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(created);
            return HANDLE(nullptr);
        }
        return created;
    }();
    if (!job)
        error = "cannot create the job object: " + toUtf8(systemMessage(GetLastError()));
    return job;
}


struct WindowSearch {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK collectWindowOf(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId)
        search->windows.push_back(window);
    return TRUE;
}

// Posts WM_CLOSE to every top-level window of the process, hidden ones included: the program's
// own way of being asked to end (the agent's quit window among them).
void askToClose(DWORD processId)
{
    WindowSearch search{processId, {}};
    EnumWindows(collectWindowOf, reinterpret_cast<LPARAM>(&search));
    for (HWND window : search.windows)
        PostMessageW(window, WM_CLOSE, 0, 0);
}

class JobProcess final : public TiedProcess::Native {
public:
    ~JobProcess() override
    {
        terminate(TiedProcess::kDefaultGraceMs);
        if (stopWatching)
            CloseHandle(stopWatching);
    }

    bool start(const TiedProcess::Command& command, std::string& error);
    std::int64_t processId() const override { return id; }
    void watch(std::function<void()> ended) override;
    bool waitForEnd(int timeoutMs) override
    {
        return process && WaitForSingleObject(process, DWORD(timeoutMs)) == WAIT_OBJECT_0;
    }
    void terminate(int graceMs) override;

private:
    HANDLE process = nullptr;
    DWORD id = 0;
    HANDLE stopWatching = nullptr;
    std::thread watcher;
    std::atomic<bool> terminating{false};
};

bool JobProcess::start(const TiedProcess::Command& command, std::string& error)
{
    HANDLE job = shellJob(error);
    if (!job)
        return false;
    const std::wstring program = command.program.wstring();
    std::wstring commandLine = WideString::quotedArgument(program);
    for (const std::string& argument : command.arguments)
        commandLine += L" " + WideString::quotedArgument(fromUtf8(argument));
    const std::wstring folder = command.workingFolder.wstring();

    // No handle of the shell's reaches the program: the instance mutex among them would outlive
    // the shell. Its standard output and error are the shell's unless they are discarded.
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    std::vector<HANDLE> inherited;
    std::vector<unsigned char> attributes;
    if (!command.discardOutput) {
        for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
            HANDLE handle = GetStdHandle(which);
            if (handle && handle != INVALID_HANDLE_VALUE && SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
                inherited.push_back(handle);
        }
    }
    DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
    if (!inherited.empty()) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributes.resize(size);
        startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        if (InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size)
            && UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                         inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
            startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
            startup.StartupInfo.hStdInput = nullptr;
            startup.StartupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
            startup.StartupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);
            flags |= EXTENDED_STARTUPINFO_PRESENT;
        } else {
            startup.lpAttributeList = nullptr;
            inherited.clear();
        }
    }
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, !inherited.empty(), flags,
                                        nullptr, folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo, &started);
    const DWORD createError = GetLastError();
    if (startup.lpAttributeList)
        DeleteProcThreadAttributeList(startup.lpAttributeList);
    for (HANDLE handle : inherited)
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    if (!created) {
        error = "cannot run " + toUtf8(program) + ": " + toUtf8(systemMessage(createError));
        return false;
    }
    if (!AssignProcessToJobObject(job, started.hProcess)) {
        error = "cannot tie " + toUtf8(program) + " to the shell: " + toUtf8(systemMessage(GetLastError()));
        TerminateProcess(started.hProcess, 1);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        return false;
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    process = started.hProcess;
    id = started.dwProcessId;
    stopWatching = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return true;
}

void JobProcess::watch(std::function<void()> ended)
{
    if (!process || watcher.joinable())
        return;
    watcher = std::thread([this, ended = std::move(ended)] {
        HANDLE waited[] = {process, stopWatching};
        if (WaitForMultipleObjects(2, waited, FALSE, INFINITE) == WAIT_OBJECT_0 && !terminating)
            ended();
    });
}

void JobProcess::terminate(int graceMs)
{
    if (!process)
        return;
    terminating = true;
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        askToClose(id);
        if (WaitForSingleObject(process, DWORD(graceMs)) == WAIT_TIMEOUT) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, INFINITE);
        }
    }
    if (watcher.joinable()) {
        SetEvent(stopWatching);
        watcher.join();
    }
    CloseHandle(process);
    process = nullptr;
}

} // namespace

std::unique_ptr<TiedProcess::Native> TiedProcess::Native::start(const Command& command, std::string& error)
{
    auto process = std::make_unique<JobProcess>();
    if (!process->start(command, error))
        return nullptr;
    return process;
}
