#include "platform.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace twaindsm {
namespace {

std::wstring wide(const std::string &utf8)
{
    if (utf8.empty())
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring text(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), length);
    return text;
}

std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), bytes.data(), length, nullptr, nullptr);
    return bytes;
}

std::string withoutTrailingSeparator(std::string path)
{
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/'))
        path.pop_back();
    return path;
}

} // namespace

std::string libraryFolder()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&libraryFolder), &self))
        return ".";
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(self, path.data(), DWORD(path.size()));
        if (length == 0)
            return ".";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::string(".") : utf8(path.substr(0, separator));
}

bool fileExists(const std::string &path)
{
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string temporaryFolder()
{
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH)
        return ".";
    return withoutTrailingSeparator(utf8(std::wstring(folder, length)));
}

unsigned long processId()
{
    return GetCurrentProcessId();
}

std::vector<std::string> filesInFolder(const std::string &folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(wide(withoutTrailingSeparator(folder) + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (entry.cFileName[0] != L'.' && !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(utf8(entry.cFileName));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

void *openSharedLibrary(const std::string &name, std::string &error)
{
    HMODULE library = LoadLibraryW(wide(name).c_str());
    if (!library)
        error = name + ": error " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(library);
}

void *sharedLibrarySymbol(void *library, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeSharedLibrary(void *library)
{
    FreeLibrary(static_cast<HMODULE>(library));
}

bool saneSupported()
{
    return false;
}

TW_HANDLE allocateHandle(size_t size)
{
    // Fixed memory: its handle is its address too, for applications that skip GlobalLock.
    return GlobalAlloc(GPTR, size ? size : 1);
}

void *lockHandle(TW_HANDLE handle)
{
    return handle ? GlobalLock(handle) : nullptr;
}

void unlockHandle(TW_HANDLE handle)
{
    if (handle)
        GlobalUnlock(handle);
}

void freeHandle(TW_HANDLE handle)
{
    if (handle)
        GlobalFree(handle);
}

TW_HANDLE pageAsHandle(void *page, size_t size)
{
    TW_HANDLE handle = GlobalAlloc(GMEM_FIXED, size ? size : 1);
    if (handle && page)
        std::memcpy(handle, page, size);
    std::free(page);
    return handle;
}

namespace {

UINT wakeMessage()
{
    static const UINT message = RegisterWindowMessageW(L"VelloxTwainDsmSourceEvent");
    return message;
}

} // namespace

void wakeApplication(TW_HANDLE window)
{
    if (window)
        PostMessageW(static_cast<HWND>(window), wakeMessage(), 0, 0);
}

bool mayCarrySourceMessage(const void *platformEvent)
{
    return !platformEvent || static_cast<const MSG *>(platformEvent)->message == wakeMessage();
}

void *holdLibrary()
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&holdLibrary), &self);
    return self;
}

void releaseLibrary(void *hold)
{
    if (hold)
        FreeLibrary(static_cast<HMODULE>(hold));
}

bool managerEndsWithLibrary()
{
    return false;
}

} // namespace twaindsm
