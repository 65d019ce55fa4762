#include "xvfbdisplay.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <xcb/xcb.h>

#include <cstring>

namespace vtest {

namespace {
xcb_atom_t internAtom(xcb_connection_t* connection, const char* name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return atom;
}
} // namespace

bool XvfbDisplay::requestClose(quint64 window) const
{
    xcb_connection_t* connection = xcb_connect(displayName.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    xcb_client_message_event_t event;
    std::memset(&event, 0, sizeof event);
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(window);
    event.type = internAtom(connection, "WM_PROTOCOLS");
    event.data.data32[0] = internAtom(connection, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    const xcb_void_cookie_t sent = xcb_send_event_checked(connection, 0, xcb_window_t(window), XCB_EVENT_MASK_NO_EVENT,
                                                          reinterpret_cast<const char*>(&event));
    xcb_generic_error_t* error = xcb_request_check(connection, sent);
    const bool ok = error == nullptr && event.type != XCB_ATOM_NONE;
    free(error);
    xcb_disconnect(connection);
    return ok;
}

QImage XvfbDisplay::grab(quint64 window) const
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return QImage();
    return screen->grabWindow(WId(window)).toImage();
}

} // namespace vtest
