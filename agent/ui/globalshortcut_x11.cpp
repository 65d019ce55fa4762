#include "ui/globalshortcut_native.h"

#include <QCoreApplication>
#include <QX11Info>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <memory>
#include <vector>

// X11: a passive grab of the key on the root window. The server hands a grab to one client
// only (BadAccess for the next), and the grab matches the modifier state exactly, so NumLock
// and CapsLock each need a variant of their own.

namespace {

constexpr std::uint32_t kNumLockKeysym = 0xff7f;
constexpr std::uint32_t kF1Keysym = 0xffbe;
constexpr std::uint8_t kBadAccess = 10;
constexpr std::uint16_t kCombinationModifiers =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

std::uint32_t keysymFor(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return 'a' + std::uint32_t(key - Qt::Key_A);
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return '0' + std::uint32_t(key - Qt::Key_0);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return kF1Keysym + std::uint32_t(key - Qt::Key_F1);
    return 0;
}

std::uint16_t maskFor(Qt::KeyboardModifiers modifiers)
{
    std::uint16_t mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & Qt::AltModifier)
        mask |= XCB_MOD_MASK_1;
    if (modifiers & Qt::MetaModifier)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

struct KeySymbols {
    explicit KeySymbols(xcb_connection_t* connection) : table(xcb_key_symbols_alloc(connection)) {}
    ~KeySymbols() { xcb_key_symbols_free(table); }
    KeySymbols(const KeySymbols&) = delete;
    KeySymbols& operator=(const KeySymbols&) = delete;

    std::vector<xcb_keycode_t> keycodes(std::uint32_t keysym) const
    {
        std::vector<xcb_keycode_t> codes;
        if (!table)
            return codes;
        xcb_keycode_t* found = xcb_key_symbols_get_keycode(table, keysym);
        for (xcb_keycode_t* code = found; code && *code != XCB_NO_SYMBOL; ++code)
            codes.push_back(*code);
        std::free(found);
        return codes;
    }

    xcb_key_symbols_t* table;
};

// The modifier bit NumLock sets, from the server's modifier map (Mod2 on most keyboards).
std::uint16_t numLockMask(xcb_connection_t* connection, const KeySymbols& symbols)
{
    const std::vector<xcb_keycode_t> numLock = symbols.keycodes(kNumLockKeysym);
    std::unique_ptr<xcb_get_modifier_mapping_reply_t, decltype(&std::free)> reply(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr), &std::free);
    if (!reply || numLock.empty())
        return XCB_MOD_MASK_2;
    const xcb_keycode_t* map = xcb_get_modifier_mapping_keycodes(reply.get());
    const int perModifier = reply->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < perModifier; ++i) {
            const xcb_keycode_t code = map[modifier * perModifier + i];
            for (xcb_keycode_t wanted : numLock) {
                if (code != 0 && code == wanted)
                    return std::uint16_t(1u << modifier);
            }
        }
    }
    return XCB_MOD_MASK_2;
}

std::vector<std::uint16_t> lockVariants(std::uint16_t numLock)
{
    return {0, XCB_MOD_MASK_LOCK, numLock, std::uint16_t(XCB_MOD_MASK_LOCK | numLock)};
}

} // namespace

GlobalShortcut::Native::Native(GlobalShortcut& owner, int key, Qt::KeyboardModifiers modifiers)
    : owner(owner)
{
    if (!QX11Info::isPlatformX11()) {
        error = QStringLiteral("not running on an X11 display");
        return;
    }
    xcb_connection_t* connection = QX11Info::connection();
    const xcb_window_t root = QX11Info::appRootWindow();
    const std::uint32_t keysym = keysymFor(key);
    if (keysym == 0) {
        error = QStringLiteral("the key cannot be grabbed");
        return;
    }
    const KeySymbols symbols(connection);
    const std::vector<xcb_keycode_t> codes = symbols.keycodes(keysym);
    if (codes.empty()) {
        error = QStringLiteral("the keyboard has no such key");
        return;
    }
    keyCode = codes.front();
    modifierMask = maskFor(modifiers);
    numLock = numLockMask(connection, symbols);

    // One variant after the other, plain first: a refused one (BadAccess: another program
    // holds it) stops there, and the ones taken are given back. All or nothing, since a
    // half-registered combination would fire only in some lock states.
    for (std::uint16_t variant : lockVariants(numLock)) {
        const xcb_void_cookie_t grab = xcb_grab_key_checked(connection, 1, root, modifierMask | variant,
                                                            xcb_keycode_t(keyCode), XCB_GRAB_MODE_ASYNC,
                                                            XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t* grabError = xcb_request_check(connection, grab)) {
            const bool taken = grabError->error_code == kBadAccess;
            std::free(grabError);
            // Ungrabbing touches only this client's grabs, never the other program's.
            release();
            error = taken ? QStringLiteral("the combination belongs to another program")
                          : QStringLiteral("the X server refused the grab");
            return;
        }
    }
    registered = true;
    QCoreApplication::instance()->installNativeEventFilter(this);
}

void GlobalShortcut::Native::release()
{
    xcb_connection_t* connection = QX11Info::connection();
    const xcb_window_t root = QX11Info::appRootWindow();
    std::vector<xcb_void_cookie_t> ungrabs;
    for (std::uint16_t variant : lockVariants(numLock))
        ungrabs.push_back(xcb_ungrab_key_checked(connection, xcb_keycode_t(keyCode), root, modifierMask | variant));
    // Waited for, so the combination is free for another program once this returns.
    for (const xcb_void_cookie_t& ungrab : ungrabs)
        std::free(xcb_request_check(connection, ungrab));
}

bool GlobalShortcut::Native::nativeEventFilter(const QByteArray& eventType, void* message, long*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    // Press and release share their layout.
    const auto* key = static_cast<const xcb_key_press_event_t*>(message);
    if (key->detail != keyCode || key->event != QX11Info::appRootWindow()
        || (key->state & kCombinationModifiers) != modifierMask)
        return false;
    if (type == XCB_KEY_PRESS)
        Q_EMIT owner.activated();
    return true;
}
