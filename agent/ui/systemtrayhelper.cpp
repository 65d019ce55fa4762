#include "ui/systemtrayhelper.h"

#include "foundation/singleton.h"
#include "ui/systemtray.h"

#include <QDebug>

SystemTrayHelper* SystemTrayHelper::instance()
{
    return KELS::Singleton<SystemTrayHelper>::instance();
}

void SystemTrayHelper::install(QWidget* window, const QIcon& icon, QMenu* menu, const QString& toolTip)
{
    qDebug() << "install system tray";
    mainWindow = window;
    if (current)
        current->deleteLater();
    current = createSystemTray(icon, toolTip, this);
    connect(current, &SystemTrayInterface::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
            Q_EMIT sigIconClicked();
        else
            qDebug() << "reason" << int(reason);
    });
    current->setContextMenu(menu);
    current->setVisiable(true);
}

void SystemTrayHelper::hide()
{
    if (current)
        current->setVisiable(false);
}
