#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace vtest {

// What the system tells about a running process, for tests of how programs start others.
namespace processinfo {

// Live (not yet ended) processes whose parent is `parent` and whose program file is named
// `name`; a process that ended and waits to be collected counts as ended.
QList<qint64> childrenNamed(qint64 parent, const QString& name);
// Live processes running the program file `path` (also when the file has since been replaced).
QList<qint64> runningProgram(const QString& path);
// The program file a process runs; ends in " (deleted)" when that file was replaced or removed.
QString executable(qint64 pid);
bool isAlive(qint64 pid); // running, not ended (nor ended and uncollected)
QStringList arguments(qint64 pid);       // the program as started, then its arguments
QString workingFolder(qint64 pid);
// What each descriptor of the process refers to ("/path", "socket:[1234]", …), by number.
QList<QPair<int, QString>> descriptors(qint64 pid);
// Whether the process's TCP connection to the local port `peerPort` sends without delay
// (TCP_NODELAY); nothing when there is no such connection or the system does not let this
// process look at another's sockets.
std::optional<bool> sendsWithoutDelay(qint64 pid, quint16 peerPort);

} // namespace processinfo
} // namespace vtest
