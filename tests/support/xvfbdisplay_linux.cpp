#include "xvfbdisplay.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vtest {

namespace {
constexpr int kStartTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 10000;
constexpr int kDisplayFd = 3;

bool readable(int fd, const QDeadlineTimer& deadline)
{
    pollfd watched {fd, POLLIN, 0};
    for (;;) {
        const int ready = poll(&watched, 1, int(deadline.remainingTime()));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}
} // namespace

void XvfbDisplay::start()
{
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    // Above the descriptor it becomes in Xvfb, so the move to it clears close-on-exec.
    const int writeEnd = fcntl(channel[1], F_DUPFD_CLOEXEC, 10);
    close(channel[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, kDisplayFd);
    const char* const argv[] = {"Xvfb", "-displayfd", "3", "-dpi", "96", "-screen", "0", "1280x800x24",
                                "-nolisten", "tcp", "-noreset", nullptr};
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "Xvfb", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(writeEnd);
    if (spawned != 0) {
        close(channel[0]);
        error = QStringLiteral("cannot start Xvfb: ") + QString::fromLocal8Bit(std::strerror(spawned));
        return;
    }
    pid = child;
    pidHandle = int(syscall(SYS_pidfd_open, child, 0));

    // Xvfb writes its display number once it accepts clients.
    QByteArray number;
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!number.endsWith('\n') && readable(channel[0], deadline)) {
        char buffer[16];
        const ssize_t got = read(channel[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        number.append(buffer, int(got));
    }
    close(channel[0]);
    if (!number.endsWith('\n')) {
        error = QStringLiteral("Xvfb did not report a display");
        stop();
        return;
    }
    displayName = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    focusRoot();
}

void XvfbDisplay::stop()
{
    if (pid <= 0)
        return;
    kill(pid_t(pid), SIGTERM);
    if (pidHandle >= 0 && !readable(pidHandle, QDeadlineTimer(kStopTimeoutMs)))
        kill(pid_t(pid), SIGKILL);
    waitpid(pid_t(pid), nullptr, 0);
    if (pidHandle >= 0)
        close(pidHandle);
    pidHandle = -1;
    pid = 0;
}

} // namespace vtest
