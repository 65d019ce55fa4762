#include "upgrade/windowhints.h"

#include <QWidget>
#include <QX11Info>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace KELWindowHints {

namespace {
// The Motif hints' layout and the values used here.
struct MotifHints {
    uint32_t flags;
    uint32_t functions;
    uint32_t decorations;
    int32_t inputMode;
    uint32_t status;
};
constexpr uint32_t kHintsFunctions = 1;
constexpr uint32_t kHintsDecorations = 2;
constexpr uint32_t kFunctionMove = 4;
constexpr uint32_t kDecorBorder = 2;
constexpr uint32_t kDecorTitle = 8;
constexpr uint32_t kDecorMenu = 16;
} // namespace

void withoutCloseFunction(QWidget* window)
{
    if (!window || !QX11Info::isPlatformX11())
        return;
    xcb_connection_t* connection = QX11Info::connection();
    const char name[] = "_MOTIF_WM_HINTS";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
    if (!atom)
        return;
    const MotifHints hints{kHintsFunctions | kHintsDecorations, kFunctionMove,
                           kDecorBorder | kDecorTitle | kDecorMenu, 0, 0};
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, xcb_window_t(window->winId()), atom->atom, atom->atom,
                        32, 5, &hints);
    xcb_flush(connection);
    std::free(atom);
}

} // namespace KELWindowHints
