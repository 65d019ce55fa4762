// The installer leaves the agent's process tree: fork, a new session in the child, fork again,
// so the grandchild (the installer) leads no session and belongs to no terminal or process
// group of ours, and a parent-death signal set for the agent does not reach it. The child
// stays only to wait for the installer and write its exit status into a pipe the agent reads;
// when the agent is gone first, both run on without it.
// Neither holds anything of the agent's: the installer has /dev/null on 0-2 and nothing else,
// the child the status pipe besides (the agent's listening socket and log file are not
// close-on-exec, and a process holding the port would keep the next agent from listening).
// A close-on-exec pipe brings exec's error back, so a failed start is known.
#include "upgrade/installerlauncher.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace InstallerLauncher {

namespace {

constexpr int kReportFd = 3;
constexpr int kStatusFd = 3; // in the waiting child, which has no report pipe
constexpr int kFirstSpareFd = 10;
constexpr const char* kWaiterName = "vellox-install";

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

// The standard descriptors on /dev/null, `keep` moved to `target` (close-on-exec), every other
// descriptor closed. False when a step failed.
bool keepOnly(int keep, int target, int* moved)
{
    // Off the standard descriptors first: the agent may have been started without them.
    const int spare = ::fcntl(keep, F_DUPFD_CLOEXEC, kFirstSpareFd);
    if (spare < 0)
        return false;
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull < 0)
        return false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::dup2(devNull, fd) < 0)
            return false;
    }
    if (::dup3(spare, target, O_CLOEXEC) < 0)
        return false;
    *moved = target;
    ::closefrom(target + 1);
    return true;
}

// The agent's signal handlers and mask mean nothing in a process that is not the agent.
void defaultSignals()
{
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
        ::signal(sig, SIG_DFL);
}

[[noreturn]] void execInstaller(const char* program, char* const* argv, int reportFd)
{
    defaultSignals();

    int report = reportFd;
    if (!keepOnly(reportFd, kReportFd, &report))
        failIn(report, errno);
    ::execv(program, argv);
    failIn(report, errno);
}

// The waiting child: nothing of the agent's but the status pipe; writes how the installer ended.
[[noreturn]] void waitForInstaller(pid_t installer, int statusFd)
{
    defaultSignals();
    // Still the agent's executable: named apart, so whoever looks for running agents (the
    // package's scripts) leaves it alone.
    ::prctl(PR_SET_NAME, kWaiterName);
    int status = statusFd;
    if (!keepOnly(statusFd, kStatusFd, &status))
        ::_exit(1);
    int how = 0;
    pid_t ended;
    while ((ended = ::waitpid(installer, &how, 0)) < 0 && errno == EINTR) {
    }
    const int code = ended < 0 ? -1 : WIFEXITED(how) ? WEXITSTATUS(how) : 128 + WTERMSIG(how);
    writeError(status, code);
    ::_exit(0);
}

class LinuxWatch : public Watch {
public:
    LinuxWatch(pid_t child, int statusFd)
        : child(child)
        , statusFd(statusFd)
    {
        ::fcntl(statusFd, F_SETFL, ::fcntl(statusFd, F_GETFL) | O_NONBLOCK);
    }
    ~LinuxWatch() override
    {
        ::close(statusFd);
        reap(WNOHANG);
    }

    std::optional<int> exitStatus() override
    {
        if (ended)
            return status;
        char* into = reinterpret_cast<char*>(&status) + got;
        const ssize_t n = ::read(statusFd, into, sizeof status - got);
        if (n < 0)
            return std::nullopt; // nothing yet (or interrupted): asked again later
        got += size_t(n);
        if (n > 0 && got < sizeof status)
            return std::nullopt;
        if (got < sizeof status)
            status = -1; // the waiting child ended without a word
        ended = true;
        reap(0);
        return status;
    }

private:
    void reap(int options)
    {
        if (child > 0 && ::waitpid(child, nullptr, options) == child)
            child = 0;
    }

    pid_t child;
    int statusFd;
    int status = 0;
    size_t got = 0;
    bool ended = false;
};

} // namespace

bool supports(KELUpgradePackage::Kind kind)
{
    using KELUpgradePackage::Kind;
    return kind == Kind::ShellScript || kind == Kind::AppImage || kind == Kind::DebianPackage;
}

std::string administratorNeeded(KELUpgradePackage::Kind kind, const std::string& installFolder)
{
    using KELUpgradePackage::Kind;
    int error = 0;
    switch (kind) {
    case Kind::DebianPackage:
        // PackageKit asks for an administrator's password itself (polkit).
        resolveProgram("pkcon", &error);
        return error == 0 ? std::string() : "PackageKit's pkcon, which installs a .deb for a user, is not installed";
    case Kind::ShellScript:
        if (::access(installFolder.c_str(), W_OK) != 0)
            return "the script would write " + installFolder + ", which this user cannot (" + std::strerror(errno) + ")";
        return std::string();
    case Kind::AppImage:
    case Kind::WindowsInstaller:
    case Kind::Unknown:
        break;
    }
    return std::string();
}

std::vector<std::string> commandFor(KELUpgradePackage::Kind kind, const std::string& path)
{
    using KELUpgradePackage::Kind;
    switch (kind) {
    case Kind::ShellScript: return {"/bin/sh", path};
    case Kind::AppImage: return {path};
    // The package was verified here (hash and, where keys are installed, signature); PackageKit
    // would refuse a local file as unsigned by the distribution without --allow-untrusted.
    case Kind::DebianPackage: return {"pkcon", "--noninteractive", "--plain", "--allow-untrusted", "install-local", path};
    case Kind::WindowsInstaller:
    case Kind::Unknown: break;
    }
    return {};
}

Launched startDetached(const std::vector<std::string>& argv)
{
    Launched launched;
    if (argv.empty() || argv.front().empty()) {
        launched.error = EINVAL;
        return launched;
    }
    int error = 0;
    const std::string program = resolveProgram(argv.front(), &error);
    if (error != 0) {
        launched.error = error;
        return launched;
    }
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);

    int report[2];
    int status[2];
    if (::pipe2(report, O_CLOEXEC) < 0) {
        launched.error = errno;
        return launched;
    }
    if (::pipe2(status, O_CLOEXEC) < 0) {
        launched.error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return launched;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        launched.error = errno;
        for (int fd : {report[0], report[1], status[0], status[1]})
            ::close(fd);
        return launched;
    }
    if (child == 0) {
        ::close(report[0]);
        ::close(status[0]);
        if (::setsid() < 0)
            failIn(report[1], errno);
        const pid_t installer = ::fork();
        if (installer < 0)
            failIn(report[1], errno);
        if (installer == 0) {
            ::close(status[1]);
            execInstaller(program.c_str(), arguments.data(), report[1]);
        }
        ::close(report[1]); // the installer's copy alone now decides when the agent reads the end
        waitForInstaller(installer, status[1]);
    }

    ::close(report[1]);
    ::close(status[1]);
    // Nothing arrives when exec succeeded: the pipe closes with the last copy of its write end.
    int reported = 0;
    char* into = reinterpret_cast<char*>(&reported);
    size_t got = 0;
    while (got < sizeof reported) {
        const ssize_t n = ::read(report[0], into + got, sizeof reported - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    ::close(report[0]);
    if (got == sizeof reported) {
        launched.error = reported;
        ::close(status[0]);
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return launched;
    }
    launched.watch = std::make_unique<LinuxWatch>(child, status[0]);
    return launched;
}

Launched launch(KELUpgradePackage::Kind kind, const std::string& path)
{
    Launched failed;
    if (!supports(kind)) {
        failed.error = ENOEXEC;
        return failed;
    }
    if (kind == KELUpgradePackage::Kind::AppImage) {
        struct stat info {};
        if (::stat(path.c_str(), &info) < 0 || ::chmod(path.c_str(), info.st_mode | S_IXUSR) < 0) {
            failed.error = errno;
            return failed;
        }
    }
    return startDetached(commandFor(kind, path));
}

std::string errorText(int error)
{
    return std::strerror(error);
}

} // namespace InstallerLauncher
