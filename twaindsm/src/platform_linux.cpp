#include "platform.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace twaindsm {

std::string libraryFolder()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&libraryFolder), &info) == 0 || !info.dli_fname)
        return ".";
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool fileExists(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::string temporaryFolder()
{
    const char *folder = std::getenv("TMPDIR");
    return folder && *folder ? std::string(folder) : std::string("/tmp");
}

unsigned long processId()
{
    return static_cast<unsigned long>(getpid());
}

std::vector<std::string> filesInFolder(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *directory = opendir(folder.c_str());
    if (!directory)
        return names;
    while (dirent *entry = readdir(directory)) {
        if (entry->d_name[0] != '.' && fileExists(folder + "/" + entry->d_name))
            names.push_back(entry->d_name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

void *openSharedLibrary(const std::string &name, std::string &error)
{
    // Stays mapped after sane_exit: a thread abandoned inside a hung driver still runs its code,
    // and crash and leak reports can name the library of what its drivers left behind.
    void *library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!library) {
        const char *reason = dlerror();
        error = reason ? reason : name;
    }
    return library;
}

void *sharedLibrarySymbol(void *library, const char *name)
{
    return dlsym(library, name);
}

void closeSharedLibrary(void *library)
{
    dlclose(library);
}

bool saneSupported()
{
    return true;
}

TW_HANDLE allocateHandle(size_t size)
{
    return std::calloc(1, size ? size : 1);
}

void *lockHandle(TW_HANDLE handle)
{
    return handle;
}

void unlockHandle(TW_HANDLE)
{
}

void freeHandle(TW_HANDLE handle)
{
    std::free(handle);
}

TW_HANDLE pageAsHandle(void *page, size_t)
{
    return page;
}

void wakeApplication(TW_HANDLE)
{
}

bool mayCarrySourceMessage(const void *)
{
    return true;
}

void *holdLibrary()
{
    return nullptr;
}

void releaseLibrary(void *)
{
}

bool managerEndsWithLibrary()
{
    return true;
}

} // namespace twaindsm
