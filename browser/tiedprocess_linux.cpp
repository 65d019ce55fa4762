#include "tiedprocess_native.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
extern "C" { // glibc 2.36 declares these without C linkage for C++
#include <sys/pidfd.h>
}
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// The program is a child process that the kernel kills when the shell's starting thread ends
// (PR_SET_PDEATHSIG), the counterpart of a job object that kills on close. It is watched and
// signalled through a pidfd, which names this one process even after its pid is reused.

namespace {

constexpr idtype_t kByPidfd = idtype_t(3); // P_PIDFD of <linux/wait.h>

// What the child reports through the close-on-exec pipe when it cannot become the program;
// a successful exec closes the pipe without a word.
struct StartFailure {
    enum Step : int { EnterFolder = 1, Execute = 2 };
    int step;
    int error;
};

// Everything the forked child needs, prepared beforehand: it may only make
// async-signal-safe calls.
struct ChildPlan {
    std::vector<char*> argv;
    const char* folder;
    pid_t shell;
    int reportFd;
    int fdLimit;
    int nullFd; // the null device for its output, or -1 to keep the shell's
};

[[noreturn]] void reportAndExit(int reportFd, StartFailure::Step step)
{
    const StartFailure failure {step, errno};
    [[maybe_unused]] const ssize_t written = write(reportFd, &failure, sizeof failure);
    _exit(127);
}

[[noreturn]] void becomeProgram(const ChildPlan& plan)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != plan.shell) // the shell ended before the tie was made
        _exit(127);
    // Handlers and blocked or ignored signals of the shell are none of the program's business
    // (an ignored SIGPIPE, for one, would survive exec).
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &byDefault, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (plan.nullFd >= 0) {
        dup2(plan.nullFd, STDOUT_FILENO);
        dup2(plan.nullFd, STDERR_FILENO);
    }
    // Only standard input, output and error reach the program: the instance lock and the
    // window socket among them would outlive the shell. The report pipe closes with exec too.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < plan.fdLimit; ++fd)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (chdir(plan.folder) != 0)
        reportAndExit(plan.reportFd, StartFailure::EnterFolder);
    execv(plan.argv[0], plan.argv.data());
    reportAndExit(plan.reportFd, StartFailure::Execute);
}

int descriptorLimit()
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 65536)
        return 65536;
    return int(limit.rlim_cur);
}

std::string systemError(int error)
{
    return std::strerror(error);
}

int waitForExit(int pidfd, int options)
{
    siginfo_t info {};
    int result;
    do {
        result = waitid(kByPidfd, id_t(pidfd), &info, options);
    } while (result != 0 && errno == EINTR);
    return result;
}

bool endsWithin(int pidfd, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd watched {pidfd, POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready = poll(&watched, 1, int(std::max<long long>(0, left.count())));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

class ChildProcess final : public TiedProcess::Native {
public:
    ~ChildProcess() override { terminate(TiedProcess::kDefaultGraceMs); }

    bool start(const TiedProcess::Command& command, std::string& error);
    std::int64_t processId() const override { return pid; }
    void watch(std::function<void()> ended) override;
    bool waitForEnd(int timeoutMs) override { return handle >= 0 && endsWithin(handle, timeoutMs); }
    void terminate(int graceMs) override;

private:
    pid_t pid = 0;
    int handle = -1; // refers to exactly this process until closed
    std::thread watcher;
    std::atomic<bool> terminating {false};
};

bool ChildProcess::start(const TiedProcess::Command& command, std::string& error)
{
    std::string program = command.program.string();
    std::vector<std::string> arguments = command.arguments;
    const std::string folder = command.workingFolder.string();
    ChildPlan plan {};
    plan.argv.push_back(program.data());
    for (std::string& argument : arguments)
        plan.argv.push_back(argument.data());
    plan.argv.push_back(nullptr);
    plan.folder = folder.c_str();
    plan.fdLimit = descriptorLimit();
    plan.nullFd = command.discardOutput ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = systemError(errno);
        if (plan.nullFd >= 0)
            close(plan.nullFd);
        return false;
    }
    plan.reportFd = report[1];
    plan.shell = getpid();
    const pid_t child = fork();
    if (child == 0)
        becomeProgram(plan);
    const int forkError = errno;
    close(report[1]);
    if (plan.nullFd >= 0)
        close(plan.nullFd);
    if (child < 0) {
        error = systemError(forkError);
        close(report[0]);
        return false;
    }

    StartFailure failure {};
    ssize_t got;
    do {
        got = read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == ssize_t(sizeof failure)) {
        waitpid(child, nullptr, 0);
        error = failure.step == StartFailure::EnterFolder ? "cannot enter " + folder + ": " + systemError(failure.error)
                                                          : "cannot run " + program + ": " + systemError(failure.error);
        return false;
    }
    handle = pidfd_open(child, 0);
    if (handle < 0) {
        error = "cannot watch " + program + ": " + systemError(errno);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        return false;
    }
    pid = child;
    return true;
}

void ChildProcess::watch(std::function<void()> ended)
{
    if (handle < 0 || watcher.joinable())
        return;
    watcher = std::thread([this, ended = std::move(ended)] {
        // WNOWAIT leaves the process to be collected by terminate(), so until then its pid
        // cannot pass to another process that a late signal would hit.
        waitForExit(handle, WEXITED | WNOWAIT);
        if (!terminating)
            ended();
    });
}

void ChildProcess::terminate(int graceMs)
{
    if (handle < 0)
        return;
    terminating = true;
    // The program alone, never its process group: what it started on purpose must live on.
    pidfd_send_signal(handle, SIGTERM, nullptr, 0);
    if (!endsWithin(handle, graceMs))
        pidfd_send_signal(handle, SIGKILL, nullptr, 0);
    waitForExit(handle, WEXITED);
    if (watcher.joinable())
        watcher.join();
    close(handle);
    handle = -1;
}

} // namespace

std::unique_ptr<TiedProcess::Native> TiedProcess::Native::start(const Command& command, std::string& error)
{
    auto process = std::make_unique<ChildProcess>();
    if (!process->start(command, error))
        return nullptr;
    return process;
}
