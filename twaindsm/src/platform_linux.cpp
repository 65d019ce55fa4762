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

} // namespace twaindsm
