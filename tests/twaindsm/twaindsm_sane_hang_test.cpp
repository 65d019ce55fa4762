// A SANE driver whose calls do not return (hanging_sane.cpp behind the DSM): disabling and
// closing the source must give up on it within a bounded time, report the device offline, and
// leave the stuck call's thread alone until the driver lets it go. One process of its own: the
// DSM loads SANE once per process.
#include "hanging_sane.h"
#include "page_transfer.h"
#include "twain_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char *kDevice = "Vellox Stubborn scanner";
// The DSM gives up after its patience (10 s in use, shortened here); several times that leaves
// room for a busy machine.
constexpr const char *kPatienceMs = "2000";
constexpr auto kGivesUpWithin = 15s;
constexpr int kLongMs = 30000;

class SaneHangTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "twaindsm-sane-hang-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        std::ofstream(folder_ + "/sources.json") << R"({"sane": "only"})";
        setenv("TWAINDSM_SOURCES", (folder_ + "/sources.json").c_str(), 1);
        setenv("TWAINDSM_TRACE", (folder_ + "/trace.jsonl").c_str(), 1);
        setenv("TWAINDSM_SANE_LIBRARY", HANGING_SANE_LIBRARY, 1);
        setenv("TWAINDSM_DRIVER_PATIENCE_MS", kPatienceMs, 1);
        hanging_sane_reset();
    }
    void TearDown() override
    {
        hanging_sane_release();
        EXPECT_TRUE(hanging_sane_wait_unblocked(kLongMs));
        // A device the DSM gave up on is closed by the call's own thread once it returns; the
        // next test's opening would find SANE held by it.
        EXPECT_TRUE(hanging_sane_wait_all_closed(kLongMs));
        if (HasFailure())
            std::fprintf(stderr, "DSM trace:\n%s\n", trace().c_str());
        std::filesystem::remove_all(folder_);
    }

    std::string trace() const
    {
        std::ifstream in(folder_ + "/trace.jsonl");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // After the DSM gave up on the driver: offline, and it stays so until opened again.
    static void expectOffline(TwainClient &client)
    {
        TW_UINT32 online = 1;
        ASSERT_TRUE(client.oneValue(CAP_DEVICEONLINE, MSG_GETCURRENT, online));
        EXPECT_EQ(online & 0xffff, 0u);
        EXPECT_EQ(client.enable(), TWRC_FAILURE);
        EXPECT_EQ(client.sourceStatus(), TWCC_CHECKDEVICEONLINE);
    }

    static TW_UINT16 closeSource(TwainClient &client)
    {
        return client.dsm(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, const_cast<TW_IDENTITY *>(&client.source()));
    }

    std::string folder_;
};

TEST_F(SaneHangTest, ADriverThatReturnsScansAndIsClosedOnce)
{
    TwainClient client;
    ASSERT_TRUE(client.start(kDevice));
    ASSERT_EQ(client.enable(), TWRC_SUCCESS);
    ASSERT_EQ(client.waitForEvent(30s), MSG_XFERREADY);
    PageImage page;
    ASSERT_EQ(transferPage(client, TWSX_NATIVE, page, ""), TWRC_XFERDONE);
    TW_UINT16 count = 1;
    ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    EXPECT_EQ(closeSource(client), TWRC_SUCCESS);
    EXPECT_EQ(hanging_sane_closes(), 1);
    EXPECT_EQ(trace().find("did not return"), std::string::npos);
}

// A read that never returns, and sane_cancel does not end it.
TEST_F(SaneHangTest, DisablingDuringAReadThatHangsGivesTheDeviceUp)
{
    hanging_sane_hang("sane_read");
    TwainClient client;
    ASSERT_TRUE(client.start(kDevice));
    ASSERT_EQ(client.enable(), TWRC_SUCCESS);
    ASSERT_TRUE(hanging_sane_wait_blocked("sane_read", kLongMs));
    const auto start = Clock::now();
    EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    EXPECT_LT(Clock::now() - start, kGivesUpWithin);
    EXPECT_NE(trace().find("did not return"), std::string::npos);
    expectOffline(client);
    // Closed, the source does not wait again, and leaves the handle to the thread still in it.
    const auto closing = Clock::now();
    EXPECT_EQ(closeSource(client), TWRC_SUCCESS);
    EXPECT_LT(Clock::now() - closing, 5s);
    EXPECT_EQ(hanging_sane_closes(), 0);
    // When the driver lets the read go at last, that thread ends the scan and closes the handle.
    hanging_sane_release();
    EXPECT_TRUE(hanging_sane_wait_closes(1, kLongMs));
    // Opened again, the device scans.
    ASSERT_EQ(client.openSource(kDevice), TWRC_SUCCESS);
    ASSERT_EQ(client.registerCallback(), TWRC_SUCCESS);
    ASSERT_EQ(client.enable(), TWRC_SUCCESS);
    EXPECT_EQ(client.waitForEvent(30s), MSG_XFERREADY);
}

// The scan ends and sane_cancel never returns, as with a backend's reader thread that died
// holding a lock; and the application's own sane_cancel during a hanging start.
TEST_F(SaneHangTest, ClosingWhileSaneCancelHangsGivesTheDeviceUp)
{
    {
        hanging_sane_hang("sane_cancel");
        TwainClient client;
        ASSERT_TRUE(client.start(kDevice));
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        ASSERT_EQ(client.waitForEvent(30s), MSG_XFERREADY);
        ASSERT_TRUE(hanging_sane_wait_blocked("sane_cancel", kLongMs)); // at the end of the batch
        TW_PENDINGXFERS pending{};
        EXPECT_EQ(client.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
        const auto start = Clock::now();
        EXPECT_EQ(client.disable(), TWRC_SUCCESS);
        EXPECT_EQ(closeSource(client), TWRC_SUCCESS);
        EXPECT_LT(Clock::now() - start, kGivesUpWithin);
        EXPECT_NE(trace().find("did not return"), std::string::npos);
        EXPECT_EQ(hanging_sane_closes(), 0);
        hanging_sane_release();
        EXPECT_TRUE(hanging_sane_wait_closes(1, kLongMs));
    }
    {
        hanging_sane_reset();
        hanging_sane_hang("sane_start");
        hanging_sane_hang("sane_cancel");
        TwainClient client;
        ASSERT_TRUE(client.start(kDevice));
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        ASSERT_TRUE(hanging_sane_wait_blocked("sane_start", kLongMs));
        const auto start = Clock::now();
        EXPECT_EQ(client.disable(), TWRC_SUCCESS); // its sane_cancel hangs as well
        EXPECT_LT(Clock::now() - start, kGivesUpWithin);
        expectOffline(client);
        const auto closing = Clock::now();
        EXPECT_EQ(closeSource(client), TWRC_SUCCESS); // without calling the driver again
        EXPECT_LT(Clock::now() - closing, 5s);
    }
}

// sane_close itself never returns.
TEST_F(SaneHangTest, ASaneCloseThatHangsDoesNotHoldTheApplication)
{
    hanging_sane_hang("sane_close");
    TwainClient client;
    ASSERT_TRUE(client.start(kDevice));
    const auto start = Clock::now();
    EXPECT_EQ(closeSource(client), TWRC_SUCCESS);
    EXPECT_LT(Clock::now() - start, kGivesUpWithin);
    EXPECT_TRUE(hanging_sane_wait_blocked("sane_close", kLongMs));
    EXPECT_NE(trace().find("sane_close"), std::string::npos);
    EXPECT_NE(trace().find("did not return"), std::string::npos);
    // The stuck close holds SANE for itself only: listing and opening answer at once, the
    // device as offline.
    const auto again = Clock::now();
    TW_IDENTITY first{};
    EXPECT_EQ(client.dsm(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &first), TWRC_SUCCESS);
    EXPECT_STREQ(first.ProductName, kDevice); // the last list SANE gave
    EXPECT_EQ(client.openSource(kDevice), TWRC_FAILURE);
    EXPECT_EQ(client.managerStatus(), TWCC_CHECKDEVICEONLINE);
    EXPECT_LT(Clock::now() - again, 5s);
    // Once the driver lets go, the device opens again.
    hanging_sane_release();
    EXPECT_TRUE(hanging_sane_wait_closes(1, kLongMs));
    EXPECT_EQ(client.openSource(kDevice), TWRC_SUCCESS);
}

} // namespace
