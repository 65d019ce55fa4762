#include "windowactivation.h"

#include <QWidget>
#include <QX11Info>

void bringToFront(QWidget* window)
{
    if (window->isMinimized())
        window->showNormal();
    else
        window->show();
    window->raise();
    // The server ignores a focus change stamped earlier than the last one, and the program
    // that holds the focus now acted later than this one's last event: stamp it with now.
    if (QX11Info::isPlatformX11())
        QX11Info::setAppTime(QX11Info::getTimestamp());
    window->activateWindow();
}
