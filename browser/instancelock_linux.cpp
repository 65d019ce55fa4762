#include "instancelock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

bool InstanceLock::tryAcquire()
{
    if (handle >= 0)
        return true;
    const QByteArray name = QFile::encodeName(path);
    // Close-on-exec: a program the shell starts must not keep the lock alive after the shell.
    int fd = open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES)
        fd = open(name.constData(), O_RDONLY | O_CLOEXEC); // created by another user: locking needs no write
    if (fd < 0)
        return false;
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        close(fd);
        return false;
    }
    handle = fd;
    return true;
}

void InstanceLock::release()
{
    if (handle < 0)
        return;
    close(handle); // drops the lock
    handle = -1;
}
