#include "foundation/userlocal.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace UserLocal {

namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// A directory itself (not a link to one), owned by this user, closed to everyone else.
bool isPrivate(const std::string& dir)
{
    struct stat info {};
    return ::lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
        && (info.st_mode & 077) == 0;
}

// Creates `dir` (its parent must exist) or takes it when it is the user's; a folder of the
// user's with looser permissions is closed first.
bool claim(const std::string& dir)
{
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        return false;
    if ((info.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
        return false;
    return isPrivate(dir);
}

std::string ownName()
{
    return "vellox-" + std::to_string(::geteuid());
}

} // namespace

std::string folder()
{
    const std::string runtime = environment("XDG_RUNTIME_DIR");
    if (!runtime.empty() && runtime.front() == '/' && isPrivate(runtime))
        return runtime;

    std::string temporary = environment("TMPDIR");
    if (temporary.empty() || temporary.front() != '/')
        temporary = "/tmp";
    if (claim(temporary + "/" + ownName()))
        return temporary + "/" + ownName();

    // Someone else took the name in the shared folder: the home folder is the user's alone.
    std::string cache = environment("XDG_CACHE_HOME");
    if (cache.empty() || cache.front() != '/') {
        const std::string home = environment("HOME");
        if (home.empty() || home.front() != '/')
            return std::string();
        ::mkdir((home + "/.cache").c_str(), 0700);
        cache = home + "/.cache";
    }
    if (claim(cache + "/" + ownName()))
        return cache + "/" + ownName();
    return std::string();
}

std::string path(const std::string& name)
{
    const std::string dir = folder();
    return dir.empty() ? name : dir + "/" + name;
}

} // namespace UserLocal
