#include "scanning/twainnames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>

namespace {

// How many 16-bit codes a name function knows, i.e. does not answer with its fallback text.
int namedCodes(const std::function<const char*(unsigned)>& name, std::initializer_list<const char*> fallbacks)
{
    int named = 0;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        const char* text = name(code);
        bool fallback = false;
        for (const char* start : fallbacks)
            fallback = fallback || std::strncmp(text, start, std::strlen(start)) == 0;
        named += !fallback;
    }
    return named;
}

TEST(TwainNames, EachTableCoversItsRange)
{
    // 146 capabilities and CAP_CUSTOMBASE; custom ones above it are "Custom CAP".
    EXPECT_EQ(namedCodes([](unsigned c) { return CapabilityName(TW_UINT16(c)); }, { "Unknown CAP 0x:", "Custom CAP 0x:" }),
              147);
    EXPECT_EQ(namedCodes([](unsigned c) { return ConditionCodeName(TW_UINT16(c)); }, { "ConditionCode 0x:" }), 28);
    EXPECT_EQ(namedCodes([](unsigned c) { return DataArgumentTypeName(TW_UINT16(c)); }, { "DataArgumentType 0x:" }), 34);
    EXPECT_EQ(namedCodes([](unsigned c) { return DataGroupName(c); }, { "DataGroup 0x:" }), 3);
    EXPECT_EQ(namedCodes([](unsigned c) { return MessageName(TW_UINT16(c)); }, { "Message 0x:" }), 40);
    EXPECT_EQ(namedCodes([](unsigned c) { return ReturnCodeName(TW_UINT16(c)); }, { "ReturnCode 0x:" }), 10);
    EXPECT_EQ(namedCodes([](unsigned c) { return ItemTypeName(TW_UINT16(c)); }, { "Unknown TWTY 0x:" }), 16);
}

TEST(TwainNames, BoundariesAndFallbackTexts)
{
    EXPECT_STREQ(CapabilityName(CAP_XFERCOUNT), "CAP_XFERCOUNT");
    EXPECT_STREQ(CapabilityName(CAP_SUPPORTEDDATS), "CAP_SUPPORTEDDATS");
    EXPECT_STREQ(CapabilityName(ICAP_SUPPORTEDEXTIMAGEINFO), "ICAP_SUPPORTEDEXTIMAGEINFO");
    EXPECT_STREQ(CapabilityName(ACAP_AUDIOFILEFORMAT), "ACAP_AUDIOFILEFORMAT");
    EXPECT_STREQ(CapabilityName(ACAP_XFERMECH), "ACAP_XFERMECH");
    EXPECT_STREQ(CapabilityName(ICAP_FILMTYPE), "Unknown CAP 0x:115F");
    EXPECT_STREQ(CapabilityName(0x0000), "Unknown CAP 0x:0000");
    EXPECT_STREQ(CapabilityName(0x8000), "CAP_CUSTOMBASE");
    EXPECT_STREQ(CapabilityName(0x8001), "Custom CAP 0x:8001");

    EXPECT_STREQ(ConditionCodeName(TWCC_SUCCESS), "TWCC_SUCCESS");
    EXPECT_STREQ(ConditionCodeName(TWCC_NOMEDIA), "TWCC_NOMEDIA");
    EXPECT_STREQ(ConditionCodeName(7), "ConditionCode 0x:0007");
    EXPECT_STREQ(ConditionCodeName(30), "ConditionCode 0x:001E");

    EXPECT_STREQ(DataArgumentTypeName(DAT_NULL), "DAT_NULL");
    EXPECT_STREQ(DataArgumentTypeName(0x0101), "DAT_IMAGEINFO");
    EXPECT_STREQ(DataArgumentTypeName(DAT_ENTRYPOINT), "DAT_ENTRYPOINT");
    EXPECT_STREQ(DataArgumentTypeName(0x0404), "DataArgumentType 0x:0404");

    EXPECT_STREQ(DataGroupName(DG_CONTROL), "DG_CONTROL");
    EXPECT_STREQ(DataGroupName(DG_AUDIO), "DG_AUDIO");
    EXPECT_STREQ(DataGroupName(8), "DataGroup 0x:0008");

    EXPECT_STREQ(MessageName(MSG_GET), "MSG_GET");
    EXPECT_STREQ(MessageName(MSG_DEVICEEVENT), "MSG_DEVICEEVENT");
    EXPECT_STREQ(MessageName(MSG_RESETALL), "MSG_RESETALL");
    EXPECT_STREQ(MessageName(MSG_NULL), "Message 0x:0000");
    EXPECT_STREQ(MessageName(0x0999), "Message 0x:0999");

    EXPECT_STREQ(ReturnCodeName(TWRC_SUCCESS), "TWRC_SUCCESS");
    EXPECT_STREQ(ReturnCodeName(TWRC_DATANOTAVAILABLE), "TWRC_DATANOTAVAILABLE");
    EXPECT_STREQ(ReturnCodeName(10), "ReturnCode 0x:000A");

    EXPECT_STREQ(ItemTypeName(TWTY_INT8), "TWTY_INT8");
    EXPECT_STREQ(ItemTypeName(TWTY_HANDLE), "TWTY_HANDLE");
    EXPECT_STREQ(ItemTypeName(0x0010), "Unknown TWTY 0x:0010");
}

TEST(TwainNames, FourthFormattedNameOverwritesTheFirst)
{
    const char* first = MessageName(0x0991);
    const char* second = MessageName(0x0992);
    const char* third = MessageName(0x0993);
    EXPECT_STREQ(first, "Message 0x:0991");
    EXPECT_STREQ(second, "Message 0x:0992");
    EXPECT_STREQ(third, "Message 0x:0993");
    const char* fourth = ConditionCodeName(0x0994);
    EXPECT_EQ(fourth, first);
    EXPECT_STREQ(first, "ConditionCode 0x:0994");
    EXPECT_STREQ(second, "Message 0x:0992");
    EXPECT_STREQ(third, "Message 0x:0993");
}

TEST(TwainNames, CapabilityItemTexts)
{
    const TW_INT16 minusFive = -5;
    EXPECT_STREQ(CapabilityItemText(ICAP_BRIGHTNESS, TWTY_INT16, &minusFive), "-5");
    const TW_INT32 big = 70000;
    EXPECT_STREQ(CapabilityItemText(ICAP_BRIGHTNESS, TWTY_INT32, &big), "70000");
    const TW_BOOL yes = TRUE;
    const TW_BOOL no = FALSE;
    EXPECT_STREQ(CapabilityItemText(CAP_DUPLEXENABLED, TWTY_BOOL, &yes), "TRUE");
    EXPECT_STREQ(CapabilityItemText(CAP_DUPLEXENABLED, TWTY_BOOL, &no), "FALSE");
    const TW_FIX32 dpi{ 300, 0x8000 };
    EXPECT_STREQ(CapabilityItemText(ICAP_XRESOLUTION, TWTY_FIX32, &dpi), "300.50");
    const TW_FRAME frame{ { 0, 0 }, { 1, 0x4000 }, { 8, 0x8000 }, { 11, 0 } };
    EXPECT_STREQ(CapabilityItemText(ICAP_FRAMES, TWTY_FRAME, &frame), "0.00,1.25,8.50,11.00");
    TW_STR32 text{};
    std::strcpy(text, "SN-1");
    EXPECT_STREQ(CapabilityItemText(CAP_SERIALNUMBER, TWTY_STR32, text), "SN-1");

    const TW_UINT16 rgb = TWPT_RGB;
    EXPECT_STREQ(CapabilityItemText(ICAP_PIXELTYPE, TWTY_UINT16, &rgb), "TWPT_RGB");
    const TW_UINT16 memory = TWSX_MEMORY;
    EXPECT_STREQ(CapabilityItemText(ICAP_XFERMECH, TWTY_UINT16, &memory), "TWSX_MEMORY");
    const TW_UINT16 chinese = TWLG_CHINESE_SIMPLIFIED;
    EXPECT_STREQ(CapabilityItemText(CAP_LANGUAGE, TWTY_UINT16, &chinese), "TWLG_CHINESE_SIMPLIFIED");
    const TW_UINT16 brightness = ICAP_BRIGHTNESS;
    EXPECT_STREQ(CapabilityItemText(CAP_SUPPORTEDCAPS, TWTY_UINT16, &brightness), "ICAP_BRIGHTNESS");
    const TW_UINT32 a4 = TWSS_A4;
    EXPECT_STREQ(CapabilityItemText(ICAP_SUPPORTEDSIZES, TWTY_UINT32, &a4), "TWSS_A4");
    const TW_UINT16 strange = 0x63;
    EXPECT_STREQ(CapabilityItemText(ICAP_PIXELTYPE, TWTY_UINT16, &strange), "0x0063");
    const TW_UINT16 seven = 7;
    EXPECT_STREQ(CapabilityItemText(0x8001, TWTY_UINT16, &seven), "Un-recognized Capability 0x0007");
}

} // namespace
