#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QSystemTrayIcon>

class QMenu;

// The agent's icon in the notification area, over the platform's own tray.
class SystemTrayInterface : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void setIcon(const QIcon& icon) = 0;
    virtual void setContextMenu(QMenu* menu) = 0;
    virtual void setVisiable(bool visible) = 0;
    virtual void showMessage(const QString& title, const QString& text) = 0;
    virtual void startBlink() = 0;
    virtual void stopBlink() = 0;
    virtual bool isMenuVisible() const = 0;

Q_SIGNALS:
    void activated(QSystemTrayIcon::ActivationReason reason);
    // Pointer over the icon and away from it, where the platform reports that.
    void enter(QPoint p);
    void leave();
};

// This platform's tray icon showing `icon` with `toolTip`; not yet visible.
SystemTrayInterface* createSystemTray(const QIcon& icon, const QString& toolTip, QObject* parent = nullptr);

// The arithmetic of the Windows tray, kept apart from its shell calls.
namespace KELTrayGeometry {

// The icon's identity: the MD5 of the executable's path as "{8-4-4-4-12}" lower-case hex, so
// one installation keeps its icon and two installations have two.
QString iconGuid(const QByteArray& executablePath);
// Where the menu opens next to the taskbar: above the cursor with a bottom taskbar, below it
// with a top one, beside it with a side one.
QPoint menuPosition(const QRect& screen, const QRect& taskbar, const QPoint& cursor, const QSize& menu);
// The display scale of a screen of `logicalDpi`, in Windows' steps.
double displayScale(double logicalDpi);

} // namespace KELTrayGeometry
