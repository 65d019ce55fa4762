#include "ui/systemtray.h"

#include <QCoreApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QTimer>

// Linux: Qt's tray icon, which docks in the desktop's notification area (XEmbed or
// StatusNotifier) and docks again by itself when a tray host appears or restarts. A left click
// arrives as Trigger; a right click as Context, with Qt opening the menu at the cursor. The tray
// host shows the tooltip and reports no pointer enter or leave, so enter() and leave() never fire.
namespace {

// Qt's XEmbed icon widget, by the name Qt gives it.
const char* const kXEmbedIconName = "QSystemTrayIconSys";

class QtSystemTray : public SystemTrayInterface {
public:
    QtSystemTray(const QIcon& icon, const QString& toolTip, QObject* parent)
        : SystemTrayInterface(parent)
        , trayIcon(new QSystemTrayIcon(icon, this))
        , normalIcon(icon)
        , blinkTimer(new QTimer(this))
    {
        trayIcon->setToolTip(toolTip);
        connect(trayIcon, &QSystemTrayIcon::activated, this, &SystemTrayInterface::activated);
        QCoreApplication::instance()->installEventFilter(this);
        blinkTimer->setInterval(500);
        connect(blinkTimer, &QTimer::timeout, this, [this] {
            blinkShadow = !blinkShadow;
            trayIcon->setIcon(blinkShadow ? QIcon(QStringLiteral(":resource/images/shadowTransparent.png")) : normalIcon);
        });
    }

    void setIcon(const QIcon& icon) override
    {
        normalIcon = icon;
        trayIcon->setIcon(icon);
    }

    void setContextMenu(QMenu* newMenu) override
    {
        menu = newMenu;
        trayIcon->setContextMenu(newMenu);
    }

    void setVisiable(bool visible) override { trayIcon->setVisible(visible); }

    void showMessage(const QString&, const QString&) override {}

    void startBlink() override { blinkTimer->start(); }

    void stopBlink() override
    {
        blinkTimer->stop();
        blinkShadow = false;
        trayIcon->setIcon(normalIcon);
    }

    bool isMenuVisible() const override { return menu && menu->isVisible(); }

    // A right press within the double-click time of the one before (a menu picked by keys and
    // the icon pressed again) reaches Qt's XEmbed icon only as a double click, which it drops
    // for the right button: the menu would not open. Every right press opens it, as on Windows,
    // where each right button release shows the menu.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::MouseButtonDblClick)
            return false;
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::RightButton || watched->objectName() != QLatin1String(kXEmbedIconName)
            || !trayIcon->geometry().contains(mouse->globalPos()))
            return false;
        if (menu)
            menu->popup(mouse->globalPos());
        Q_EMIT activated(QSystemTrayIcon::Context);
        return true;
    }

private:
    QSystemTrayIcon* trayIcon;
    QIcon normalIcon;
    QTimer* blinkTimer;
    bool blinkShadow = false;
    QPointer<QMenu> menu;
};

} // namespace

SystemTrayInterface* createSystemTray(const QIcon& icon, const QString& toolTip, QObject* parent)
{
    return new QtSystemTray(icon, toolTip, parent);
}
