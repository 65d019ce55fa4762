#include "traymenu.h"

#include "wait.h"
#include "xvfbdisplay.h"

namespace vtest {

namespace {
constexpr int kIconMaxWidth = 64;
} // namespace

TrayMenu::TrayMenu(const XvfbDisplay& display, QString windowClass)
    : display(display)
    , windowClass(std::move(windowClass))
{
}

std::optional<QRect> TrayMenu::icon(int timeoutMs) const
{
    std::optional<QRect> found;
    const auto host = display.trayHostGeometry();
    waitUntil([&] {
        for (quint64 id : display.findWindowsOfClass(windowClass)) {
            const auto geometry = display.geometry(id);
            if (geometry && host && host->contains(geometry->center()) && geometry->width() <= kIconMaxWidth) {
                found = geometry;
                return true;
            }
        }
        return false;
    }, timeoutMs);
    return found;
}

bool TrayMenu::pick(const QStringList& keys)
{
    const auto where = icon();
    if (!where || (lastMenu && !display.waitUntilGone(lastMenu)))
        return false;
    const QList<quint64> before = display.findWindowsOfClass(windowClass);
    if (!display.click(where->center().x(), where->center().y(), 3))
        return false;
    quint64 menu = 0;
    if (!waitUntil([&] {
            for (quint64 window : display.findWindowsOfClass(windowClass))
                if (!before.contains(window))
                    menu = window;
            return menu != 0;
        }))
        return false;
    lastMenu = menu;
    // Straight to the menu: typed keys go to the keyboard grab, which the menu takes only once
    // the program has served the event of its mapping, and a busy program (a slow build, an
    // item's work still running) left the first keys to the window below.
    return display.key(keys, menu);
}

} // namespace vtest
