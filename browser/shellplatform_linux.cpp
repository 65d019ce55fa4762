#include "shellplatform.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace ShellPlatform {

bool runsAsAdministrator()
{
    return geteuid() == 0;
}

bool redirectStandardError(const QString& path)
{
    const int fd = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool redirected = dup2(fd, STDERR_FILENO) >= 0;
    close(fd);
    return redirected;
}

} // namespace ShellPlatform
