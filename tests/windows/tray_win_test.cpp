// The agent's icon in the notification area of Wine's shell, on an X display of its own: added,
// changed, showing a balloon, removed; and where a menu goes beside the taskbar.
#include "wintest.h"

#include "ui/notifyicon_win.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr const wchar_t* kGuid = L"{6f1c2a3b-4d5e-4f60-8172-839a4b5c6d7e}";

HICON squareIcon(std::uint32_t color)
{
    const std::vector<std::uint32_t> pixels(32 * 32, color);
    return NotifyIcon::iconFromPixels(32, 32, pixels.data());
}

TEST(NotifyIconWin, IsAddedChangedAnnouncedAndRemoved)
{
    HICON blue = squareIcon(0xff2060c0);
    HICON red = squareIcon(0xffc02020);
    ASSERT_NE(blue, nullptr);
    ASSERT_NE(red, nullptr);
    {
        NotifyIcon icon(kGuid, [](UINT) {});
        ASSERT_TRUE(icon.add(blue, L"Vellox: a tooltip longer than the shell keeps, cut to its 127 units without a fuss "
                                   L"even when it goes on and on and on past what fits"));
        EXPECT_TRUE(icon.isShown());
        EXPECT_TRUE(icon.setIcon(red));
        EXPECT_TRUE(icon.showBalloon(L"Vellox", L"扫描仪已就绪"));
        // Where the shell cannot tell the icon's place, the taskbar's stands in.
        RECT area{};
        EXPECT_TRUE(icon.rect(&area));
        EXPECT_GT(area.right - area.left, 0);
        EXPECT_TRUE(icon.remove());
        EXPECT_FALSE(icon.setIcon(blue)) << "a removed icon stays removed";
        // Shown again, and gone with its owner.
        EXPECT_TRUE(icon.add(blue, L"Vellox"));
    }
    // Another icon of the same identity takes its place without a stale one in the way.
    NotifyIcon again(kGuid, [](UINT) {});
    EXPECT_TRUE(again.add(blue, L"Vellox"));
    DestroyIcon(blue);
    DestroyIcon(red);
}

TEST(NotifyIconWin, MouseMessagesOfTheIconReachTheOwner)
{
    std::vector<UINT> events;
    NotifyIcon icon(kGuid, [&events](UINT mouse) { events.push_back(mouse); });
    // The shell reports a click on the icon as its callback message with the mouse message.
    SendMessageW(icon.handle(), NotifyIcon::kCallbackMessage, 1, WM_LBUTTONDOWN);
    SendMessageW(icon.handle(), NotifyIcon::kCallbackMessage, 1, WM_RBUTTONUP);
    EXPECT_EQ(events, (std::vector<UINT>{WM_LBUTTONDOWN, WM_RBUTTONUP}));
}

} // namespace
