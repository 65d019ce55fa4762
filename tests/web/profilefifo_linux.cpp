#include "profilefifo.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString plainCopyOf(const QString& path)
{
    return path + QStringLiteral(".file");
}

} // namespace

ProfileFifo::ProfileFifo(const QString& path, const QByteArray& profile)
    : fifoPath(path)
    , content(profile)
{
    QFile plain(plainCopyOf(path));
    valid = plain.open(QIODevice::WriteOnly | QIODevice::Truncate) && plain.write(profile) == profile.size();
    plain.close();
    valid = valid && ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    if (valid)
        writer = std::thread([this] { serveFirstRead(); });
}

ProfileFifo::~ProfileFifo()
{
    if (writer.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        // The writer may still wait for its reader: be that reader (harmless once it has one).
        const int fd = ::open(QFile::encodeName(fifoPath).constData(), O_RDONLY | O_NONBLOCK);
        writer.join();
        if (fd >= 0)
            ::close(fd);
    }
    QFile::remove(fifoPath);
    QFile::remove(plainCopyOf(fifoPath));
}

void ProfileFifo::openGate()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        shut = false;
    }
    changed.notify_all();
}

bool ProfileFifo::hasHeldReader() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return heldReader;
}

void ProfileFifo::serveFirstRead()
{
    const QByteArray name = QFile::encodeName(fifoPath);
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_WRONLY); // blocks until a reader opens the pipe
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return;
    {
        std::unique_lock<std::mutex> lock(mutex);
        heldReader = !stopping;
        changed.wait(lock, [this] { return !shut || stopping; });
        heldReader = false;
    }
    // Later reads find the plain file; the held reader keeps the pipe and sees its end.
    ::rename(QFile::encodeName(plainCopyOf(fifoPath)).constData(), name.constData());
    for (qint64 written = 0; written < content.size();) {
        const ssize_t n = ::write(fd, content.constData() + written, size_t(content.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    ::close(fd);
}
