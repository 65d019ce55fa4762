#include "plainlog.h"

#include <QDateTime>

void PlainLog::write(const QString& message)
{
    if (!triedToOpen) {
        triedToOpen = true;
        file.setFileName(filePath);
        if (!filePath.isEmpty())
            file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    }
    if (!file.isOpen())
        return;
    const QString format = stamp == Stamp::DateAndTime ? QStringLiteral("[yyyy-MM-dd HH:mm:ss.zzz] ")
                                                       : QStringLiteral("[HH:mm:ss.zzz] ");
    // One write per line, so lines of two processes appending at once never interleave.
    file.write(QDateTime::currentDateTime().toString(format).toUtf8() + message.toUtf8() + '\n');
}

namespace {
PlainLog& startupLog()
{
    static PlainLog log(PlainLog::Stamp::DateAndTime);
    return log;
}
} // namespace

void setShellLogPath(const QString& path)
{
    startupLog().setPath(path);
}

void shellLog(const QString& message)
{
    startupLog().write(message);
}
