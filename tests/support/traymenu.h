#pragma once

#include <QRect>
#include <QString>
#include <QStringList>

#include <optional>

namespace vtest {

class XvfbDisplay;

// A program's icon in the display's tray host and its context menu, reached as a user does:
// a right click on the icon, then keys to pick an item.
class TrayMenu {
public:
    // `windowClass`: the program's windows by their class (Qt names it after the program).
    explicit TrayMenu(const XvfbDisplay& display, QString windowClass = QStringLiteral("^vellox$"));

    // The program's one small window inside the tray host.
    std::optional<QRect> icon(int timeoutMs = 30000) const;
    // Opens the menu and presses `keys` ("Down", "Return"). The menu of the last pick must be
    // gone first: it closes when the program next serves its events, which an item's work may
    // hold up, and a new menu is told from it by its window.
    bool pick(const QStringList& keys);
    // The program was started again: no menu of its is open.
    void reset() { lastMenu = 0; }

private:
    const XvfbDisplay& display;
    const QString windowClass;
    quint64 lastMenu = 0;
};

} // namespace vtest
