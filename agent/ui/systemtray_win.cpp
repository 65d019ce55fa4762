// Windows: the notification icon of the Windows shell (notifyicon_win.h), identified by the MD5
// of the executable's path, with the menu placed next to the taskbar as Windows programs do.
#include "ui/systemtray.h"

#include "ui/notifyicon_win.h"

#include <QCoreApplication>
#include <QCursor>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include <memory>

namespace {

class WinSystemTray : public SystemTrayInterface {
public:
    WinSystemTray(const QIcon& icon, const QString& toolTip, QObject* parent)
        : SystemTrayInterface(parent)
        , normalIcon(icon)
        , tip(toolTip.toStdWString())
        , blinkTimer(new QTimer(this))
    {
        const QString guid =
            KELTrayGeometry::iconGuid(QFile::encodeName(QCoreApplication::applicationFilePath()));
        notifyIcon = std::make_unique<NotifyIcon>(guid.toStdWString(), [this](UINT mouse) { onMouse(mouse); });
        iconHandle = handleOf(icon);
        blinkTimer->setInterval(500);
        connect(blinkTimer, &QTimer::timeout, this, [this] {
            blinkShadow = !blinkShadow;
            showIcon(blinkShadow ? QIcon(QStringLiteral(":resource/images/shadowTransparent.png")) : normalIcon);
        });
    }

    ~WinSystemTray() override
    {
        notifyIcon.reset();
        if (iconHandle)
            DestroyIcon(iconHandle);
    }

    void setIcon(const QIcon& icon) override
    {
        normalIcon = icon;
        showIcon(icon);
    }

    void setContextMenu(QMenu* newMenu) override
    {
        menu = newMenu;
        if (menu) {
            menu->setWindowFlags(menu->windowFlags() | Qt::WindowStaysOnTopHint | Qt::Popup);
            menu->adjustSize();
        }
    }

    void setVisiable(bool visible) override
    {
        const bool done = visible ? notifyIcon->add(iconHandle, tip) : notifyIcon->remove();
        if (!done)
            qDebug("setVisiable: Shell_NotifyIcon %s failed, error: %lu", visible ? "NIM_ADD" : "NIM_DELETE",
                   GetLastError());
    }

    void showMessage(const QString& title, const QString& text) override
    {
        notifyIcon->showBalloon(title.toStdWString(), text.toStdWString());
    }

    void startBlink() override { blinkTimer->start(); }

    void stopBlink() override
    {
        blinkTimer->stop();
        blinkShadow = false;
        showIcon(normalIcon);
    }

    bool isMenuVisible() const override { return menu && menu->isVisible(); }

private:
    static HICON handleOf(const QIcon& icon)
    {
        const QImage image = icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            return nullptr;
        const QImage rows = image.bytesPerLine() == image.width() * 4 ? image : image.copy();
        return NotifyIcon::iconFromPixels(rows.width(), rows.height(),
                                          reinterpret_cast<const std::uint32_t*>(rows.constBits()));
    }

    void showIcon(const QIcon& icon)
    {
        HICON previous = iconHandle;
        iconHandle = handleOf(icon);
        notifyIcon->setIcon(iconHandle);
        if (previous)
            DestroyIcon(previous);
    }

    void onMouse(UINT mouse)
    {
        if (mouse == WM_LBUTTONDOWN) {
            Q_EMIT activated(QSystemTrayIcon::Trigger);
        } else if (mouse == WM_RBUTTONUP && menu) {
            Q_EMIT leave();
            showMenu();
        }
    }

    // Next to the taskbar, wherever it is: above the cursor with a bottom taskbar, and so on.
    void showMenu()
    {
        const QPoint cursor = QCursor::pos();
        QScreen* screen = QGuiApplication::screenAt(cursor);
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        const QRect screenArea = screen ? screen->geometry() : QRect();
        RECT taskbar{};
        QRect taskbarArea = screenArea.adjusted(0, screenArea.height() - 1, 0, 0); // none: as at the bottom
        if (NotifyIcon::taskbarRect(&taskbar)) {
            // The taskbar's rectangle is in device pixels, the screen's in Qt's own.
            const qreal scale = screen ? screen->devicePixelRatio() : 1.0;
            taskbarArea = QRect(QPoint(int(taskbar.left / scale), int(taskbar.top / scale)),
                                QPoint(int((taskbar.right - 1) / scale), int((taskbar.bottom - 1) / scale)));
        }
        menu->adjustSize();
        menu->popup(KELTrayGeometry::menuPosition(screenArea, taskbarArea, cursor, menu->size()));
        menu->activateWindow();
    }

    std::unique_ptr<NotifyIcon> notifyIcon;
    QIcon normalIcon;
    std::wstring tip;
    HICON iconHandle = nullptr;
    QTimer* blinkTimer;
    bool blinkShadow = false;
    QPointer<QMenu> menu;
};

} // namespace

SystemTrayInterface* createSystemTray(const QIcon& icon, const QString& toolTip, QObject* parent)
{
    return new WinSystemTray(icon, toolTip, parent);
}
