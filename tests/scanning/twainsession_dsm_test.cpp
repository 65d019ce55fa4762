// The session against the real data source manager (libtwaindsm.so from the program folder)
// with virtual scanners described by JSON profiles, and the DSM's trace of every call.
#include "scanning/twaindsm_library.h"
#include "scanning/twainsession.h"

#include "../twaindsm/image_check.h"
#include "virtualdsm.h"
#include "logcapture.h"
#include "wait.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

// A session that keeps every image the source delivers, decoded, in arrival order.
class ImageCollector : public CTWAINSession {
public:
    using CTWAINSession::undefinedImageSize;
    using CTWAINSession::xferMech;

    std::vector<PageImage> images;
    std::vector<TW_IMAGEINFO> infosBefore;
    std::vector<TW_IMAGEINFO> infosDone;
    std::vector<TW_UINT16> results;
    std::vector<TW_UINT16> errors;

    void OnError(const TW_STATUS& status) override { errors.push_back(status.ConditionCode); }
    void OnImageInfo(const TW_IMAGEINFO& info, TW_UINT16) override
    {
        infosBefore.push_back(info);
        assembled = PageImage{};
        fileBytes.clear();
    }
    void OnImageDone(const TW_IMAGEINFO& info, TW_UINT16) override { infosDone.push_back(info); }

    void OnNativeTransfer(TW_UINT16 result, TW_HANDLE* dib, bool* freeImage) override
    {
        results.push_back(result);
        EXPECT_TRUE(*freeImage);
        PageImage image;
        // The DIB's own header tells its size; decodeDib refuses a short one.
        const auto* bytes = static_cast<const uint8_t*>(LockContainer(*dib));
        const int32_t width = static_cast<int32_t>(readU32(bytes + 4));
        const int32_t height = static_cast<int32_t>(readU32(bytes + 8));
        const int bits = readU16(bytes + 14);
        const size_t stride = ((size_t(width) * bits + 31) / 32) * 4;
        const size_t size = 40 + (bits <= 8 ? 4u << bits : 0u) + stride * size_t(height);
        EXPECT_TRUE(decodeDib(bytes, size, image));
        UnlockContainer(*dib);
        images.push_back(image);
    }

    void OnFileTransfer(TW_UINT16 result, const TW_SETUPFILEXFER& setup) override
    {
        results.push_back(result);
        PageImage image;
        EXPECT_TRUE(decodeBmpFile(readWholeFile(setup.FileName), image)) << setup.FileName;
        images.push_back(image);
    }

    void OnMemoryTransfer(const TW_IMAGEINFO& info, const TW_IMAGEMEMXFER& block, TW_UINT16* result) override
    {
        if (assembled.rows.empty()) {
            assembled.width = info.ImageWidth;
            assembled.height = info.ImageLength;
            assembled.bitCount = info.BitsPerPixel;
            assembled.dpi = info.XResolution.Whole;
            assembled.rows.assign(assembled.rowBytes() * size_t(assembled.height), 0);
        }
        const auto* data = static_cast<const uint8_t*>(block.Memory.TheMem);
        for (TW_UINT32 row = 0; row < block.Rows; ++row) {
            std::memcpy(assembled.rows.data() + (block.YOffset + row) * assembled.rowBytes(),
                        data + row * block.BytesPerRow, assembled.rowBytes());
        }
        if (*result == TWRC_XFERDONE) {
            results.push_back(*result);
            images.push_back(assembled);
        }
    }

    void OnMemFileTransfer(const TW_IMAGEMEMXFER& block, TW_UINT16* result) override
    {
        const auto* data = static_cast<const uint8_t*>(block.Memory.TheMem);
        fileBytes.insert(fileBytes.end(), data, data + block.BytesWritten);
        if (*result == TWRC_XFERDONE) {
            results.push_back(*result);
            PageImage image;
            EXPECT_TRUE(decodeBmpFile(fileBytes, image));
            images.push_back(image);
        }
    }

private:
    PageImage assembled;
    std::vector<uint8_t> fileBytes;
};

class TwainSessionWithDsm : public vtest::VirtualDsmTest {
protected:
    CTWAINSession& twainSession() override { return session; }
    void closeScanner() { vtest::closeTwainSession(session); }

    // Writes a profile with one scanner and opens it through the session.
    void openScanner(QJsonObject profile)
    {
        profile.insert("productName", "Session Test Scanner");
        writeProfile(QJsonArray{ profile });

        ASSERT_EQ(session.LoadDSM(), 0);
        ASSERT_EQ(session.OpenDSM(nullptr), TWRC_SUCCESS);
        TW_IDENTITY source{};
        std::strcpy(source.ProductName, "Session Test Scanner");
        ASSERT_EQ(session.OpenDS(&source), TWRC_SUCCESS) << ConditionCodeName(session.GetStatus().ConditionCode);
    }

    // Enables the source and transfers until the feeder is empty, as the scan controller does.
    void scanBatch()
    {
        ASSERT_EQ(session.EnableDS(nullptr, false), TWRC_SUCCESS);
        ASSERT_TRUE(vtest::waitUntil([&] { return session.PeekDataSourceSignal() != 0; }));
        ASSERT_EQ(session.PeekDataSourceSignal(), MSG_XFERREADY);
        session.PopDataSourceSignal();
        ASSERT_EQ(session.GetState(), 6);
        for (int guard = 0; guard < 50 && session.GetState() == 6; ++guard) {
            transferResults.push_back(session.TransferImage());
            ASSERT_EQ(session.EndXfer(), TWRC_SUCCESS);
        }
        EXPECT_EQ(session.GetState(), 5);
    }

    ImageCollector session;
    std::vector<TW_UINT16> transferResults;
};

void expectPagesInOrder(const ImageCollector& session, int pages)
{
    ASSERT_EQ(int(session.images.size()), pages);
    for (int page = 0; page < pages; ++page) {
        const PageImage& image = session.images[size_t(page)];
        // Copies: the structure is packed to 2 and gtest binds references.
        EXPECT_EQ(image.width, TW_INT32(session.infosBefore[size_t(page)].ImageWidth));
        EXPECT_EQ(image.height, TW_INT32(session.infosBefore[size_t(page)].ImageLength));
        EXPECT_EQ(image.pageNumber(), page + 1) << "image " << page;
    }
}

TEST_F(TwainSessionWithDsm, EveryMechanismDeliversWholeImages)
{
    for (const char* mech : { "native", "file", "memory", "memfile" }) {
        SCOPED_TRACE(mech);
        openScanner({ { "pages", 3 }, { "resolution", 100 }, { "pixelType", "gray" }, { "xferMech", mech } });
        scanBatch();
        expectPagesInOrder(session, 3);
        EXPECT_EQ(transferResults, (std::vector<TW_UINT16>(3, TWRC_SUCCESS)));
        EXPECT_EQ(session.results, (std::vector<TW_UINT16>(3, TWRC_XFERDONE)));
        EXPECT_EQ(session.infosDone.size(), 3u);
        EXPECT_TRUE(session.errors.empty());
        closeScanner();
        EXPECT_EQ(session.GetState(), 1);
        session.images.clear();
        session.infosBefore.clear();
        session.infosDone.clear();
        session.results.clear();
        transferResults.clear();
    }
}

TEST_F(TwainSessionWithDsm, MechanismIsReadOncePerCycle)
{
    openScanner({ { "pages", 2 }, { "resolution", 75 }, { "pixelType", "bw" }, { "xferMech", "memory" } });
    scanBatch();
    EXPECT_EQ(session.xferMech, TWSX_MEMORY);
    int mechanismReads = 0;
    for (const QJsonObject& line : trace("DAT_CAPABILITY"))
        mechanismReads += line.value("cap").toString() == "ICAP_XFERMECH";
    EXPECT_EQ(mechanismReads, 1);
    expectPagesInOrder(session, 2);
}

TEST_F(TwainSessionWithDsm, NativeSuccessInsteadOfDoneStillCounts)
{
    vtest::LogCapture log;
    openScanner({ { "pages", 2 }, { "resolution", 75 }, { "nativeReturnsSuccess", true } });
    scanBatch();
    expectPagesInOrder(session, 2);
    EXPECT_EQ(transferResults, (std::vector<TW_UINT16>(2, TWRC_SUCCESS)));
    EXPECT_EQ(log.linesContaining("*** Note: DS responded with invalid TWRC_SUCCESS for DAT_IMAGENATIVEXFER/MSG_GET "
                                  "Expected: TWRC_XFERDONE ***").size(),
              2);
}

TEST_F(TwainSessionWithDsm, FailedNativeTransferReachesOnError)
{
    openScanner({ { "pages", 3 }, { "resolution", 75 },
                  { "failAtPage", QJsonObject{ { "page", 2 }, { "condition", "TWCC_PAPERJAM" } } } });
    scanBatch();
    EXPECT_EQ(session.images.size(), 1u);
    EXPECT_EQ(session.errors, (std::vector<TW_UINT16>{ TWCC_PAPERJAM }));
    ASSERT_GE(transferResults.size(), 2u);
    EXPECT_EQ(transferResults[1], TWRC_FAILURE);
}

TEST_F(TwainSessionWithDsm, UndefinedImageSizeIsReadAgainAfterTheTransfer)
{
    openScanner({ { "pages", 2 }, { "resolution", 75 }, { "undefinedImageSize", true } });
    scanBatch();
    EXPECT_TRUE(session.undefinedImageSize);
    ASSERT_EQ(session.infosDone.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(TW_INT32(session.infosBefore[i].ImageLength), -1);
        EXPECT_GT(TW_INT32(session.infosDone[i].ImageLength), 0);
        EXPECT_EQ(TW_INT32(session.infosDone[i].ImageLength), session.images[i].height);
    }
    EXPECT_EQ(trace("DAT_IMAGEINFO").size(), 4u);
}

// The virtual scanner answers MSG_GETCURRENT and MSG_GETDEFAULT with one value and MSG_RESET
// with the whole container (how enumerations and ranges are picked apart is unit-tested too).
TEST_F(TwainSessionWithDsm, CapabilityValuesByContainer)
{
    openScanner({ { "capabilities",
                    QJsonArray{
                        QJsonObject{ { "cap", "0x8001" }, { "type", "TWTY_UINT16" }, { "container", "onevalue" }, { "default", 7 } },
                        QJsonObject{ { "cap", "0x8002" }, { "type", "TWTY_UINT16" }, { "container", "enumeration" },
                                     { "values", QJsonArray{ 10, 20, 30 } }, { "default", 20 }, { "current", 30 } },
                        QJsonObject{ { "cap", "0x8003" }, { "type", "TWTY_INT32" }, { "container", "range" },
                                     { "min", -10 }, { "max", 10 }, { "step", 1 }, { "default", -4 }, { "current", 6 } } } } });

    TW_UINT16 oneValue = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8001, &oneValue, MSG_GETCURRENT), 0);
    EXPECT_EQ(oneValue, 7);

    TW_UINT16 current = 0;
    TW_UINT16 byDefault = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8002, &current, MSG_GETCURRENT), 0);
    EXPECT_EQ(session.GetCapabilityValue(0x8002, &byDefault, MSG_GETDEFAULT), 0);
    EXPECT_EQ(current, 30);
    EXPECT_EQ(byDefault, 20);
    TW_INT32 rangeCurrent = 0;
    TW_INT32 rangeDefault = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8003, &rangeCurrent, MSG_GETCURRENT), 0);
    EXPECT_EQ(session.GetCapabilityValue(0x8003, &rangeDefault, MSG_GETDEFAULT), 0);
    EXPECT_EQ(rangeCurrent, 6);
    EXPECT_EQ(rangeDefault, -4);

    // MSG_RESET hands back the whole enumeration or range, now at its default.
    TW_UINT16 enumerationReset = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8002, &enumerationReset, MSG_RESET), 0);
    EXPECT_EQ(enumerationReset, 20);
    TW_INT32 rangeReset = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8003, &rangeReset, MSG_RESET), 0);
    EXPECT_EQ(rangeReset, -4);
    int containers = 0;
    for (const QJsonObject& line : trace("DAT_CAPABILITY")) {
        const QString conType = line.value("returned").toObject().value("conType").toString();
        containers += line.value("msg").toString() == "MSG_RESET" && conType != "TWON_ONEVALUE";
    }
    EXPECT_EQ(containers, 2);

    TW_UINT32 refused = 0xABCD;
    EXPECT_EQ(session.GetCapabilityValue(0x8002, &refused, MSG_GET), 1);              // all values: none to take
    EXPECT_EQ(session.GetCapabilityValue(CAP_SUPPORTEDCAPS, &refused, MSG_GETCURRENT), 1);  // an array
    EXPECT_EQ(session.GetCapabilityValue(0x8009, &refused, MSG_GETCURRENT), 1);       // unsupported
    TW_UINT8 tooSmall = 0;
    EXPECT_EQ(session.GetCapabilityValue(0x8001, &tooSmall, MSG_GETCURRENT, sizeof tooSmall), 1);
    EXPECT_EQ(refused, 0xABCDu);

    TW_CAPABILITY all{};
    ASSERT_EQ(session.GetCapability(CAP_SUPPORTEDCAPS, all), TWRC_SUCCESS);
    EXPECT_EQ(all.ConType, TWON_ARRAY);
    const auto* array = static_cast<const TW_ARRAY*>(CTWAINSession::LockContainer(all.hContainer));
    ASSERT_GT(TW_UINT32(array->NumItems), 5u);
    EXPECT_STREQ(CapabilityItemText(CAP_SUPPORTEDCAPS, array->ItemType, array->ItemList), "CAP_XFERCOUNT");
    CTWAINSession::UnlockContainer(all.hContainer);
    CTWAINSession::FreeContainer(all.hContainer);
}

TEST_F(TwainSessionWithDsm, EveryOneValueSetterAsTheDsmSeesIt)
{
    vtest::LogCapture log;
    openScanner({ { "capabilities",
                    QJsonArray{ QJsonObject{ { "cap", "0x8005" }, { "type", "TWTY_INT16" }, { "container", "onevalue" },
                                             { "default", 0 } },
                                QJsonObject{ { "cap", "ICAP_BRIGHTNESS" }, { "type", "TWTY_FIX32" }, { "container", "range" },
                                             { "min", -100 }, { "max", 100 }, { "step", 0.5 }, { "default", 0 } } } } });
    EXPECT_EQ(session.SetCapabilityAnyOneValue(0x8005, TW_INT16(-12)), TWRC_SUCCESS);
    EXPECT_EQ(session.SetCapabilityAnyOneValue(ICAP_PIXELTYPE, TW_UINT16(TWPT_GRAY)), TWRC_SUCCESS);
    EXPECT_EQ(session.SetCapabilityAnyOneValue(ICAP_BRIGHTNESS, TW_FIX32{ 20, 0x8000 }), TWRC_SUCCESS);
    EXPECT_EQ(session.SetCapabilityAnyOneValue(CAP_DUPLEXENABLED, true), TWRC_SUCCESS);

    std::vector<QJsonObject> sets;
    for (const QJsonObject& line : trace("DAT_CAPABILITY")) {
        if (line.value("msg").toString() == "MSG_SET")
            sets.push_back(line);
    }
    ASSERT_EQ(sets.size(), 4u);
    const auto expectSet = [](const QJsonObject& line, const char* cap, const char* itemType, double value) {
        const QJsonObject set = line.value("set").toObject();
        EXPECT_EQ(line.value("cap").toString(), cap);
        EXPECT_EQ(set.value("conType").toString(), "TWON_ONEVALUE") << cap;
        EXPECT_EQ(set.value("itemType").toString(), itemType) << cap;
        EXPECT_DOUBLE_EQ(set.value("value").toDouble(), value) << cap;
    };
    expectSet(sets[0], "0x8005", "TWTY_INT16", -12);
    expectSet(sets[1], "ICAP_PIXELTYPE", "TWTY_UINT16", TWPT_GRAY);
    expectSet(sets[2], "ICAP_BRIGHTNESS", "TWTY_FIX32", 20.5);
    EXPECT_EQ(sets[3].value("set").toObject().value("value").toBool(), true);
    EXPECT_EQ(sets[3].value("set").toObject().value("itemType").toString(), "TWTY_BOOL");

    EXPECT_TRUE(log.contains("SetCapabilityAnyOneValue: cap_id:Custom CAP 0x:8005, TW_INT16: -12"));
    EXPECT_TRUE(log.contains("SetCapabilityAnyOneValue: cap_id:ICAP_BRIGHTNESS, TW_FIX32: 20.500000"));
    EXPECT_TRUE(log.contains("SetCapabilityAnyOneValue: cap_id:CAP_DUPLEXENABLED, bool: 1"));

    // Out of the scanner's values: refused by the source, logged at error level.
    EXPECT_NE(session.SetCapabilityAnyOneValue(ICAP_PIXELTYPE, TW_UINT16(0x55)), TWRC_SUCCESS);
    EXPECT_TRUE(log.contains("[error] SetCapabilityAnyOneValue: failed! cap_id:ICAP_PIXELTYPE, ConType: 5"));
}

} // namespace
