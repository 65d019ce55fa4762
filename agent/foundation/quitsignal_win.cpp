// Windows: the quit window (quitwindow_win.h) turns the session's end and a request to close
// into quitRequested().
#include "foundation/quitsignal.h"

#include "foundation/quitwindow_win.h"

void QuitSignal::install()
{
    auto* window = new QuitWindow([this] { Q_EMIT quitRequested(); });
    connect(this, &QObject::destroyed, [window] { delete window; });
}
