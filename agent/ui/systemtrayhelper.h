#pragma once

#include "ui/systemtray.h"

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

class QMenu;

// Installs the agent's one tray icon (held by KELS::Singleton, never destroyed).
class SystemTrayHelper : public QObject {
    Q_OBJECT
public:
    static SystemTrayHelper* instance();

    // Replaces any icon installed before; the icon is visible afterwards.
    void install(QWidget* mainWindow, const QIcon& icon, QMenu* menu, const QString& toolTip);
    void hide();
    SystemTrayInterface* trayIcon() const { return current; }

Q_SIGNALS:
    // A click (or double click) on the icon.
    void sigIconClicked();

private:
    QPointer<SystemTrayInterface> current;
    QPointer<QWidget> mainWindow;
};
