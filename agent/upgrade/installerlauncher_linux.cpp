// The installer leaves the agent's process tree: fork, a new session in the child, fork again
// and let the child end at once, so the grandchild belongs to init and to no terminal or
// process group of ours, and a parent-death signal set for the agent does not reach it.
// The grandchild holds /dev/null on 0-2 and nothing else: the agent's listening socket and log
// file are not close-on-exec, and an installer holding the port would keep the next agent from
// listening. A close-on-exec pipe brings exec's error back, so a failed start is known.
#include "upgrade/installerlauncher.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace InstallerLauncher {

namespace {

constexpr int kReportFd = 3;
constexpr int kFirstSpareFd = 10;

// The program's file, looked up in PATH in the parent: after fork only simple calls are safe.
std::string resolveProgram(const std::string& name, int* error)
{
    *error = 0;
    if (name.find('/') != std::string::npos)
        return name;
    const char* searchPath = std::getenv("PATH");
    std::string folders = searchPath && *searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin";
    int firstError = ENOENT;
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
            firstError = EACCES;
        }
        start = end + 1;
    }
    *error = firstError;
    return std::string();
}

void writeError(int fd, int error)
{
    const char* data = reinterpret_cast<const char*>(&error);
    size_t left = sizeof error;
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= size_t(written);
    }
}

[[noreturn]] void failIn(int reportFd, int error)
{
    writeError(reportFd, error);
    ::_exit(127);
}

[[noreturn]] void execInstaller(const char* program, char* const* argv, int reportFd)
{
    // Off the standard descriptors first: the agent may have been started without them.
    int report = ::fcntl(reportFd, F_DUPFD_CLOEXEC, kFirstSpareFd);
    if (report < 0)
        failIn(reportFd, errno);

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
        ::signal(sig, SIG_DFL);

    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull < 0)
        failIn(report, errno);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::dup2(devNull, fd) < 0)
            failIn(report, errno);
    }
    if (::dup3(report, kReportFd, O_CLOEXEC) < 0)
        failIn(report, errno);
    report = kReportFd;
    ::closefrom(kReportFd + 1);

    ::execv(program, argv);
    failIn(report, errno);
}

} // namespace

bool supports(KELUpgradePackage::Kind kind)
{
    using KELUpgradePackage::Kind;
    return kind == Kind::ShellScript || kind == Kind::AppImage || kind == Kind::DebianPackage;
}

std::vector<std::string> commandFor(KELUpgradePackage::Kind kind, const std::string& path)
{
    using KELUpgradePackage::Kind;
    switch (kind) {
    case Kind::ShellScript: return {"/bin/sh", path};
    case Kind::AppImage: return {path};
    case Kind::DebianPackage: return {"xdg-open", path};
    case Kind::WindowsInstaller:
    case Kind::Unknown: break;
    }
    return {};
}

int startDetached(const std::vector<std::string>& argv)
{
    if (argv.empty() || argv.front().empty())
        return EINVAL;
    int error = 0;
    const std::string program = resolveProgram(argv.front(), &error);
    if (error != 0)
        return error;
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) < 0)
        return errno;
    const pid_t child = ::fork();
    if (child < 0) {
        error = errno;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return error;
    }
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setsid() < 0)
            failIn(pipeFds[1], errno);
        const pid_t grandchild = ::fork();
        if (grandchild < 0)
            failIn(pipeFds[1], errno);
        if (grandchild == 0)
            execInstaller(program.c_str(), arguments.data(), pipeFds[1]);
        ::_exit(0);
    }

    ::close(pipeFds[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // Nothing arrives when exec succeeded: the pipe closes with the last copy of its write end.
    int reported = 0;
    char* into = reinterpret_cast<char*>(&reported);
    size_t got = 0;
    while (got < sizeof reported) {
        const ssize_t n = ::read(pipeFds[0], into + got, sizeof reported - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    ::close(pipeFds[0]);
    if (got == sizeof reported)
        return reported;
    // The child died before it could start the installer or report why.
    if (got == 0 && (!WIFEXITED(status) || WEXITSTATUS(status) != 0))
        return ECHILD;
    return 0;
}

int launch(KELUpgradePackage::Kind kind, const std::string& path)
{
    if (!supports(kind))
        return ENOEXEC;
    if (kind == KELUpgradePackage::Kind::AppImage) {
        struct stat info {};
        if (::stat(path.c_str(), &info) < 0)
            return errno;
        if (::chmod(path.c_str(), info.st_mode | S_IXUSR) < 0)
            return errno;
    }
    return startDetached(commandFor(kind, path));
}

std::string errorText(int error)
{
    return std::strerror(error);
}

} // namespace InstallerLauncher
