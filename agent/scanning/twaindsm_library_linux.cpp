// Linux side of the DSM seam: libtwaindsm.so through dlopen, containers on the C heap, and
// data-source events through the TWAIN 2 callback.
#include "scanning/twaindsm_library.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <malloc.h>

namespace TwainDsmLibrary {

const char* dsmFileName()
{
    return "libtwaindsm.so";
}

bool eventsArriveByCallback()
{
    return true;
}

TW_HANDLE allocateMemory(std::size_t size)
{
    return std::calloc(1, size);
}

void* lockMemory(TW_HANDLE handle)
{
    return handle;
}

void unlockMemory(TW_HANDLE)
{
}

void freeMemory(TW_HANDLE handle)
{
    std::free(handle);
}

std::size_t memorySize(TW_HANDLE handle)
{
    return handle ? malloc_usable_size(handle) : 0;
}

namespace platform {

void* openLibrary(const std::string& path)
{
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void closeLibrary(void* library)
{
    dlclose(library);
}

void* resolveSymbol(void* library, const char* name)
{
    return dlsym(library, name);
}

std::string libraryPath(void* library)
{
    void* entry = dlsym(library, "DSM_Entry");
    Dl_info info{};
    if (entry && dladdr(entry, &info) && info.dli_fname)
        return info.dli_fname;
    return {};
}

bool signatureAccepted(const std::string&)
{
    // Shared objects carry no signature that the system verifies.
    return true;
}

std::string executableFolder()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    const std::string exe(path, static_cast<size_t>(length));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

} // namespace platform

} // namespace TwainDsmLibrary
