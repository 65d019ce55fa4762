#include "shellplatform.h"

#include "rotatingfile.h"
#include "shellrules.h"

#include <QFile>

#include <cerrno>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace ShellPlatform {

namespace {
// Copies what arrives on `fd` into the log until every writer has closed its end.
void pump(int fd, std::unique_ptr<RotatingFile> log)
{
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        log->write(buffer, std::size_t(got));
    }
    ::close(fd);
}
} // namespace

bool runsAsAdministrator()
{
    return geteuid() == 0;
}

bool redirectStandardError(const QString& path)
{
    auto log = std::make_unique<RotatingFile>(QFile::encodeName(path).toStdString(), ShellRules::kEngineLogBytes, ShellRules::kEngineLogFiles);
    // Opened now, so a log that cannot be written leaves standard error as it was.
    if (!log->write("", 0))
        return false;
    // The engine's helper processes inherit standard error: all of it goes through one pipe
    // into the one writer that counts the file's size.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    if (::dup2(ends[1], STDERR_FILENO) < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    ::close(ends[1]);
    std::thread(pump, ends[0], std::move(log)).detach();
    return true;
}

} // namespace ShellPlatform
