// The parts of the SANE sources that are pure logic, on inputs no test backend produces: names of
// real devices, their option values, pages whose length differs from the one announced.
#include "profile.h"
#include "sane_capabilities.h"
#include "sane_devices.h"
#include "sane_page.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

using namespace twaindsm;

bool validUtf8(const std::string &text)
{
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

TEST(SaneNames, ProductNamesAreVendorAndModelUniqueAndCutOnACharacter)
{
    const std::vector<SaneDeviceInfo> devices{
        {"pixma:04A9", "Canon", "MF750", "multi-function peripheral"},
        {"escl:http://10.0.0.9", "HP", "HP LaserJet MFP M28w", "flatbed scanner"},
        {"test:0", "Noname", "frontend-tester", "virtual device"},
        {"test:1", "Noname", "frontend-tester", "virtual device"},
        {"x:1", "Ünïcødé Scanners", "Model Élégant Très Long", "sheetfed scanner"},
        {"x:2", "Ünïcødé Scanners", "Model Élégant Très Long", "sheetfed scanner"},
    };
    const std::vector<SaneListedDevice> named = nameSaneDevices(devices, {"Noname frontend-tester"});
    ASSERT_EQ(named.size(), devices.size());
    EXPECT_EQ(named[0].productName, "Canon MF750");
    EXPECT_EQ(named[1].productName, "HP LaserJet MFP M28w"); // the model already names the vendor
    // A virtual source has the first name already.
    EXPECT_EQ(named[2].productName, "Noname frontend-tester (2)");
    EXPECT_EQ(named[3].productName, "Noname frontend-tester (3)");
    for (size_t i = 4; i < named.size(); ++i) {
        EXPECT_LE(named[i].productName.size(), 33u) << named[i].productName;
        EXPECT_TRUE(validUtf8(named[i].productName)) << named[i].productName;
    }
    EXPECT_EQ(named[4].productName.rfind("Ünïcødé Scanners Model", 0), 0u);
    EXPECT_NE(named[4].productName, named[5].productName);
    EXPECT_EQ(named[5].productName.substr(named[5].productName.size() - 4), " (2)");

    EXPECT_EQ(cutUtf8("aé", 2), "a");
    EXPECT_EQ(cutUtf8("aé", 3), "aé");
    const TW_IDENTITY identity = saneIdentity(named[4], 1007);
    EXPECT_EQ(identity.Id, 1007u);
    EXPECT_LE(std::strlen(identity.ProductFamily), 33u);
    EXPECT_STREQ(identity.Version.Info, "x:1");
    EXPECT_TRUE(validUtf8(identity.Manufacturer));
}

TEST(SaneOptionValues, SourcesModesAndScalesOfRealBackends)
{
    const struct {
        const char *value;
        PaperSource source;
    } sources[] = {
        {"Flatbed", PaperSource::Flatbed},          {"Automatic Document Feeder", PaperSource::Feeder},
        {"ADF", PaperSource::Feeder},               {"ADF Front", PaperSource::Feeder},
        {"ADF Duplex", PaperSource::Duplex},        {"ADF-Duplex", PaperSource::Duplex},
        {"Duplex", PaperSource::Duplex},            {"Transparency Adapter", PaperSource::Flatbed},
        {"Feederless bed", PaperSource::Flatbed},   {"adf", PaperSource::Feeder},
    };
    for (const auto &s : sources)
        EXPECT_EQ(classifyPaperSource(s.value), s.source) << s.value;

    const struct {
        const char *mode;
        int type;
    } modes[] = {
        {"Lineart", TWPT_BW}, {"Binary", TWPT_BW},  {"Halftone", TWPT_BW},         {"Gray", TWPT_GRAY},
        {"Grayscale", TWPT_GRAY}, {"True Gray", TWPT_GRAY}, {"Color", TWPT_RGB}, {"24bit Color[Fast]", TWPT_RGB},
        {"COLOR", TWPT_RGB}, {"Infrared", -1},
    };
    for (const auto &m : modes)
        EXPECT_EQ(pixelTypeOfMode(m.mode), m.type) << m.mode;

    // TWAIN's -1000..1000 onto a brightness of -100..100 and one of 0..255, and back.
    EXPECT_DOUBLE_EQ(fromTwainScale(250, -100, 100), 25);
    EXPECT_DOUBLE_EQ(toTwainScale(25, -100, 100), 250);
    EXPECT_DOUBLE_EQ(fromTwainScale(-1000, 0, 255), 0);
    EXPECT_DOUBLE_EQ(fromTwainScale(1000, 0, 255), 255);
    EXPECT_DOUBLE_EQ(toTwainScale(fromTwainScale(176.47, 0, 255), 0, 255), 176.47);
    EXPECT_DOUBLE_EQ(toTwainScale(7, 7, 7), 0); // a range of one value
}

TEST(SaneProfile, DeviceSettingsKeepTheirOrderAndBadOnesAreNamed)
{
    ProfileSet profiles;
    std::string error;
    ASSERT_TRUE(parseProfiles(R"({"sane": "only", "default": "Noname frontend-tester", "saneDevices": [
        {"device": "test:0", "options": {"mode": "Gray", "depth": 1}, "closeRequest": "afterLastPage",
         "nativeFormat": "tiff", "optionsAtPage": [{"page": 2, "options": {"read-delay": true}}]},
        {"options": {"resolution": 75}}]})", profiles, error)) << error;
    EXPECT_EQ(profiles.sane, SaneMode::Only);
    EXPECT_EQ(profiles.defaultSource, "Noname frontend-tester");
    const SaneDeviceSettings first = saneSettingsFor(profiles, "test:0");
    // "mode" before "depth", as written: a depth may only be allowed in some modes.
    ASSERT_EQ(first.options.size(), 2u);
    EXPECT_EQ(first.options.begin().key(), "mode");
    EXPECT_EQ(first.closeRequest, CloseRequest::AfterLastPage);
    EXPECT_EQ(first.nativeFormat, "tiff");
    ASSERT_EQ(first.optionsAtPage.size(), 1u);
    EXPECT_EQ(first.optionsAtPage[0].page, 2);
    // Devices the profile does not name get the entry without a name.
    EXPECT_EQ(saneSettingsFor(profiles, "test:1").options.dump(), R"({"resolution":75})");
    EXPECT_TRUE(saneSettingsFor(ProfileSet(), "test:1").options.empty());

    const struct {
        const char *text;
        const char *message;
    } bad[] = {
        {R"({"sane": "sometimes"})", "\"sane\" must be"},
        {R"({"saneDevices": [{"optionsAtPage": [{"page": 0, "options": {}}]}]})", "optionsAtPage"},
        {R"({"saneDevices": [{"nativeFormat": "jpeg"}]})", "nativeFormat"},
        {R"({"saneDevices": [{"options": [1, 2]}]})", "\"options\" must be"},
    };
    for (const auto &b : bad) {
        error.clear();
        EXPECT_FALSE(parseProfiles(b.text, profiles, error)) << b.text;
        EXPECT_NE(error.find(b.message), std::string::npos) << error;
    }
}

SANE_Parameters grey(int lines, int pixels, int bytesPerLine)
{
    SANE_Parameters p{};
    p.format = SANE_FRAME_GRAY;
    p.last_frame = SANE_TRUE;
    p.lines = lines;
    p.pixels_per_line = pixels;
    p.bytes_per_line = bytesPerLine;
    p.depth = 8;
    return p;
}

// The rows of a DIB, top-down, packed.
std::vector<uint8_t> rowsOf(const uint8_t *dib, const DibLayout &layout)
{
    std::vector<uint8_t> rows;
    for (int y = 0; y < layout.height; ++y) {
        const uint8_t *row = dib + layout.pixelOffset + layout.stride * (layout.height - 1 - y);
        rows.insert(rows.end(), row, row + layout.packedRowBytes());
    }
    return rows;
}

TEST(SanePageAssembly, LinesArriveInAnyPiecesAndInAnyNumber)
{
    // Lines of 3 pixels padded to 5 bytes, in pieces that split lines.
    const uint8_t data[] = {1, 2, 3, 0, 0, 4, 5, 6, 0, 0, 7, 8, 9, 0, 0, 10, 11, 12, 0, 0};
    const struct {
        int announced;     // -1: unknown until the end
        int delivered;
    } cases[] = {{4, 4}, {4, 2}, {2, 4}, {-1, 3}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.announced) + " announced, " + std::to_string(c.delivered) + " delivered");
        SanePage page;
        ASSERT_TRUE(page.beginFrame(grey(c.announced, 3, 5), 100));
        const size_t bytes = static_cast<size_t>(c.delivered) * 5;
        for (size_t at = 0; at < bytes; at += 3)
            page.add(data + at, std::min<size_t>(3, bytes - at));
        EXPECT_TRUE(page.endFrame());
        EXPECT_EQ(page.lengthWasUnknown(), c.announced < 0);
        DibLayout layout;
        uint8_t *dib = page.takeDib(layout);
        ASSERT_NE(dib, nullptr);
        EXPECT_EQ(layout.height, c.delivered);
        EXPECT_EQ(layout.width, 3);
        std::vector<uint8_t> expected;
        for (int line = 0; line < c.delivered; ++line)
            expected.insert(expected.end(), data + line * 5, data + line * 5 + 3);
        EXPECT_EQ(rowsOf(dib, layout), expected);
        std::free(dib);
    }

    // Nothing delivered is no page; a format this cannot show is refused.
    SanePage empty;
    ASSERT_TRUE(empty.beginFrame(grey(2, 3, 3), 100));
    empty.endFrame();
    DibLayout layout;
    EXPECT_EQ(empty.takeDib(layout), nullptr);
    SANE_Parameters fourBits = grey(2, 3, 2);
    fourBits.depth = 4;
    EXPECT_FALSE(SanePage().beginFrame(fourBits, 100));
    SANE_Parameters jpeg = grey(2, 3, 3);
    const int jpegFrame = 0x0B; // as a driver writes it: SANE_Frame has no such value
    std::memcpy(&jpeg.format, &jpegFrame, sizeof jpegFrame);
    EXPECT_FALSE(SanePage().beginFrame(jpeg, 100));
}

} // namespace
