// Windows: the shell's window through the window link (shellwindowlink_win.h); answers come
// back later on the caller's thread, as on every platform.
#include "upgrade/browserwindow.h"

#include "upgrade/shellwindowlink_win.h"

#include <QMetaObject>
#include <QPointer>

class KELBrowserWindow::Impl {
public:
    bool disabled = false; // by this agent, so it gives the shell its input back when it goes
};

KELBrowserWindow::KELBrowserWindow(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Impl>())
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
    d->disabled = !enabled;
}

void KELBrowserWindow::release()
{
    if (d->disabled)
        setEnabled(true);
}

void KELBrowserWindow::offerEnvMenu(std::function<void(bool taken)> done)
{
    QPointer<KELBrowserWindow> self(this);
    ShellWindowLink::offerEnvironmentMenu([self, done = std::move(done)](bool taken) {
        if (self)
            QMetaObject::invokeMethod(self, [done, taken] { done(taken); }, Qt::QueuedConnection);
    });
}

void KELBrowserWindow::activate()
{
    ShellWindowLink::activate();
}
