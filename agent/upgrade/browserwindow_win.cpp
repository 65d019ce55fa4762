// Windows: the shell's window through the window link (shellwindowlink_win.h); answers come
// back later on the caller's thread, as on every platform.
#include "upgrade/browserwindow.h"

#include "upgrade/shellwindowlink_win.h"

#include <QMetaObject>

class KELBrowserWindow::Impl {
};

KELBrowserWindow::KELBrowserWindow(QObject* parent)
    : QObject(parent)
{
}

KELBrowserWindow::~KELBrowserWindow() = default;

void KELBrowserWindow::queryVisible(std::function<void(bool visible)> done)
{
    const bool visible = ShellWindowLink::isVisible();
    QMetaObject::invokeMethod(this, [done = std::move(done), visible] { done(visible); }, Qt::QueuedConnection);
}

void KELBrowserWindow::setEnabled(bool enabled)
{
    ShellWindowLink::setEnabled(enabled);
}

void KELBrowserWindow::activate()
{
    ShellWindowLink::activate();
}
