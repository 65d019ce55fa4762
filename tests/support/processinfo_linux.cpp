#include "processinfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vtest::processinfo {

namespace {
QByteArray readProc(qint64 pid, const char* entry)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(entry)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The fields of /proc/<pid>/stat after the program name, which may itself hold blanks.
QList<QByteArray> statFields(qint64 pid)
{
    const QByteArray stat = readProc(pid, "stat");
    const int nameEnd = stat.lastIndexOf(')');
    return nameEnd < 0 ? QList<QByteArray>() : stat.mid(nameEnd + 2).split(' ');
}
} // namespace

bool isAlive(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return !fields.isEmpty() && fields[0] != "Z" && fields[0] != "X";
}

QString executable(qint64 pid)
{
    const QByteArray link = QFile::encodeName(QStringLiteral("/proc/%1/exe").arg(pid));
    char buffer[4096];
    const ssize_t length = readlink(link.constData(), buffer, sizeof buffer - 1);
    return length < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(length)));
}

QList<qint64> runningProgram(const QString& path)
{
    const QString deleted = path + QStringLiteral(" (deleted)");
    QList<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || !isAlive(pid))
            continue;
        const QString program = executable(pid);
        if (program == path || program == deleted)
            found << pid;
    }
    return found;
}

QList<qint64> childrenNamed(qint64 parent, const QString& name)
{
    QList<qint64> children;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QList<QByteArray> fields = statFields(pid);
        if (fields.size() < 2 || fields[1].toLongLong() != parent || !isAlive(pid))
            continue;
        const QStringList started = arguments(pid);
        if (!started.isEmpty() && QFileInfo(started.front()).fileName() == name)
            children << pid;
    }
    return children;
}

QStringList arguments(qint64 pid)
{
    QByteArray line = readProc(pid, "cmdline");
    if (line.endsWith('\0'))
        line.chop(1);
    QStringList parts;
    if (line.isEmpty())
        return parts;
    for (const QByteArray& part : line.split('\0'))
        parts << QFile::decodeName(part);
    return parts;
}

QString workingFolder(qint64 pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget();
}

QList<QPair<int, QString>> descriptors(qint64 pid)
{
    QList<QPair<int, QString>> found;
    const QDir folder(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo& entry : folder.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
        const QByteArray target = QFile::encodeName(entry.absoluteFilePath());
        char buffer[4096];
        const ssize_t length = readlink(target.constData(), buffer, sizeof buffer - 1);
        if (length >= 0)
            found.append({entry.fileName().toInt(), QFile::decodeName(QByteArray(buffer, int(length)))});
    }
    return found;
}

std::optional<bool> sendsWithoutDelay(qint64 pid, quint16 peerPort)
{
    // A copy of each of its socket descriptors, through a descriptor of the process (Linux 5.6).
    const int process = int(syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (process < 0)
        return std::nullopt;
    std::optional<bool> answer;
    for (const auto& [number, target] : descriptors(pid)) {
        if (answer || !target.startsWith(QLatin1String("socket:")))
            continue;
        const int copy = int(syscall(SYS_pidfd_getfd, process, number, 0));
        if (copy < 0)
            continue;
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        int noDelay = 0;
        socklen_t optionLength = sizeof noDelay;
        if (getpeername(copy, reinterpret_cast<sockaddr*>(&peer), &length) == 0
            && (peer.ss_family == AF_INET || peer.ss_family == AF_INET6)) {
            const quint16 port = ntohs(peer.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&peer)->sin_port
                                                                 : reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
            if (port == peerPort && getsockopt(copy, IPPROTO_TCP, TCP_NODELAY, &noDelay, &optionLength) == 0)
                answer = noDelay != 0;
        }
        close(copy);
    }
    close(process);
    return answer;
}

} // namespace vtest::processinfo
