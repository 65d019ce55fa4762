// The agent's ears on the desktop: the desktop-wide hot key (a thread's: registered once,
// refused to a second holder, pressed through the system's own input) and the news of devices
// coming and going.
#include "wintest.h"

#include "scanning/devicenotification_win.h"
#include "ui/hotkey_win.h"

#include <dbt.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;

INPUT key(WORD virtualKey, bool up)
{
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return input;
}

TEST(HotKeyWin, CtrlAltKReachesItsHolderAndIsRefusedToASecond)
{
    DWORD error = 0;
    const int id = HotKey::registerForThread('K', MOD_CONTROL | MOD_ALT, &error);
    ASSERT_NE(id, 0) << error;

    // Another thread (another holder) asking for the same combination is turned away.
    DWORD secondError = 0;
    std::thread([&] {
        const int second = HotKey::registerForThread('K', MOD_CONTROL | MOD_ALT, &secondError);
        EXPECT_EQ(second, 0);
        HotKey::unregisterForThread(second);
    }).join();
    EXPECT_EQ(secondError, DWORD(ERROR_HOTKEY_ALREADY_REGISTERED));

    INPUT presses[] = {key(VK_CONTROL, false), key(VK_MENU, false), key('K', false),
                       key('K', true),        key(VK_MENU, true),  key(VK_CONTROL, true)};
    ASSERT_EQ(SendInput(6, presses, sizeof(INPUT)), 6u);
    bool pressed = false;
    MSG message;
    EXPECT_TRUE(wintest::waitUntil(
        [&] {
            while (!pressed && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                pressed = HotKey::isPress(message, id);
            return pressed;
        },
        10s));

    HotKey::unregisterForThread(id);
    // Released, it is free for the next holder.
    std::thread([] {
        DWORD ignored = 0;
        const int again = HotKey::registerForThread('K', MOD_CONTROL | MOD_ALT, &ignored);
        EXPECT_NE(again, 0);
        HotKey::unregisterForThread(again);
    }).join();
}

TEST(DeviceNotificationWin, TheDeviceTreeBroadcastReachesTheWindow)
{
    int changes = 0;
    DeviceNotificationWindow window([&changes] { ++changes; });
    ASSERT_TRUE(window.isWatching());
    // No device ever arrives under Wine: the system's broadcast is sent as Windows sends it, to
    // every top-level window; a change of configuration is no device change.
    SendMessageW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_CONFIGCHANGED, 0);
    EXPECT_EQ(changes, 0);
    SendMessageW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_EQ(changes, 1);
}

} // namespace
