#include "ui/globalshortcut.h"

#include "wait.h"
#include "xvfbdisplay.h"

#include <QSignalSpy>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using vtest::waitUntil;
using vtest::XvfbDisplay;

const QKeySequence kCtrlAltK(Qt::CTRL | Qt::ALT | Qt::Key_K);
constexpr std::uint16_t kCtrlAlt = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;

// Another program on the same display, holding key grabs of its own.
class OtherClient {
public:
    OtherClient() : connection(xcb_connect(qgetenv("DISPLAY").constData(), nullptr))
    {
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, 'k');
        keyK = codes ? codes[0] : 0;
        std::free(codes);
        xcb_key_symbols_free(symbols);
    }
    ~OtherClient() { xcb_disconnect(connection); }

    bool grab(std::uint16_t modifiers)
    {
        xcb_generic_error_t* error = xcb_request_check(
            connection, xcb_grab_key_checked(connection, 1, root, modifiers, keyK, XCB_GRAB_MODE_ASYNC,
                                             XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return error == nullptr;
    }

private:
    xcb_connection_t* connection;
    xcb_window_t root = 0;
    xcb_keycode_t keyK = 0;
};

TEST(GlobalShortcut, FiresWhereverTheFocusIsWhateverTheLockKeys)
{
    const XvfbDisplay& display = XvfbDisplay::shared();
    GlobalShortcut shortcut(kCtrlAltK);
    ASSERT_TRUE(shortcut.isRegistered()) << qPrintable(shortcut.errorString());
    QSignalSpy activated(&shortcut, &GlobalShortcut::activated);

    // No window of this program exists: only the grab can see the keys.
    ASSERT_TRUE(display.key({"ctrl+alt+k"}));
    ASSERT_TRUE(waitUntil([&] { return activated.count() == 1; }));
    // Other combinations pass; the next matching press is the only one that counts.
    ASSERT_TRUE(display.key({"ctrl+k", "alt+k", "ctrl+alt+j", "ctrl+alt+k"}));
    ASSERT_TRUE(waitUntil([&] { return activated.count() >= 2; }));
    EXPECT_EQ(activated.count(), 2);

    for (const char* lock : {"Num_Lock", "Caps_Lock"}) {
        SCOPED_TRACE(lock);
        const int before = activated.count();
        ASSERT_TRUE(display.key({lock, "ctrl+alt+k", lock})); // on, press, off again
        EXPECT_TRUE(waitUntil([&] { return activated.count() == before + 1; }));
    }
    ASSERT_TRUE(display.key({"Num_Lock", "Caps_Lock", "ctrl+alt+k", "Caps_Lock", "Num_Lock"}));
    EXPECT_TRUE(waitUntil([&] { return activated.count() == 5; }));
}

TEST(GlobalShortcut, YieldsToTheFirstOwnerAndKeepsNothing)
{
    OtherClient other;
    ASSERT_TRUE(other.grab(kCtrlAlt)); // only the plain variant: the rest would be free

    GlobalShortcut late(kCtrlAltK);
    EXPECT_FALSE(late.isRegistered());
    EXPECT_TRUE(late.errorString().contains("another program")) << qPrintable(late.errorString());
    // What it took before it met the refusal, it gave back.
    EXPECT_TRUE(other.grab(kCtrlAlt | XCB_MOD_MASK_2));
    EXPECT_TRUE(other.grab(kCtrlAlt | XCB_MOD_MASK_LOCK));
}

TEST(GlobalShortcut, ReleasesTheCombinationWhenDestroyed)
{
    {
        GlobalShortcut owner(kCtrlAltK);
        ASSERT_TRUE(owner.isRegistered());
        OtherClient meanwhile;
        EXPECT_FALSE(meanwhile.grab(kCtrlAlt));
    }
    OtherClient after;
    EXPECT_TRUE(after.grab(kCtrlAlt));
    EXPECT_TRUE(after.grab(kCtrlAlt | XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK));
}

} // namespace
