// Black-box tests of libtwaindsm through DSM_Entry alone, as an application sees it.
#include "image_check.h"
#include "page_transfer.h"
#include "twain_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

class TwainDsmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "twaindsm-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        profilePath_ = folder_ + "/sources.json";
        setenv("TWAINDSM_SOURCES", profilePath_.c_str(), 1);
        unsetenv("TWAINDSM_TRACE");
        setenv("TWAINDSM_SANE", "off", 1); // the virtual scanners alone, whatever this machine has
    }
    void TearDown() override
    {
        unsetenv("TWAINDSM_SOURCES");
        unsetenv("TWAINDSM_TRACE");
        std::filesystem::remove_all(folder_);
    }

    void writeProfile(const std::string &json)
    {
        std::ofstream(profilePath_) << json;
    }

    // Transfers the current image with the source's transfer mechanism and decodes it.
    TW_UINT16 transfer(TwainClient &client, TW_UINT16 mech, PageImage &image, bool tiffNative = false)
    {
        return transferPage(client, mech, image, folder_ + "/page.bmp", tiffNative);
    }

    std::string folder_;
    std::string profilePath_;
};

TEST_F(TwainDsmTest, NativeBatchDeliversNumberedPagesThroughTheStates)
{
    writeProfile(R"({"sources": [{"productName": "Batch Scanner", "pages": 2, "duplex": true, "resolution": 100,
                     "resolutions": [100, 200], "pixelType": "gray"}]})");
    TwainClient client;
    ASSERT_TRUE(client.start("Batch Scanner"));
    TW_UINT32 value = 0;
    ASSERT_TRUE(client.oneValue(ICAP_PIXELTYPE, MSG_GETCURRENT, value));
    EXPECT_EQ(value, static_cast<TW_UINT32>(TWPT_GRAY));

    // Nothing to transfer before the source is enabled.
    TW_IMAGEINFO info{};
    EXPECT_EQ(client.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_SEQERROR);

    ASSERT_EQ(client.enable(), TWRC_SUCCESS);
    ASSERT_EQ(client.waitForEvent(), MSG_XFERREADY);
    EXPECT_NE(client.lastEventThread(), std::this_thread::get_id());
    EXPECT_EQ(client.enable(), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_SEQERROR);

    TW_UINT16 count = 0;
    for (int page = 1; page <= 4; ++page) {
        PageImage image;
        ASSERT_EQ(transfer(client, TWSX_NATIVE, image), TWRC_XFERDONE);
        EXPECT_EQ(image.width, 827); // A4 at 100 dpi
        EXPECT_EQ(image.height, 1169);
        EXPECT_EQ(image.bitCount, 8);
        EXPECT_EQ(image.pageNumber(), page);
        // A second transfer of the same image is out of sequence (state 7).
        TW_HANDLE again = nullptr;
        EXPECT_EQ(client.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &again), TWRC_FAILURE);
        EXPECT_EQ(client.sourceStatus(), TWCC_SEQERROR);
        ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
        EXPECT_EQ(count, 4 - page);
    }
    // State 5: the source stays enabled until the application disables it.
    EXPECT_EQ(client.dsm(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, const_cast<TW_IDENTITY *>(&client.source())), TWRC_FAILURE);
    EXPECT_EQ(client.managerStatus(), TWCC_SEQERROR);
    EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    EXPECT_EQ(client.disable(), TWRC_FAILURE);
    EXPECT_FALSE(client.eventsPending());
}

TEST_F(TwainDsmTest, EveryTransferMechanismCarriesTheSamePage)
{
    writeProfile(R"({"sources": [{"pages": 1, "resolution": 75}]})");
    for (const char *pixel : {"bw", "gray", "rgb"}) {
        for (TW_UINT16 mech : {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY, TWSX_MEMFILE}) {
            SCOPED_TRACE(std::string(pixel) + " mechanism " + std::to_string(mech));
            TwainClient client;
            ASSERT_TRUE(client.start());
            const TW_UINT16 pixelType = pixel[0] == 'b' ? TWPT_BW : pixel[0] == 'g' ? TWPT_GRAY : TWPT_RGB;
            ASSERT_EQ(client.setOne(ICAP_PIXELTYPE, TWTY_UINT16, pixelType), TWRC_SUCCESS);
            ASSERT_EQ(client.setOne(ICAP_XFERMECH, TWTY_UINT16, mech), TWRC_SUCCESS);
            ASSERT_EQ(client.enable(), TWRC_SUCCESS);
            ASSERT_EQ(client.waitForEvent(), MSG_XFERREADY);
            PageImage image;
            ASSERT_EQ(transfer(client, mech, image), TWRC_XFERDONE);
            EXPECT_EQ(image.width, 620);
            EXPECT_EQ(image.height, 877);
            EXPECT_EQ(image.bitCount, pixelType == TWPT_BW ? 1 : pixelType == TWPT_GRAY ? 8 : 24);
            EXPECT_EQ(image.pageNumber(), 1);
            TW_UINT16 count = 9;
            EXPECT_EQ(client.endXfer(count), TWRC_SUCCESS);
            EXPECT_EQ(count, 0);
        }
    }
}

TEST_F(TwainDsmTest, NativeTransferCanDeliverTiff)
{
    writeProfile(R"({"sources": [{"pages": 1, "resolution": 75, "nativeFormat": "tiff"}]})");
    TwainClient client;
    ASSERT_TRUE(client.start());
    ASSERT_EQ(client.enable(), TWRC_SUCCESS);
    ASSERT_EQ(client.waitForEvent(), MSG_XFERREADY);
    PageImage image;
    ASSERT_EQ(transfer(client, TWSX_NATIVE, image, true), TWRC_XFERDONE);
    EXPECT_EQ(image.width, 620);
    EXPECT_EQ(image.bitCount, 24);
    EXPECT_EQ(image.dpi, 75);
    EXPECT_EQ(image.pageNumber(), 1);
}

TEST_F(TwainDsmTest, CapabilitiesRoundTripForEveryContainerType)
{
    writeProfile(R"({"sources": [{"capabilities": [
        {"cap": "0x8001", "type": "TWTY_UINT16", "container": "enumeration", "values": [1, 2, 3], "default": 2},
        {"cap": "CAP_SERIALNUMBER", "type": "TWTY_STR255", "container": "onevalue", "default": "SN-42", "readOnly": true}]}]})");
    TwainClient client;
    ASSERT_TRUE(client.start());
    TW_UINT16 conType = 0, rc = 0;

    // Enumeration: GET lists the items with the current and default indexes.
    void *container = client.capability(ICAP_PIXELTYPE, MSG_GET, conType, rc);
    ASSERT_NE(container, nullptr);
    ASSERT_EQ(conType, TWON_ENUMERATION);
    auto *enumeration = static_cast<TW_ENUMERATION *>(container);
    EXPECT_EQ(enumeration->ItemType, TWTY_UINT16);
    EXPECT_EQ(TW_UINT32(enumeration->NumItems), 3u); // copied: packed to 2, gtest binds references
    const TW_UINT16 *items = reinterpret_cast<TW_UINT16 *>(enumeration->ItemList);
    EXPECT_EQ(items[enumeration->CurrentIndex], TWPT_RGB);
    std::free(container);
    EXPECT_EQ(client.setOne(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW), TWRC_SUCCESS);
    EXPECT_EQ(client.setOne(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_CMYK), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_BADVALUE);
    TW_UINT32 value = 0;
    ASSERT_TRUE(client.oneValue(ICAP_PIXELTYPE, MSG_GETCURRENT, value));
    EXPECT_EQ(value, static_cast<TW_UINT32>(TWPT_BW));
    ASSERT_TRUE(client.oneValue(ICAP_PIXELTYPE, MSG_GETDEFAULT, value));
    EXPECT_EQ(value, static_cast<TW_UINT32>(TWPT_RGB));
    container = client.capability(ICAP_PIXELTYPE, MSG_RESET, conType, rc);
    std::free(container);
    ASSERT_TRUE(client.oneValue(ICAP_PIXELTYPE, MSG_GETCURRENT, value));
    EXPECT_EQ(value, static_cast<TW_UINT32>(TWPT_RGB));

    // Range of FIX32.
    container = client.capability(ICAP_BRIGHTNESS, MSG_GET, conType, rc);
    ASSERT_NE(container, nullptr);
    ASSERT_EQ(conType, TWON_RANGE);
    auto *range = static_cast<TW_RANGE *>(container);
    TW_FIX32 low;
    std::memcpy(&low, &range->MinValue, 4);
    EXPECT_EQ(low.Whole, -1000);
    std::free(container);
    EXPECT_EQ(client.setFix32(ICAP_BRIGHTNESS, 250), TWRC_SUCCESS);
    EXPECT_EQ(client.setFix32(ICAP_BRIGHTNESS, 2000), TWRC_FAILURE);
    ASSERT_TRUE(client.oneValue(ICAP_BRIGHTNESS, MSG_GETCURRENT, value));
    TW_FIX32 current;
    std::memcpy(&current, &value, 4);
    EXPECT_EQ(current.Whole, 250);

    // One-value with any value, then RESETALL brings every default back.
    EXPECT_EQ(client.setOne(CAP_XFERCOUNT, TWTY_INT16, 3), TWRC_SUCCESS);
    TW_CAPABILITY all{0, TWON_DONTCARE16, nullptr};
    EXPECT_EQ(client.call(DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, &all), TWRC_SUCCESS);
    ASSERT_TRUE(client.oneValue(CAP_XFERCOUNT, MSG_GETCURRENT, value));
    EXPECT_EQ(static_cast<TW_INT16>(value), -1);
    ASSERT_TRUE(client.oneValue(ICAP_BRIGHTNESS, MSG_GETCURRENT, value));
    EXPECT_EQ(value, 0u);

    // Array: CAP_DEVICEEVENT takes a list.
    auto *array = static_cast<TW_ARRAY *>(std::calloc(1, sizeof(TW_ARRAY) + 4));
    array->ItemType = TWTY_UINT16;
    array->NumItems = 2;
    TW_UINT16 events[2] = {TWDE_PAPERJAM, TWDE_CHECKDEVICEONLINE};
    std::memcpy(array->ItemList, events, sizeof events);
    TW_CAPABILITY setArray{CAP_DEVICEEVENT, TWON_ARRAY, array};
    EXPECT_EQ(client.call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &setArray), TWRC_SUCCESS);
    std::free(array);
    container = client.capability(CAP_DEVICEEVENT, MSG_GETCURRENT, conType, rc);
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(conType, TWON_ARRAY);
    EXPECT_EQ(TW_UINT32(static_cast<TW_ARRAY *>(container)->NumItems), 2u);
    std::free(container);

    // The custom enumeration and the read-only string from the profile.
    ASSERT_TRUE(client.oneValue(0x8001, MSG_GETCURRENT, value));
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(client.setOne(0x8001, TWTY_UINT16, 3), TWRC_SUCCESS);
    container = client.capability(CAP_SERIALNUMBER, MSG_GETCURRENT, conType, rc);
    ASSERT_NE(container, nullptr);
    EXPECT_STREQ(reinterpret_cast<char *>(&static_cast<TW_ONEVALUE *>(container)->Item), "SN-42");
    std::free(container);
    EXPECT_EQ(client.setOne(CAP_SERIALNUMBER, TWTY_STR255, 0), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_CAPBADOPERATION);
    ASSERT_TRUE(client.oneValue(CAP_SERIALNUMBER, MSG_QUERYSUPPORT, value));
    EXPECT_EQ(value, static_cast<TW_UINT32>(TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT));
    ASSERT_TRUE(client.oneValue(0x8001, MSG_QUERYSUPPORT, value));
    EXPECT_TRUE(value & TWQC_SET);

    // CAP_SUPPORTEDCAPS lists the custom capability; unknown ones are refused.
    container = client.capability(CAP_SUPPORTEDCAPS, MSG_GET, conType, rc);
    ASSERT_NE(container, nullptr);
    auto *supported = static_cast<TW_ARRAY *>(container);
    bool listed = false;
    for (TW_UINT32 i = 0; i < supported->NumItems; ++i)
        listed = listed || reinterpret_cast<TW_UINT16 *>(supported->ItemList)[i] == 0x8001;
    EXPECT_TRUE(listed);
    std::free(container);
    EXPECT_EQ(client.capability(ICAP_GAMMA, MSG_GET, conType, rc), nullptr);
    EXPECT_EQ(client.sourceStatus(), TWCC_CAPUNSUPPORTED);

    // Negotiation belongs to state 4.
    ASSERT_EQ(client.enable(), TWRC_SUCCESS);
    EXPECT_EQ(client.setOne(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_SEQERROR);
    ASSERT_TRUE(client.oneValue(ICAP_PIXELTYPE, MSG_GETCURRENT, value));
}

TEST_F(TwainDsmTest, ScriptedFaultsGiveTheStandardCodes)
{
    writeProfile(R"({"sources": [
        {"productName": "Closed", "openFailure": "TWCC_CHECKDEVICEONLINE"},
        {"productName": "Busy", "enableFailure": 5},
        {"productName": "Jam", "pages": 5, "failAtPage": {"page": 2, "condition": "TWCC_PAPERJAM"}},
        {"productName": "Empty", "pages": 0},
        {"productName": "Cancel", "pages": 3, "cancelAtPage": 1},
        {"productName": "Lazy", "pages": 1, "nativeReturnsSuccess": true, "closeRequest": "afterLastPage",
         "deviceEvents": [{"afterPage": 1, "event": "TWDE_PAPERJAM"}]},
        {"productName": "User Cancel", "closeRequest": "beforeFirstPage"}]})");
    {
        TwainClient client;
        ASSERT_EQ(client.openManager(), TWRC_SUCCESS);
        EXPECT_EQ(client.openSource("Closed"), TWRC_FAILURE);
        EXPECT_EQ(client.managerStatus(), TWCC_CHECKDEVICEONLINE);
        EXPECT_EQ(client.openSource("No Such Scanner"), TWRC_FAILURE);
        EXPECT_EQ(client.managerStatus(), TWCC_NODS);
    }
    {
        TwainClient client;
        ASSERT_TRUE(client.start("Busy"));
        EXPECT_EQ(client.enable(), TWRC_FAILURE);
        EXPECT_EQ(client.sourceStatus(), TWCC_OPERATIONERROR);
        EXPECT_EQ(client.disable(), TWRC_FAILURE); // still state 4
    }
    {
        TwainClient client;
        ASSERT_TRUE(client.start("Jam"));
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        ASSERT_EQ(client.waitForEvent(), MSG_XFERREADY);
        PageImage image;
        TW_UINT16 count = 0;
        ASSERT_EQ(transfer(client, TWSX_NATIVE, image), TWRC_XFERDONE);
        ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
        EXPECT_EQ(count, 4);
        EXPECT_EQ(transfer(client, TWSX_NATIVE, image), TWRC_FAILURE);
        EXPECT_EQ(client.sourceStatus(), TWCC_PAPERJAM);
        ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
        EXPECT_EQ(count, 0);
    }
    {
        TwainClient client;
        ASSERT_TRUE(client.start("Empty"));
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        ASSERT_EQ(client.waitForEvent(), MSG_XFERREADY);
        PageImage image;
        EXPECT_EQ(transfer(client, TWSX_NATIVE, image), TWRC_FAILURE);
        EXPECT_EQ(client.sourceStatus(), TWCC_NOMEDIA);
        TW_PENDINGXFERS pending{};
        EXPECT_EQ(client.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
        EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    }
    {
        TwainClient client;
        ASSERT_TRUE(client.start("Cancel"));
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        ASSERT_EQ(client.waitForEvent(), MSG_XFERREADY);
        PageImage image;
        EXPECT_EQ(transfer(client, TWSX_NATIVE, image), TWRC_CANCEL);
        TW_UINT16 count = 0;
        ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
        EXPECT_EQ(count, 2);
        ASSERT_EQ(transfer(client, TWSX_NATIVE, image), TWRC_XFERDONE);
        EXPECT_EQ(image.pageNumber(), 2);
    }
    {
        TwainClient client;
        ASSERT_TRUE(client.start("Lazy"));
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        ASSERT_EQ(client.waitForEvent(), MSG_XFERREADY);
        PageImage image;
        EXPECT_EQ(transfer(client, TWSX_NATIVE, image), TWRC_SUCCESS);
        TW_UINT16 count = 9;
        ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
        EXPECT_EQ(count, 0);
        // The end of the batch, then the source asks to be closed; the device event is reported too.
        TW_UINT16 first = client.waitForEvent(), second = client.waitForEvent();
        EXPECT_TRUE((first == MSG_CLOSEDSREQ && second == MSG_DEVICEEVENT) || (first == MSG_DEVICEEVENT && second == MSG_CLOSEDSREQ));
        TW_DEVICEEVENT device{};
        EXPECT_EQ(client.call(DG_CONTROL, DAT_DEVICEEVENT, MSG_GET, &device), TWRC_SUCCESS);
        EXPECT_EQ(device.Event, static_cast<TW_UINT32>(TWDE_PAPERJAM));
        EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    }
    {
        TwainClient client;
        ASSERT_TRUE(client.start("User Cancel"));
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        EXPECT_EQ(client.waitForEvent(), MSG_CLOSEDSREQ);
        TW_IMAGEINFO info{};
        EXPECT_EQ(client.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
        EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    }
}

TEST_F(TwainDsmTest, XferReadyInsideEnableAndWithoutCallback)
{
    writeProfile(R"({"sources": [{"productName": "Eager", "pages": 1, "xferReadyInsideEnable": true},
                                 {"productName": "Polled", "pages": 1}]})");
    {
        TwainClient client;
        ASSERT_TRUE(client.start("Eager"));
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        // Already delivered, on this very thread, before MSG_ENABLEDS returned.
        ASSERT_TRUE(client.eventsPending());
        EXPECT_EQ(client.lastEventThread(), std::this_thread::get_id());
        EXPECT_EQ(client.waitForEvent(), MSG_XFERREADY);
    }
    {
        TwainClient client;
        ASSERT_TRUE(client.loaded());
        ASSERT_EQ(client.openManager(), TWRC_SUCCESS);
        ASSERT_EQ(client.openSource("Polled"), TWRC_SUCCESS);
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        TW_EVENT event{nullptr, MSG_NULL};
        TW_UINT16 rc = TWRC_NOTDSEVENT;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (rc != TWRC_DSEVENT && std::chrono::steady_clock::now() < deadline) {
            rc = client.call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
            if (rc != TWRC_DSEVENT)
                std::this_thread::yield();
        }
        ASSERT_EQ(rc, TWRC_DSEVENT);
        EXPECT_EQ(event.TWMessage, MSG_XFERREADY);
        TW_IMAGEINFO info{};
        EXPECT_EQ(client.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    }
}

TEST_F(TwainDsmTest, ManagerRefusesOutOfSequenceCalls)
{
    writeProfile("{\"sources\": []}");
    TwainClient client;
    ASSERT_TRUE(client.loaded());
    TW_IDENTITY identity{};
    EXPECT_EQ(client.dsm(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &identity), TWRC_FAILURE);
    EXPECT_EQ(client.managerStatus(), TWCC_SEQERROR);
    ASSERT_EQ(client.openManager(), TWRC_SUCCESS);
    EXPECT_EQ(client.openManager(), TWRC_FAILURE);
    EXPECT_EQ(client.managerStatus(), TWCC_SEQERROR);
    // No source open: source triplets have no destination.
    EXPECT_EQ(client.enable(), TWRC_FAILURE);
    EXPECT_EQ(client.managerStatus(), TWCC_BADDEST);
    ASSERT_EQ(client.openSource(), TWRC_SUCCESS);
    EXPECT_STREQ(client.source().ProductName, "Vellox Virtual Scanner");
    TW_HANDLE parent = nullptr;
    EXPECT_EQ(client.dsm(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent), TWRC_FAILURE);
    EXPECT_EQ(client.managerStatus(), TWCC_SEQERROR);
    TW_PENDINGXFERS pending{};
    EXPECT_EQ(client.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_SEQERROR);
    EXPECT_EQ(client.sourceStatus(), TWCC_SUCCESS); // DAT_STATUS hands the code out once

    TW_ENTRYPOINT entry{};
    entry.Size = sizeof entry;
    ASSERT_EQ(client.dsm(DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &entry), TWRC_SUCCESS);
    TW_HANDLE memory = entry.DSM_MemAllocate(16);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(entry.DSM_MemLock(memory), memory);
    entry.DSM_MemUnlock(memory);
    entry.DSM_MemFree(memory);
}

TEST_F(TwainDsmTest, ProfileErrorsFallBackToTheBuiltInSource)
{
    const struct {
        const char *content; // null: no file at all
        const char *message;
    } cases[] = {
        {nullptr, "cannot read"},
        {"{\"sources\": [", "not valid JSON"},
        {R"({"sources": [{"productName": "X", "capabilities": [{"cap": "ICAP_NOSUCHTHING"}]}]})", "unknown capability"},
        {R"({"sources": [{"pixelType": "purple"}]})", "unknown pixel type"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        std::filesystem::remove(profilePath_);
        if (c.content)
            writeProfile(c.content);
        testing::internal::CaptureStderr();
        TwainClient client;
        ASSERT_EQ(client.openManager(), TWRC_SUCCESS);
        TW_IDENTITY identity{};
        ASSERT_EQ(client.dsm(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &identity), TWRC_SUCCESS);
        EXPECT_STREQ(identity.ProductName, "Vellox Virtual Scanner");
        EXPECT_EQ(client.dsm(DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &identity), TWRC_ENDOFLIST);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
        EXPECT_NE(errors.find(profilePath_), std::string::npos) << errors;
    }
}

TEST_F(TwainDsmTest, TraceRecordsNegotiationAndProfileChangesApplyAtEnable)
{
    const std::string tracePath = folder_ + "/trace.jsonl";
    setenv("TWAINDSM_TRACE", tracePath.c_str(), 1);
    writeProfile(R"({"sources": [{"pages": 1}]})");
    TwainClient client;
    ASSERT_TRUE(client.start());
    ASSERT_EQ(client.setFix32(ICAP_XRESOLUTION, 300), TWRC_SUCCESS);
    // The scanner now fails to start: the profile is read again at MSG_ENABLEDS.
    writeProfile(R"({"sources": [{"pages": 1, "enableFailure": "TWCC_PAPERDOUBLEFEED"}]})");
    EXPECT_EQ(client.enable(), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_PAPERDOUBLEFEED);

    std::ifstream in(tracePath);
    std::string line, all;
    bool sawSet = false;
    while (std::getline(in, line)) {
        all += line + "\n";
        sawSet = sawSet
            || (line.find("\"msg\":\"MSG_SET\"") != std::string::npos && line.find("\"cap\":\"ICAP_XRESOLUTION\"") != std::string::npos
                && line.find("\"value\":300.0") != std::string::npos && line.find("TWON_ONEVALUE") != std::string::npos);
    }
    EXPECT_TRUE(sawSet) << all;
    EXPECT_NE(all.find("\"msg\":\"MSG_ENABLEDS\",\"rc\":\"TWRC_FAILURE\""), std::string::npos) << all;
}

} // namespace
