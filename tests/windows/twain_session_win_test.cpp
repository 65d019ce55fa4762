// The agent's TWAIN session against the real TWAINDSM.dll, as a Windows application drives it:
// events come as window messages passed to MSG_PROCESSEVENT from a message loop without any
// timer, and every handle that changes hands is Global memory.
#include "twaindsm_win.h"

#include "scanning/twaindsm_library.h"
#include "scanning/twainsession.h"

#include "../scanning/closesession.h"
#include "../twaindsm/image_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Keeps what every transfer delivered and checks each handle it was given as a Windows
// application would use it.
class RecordingSession : public CTWAINSession {
public:
    std::vector<PageImage> images;
    std::vector<TW_UINT16> mechanisms;
    int imagesDone = 0;

    void OnError(const TW_STATUS& status) override { ADD_FAILURE() << "transfer failed: " << status.ConditionCode; }

    void OnNativeTransfer(TW_UINT16, TW_HANDLE* dib, bool* freeImage) override
    {
        mechanisms.push_back(TWSX_NATIVE);
        const SIZE_T size = GlobalSize(*dib);
        const auto* bytes = static_cast<const uint8_t*>(GlobalLock(*dib));
        ASSERT_NE(bytes, nullptr);
        PageImage image;
        EXPECT_TRUE(decodeDib(bytes, size, image)) << "a DIB within its handle's " << size << " bytes";
        GlobalUnlock(*dib);
        images.push_back(image);
        // Released here to see that the handle is one GlobalFree takes.
        EXPECT_EQ(GlobalFree(*dib), nullptr);
        *freeImage = false;
    }

    void OnMemoryTransfer(const TW_IMAGEINFO& info, const TW_IMAGEMEMXFER& block, TW_UINT16*) override
    {
        if (block.YOffset == 0) {
            mechanisms.push_back(TWSX_MEMORY);
            PageImage image;
            image.width = info.ImageWidth;
            image.height = info.ImageLength;
            image.bitCount = info.BitsPerPixel;
            image.dpi = info.XResolution.Whole;
            image.rows.assign(image.rowBytes() * size_t(image.height), 0);
            images.push_back(image);
        }
        PageImage& image = images.back();
        const auto* data = static_cast<const uint8_t*>(block.Memory.TheMem);
        for (TW_UINT32 row = 0; row < block.Rows && block.YOffset + row < TW_UINT32(image.height); ++row)
            std::memcpy(image.rows.data() + (block.YOffset + row) * image.rowBytes(), data + row * block.BytesPerRow,
                        image.rowBytes());
    }

    void OnFileTransfer(TW_UINT16, const TW_SETUPFILEXFER&) override { ADD_FAILURE() << "no file transfers here"; }
    void OnMemFileTransfer(const TW_IMAGEMEMXFER&, TW_UINT16*) override { ADD_FAILURE() << "no memory files here"; }
    void OnImageDone(const TW_IMAGEINFO&, TW_UINT16) override { ++imagesDone; }
};

class TwainSessionWin : public ::testing::Test {
protected:
    void SetUp() override
    {
        TwainDsmLibrary::setProgramFolder(wintest::narrow(wintest::programFolder()));
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
    }

    void TearDown() override
    {
        vtest::closeTwainSession(session);
        DestroyWindow(window);
    }

    // Loads the DSM as the user would: our test DLL is unsigned, and the question is answered Yes.
    void loadAndOpen(const char* scanner)
    {
        {
            wintest::DialogAnswerer answerer(L"The TWAIN DSM Signature", IDYES);
            ASSERT_EQ(session.LoadDSM(), 0);
            EXPECT_EQ(answerer.timesAnswered(), 1) << "the unsigned DSM is the user's call";
        }
        ASSERT_EQ(session.OpenDSM(window), TWRC_SUCCESS);
        TW_IDENTITY source{};
        std::strcpy(source.ProductName, scanner);
        ASSERT_EQ(session.OpenDS(&source), TWRC_SUCCESS);
    }

    // One batch as the agent runs it: enable, then only the message loop, until the source's
    // last image is taken; false when the deadline passes first.
    bool scanBatch()
    {
        if (session.EnableDS(window, false) != TWRC_SUCCESS)
            return false;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        MSG message;
        while (wintest::nextMessage(message, deadline)) {
            TW_EVENT event{&message, 0};
            if (session.ProcessEvent(event) != TWRC_DSEVENT) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
                continue;
            }
            if (session.PeekDataSourceSignal() != MSG_XFERREADY)
                continue;
            session.PopDataSourceSignal();
            while (session.GetState() == 6) {
                if (session.TransferImage() != TWRC_SUCCESS || session.EndXfer() != TWRC_SUCCESS)
                    return false;
            }
            return session.DisableDS() == TWRC_SUCCESS;
        }
        return false;
    }

    RecordingSession session;
    HWND window = nullptr;
};

TEST_F(TwainSessionWin, ScansNativeAndMemoryBatchesWokenOnlyByWindowMessages)
{
    wintest::ScannerProfile profile(R"([{"productName": "Windows Scanner", "pages": 3, "resolution": 75,
                                         "pixelType": "gray", "paperSize": "A5", "xferMech": "native"}])");
    ASSERT_NO_FATAL_FAILURE(loadAndOpen("Windows Scanner"));

    // The capability containers the DSM hands back are Global memory.
    TW_CAPABILITY mechanisms{};
    ASSERT_EQ(session.GetCapability(ICAP_XFERMECH, mechanisms), TWRC_SUCCESS);
    EXPECT_GE(GlobalSize(mechanisms.hContainer), sizeof(TW_ENUMERATION));
    ASSERT_NE(GlobalLock(mechanisms.hContainer), nullptr);
    GlobalUnlock(mechanisms.hContainer);
    EXPECT_EQ(GlobalFree(mechanisms.hContainer), nullptr);

    ASSERT_TRUE(scanBatch());
    ASSERT_EQ(session.images.size(), 3u);
    for (size_t page = 0; page < 3; ++page) {
        EXPECT_EQ(session.images[page].pageNumber(), int(page + 1));
        EXPECT_EQ(session.mechanisms[page], TWSX_NATIVE);
    }

    // Asked for memory transfers through a moveable container of ours, the source uses them.
    ASSERT_EQ(session.SetCapabilityAnyOneValue(ICAP_XFERMECH, TW_UINT16(TWSX_MEMORY)), TWRC_SUCCESS);
    ASSERT_TRUE(scanBatch());
    ASSERT_EQ(session.images.size(), 6u);
    for (size_t page = 3; page < 6; ++page) {
        EXPECT_EQ(session.mechanisms[page], TWSX_MEMORY);
        EXPECT_EQ(session.images[page].pageNumber(), int(page - 2));
    }
    EXPECT_EQ(session.imagesDone, 6);
}

} // namespace

namespace {

// How a probe application's way of leaving the DSM ended: its exit code, or -1 when it was still
// running at the deadline (and was killed).
int probeLeaving(const wchar_t* mode)
{
    std::wstring command = L"\"" + wintest::testProgramFolder() + L"\\twaindsm_exit_probe.exe\" " + mode;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -2;
    int result = -1;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result = int(code);
    } else {
        TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

TEST(TwaindsmDllLifetime, UnloadingAndExitingFinishWhileTheEventThreadRuns)
{
    EXPECT_EQ(probeLeaving(L"closed"), 0) << "closed, then unloaded";
    EXPECT_EQ(probeLeaving(L"unload"), 0) << "unloaded with a source enabled";
    EXPECT_EQ(probeLeaving(L"exit"), 0) << "exited with a source enabled";
}

} // namespace
