// Windows: a minidump through dbghelp's MiniDumpWriteDump, named by a GUID from rpcrt4's
// UuidCreate, both loaded at run time. A crashed thread may have no stack left (an overflow)
// and may hold any lock, so the dump is written by a thread of the handler's own, started at
// install time, while the crashed thread waits; the process then ends without the system's
// error reporting. Fatal paths that are not exceptions (abort, a pure virtual call, a runtime
// function given an invalid parameter) are turned into a dump the same way.
#include "foundation/crashhandler.h"

#include "foundation/widestring_win.h"

#include <windows.h>

#include <dbghelp.h>

#include <csignal>
#include <cstdlib>
#include <exception>

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
using UuidCreateFn = LONG(WINAPI*)(GUID*); // RPC_STATUS UuidCreate(UUID*)
using InvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t);
using SetInvalidParameterHandlerFn = InvalidParameterHandler(__cdecl*)(InvalidParameterHandler);

struct Handler {
    std::wstring folder;
    MiniDumpWriteDumpFn writeDump = nullptr;
    HANDLE dumpRequested = nullptr;
    HANDLE dumpWritten = nullptr;
    // Set by the crashed thread before it wakes the writer.
    EXCEPTION_POINTERS* exception = nullptr;
    DWORD crashedThread = 0;
    LONG crashing = 0;
};
Handler handler;

UuidCreateFn uuidCreate()
{
    static const auto create = reinterpret_cast<UuidCreateFn>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"rpcrt4.dll"), "UuidCreate")));
    return create;
}

void say(const char* text)
{
    OutputDebugStringA(text);
    DWORD written = 0;
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error && error != INVALID_HANDLE_VALUE)
        WriteFile(error, text, DWORD(lstrlenA(text)), &written, nullptr);
}

DWORD WINAPI writeDumps(void*)
{
    for (;;) {
        WaitForSingleObject(handler.dumpRequested, INFINITE);
        const std::wstring path = handler.folder + L"\\" + WideString::fromUtf8(CrashHandler::newGuid()) + L".dmp";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            MINIDUMP_EXCEPTION_INFORMATION where{handler.crashedThread, handler.exception, FALSE};
            handler.writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                              handler.exception ? &where : nullptr, nullptr, nullptr);
            CloseHandle(file);
        }
        SetEvent(handler.dumpWritten);
    }
}

// Has the writer dump the process for the calling thread, once per process: a second thread
// that crashes meanwhile waits for the first one's dump and the end.
void dumpAndReport(EXCEPTION_POINTERS* exception)
{
    if (InterlockedExchange(&handler.crashing, 1) != 0) {
        Sleep(INFINITE);
        return;
    }
    handler.exception = exception;
    handler.crashedThread = GetCurrentThreadId();
    SignalObjectAndWait(handler.dumpRequested, handler.dumpWritten, 60000, FALSE);
    say("BreakpadQt crash\n");
}

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* exception)
{
    dumpAndReport(exception);
    // Handled: the process ends here, without the system's error reporting.
    return EXCEPTION_EXECUTE_HANDLER;
}

[[noreturn]] void dumpWithoutExceptionAndEnd()
{
    dumpAndReport(nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
    std::_Exit(3);
}

void onAbort(int)
{
    dumpWithoutExceptionAndEnd();
}

void __cdecl onInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t)
{
    dumpWithoutExceptionAndEnd();
}

} // namespace

std::string CrashHandler::newGuid()
{
    GUID id{};
    if (UuidCreateFn create = uuidCreate())
        create(&id);
    return guidText(id.Data1, id.Data2, id.Data3, id.Data4);
}

bool CrashHandler::install(const std::string& folder)
{
    HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
    handler.writeDump = dbghelp ? reinterpret_cast<MiniDumpWriteDumpFn>(
                                      reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")))
                                : nullptr;
    if (!handler.writeDump || !uuidCreate())
        return false;
    handler.folder = WideString::fromUtf8(folder);
    for (wchar_t& c : handler.folder) {
        if (c == L'/')
            c = L'\\';
    }
    handler.dumpRequested = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    handler.dumpWritten = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE writer = CreateThread(nullptr, 0, writeDumps, nullptr, 0, nullptr);
    if (!writer)
        return false;
    CloseHandle(writer);

    SetUnhandledExceptionFilter(onUnhandledException);
    std::signal(SIGABRT, onAbort);
    // A pure virtual call and an uncaught C++ exception end in std::terminate.
    std::set_terminate(dumpWithoutExceptionAndEnd);
    // Where the C runtime offers it (Vista's msvcrt and later).
    if (auto setHandler = reinterpret_cast<SetInvalidParameterHandlerFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "_set_invalid_parameter_handler"))))
        setHandler(onInvalidParameter);
    return true;
}
