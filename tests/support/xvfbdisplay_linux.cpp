#include "xvfbdisplay.h"

#include "wait.h"

#include <QDeadlineTimer>
#include <QLocalSocket>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace vtest {

namespace {
constexpr int kStartTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 10000;
constexpr int kDisplayFd = 3;

bool collected(pid_t pid)
{
    return waitpid(pid, nullptr, WNOHANG) == pid;
}
} // namespace

void XvfbDisplay::start()
{
    // A socket rather than a pipe, so Qt can wait on it with a deadline.
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
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
    QLocalSocket reader;
    reader.setSocketDescriptor(channel[0], QLocalSocket::ConnectedState, QIODevice::ReadOnly);
    if (spawned != 0) {
        error = QStringLiteral("cannot start Xvfb: ") + QString::fromLocal8Bit(std::strerror(spawned));
        return;
    }
    pid = child;

    // Xvfb writes its display number once it accepts clients.
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!reader.canReadLine() && !deadline.hasExpired()) {
        if (!reader.waitForReadyRead(int(deadline.remainingTime())))
            break;
    }
    if (!reader.canReadLine()) {
        error = QStringLiteral("Xvfb did not report a display");
        stop();
        return;
    }
    displayName = QLatin1Char(':') + QString::fromLatin1(reader.readLine().trimmed());
    focusRoot();
}

namespace {
void stopChild(pid_t child)
{
    kill(child, SIGTERM);
    if (!waitUntil([&] { return collected(child); }, kStopTimeoutMs)) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}
} // namespace

bool XvfbDisplay::startTrayHost()
{
    if (trayPid > 0)
        return trayHostGeometry().has_value();
    if (!isRunning())
        return false;
    // Its own environment: this display, whatever the process's DISPLAY is.
    std::vector<QByteArray> variables;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "DISPLAY=", 8) != 0)
            variables.emplace_back(*entry);
    }
    variables.push_back("DISPLAY=" + displayName.toLocal8Bit());
    std::vector<char*> env;
    for (QByteArray& variable : variables)
        env.push_back(variable.data());
    env.push_back(nullptr);
    const char* const argv[] = {"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                "--height", "32", "--SetDockType", "false", "--transparent", "false", nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "trayer", nullptr, nullptr, const_cast<char* const*>(argv), env.data()) != 0)
        return false;
    trayPid = child;
    return waitUntil([&] { return trayHostGeometry().has_value(); }, kStartTimeoutMs);
}

void XvfbDisplay::stopTrayHost()
{
    if (trayPid <= 0)
        return;
    stopChild(pid_t(trayPid));
    trayPid = 0;
}

void XvfbDisplay::stop()
{
    stopTrayHost();
    if (pid <= 0)
        return;
    const pid_t server = pid_t(pid);
    kill(server, SIGTERM);
    if (!waitUntil([&] { return collected(server); }, kStopTimeoutMs)) {
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
    }
    pid = 0;
}

} // namespace vtest
