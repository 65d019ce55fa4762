// What the benchmarks read about the agent's process from /proc.
#pragma once

#include <QFile>
#include <QList>

#include <unistd.h>

namespace bench {

// CPU time (user + system) from a /proc stat file, in milliseconds; -1 when unknown.
inline double cpuMsFromStat(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = file.readAll();
    // The program name in parentheses may hold spaces; the fields after it are plain.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(fields[11].toLongLong() + fields[12].toLongLong());
    return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

// CPU time (user + system) the process has used so far, in milliseconds; -1 when unknown.
inline double processCpuMs(qint64 pid)
{
    return cpuMsFromStat(QStringLiteral("/proc/%1/stat").arg(pid));
}

// The same for the process's main thread (an agent's GUI thread).
inline double mainThreadCpuMs(qint64 pid)
{
    return cpuMsFromStat(QStringLiteral("/proc/%1/task/%1/stat").arg(pid));
}

// Resident memory of the process in megabytes; -1 when unknown.
inline double residentMb(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

} // namespace bench
