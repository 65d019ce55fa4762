#include "ui/systemtray.h"

#include <QCryptographicHash>

namespace KELTrayGeometry {

QString iconGuid(const QByteArray& executablePath)
{
    const QString h = QString::fromLatin1(QCryptographicHash::hash(executablePath, QCryptographicHash::Md5).toHex());
    return QStringLiteral("{%1-%2-%3-%4-%5}")
        .arg(h.mid(0, 8), h.mid(8, 4), h.mid(12, 4), h.mid(16, 4), h.mid(20, 12));
}

QPoint menuPosition(const QRect& screen, const QRect& taskbar, const QPoint& cursor, const QSize& menu)
{
    constexpr int kNear = 10;
    const bool flat = taskbar.height() < screen.height() / 2;
    if (flat && qAbs(screen.bottom() - taskbar.bottom()) <= kNear)
        return {cursor.x(), cursor.y() - menu.height()};
    if (flat && qAbs(taskbar.top() - screen.top()) <= kNear)
        return cursor;
    const int y = cursor.y() - menu.height();
    if (taskbar.left() - screen.left() > 9)
        return {cursor.x() - menu.width(), y};
    return {taskbar.width() < screen.width() / 2 ? cursor.x() : cursor.x() - menu.width(), y};
}

double displayScale(double logicalDpi)
{
    const double ratio = logicalDpi / 96.0;
    if (ratio < 1.1)
        return 1.0;
    if (ratio < 1.4)
        return 1.25;
    if (ratio < 1.6)
        return 1.5;
    if (ratio < 1.8)
        return 1.75;
    return 2.0;
}

} // namespace KELTrayGeometry
