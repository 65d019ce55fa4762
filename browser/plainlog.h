#pragma once

#include <QFile>
#include <QString>

// A plain text log of the shell: one line per message behind a local-time stamp, appended and
// flushed at once, so a line survives a crash right after it. The file is opened on the first
// line; when it cannot be opened, lines are dropped.
class PlainLog {
public:
    enum class Stamp {
        DateAndTime, // "[yyyy-MM-dd HH:mm:ss.zzz] "
        TimeOnly,    // "[HH:mm:ss.zzz] "
    };

    explicit PlainLog(Stamp stamp) : stamp(stamp) {}

    void setPath(const QString& path) { filePath = path; }
    void write(const QString& message);

private:
    Stamp stamp;
    QString filePath;
    QFile file;
    bool triedToOpen = false;
};

// The shell's start-up log, browser_debug.log; main thread only.
void setShellLogPath(const QString& path);
void shellLog(const QString& message);
