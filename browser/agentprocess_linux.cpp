#include "agentprocess_native.h"

#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
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
#include <unistd.h>

// The agent is a child process that the kernel kills when the shell's main thread ends
// (PR_SET_PDEATHSIG), the counterpart of a job object that kills on close. It is watched and
// signalled through a pidfd, which names this one process even after its pid is reused.

namespace {

constexpr idtype_t kByPidfd = idtype_t(3); // P_PIDFD of <linux/wait.h>

// What the child reports through the close-on-exec pipe when it cannot become the agent;
// a successful exec closes the pipe without a word.
struct StartFailure {
    enum Step : int { EnterFolder = 1, Execute = 2 };
    int step;
    int error;
};

[[noreturn]] void reportAndExit(int reportFd, StartFailure::Step step)
{
    const StartFailure failure {step, errno};
    [[maybe_unused]] const ssize_t written = write(reportFd, &failure, sizeof failure);
    _exit(127);
}

// Runs in the forked child: async-signal-safe calls only, everything prepared beforehand.
[[noreturn]] void becomeAgent(char* const argv[], const char* folder, pid_t shell, int reportFd, int fdLimit)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != shell) // the shell ended before the tie was made
        _exit(127);
    // Handlers and blocked or ignored signals of the shell are none of the agent's business
    // (an ignored SIGPIPE, for one, would survive exec).
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &byDefault, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Only standard input, output and error reach the agent: the instance lock and the
    // window socket among them would outlive the shell. The report pipe closes with exec too.
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < fdLimit; ++fd)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (chdir(folder) != 0)
        reportAndExit(reportFd, StartFailure::EnterFolder);
    execv(argv[0], argv);
    reportAndExit(reportFd, StartFailure::Execute);
}

int descriptorLimit()
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 65536)
        return 65536;
    return int(limit.rlim_cur);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
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
    const QDeadlineTimer deadline(timeoutMs);
    pollfd watched {pidfd, POLLIN, 0};
    for (;;) {
        const int ready = poll(&watched, 1, int(deadline.remainingTime()));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

AgentProcess::Native::~Native()
{
    if (handle >= 0)
        terminate(kTerminateGraceMs);
}

bool AgentProcess::Native::start(const QString& program, const QString& workingFolder, QString& error)
{
    QByteArray programPath = QFile::encodeName(program);
    const QByteArray folder = QFile::encodeName(workingFolder);
    QByteArray hidden("--hidden");
    char* const argv[] = {programPath.data(), hidden.data(), nullptr};
    const int fdLimit = descriptorLimit();

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = systemError(errno);
        return false;
    }
    const pid_t shell = getpid();
    const pid_t child = fork();
    if (child < 0) {
        error = systemError(errno);
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (child == 0)
        becomeAgent(argv, folder.constData(), shell, report[1], fdLimit);

    close(report[1]);
    StartFailure failure {};
    ssize_t got;
    do {
        got = read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == ssize_t(sizeof failure)) {
        waitpid(child, nullptr, 0);
        error = (failure.step == StartFailure::EnterFolder ? QStringLiteral("cannot enter %1: %2")
                                                            : QStringLiteral("cannot run %1: %2"))
                    .arg(failure.step == StartFailure::EnterFolder ? workingFolder : program,
                         systemError(failure.error));
        return false;
    }
    handle = pidfd_open(child, 0);
    if (handle < 0) {
        error = QStringLiteral("cannot watch the agent: %1").arg(systemError(errno));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        return false;
    }
    pid = child;
    return true;
}

void AgentProcess::Native::startWatcher()
{
    if (handle < 0 || watcher.joinable())
        return;
    watcher = std::thread([this] { watch(); });
}

void AgentProcess::Native::watch()
{
    // WNOWAIT leaves the process to be collected by terminate(), so until then its pid cannot
    // pass to another process that a late signal would hit.
    waitForExit(handle, WEXITED | WNOWAIT);
    if (!terminating)
        Q_EMIT owner.ended();
}

void AgentProcess::Native::terminate(int graceMs)
{
    if (handle < 0)
        return;
    terminating = true;
    // The agent alone, never its process group: the installer it started must live on.
    pidfd_send_signal(handle, SIGTERM, nullptr, 0);
    if (!endsWithin(handle, graceMs))
        pidfd_send_signal(handle, SIGKILL, nullptr, 0);
    waitForExit(handle, WEXITED);
    if (watcher.joinable())
        watcher.join();
    close(handle);
    handle = -1;
}
