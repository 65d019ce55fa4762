// Windows side of the DSM seam: TWAINDSM.dll through LoadLibraryW, containers and native images
// as GlobalAlloc memory, data-source events as window messages that the application passes to
// MSG_PROCESSEVENT, and the DSM's signature checked before it is used.
#include "scanning/twaindsm_library.h"

#include "foundation/widestring_win.h"

#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <string>

namespace TwainDsmLibrary {

namespace {

using WideString::fromUtf8;
using WideString::moduleFileName;
using WideString::systemMessage;
using WideString::toUtf8;

// WinVerifyTrust's verdict on the file, with the thread's last error as it left it.
LONG verifySignature(const std::wstring& path, DWORD* lastError)
{
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NOGOOD;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_SAFER_FLAG;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    SetLastError(0);
    const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    *lastError = GetLastError();
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return status;
}

} // namespace

const char* dsmFileName()
{
    return "TWAINDSM.dll";
}

bool eventsArriveByCallback()
{
    return false;
}

TW_HANDLE allocateMemory(std::size_t size)
{
    return GlobalAlloc(GHND, size ? size : 1);
}

void* lockMemory(TW_HANDLE handle)
{
    return handle ? GlobalLock(handle) : nullptr;
}

void unlockMemory(TW_HANDLE handle)
{
    if (handle)
        GlobalUnlock(handle);
}

void freeMemory(TW_HANDLE handle)
{
    if (handle)
        GlobalFree(handle);
}

std::size_t memorySize(TW_HANDLE handle)
{
    return handle ? GlobalSize(handle) : 0;
}

namespace platform {

void* openLibrary(const std::string& path)
{
    std::wstring name = fromUtf8(path);
    for (wchar_t& c : name) {
        if (c == L'/')
            c = L'\\';
    }
    return LoadLibraryW(name.c_str());
}

void closeLibrary(void* library)
{
    FreeLibrary(static_cast<HMODULE>(library));
}

void* resolveSymbol(void* library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string libraryPath(void* library)
{
    return toUtf8(moduleFileName(static_cast<HMODULE>(library)));
}

bool signatureAccepted(const std::string& path)
{
    DWORD lastError = 0;
    const LONG status = verifySignature(fromUtf8(path), &lastError);
    if (status == ERROR_SUCCESS)
        return true;
    if (status == LONG(TRUST_E_NOSIGNATURE)) {
        if (lastError == 0)
            return true;
        if (lastError == DWORD(TRUST_E_NOSIGNATURE) || lastError == DWORD(TRUST_E_SUBJECT_FORM_UNKNOWN)
            || lastError == DWORD(TRUST_E_PROVIDER_UNKNOWN)) {
            // An unsigned DSM is the user's call, asked every time one is loaded.
            const int answer = MessageBoxW(nullptr, L"The TWAIN DSM is not signed.\nContinue to load this DSM?",
                                           L"The TWAIN DSM Signature", MB_YESNO | MB_ICONWARNING | MB_SETFOREGROUND);
            if (answer == IDYES)
                return true;
            MessageBoxW(nullptr, systemMessage(lastError).c_str(), L"signature", MB_OK | MB_ICONWARNING);
            return false;
        }
        MessageBoxW(nullptr, systemMessage(lastError).c_str(), L"signature", MB_OK | MB_ICONWARNING);
        return false;
    }
    MessageBoxW(nullptr, systemMessage(DWORD(status)).c_str(), L"signature", MB_OK | MB_ICONWARNING);
    return false;
}

std::string executableFolder()
{
    const std::wstring path = moduleFileName(nullptr);
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::string() : toUtf8(path.substr(0, separator));
}

} // namespace platform

} // namespace TwainDsmLibrary
