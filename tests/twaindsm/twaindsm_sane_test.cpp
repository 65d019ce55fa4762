// SANE devices as TWAIN sources, black-box: libtwaindsm through DSM_Entry and the callback, as
// an application sees it, with SANE's own test backend behind it (sane_test_backend.h). Pages
// are compared byte for byte with what scanimage gets from the same backend.
#include "image_check.h"
#include "page_transfer.h"
#include "sane_test_backend.h"
#include "twain_client.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

// SANE's backends read the device on a thread of their own and stop it with pthread_cancel after
// switching it to asynchronous cancellation. A thread cancelled that way in the middle of malloc
// or free dies holding the allocator's lock, and the next thread to allocate from that arena
// waits for ever; these tests stop scans right after they start, while the reader still
// allocates, often enough to hit that now and then. Defined here, in the test program, this
// takes the place of the C library's for the backends, and keeps their cancellation deferred:
// the reader then ends at its next read, write or sleep, never inside the allocator. (How the
// DSM copes with a driver that hangs for real is tested with a driver made to hang.)
extern "C" int pthread_setcanceltype(int type, int *oldType)
{
    using Function = int (*)(int, int *);
    static const Function original = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "pthread_setcanceltype"));
    (void)type;
    return original(PTHREAD_CANCEL_DEFERRED, oldType);
}

namespace {

using namespace std::chrono_literals;
using sanetest::kFirstDevice;
using sanetest::kSecondDevice;

// SANE unloads its test driver at sane_exit, and what the driver's reader threads keep would then
// be reported at exit from a module without a name. Held open here, it keeps its name, which the
// leak suppressions of tests/support/sanitizer/ match.
void *const heldTestDriver = dlopen(SANE_TEST_DRIVER, RTLD_NOW | RTLD_LOCAL);

std::string makeFolder(const char *name)
{
    std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

// The private SANE configuration, in place before the first test loads the DSM (and SANE).
class SaneBackend : public ::testing::Environment {
public:
    void SetUp() override
    {
        const char *inherited = std::getenv("SANE_CONFIG_DIR"); // a death test's child reuses it
        if (inherited && std::filesystem::exists(std::string(inherited) + "/test.conf"))
            return;
        folder_ = makeFolder("twaindsm-sane");
        ASSERT_TRUE(sanetest::writeConfig(folder_));
        setenv("SANE_CONFIG_DIR", folder_.c_str(), 1);
    }
    void TearDown() override
    {
        if (!folder_.empty())
            std::filesystem::remove_all(folder_);
    }

private:
    std::string folder_;
};
::testing::Environment *const saneBackend = ::testing::AddGlobalTestEnvironment(new SaneBackend);

class SaneDsmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = makeFolder("twaindsm-sane-test");
        ASSERT_FALSE(folder_.empty());
        setenv("TWAINDSM_SOURCES", (folder_ + "/sources.json").c_str(), 1);
        setenv("TWAINDSM_TRACE", tracePath().c_str(), 1);
        unsetenv("TWAINDSM_SANE");
    }
    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "DSM trace (SANE lines):\n%s\n", traceLines("\"sane\"").c_str());
        unsetenv("TWAINDSM_SOURCES");
        unsetenv("TWAINDSM_TRACE");
        std::filesystem::remove_all(folder_);
    }

    std::string tracePath() const { return folder_ + "/trace.jsonl"; }

    void writeProfile(const std::string &json) { std::ofstream(folder_ + "/sources.json") << json; }

    // Only SANE devices. The first one is set as test.conf has it, with these options (JSON
    // members, such as "mode": "Gray") on top, and these further settings (JSON members).
    // (The backend keeps its options while the process lasts, whatever the test before set.)
    void saneOnly(const std::string &options = "", const std::string &settings = "")
    {
        const std::string baseline = R"("mode": "Color", "depth": 8, "three-pass": false, "hand-scanner": false,
            "resolution": 300, "source": "Flatbed", "read-return-value": "Default", "read-delay": false,
            "tl-x": 0, "tl-y": 0, "br-x": 210, "br-y": 297)";
        writeProfile(R"({"sane": "only", "saneDevices": [{"device": "test:0", "options": {)" + baseline
                     + (options.empty() ? "" : ", " + options) + "}" + (settings.empty() ? "" : ", " + settings) + "}]}");
    }

    // The trace lines that contain all of the given pieces.
    std::string traceLines(const std::string &piece, const std::string &other = "") const
    {
        std::ifstream in(tracePath());
        std::string line, found;
        while (std::getline(in, line))
            if (line.find(piece) != std::string::npos && line.find(other) != std::string::npos)
                found += line + "\n";
        return found;
    }

    // Waits until the trace has `count` lines with both pieces; false after the deadline.
    bool waitForTrace(const std::string &piece, const std::string &other = "", int count = 1) const
    {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        auto lines = [&] {
            const std::string found = traceLines(piece, other);
            return static_cast<int>(std::count(found.begin(), found.end(), '\n'));
        };
        while (lines() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return lines() >= count;
    }

    static std::vector<TW_IDENTITY> listed(TwainClient &client)
    {
        std::vector<TW_IDENTITY> sources;
        TW_IDENTITY identity{};
        for (TW_UINT16 msg = MSG_GETFIRST; client.dsm(DG_CONTROL, DAT_IDENTITY, msg, &identity) == TWRC_SUCCESS; msg = MSG_GETNEXT)
            sources.push_back(identity);
        return sources;
    }
    static std::vector<std::string> names(const std::vector<TW_IDENTITY> &sources)
    {
        std::vector<std::string> result;
        for (const TW_IDENTITY &identity : sources)
            result.emplace_back(identity.ProductName);
        return result;
    }

    // Opens the first test device with a callback and enables it; true once MSG_XFERREADY came.
    bool startBatch(TwainClient &client, TW_UINT16 mech = TWSX_NATIVE)
    {
        return client.start(kFirstDevice) && client.setOne(ICAP_XFERMECH, TWTY_UINT16, mech) == TWRC_SUCCESS
            && client.enable() == TWRC_SUCCESS && client.waitForEvent(30s) == MSG_XFERREADY;
    }

    // Transfers and ends images until the source reports none pending; the Count after each.
    std::vector<TW_UINT16> transferAll(TwainClient &client, TW_UINT16 mech, std::vector<PageImage> &pages, bool tiff = false)
    {
        std::vector<TW_UINT16> counts;
        TW_UINT16 count = 1;
        while (count != 0 && counts.size() < 20) {
            PageImage image;
            EXPECT_EQ(transferPage(client, mech, image, folder_ + "/page.bmp", tiff), TWRC_XFERDONE);
            pages.push_back(std::move(image));
            EXPECT_EQ(client.endXfer(count), TWRC_SUCCESS);
            counts.push_back(count);
        }
        return counts;
    }

    // What scanimage gets with these options.
    sanetest::PnmImage reference(const std::string &options)
    {
        sanetest::PnmImage image;
        EXPECT_TRUE(sanetest::scanimage(options, folder_ + "/reference.pnm", image)) << options;
        return image;
    }

    std::string folder_;
};

TEST_F(SaneDsmTest, DevicesAreListedAfterTheVirtualSourcesAsTheProfileSays)
{
    writeProfile(R"({"sources": [{"productName": "Virtual One"}]})");
    {
        TwainClient client;
        ASSERT_EQ(client.openManager(), TWRC_SUCCESS);
        const std::vector<TW_IDENTITY> sources = listed(client);
        ASSERT_EQ(names(sources), (std::vector<std::string>{"Virtual One", kFirstDevice, kSecondDevice}));
        // The backend's two devices have the same vendor and model; the second is told apart.
        EXPECT_STREQ(sources[1].Manufacturer, "Noname");
        EXPECT_STREQ(sources[1].ProductFamily, "virtual device");
        EXPECT_STREQ(sources[1].Version.Info, "test:0");
        EXPECT_STREQ(sources[2].Version.Info, "test:1");
        EXPECT_EQ(sources[1].SupportedGroups & (DG_CONTROL | DG_IMAGE | DF_DS2), static_cast<TW_UINT32>(DG_CONTROL | DG_IMAGE | DF_DS2));
        ASSERT_EQ(client.openSource(kSecondDevice), TWRC_SUCCESS);
        EXPECT_STREQ(client.source().Version.Info, "test:1");
    }
    writeProfile(R"({"sane": "off", "sources": [{"productName": "Virtual One"}]})");
    {
        TwainClient client;
        ASSERT_EQ(client.openManager(), TWRC_SUCCESS);
        EXPECT_EQ(names(listed(client)), std::vector<std::string>{"Virtual One"});
        EXPECT_EQ(client.openSource(kFirstDevice), TWRC_FAILURE);
        EXPECT_EQ(client.managerStatus(), TWCC_NODS);
    }
    writeProfile(R"({"sane": "only", "sources": [{"productName": "Virtual One"}]})");
    {
        TwainClient client;
        ASSERT_EQ(client.openManager(), TWRC_SUCCESS);
        EXPECT_EQ(names(listed(client)), (std::vector<std::string>{kFirstDevice, kSecondDevice}));
        TW_IDENTITY identity{};
        ASSERT_EQ(client.dsm(DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &identity), TWRC_SUCCESS);
        EXPECT_STREQ(identity.ProductName, kFirstDevice);
        EXPECT_EQ(client.openSource("Virtual One"), TWRC_FAILURE);
        ASSERT_EQ(client.openSource(), TWRC_SUCCESS); // the default
        EXPECT_STREQ(client.source().ProductName, kFirstDevice);
    }
    // The environment overrides the profile, for tests and for trying things out.
    setenv("TWAINDSM_SANE", "off", 1);
    {
        TwainClient client;
        ASSERT_EQ(client.openManager(), TWRC_SUCCESS);
        EXPECT_EQ(names(listed(client)), std::vector<std::string>{"Virtual One"});
    }
}

TEST_F(SaneDsmTest, WithoutLibsaneTheVirtualSourcesStillWork)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    writeProfile(R"({"sources": [{"productName": "Virtual One", "pages": 1}]})");
    // In a process of its own, whose DSM is the first to look for libsane.
    EXPECT_EXIT(
        {
            setenv("TWAINDSM_SANE_LIBRARY", "/nonexistent/libsane.so.1", 1);
            TwainClient client;
            bool works = client.openManager() == TWRC_SUCCESS && names(listed(client)) == std::vector<std::string>{"Virtual One"}
                && client.openSource(kFirstDevice) == TWRC_FAILURE;
            works = works && client.openSource("Virtual One") == TWRC_SUCCESS && client.registerCallback() == TWRC_SUCCESS
                && client.enable() == TWRC_SUCCESS && client.waitForEvent() == MSG_XFERREADY;
            PageImage page;
            works = works && transferPage(client, TWSX_NATIVE, page, "") == TWRC_XFERDONE && page.pageNumber() == 1;
            std::filesystem::remove_all(folder_); // this process ends before TearDown
            std::exit(works ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "SANE is not available");
}

// The system's SANE with every backend it has: closing the manager ends SANE while the backends
// are intact, opening it again starts SANE anew, and the process then exits cleanly (ending SANE
// at exit, after some backends had torn down their own state, crashed every application).
TEST_F(SaneDsmTest, ClosingTheManagerEndsSaneSoThatTheProcessExitsCleanly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    saneOnly(R"("source": ")" + std::string(sanetest::kFeeder) + R"(", "resolution": 75)");
    EXPECT_EXIT(
        {
            const std::string config = folder_ + "/system-sane";
            std::filesystem::create_directory(config);
            const std::string configDir = sanetest::writeConfigWithSystemBackends(config);
            setenv("SANE_CONFIG_DIR", configDir.c_str(), 1);
            bool works = !configDir.empty();
            for (int opening = 1; works && opening <= 2; ++opening) {
                TwainClient client;
                works = client.openManager() == TWRC_SUCCESS;
                // Every backend looks for its devices (on the network too): that may take longer
                // than a listing waits.
                const auto deadline = std::chrono::steady_clock::now() + 60s;
                while (works && names(listed(client)).size() < 2 && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(100ms);
                works = works && client.openSource(kFirstDevice) == TWRC_SUCCESS && client.registerCallback() == TWRC_SUCCESS
                    && client.enable() == TWRC_SUCCESS && client.waitForEvent(30s) == MSG_XFERREADY;
                PageImage page;
                works = works && transferPage(client, TWSX_NATIVE, page, "") == TWRC_XFERDONE;
            } // the client closes the source and the manager
            const std::string ends = traceLines("\"sane\":\"sane_exit\"", "SANE_STATUS_GOOD");
            works = works && std::count(ends.begin(), ends.end(), '\n') == 2
                && traceLines("\"sane\":\"sane_exit\"", "MSG_CLOSEDSM") == ends;
            if (!works)
                std::fprintf(stderr, "SANE config %s, trace:\n%s\n", configDir.c_str(), traceLines("\"sane\"").c_str());
            std::filesystem::remove_all(folder_); // this process ends before TearDown
            std::exit(works ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A feeder batch at 300 dpi in colour and in grey, by every transfer mechanism.
struct Mechanism {
    const char *name;
    TW_UINT16 mech;
    bool tiff;
};
class SaneFeederBatch : public SaneDsmTest, public ::testing::WithParamInterface<std::tuple<const char *, Mechanism>> {};

TEST_P(SaneFeederBatch, TenPagesArriveWithTheRightSizeTypeAndContent)
{
    const std::string mode = std::get<0>(GetParam());
    const Mechanism mechanism = std::get<1>(GetParam());
    const bool colour = mode == "Color";
    const sanetest::PnmImage expected = reference("--mode " + mode + " --resolution 300");
    ASSERT_EQ(expected.width, sanetest::kA4Width);
    ASSERT_EQ(expected.height, sanetest::kA4Lines);
    saneOnly(R"("source": ")" + std::string(sanetest::kFeeder) + R"(", "mode": ")" + mode + R"(")",
             mechanism.tiff ? R"("nativeFormat": "tiff")" : "");

    TwainClient client;
    ASSERT_TRUE(startBatch(client, mechanism.mech));
    TW_UINT32 pixelType = 99;
    ASSERT_TRUE(client.oneValue(ICAP_PIXELTYPE, MSG_GETCURRENT, pixelType));
    EXPECT_EQ(pixelType, static_cast<TW_UINT32>(colour ? TWPT_RGB : TWPT_GRAY));
    std::vector<PageImage> pages;
    const std::vector<TW_UINT16> counts = transferAll(client, mechanism.mech, pages, mechanism.tiff);

    // The feeder runs empty after its tenth page: the batch ends there.
    ASSERT_EQ(pages.size(), static_cast<size_t>(sanetest::kFeederPages));
    EXPECT_EQ(counts.back(), 0);
    for (size_t i = 0; i + 1 < counts.size(); ++i)
        EXPECT_NE(counts[i], 0) << "after page " << i + 1;
    for (const PageImage &page : pages) {
        EXPECT_EQ(page.width, sanetest::kA4Width);
        EXPECT_EQ(page.height, sanetest::kA4Lines);
        EXPECT_EQ(page.bitCount, colour ? 24 : 8);
        EXPECT_EQ(page.dpi, 300);
        EXPECT_TRUE(page.rows == expected.pixels) << "the page differs from scanimage's";
    }
    EXPECT_NE(traceLines("\"sane\":\"sane_start\"", "SANE_STATUS_NO_DOCS"), "");
    EXPECT_EQ(client.disable(), TWRC_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    ModesAndMechanisms, SaneFeederBatch,
    ::testing::Combine(::testing::Values("Color", "Gray"),
                       ::testing::Values(Mechanism{"native", TWSX_NATIVE, false}, Mechanism{"tiff", TWSX_NATIVE, true},
                                         Mechanism{"file", TWSX_FILE, false}, Mechanism{"memory", TWSX_MEMORY, false},
                                         Mechanism{"memfile", TWSX_MEMFILE, false})),
    [](const auto &info) { return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name; });

// Three-pass colour, 1-bit and 16-bit samples, and a length that is unknown until the end all
// become the page scanimage makes of them.
TEST_F(SaneDsmTest, EveryKindOfFrameBecomesThePageScanimageSees)
{
    const struct {
        const char *profileOptions;
        const char *scanimageOptions;
        TW_UINT16 mech;
        int bitCount;
    } cases[] = {
        {R"("resolution": 75, "three-pass": true)", "--resolution 75 --three-pass=yes", TWSX_MEMORY, 24},
        {R"("resolution": 75, "mode": "Gray", "depth": 1)", "--resolution 75 --mode Gray --depth 1", TWSX_NATIVE, 1},
        {R"("resolution": 75, "mode": "Gray", "depth": 16)", "--resolution 75 --mode Gray --depth 16", TWSX_MEMORY, 8},
        {R"("resolution": 75, "depth": 16)", "--resolution 75 --depth 16", TWSX_NATIVE, 24},
        {R"("resolution": 75, "hand-scanner": true)", "--resolution 75 --hand-scanner=yes", TWSX_MEMORY, 24},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.profileOptions);
        const sanetest::PnmImage expected = reference(c.scanimageOptions);
        saneOnly(c.profileOptions);
        TwainClient client;
        ASSERT_TRUE(client.start(kFirstDevice));
        ASSERT_EQ(client.setOne(ICAP_XFERMECH, TWTY_UINT16, c.mech), TWRC_SUCCESS);
        ASSERT_EQ(client.setOne(ICAP_UNDEFINEDIMAGESIZE, TWTY_BOOL, 1), TWRC_SUCCESS);
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        ASSERT_EQ(client.waitForEvent(30s), MSG_XFERREADY);
        PageImage page;
        TW_IMAGEINFO before{};
        ASSERT_EQ(transferPage(client, c.mech, page, folder_ + "/page.bmp", false, &before), TWRC_XFERDONE);
        TW_IMAGEINFO after{};
        ASSERT_EQ(client.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &after), TWRC_SUCCESS);
        const bool handScanner = std::string(c.profileOptions).find("hand") != std::string::npos;
        // A hand-held scanner learns the length as it goes; the application allowed for that.
        EXPECT_EQ(TW_INT32(before.ImageLength), handScanner ? -1 : expected.height);
        EXPECT_EQ(TW_INT32(after.ImageLength), expected.height);
        EXPECT_EQ(after.PixelType, c.bitCount == 1 ? TWPT_BW : c.bitCount == 8 ? TWPT_GRAY : TWPT_RGB);
        EXPECT_EQ(page.bitCount, c.bitCount);
        EXPECT_EQ(page.width, expected.width);
        ASSERT_EQ(page.height, expected.height);
        std::vector<unsigned char> wanted = expected.pixels;
        if (expected.kind == '4') {
            for (unsigned char &byte : wanted)
                byte = static_cast<unsigned char>(~byte); // a PBM's 1 is black; a TWAIN bitmap's 0 is
        } else if (expected.maxValue > 255) {
            std::vector<unsigned char> high; // 16-bit PNM samples are big-endian; their high bytes
            for (size_t i = 0; i < wanted.size(); i += 2)
                high.push_back(wanted[i]);
            wanted = high;
        }
        EXPECT_TRUE(page.rows == wanted) << "the page differs from scanimage's";
        TW_UINT16 count = 9;
        EXPECT_EQ(client.endXfer(count), TWRC_SUCCESS);
        EXPECT_EQ(count, 0); // a flatbed scans one page a batch
    }
}

TEST_F(SaneDsmTest, ScannerStatusesBecomeTheStandardCodes)
{
    const std::string feeder = R"("source": ")" + std::string(sanetest::kFeeder) + R"(", "resolution": 75)";
    {
        // A jam at the third page: two pages, then the jam, then the end of the batch.
        saneOnly(feeder, R"("optionsAtPage": [{"page": 3, "options": {"read-return-value": "SANE_STATUS_JAMMED"}}])");
        TwainClient client;
        ASSERT_TRUE(startBatch(client));
        TW_UINT16 count = 0;
        for (int page = 1; page <= 2; ++page) {
            PageImage image;
            ASSERT_EQ(transferPage(client, TWSX_NATIVE, image, ""), TWRC_XFERDONE);
            ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
            EXPECT_NE(count, 0);
        }
        PageImage image;
        EXPECT_EQ(transferPage(client, TWSX_NATIVE, image, ""), TWRC_FAILURE);
        EXPECT_EQ(client.sourceStatus(), TWCC_PAPERJAM);
        ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    }
    const struct {
        const char *status;
        TW_UINT16 rc, conditionCode;
    } statuses[] = {
        {"SANE_STATUS_NO_DOCS", TWRC_FAILURE, TWCC_NOMEDIA},
        {"SANE_STATUS_COVER_OPEN", TWRC_FAILURE, TWCC_OPERATIONERROR},
        {"SANE_STATUS_CANCELLED", TWRC_CANCEL, TWCC_SUCCESS},
        {"SANE_STATUS_IO_ERROR", TWRC_FAILURE, TWCC_OPERATIONERROR},
    };
    for (const auto &s : statuses) {
        SCOPED_TRACE(s.status);
        saneOnly(feeder + R"(, "read-return-value": ")" + s.status + R"(")");
        TwainClient client;
        ASSERT_TRUE(startBatch(client));
        PageImage image;
        EXPECT_EQ(transferPage(client, TWSX_NATIVE, image, ""), s.rc);
        EXPECT_EQ(client.sourceStatus(), s.conditionCode);
        TW_UINT16 count = 9;
        ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(client.disable(), TWRC_SUCCESS);
        if (std::string(s.status) == "SANE_STATUS_COVER_OPEN")
            EXPECT_NE(traceLines("cover"), "");
        if (std::string(s.status) == "SANE_STATUS_IO_ERROR") {
            // The device is gone until it is opened again.
            EXPECT_EQ(client.enable(), TWRC_FAILURE);
            EXPECT_EQ(client.sourceStatus(), TWCC_CHECKDEVICEONLINE);
            TW_UINT32 value = 0;
            EXPECT_FALSE(client.oneValue(ICAP_PIXELTYPE, MSG_GETCURRENT, value));
            EXPECT_EQ(client.sourceStatus(), TWCC_CHECKDEVICEONLINE);
            ASSERT_TRUE(client.oneValue(CAP_DEVICEONLINE, MSG_GETCURRENT, value));
            EXPECT_EQ(value & 0xffff, 0u);
        }
    }
    // Opened again, the device scans.
    saneOnly(feeder);
    TwainClient client;
    ASSERT_TRUE(startBatch(client));
    std::vector<PageImage> pages;
    transferAll(client, TWSX_NATIVE, pages);
    EXPECT_EQ(pages.size(), static_cast<size_t>(sanetest::kFeederPages));
}

// A slow page is being read (about 100 s at this speed); stopping it must not wait for it.
TEST_F(SaneDsmTest, StoppingDuringAReadReturnsPromptly)
{
    const std::string slow = R"({"read-delay": true, "read-delay-duration": 200000})";
    auto prompt = [](std::chrono::steady_clock::time_point since) { return std::chrono::steady_clock::now() - since < 10s; };
    {
        // Disabled while the first page is read.
        saneOnly(R"("source": "Automatic Document Feeder")", R"("optionsAtPage": [{"page": 1, "options": )" + slow + "}]");
        TwainClient client;
        ASSERT_TRUE(client.start(kFirstDevice));
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        // The page is under way once its first bytes have arrived.
        ASSERT_TRUE(waitForTrace("firstBytes"));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client.disable(), TWRC_SUCCESS);
        EXPECT_EQ(client.dsm(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, const_cast<TW_IDENTITY *>(&client.source())), TWRC_SUCCESS);
        EXPECT_TRUE(prompt(start));
        EXPECT_FALSE(client.eventsPending());
    }
    {
        // Reset while the second page is read ahead; the source is enabled again at once.
        saneOnly(R"("source": "Automatic Document Feeder", "resolution": 75)",
                 R"("optionsAtPage": [{"page": 2, "options": )" + slow + "}]");
        TwainClient client;
        ASSERT_TRUE(startBatch(client));
        PageImage image;
        ASSERT_EQ(transferPage(client, TWSX_NATIVE, image, ""), TWRC_XFERDONE);
        TW_UINT16 count = 0;
        ASSERT_EQ(client.endXfer(count), TWRC_SUCCESS);
        ASSERT_NE(count, 0);
        ASSERT_TRUE(waitForTrace("firstBytes", "\"page\":2"));
        const auto start = std::chrono::steady_clock::now();
        TW_PENDINGXFERS pending{};
        EXPECT_EQ(client.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
        EXPECT_EQ(pending.Count, 0);
        EXPECT_EQ(client.disable(), TWRC_SUCCESS);
        EXPECT_TRUE(prompt(start));
        EXPECT_NE(traceLines("\"sane\":\"sane_cancel\"", "application"), "");
        // Enabled again, the feeder starts over (slowly now: the device keeps its options).
        ASSERT_EQ(client.enable(), TWRC_SUCCESS);
        EXPECT_TRUE(waitForTrace("firstBytes", "\"page\":1", 2));
        EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    }
}

TEST_F(SaneDsmTest, CapabilitiesRoundTripThroughTheDevicesOptions)
{
    saneOnly();
    TwainClient client;
    ASSERT_TRUE(client.start(kFirstDevice));
    TW_UINT16 conType = 0, rc = 0;
    TW_UINT32 value = 0;
    auto fix32 = [](TW_UINT32 bits) {
        TW_FIX32 fix;
        std::memcpy(&fix, &bits, 4);
        return fix.Whole + fix.Frac / 65536.0;
    };

    // Resolution: the backend's fixed-point range, 1 to 1200 dpi in steps of 1.
    void *container = client.capability(ICAP_XRESOLUTION, MSG_GET, conType, rc);
    ASSERT_NE(container, nullptr);
    ASSERT_EQ(conType, TWON_RANGE);
    auto *range = static_cast<TW_RANGE *>(container);
    EXPECT_EQ(range->ItemType, TWTY_FIX32);
    EXPECT_EQ(fix32(range->MinValue), 1);
    EXPECT_EQ(fix32(range->MaxValue), 1200);
    EXPECT_EQ(fix32(range->StepSize), 1);
    EXPECT_EQ(fix32(range->CurrentValue), 300);
    std::free(container);
    EXPECT_EQ(client.setFix32(ICAP_XRESOLUTION, 150), TWRC_SUCCESS);
    ASSERT_TRUE(client.oneValue(ICAP_YRESOLUTION, MSG_GETCURRENT, value));
    EXPECT_EQ(fix32(value), 150);
    EXPECT_NE(traceLines("\"option\":\"resolution\"", "\"value\":150.0"), "");
    // Between two steps: the device takes a whole number and says so.
    EXPECT_EQ(client.setFix32(ICAP_XRESOLUTION, 150.5), TWRC_CHECKSTATUS);
    ASSERT_TRUE(client.oneValue(ICAP_XRESOLUTION, MSG_GETCURRENT, value));
    EXPECT_TRUE(fix32(value) == 150 || fix32(value) == 151) << fix32(value);
    EXPECT_EQ(client.setFix32(ICAP_XRESOLUTION, 5000), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_BADVALUE);
    ASSERT_TRUE(client.oneValue(ICAP_XRESOLUTION, MSG_GETDEFAULT, value));
    EXPECT_EQ(fix32(value), 300);
    std::free(client.capability(ICAP_XRESOLUTION, MSG_RESET, conType, rc));
    EXPECT_EQ(rc, TWRC_SUCCESS);
    ASSERT_TRUE(client.oneValue(ICAP_XRESOLUTION, MSG_GETCURRENT, value));
    EXPECT_EQ(fix32(value), 300);

    // Pixel type: the backend's modes are Gray and Color.
    container = client.capability(ICAP_PIXELTYPE, MSG_GET, conType, rc);
    ASSERT_NE(container, nullptr);
    ASSERT_EQ(conType, TWON_ENUMERATION);
    auto *modes = static_cast<TW_ENUMERATION *>(container);
    ASSERT_EQ(TW_UINT32(modes->NumItems), 2u); // copied: packed to 2, gtest binds references
    const TW_UINT16 *items = reinterpret_cast<TW_UINT16 *>(modes->ItemList);
    EXPECT_EQ(items[0], TWPT_GRAY);
    EXPECT_EQ(items[1], TWPT_RGB);
    EXPECT_EQ(items[modes->CurrentIndex], TWPT_RGB);
    std::free(container);
    EXPECT_EQ(client.setOne(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TWRC_SUCCESS);
    EXPECT_NE(traceLines("\"option\":\"mode\"", "\"value\":\"Gray\""), "");
    EXPECT_EQ(client.setOne(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_BADVALUE);

    // The feeder is a "source" value; the backend has no duplex and no brightness or contrast.
    ASSERT_TRUE(client.oneValue(CAP_FEEDERENABLED, MSG_GETCURRENT, value));
    EXPECT_EQ(value & 0xffff, 0u);
    EXPECT_EQ(client.setOne(CAP_FEEDERENABLED, TWTY_BOOL, 1), TWRC_SUCCESS);
    EXPECT_NE(traceLines("\"option\":\"source\"", sanetest::kFeeder), "");
    ASSERT_TRUE(client.oneValue(CAP_FEEDERENABLED, MSG_GETCURRENT, value));
    EXPECT_EQ(value & 0xffff, 1u);
    ASSERT_TRUE(client.oneValue(CAP_DUPLEX, MSG_GETCURRENT, value));
    EXPECT_EQ(value & 0xffff, static_cast<TW_UINT32>(TWDX_NONE));
    for (TW_UINT16 unsupported : {CAP_DUPLEXENABLED, ICAP_BRIGHTNESS, ICAP_CONTRAST, ICAP_GAMMA}) {
        EXPECT_EQ(client.capability(unsupported, MSG_GET, conType, rc), nullptr);
        EXPECT_EQ(client.sourceStatus(), TWCC_CAPUNSUPPORTED);
    }

    // Paper sizes are the scan area; the bed is 300 mm square, so A3 is cut to what fits.
    ASSERT_TRUE(client.oneValue(ICAP_SUPPORTEDSIZES, MSG_GETCURRENT, value));
    EXPECT_EQ(value & 0xffff, static_cast<TW_UINT32>(TWSS_A4));
    EXPECT_EQ(client.setOne(ICAP_SUPPORTEDSIZES, TWTY_UINT16, TWSS_A5), TWRC_SUCCESS);
    TW_IMAGELAYOUT layout{};
    ASSERT_EQ(client.call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_NEAR(layout.Frame.Right.Whole + layout.Frame.Right.Frac / 65536.0, 148 / 25.4, 0.05);
    EXPECT_EQ(client.setOne(ICAP_SUPPORTEDSIZES, TWTY_UINT16, TWSS_A3), TWRC_CHECKSTATUS);
    ASSERT_TRUE(client.oneValue(ICAP_SUPPORTEDSIZES, MSG_GETCURRENT, value));
    EXPECT_EQ(value & 0xffff, static_cast<TW_UINT32>(TWSS_NONE));
    ASSERT_TRUE(client.oneValue(ICAP_PHYSICALWIDTH, MSG_GETCURRENT, value));
    EXPECT_NEAR(fix32(value), 300 / 25.4, 0.01);
    ASSERT_TRUE(client.oneValue(CAP_DUPLEX, MSG_QUERYSUPPORT, value));
    EXPECT_EQ(value, static_cast<TW_UINT32>(TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT));

    // MSG_RESETALL puts the device back as it was opened.
    TW_CAPABILITY all{0, TWON_DONTCARE16, nullptr};
    EXPECT_EQ(client.call(DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, &all), TWRC_SUCCESS);
    ASSERT_TRUE(client.oneValue(ICAP_PIXELTYPE, MSG_GETCURRENT, value));
    EXPECT_EQ(value & 0xffff, static_cast<TW_UINT32>(TWPT_RGB));
    ASSERT_TRUE(client.oneValue(ICAP_SUPPORTEDSIZES, MSG_GETCURRENT, value));
    EXPECT_EQ(value & 0xffff, static_cast<TW_UINT32>(TWSS_A4));
    ASSERT_TRUE(client.oneValue(CAP_FEEDERENABLED, MSG_GETCURRENT, value));
    EXPECT_EQ(value & 0xffff, 0u);

    // Pages per batch, at a low resolution and with the feeder: exactly three.
    ASSERT_EQ(client.setFix32(ICAP_XRESOLUTION, 75), TWRC_SUCCESS);
    ASSERT_EQ(client.setOne(CAP_FEEDERENABLED, TWTY_BOOL, 1), TWRC_SUCCESS);
    ASSERT_EQ(client.setOne(CAP_XFERCOUNT, TWTY_INT16, 3), TWRC_SUCCESS);
    ASSERT_EQ(client.enable(), TWRC_SUCCESS);
    // Negotiation belongs to state 4.
    EXPECT_EQ(client.setFix32(ICAP_XRESOLUTION, 100), TWRC_FAILURE);
    EXPECT_EQ(client.sourceStatus(), TWCC_SEQERROR);
    ASSERT_EQ(client.waitForEvent(30s), MSG_XFERREADY);
    std::vector<PageImage> pages;
    const std::vector<TW_UINT16> counts = transferAll(client, TWSX_NATIVE, pages);
    EXPECT_EQ(counts, (std::vector<TW_UINT16>{2, 1, 0}));
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0].width, 620); // A4 at 75 dpi
}

} // namespace
