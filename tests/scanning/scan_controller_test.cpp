// The scan controller inside this process, where a test can reach what the agent only gets from
// the system (device notifications), and the conversion of delivered images into pages.
#include "scanning/devicechangemonitor.h"
#include "scanning/scannedpage.h"
#include "ui/mainwindow.h"

#include "logcapture.h"
#include "virtualdsm.h"
#include "wait.h"

#include <QBuffer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstring>
#include <memory>

namespace {

QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage testPage()
{
    QImage image(37, 23, QImage::Format_RGB888);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 6, y * 11, (x + y) * 4));
    return image;
}

TEST(ScannedPage, DibAndTiffAreRecognisedAndMeasured)
{
    const QImage page = testPage();

    // A DIB is a BMP file without its 14-byte header; the header built for it is the same.
    const QByteArray bmp = encoded(page, "BMP");
    ASSERT_GT(bmp.size(), 54);
    const QByteArray dib = bmp.mid(14) + QByteArray(64, '\x5A');  // a handle may be larger
    EXPECT_FALSE(ScannedPage::isTiff(dib.constData()));
    EXPECT_EQ(ScannedPage::bmpFileFromDib(dib.constData(), size_t(dib.size())), bmp);
    const ScannedPage::NativeImage fromDib = ScannedPage::decodeNative(dib.constData(), size_t(dib.size()));
    EXPECT_EQ(fromDib.bmpFile, bmp);
    EXPECT_EQ(fromDib.image.convertToFormat(QImage::Format_RGB888), page);

    // A TIFF is known by its byte-order mark and ends where its last strip ends.
    const QByteArray tiff = encoded(page, "TIFF");
    ASSERT_FALSE(tiff.isEmpty()) << "no TIFF image plugin";
    const QByteArray handle = tiff + QByteArray(100, '\x00');
    EXPECT_TRUE(ScannedPage::isTiff(handle.constData()));
    EXPECT_EQ(ScannedPage::tiffExtent(handle.constData(), size_t(handle.size())), size_t(tiff.size()));
    const ScannedPage::NativeImage fromTiff = ScannedPage::decodeNative(handle.constData(), size_t(handle.size()));
    EXPECT_TRUE(fromTiff.bmpFile.isEmpty());
    EXPECT_EQ(fromTiff.image.convertToFormat(QImage::Format_RGB888), page);

    const char bigEndian[] = { 'M', 'M', 0, 42 };
    EXPECT_TRUE(ScannedPage::isTiff(bigEndian));
    const char notAnImage[] = { 'I', 'I', 0, 42, 0, 0, 0, 0 };
    EXPECT_FALSE(ScannedPage::isTiff(notAnImage));
}

TEST(ScannedPage, MemoryStripsMakeOnePage)
{
    const QImage page = testPage();
    TW_IMAGEINFO info{};
    info.ImageWidth = page.width();
    info.ImageLength = -1;  // undefined until the last strip
    info.BitsPerPixel = 24;
    ScannedPage::MemoryAssembler assembler;
    assembler.start(info);
    // Strips of 10 rows, each row padded to a multiple of 4 bytes as a source may send it.
    const int bytesPerRow = (page.width() * 3 + 3) / 4 * 4;
    for (int top = 0; top < page.height(); top += 10) {
        const int rows = std::min(10, page.height() - top);
        QByteArray strip(rows * bytesPerRow, '\0');
        for (int r = 0; r < rows; ++r)
            std::memcpy(strip.data() + r * bytesPerRow, page.constScanLine(top + r), size_t(page.width() * 3));
        TW_IMAGEMEMXFER block{};
        block.Rows = TW_UINT32(rows);
        block.YOffset = TW_UINT32(top);
        block.BytesPerRow = TW_UINT32(bytesPerRow);
        block.Columns = TW_UINT32(page.width());
        block.Memory.TheMem = strip.data();
        block.Memory.Length = TW_UINT32(strip.size());
        block.BytesWritten = TW_UINT32(strip.size());
        assembler.add(block);
    }
    EXPECT_EQ(assembler.finish(), page);
}

// A DIB as drivers hand it over: `header` bytes of header (40, 108 or 124), then masks (for
// BI_BITFIELDS after a 40-byte header) and the rows bottom-up.
QByteArray dib(int header, int width, int height, int bitCount, quint32 compression,
               const std::vector<quint32>& masks, const std::function<void(uchar*, int x, int y)>& pixel)
{
    const int stride = (bitCount * width + 31) / 32 * 4;
    QByteArray bytes(header, '\0');
    auto put32 = [&bytes](int at, quint32 value) { std::memcpy(bytes.data() + at, &value, 4); };
    auto put16 = [&bytes](int at, quint16 value) { std::memcpy(bytes.data() + at, &value, 2); };
    put32(0, quint32(header));
    put32(4, quint32(width));
    put32(8, quint32(height));
    put16(12, 1);
    put16(14, quint16(bitCount));
    put32(16, compression);
    put32(20, quint32(stride * height));
    if (header >= 108) {
        for (size_t i = 0; i < masks.size(); ++i)
            put32(40 + 4 * int(i), masks[i]);
        put32(56, 0x73524742);  // LCS_sRGB
    } else {
        for (quint32 mask : masks)
            bytes.append(reinterpret_cast<const char*>(&mask), 4);
    }
    QByteArray rows(stride * height, '\0');
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixel(reinterpret_cast<uchar*>(rows.data()) + (height - 1 - y) * stride + x * bitCount / 8, x, y);
    return bytes + rows;
}

TEST(ScannedPage, V5HeadersAndColourMasksDecode)
{
    const auto colour = [](int x, int y) { return qRgb(x * 40, y * 60, 200 - x * 20); };
    const QByteArray v5 = dib(124, 5, 3, 32, 3, { 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000 }, [&](uchar* p, int x, int y) {
        const QRgb c = colour(x, y);
        p[0] = uchar(qBlue(c)), p[1] = uchar(qGreen(c)), p[2] = uchar(qRed(c)), p[3] = 0xFF;
    });
    const QByteArray masked = dib(40, 5, 3, 16, 3, { 0xF800, 0x07E0, 0x001F }, [&](uchar* p, int x, int y) {
        const QRgb c = colour(x, y);
        const quint16 v = quint16((qRed(c) >> 3) << 11 | (qGreen(c) >> 2) << 5 | qBlue(c) >> 3);
        std::memcpy(p, &v, 2);
    });
    for (const QByteArray& handle : { v5, masked }) {
        const ScannedPage::NativeImage native = ScannedPage::decodeNative(handle.constData(), size_t(handle.size()));
        ASSERT_FALSE(native.image.isNull()) << native.problem.toStdString();
        EXPECT_TRUE(native.problem.isEmpty());
        ASSERT_EQ(native.image.size(), QSize(5, 3));
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 5; ++x) {
                const QRgb got = native.image.pixel(x, y);
                EXPECT_NEAR(qRed(got), qRed(colour(x, y)), 8) << x << "," << y;
                EXPECT_NEAR(qGreen(got), qGreen(colour(x, y)), 8) << x << "," << y;
                EXPECT_NEAR(qBlue(got), qBlue(colour(x, y)), 8) << x << "," << y;
            }
        }
    }
}

// A driver's header that claims more than its handle holds is refused before anything is read
// (the sanitizer build catches a read beyond the handle).
TEST(ScannedPage, SizesThatDoNotFitTheHandleAreRefused)
{
    QByteArray lying = encoded(testPage(), "BMP").mid(14);
    const quint32 height = 20000;
    std::memcpy(lying.data() + 8, &height, 4);
    const QByteArray handle(lying.constData(), lying.size());  // a heap block of exactly this size
    const ScannedPage::NativeImage fromDib = ScannedPage::decodeNative(handle.constData(), size_t(handle.size()));
    EXPECT_TRUE(fromDib.image.isNull());
    EXPECT_TRUE(fromDib.problem.contains("claims")) << fromDib.problem.toStdString();

    const QByteArray header = dib(40, 4, 4, 8, 0, {}, [](uchar*, int, int) {}).left(40);
    QString problem;
    EXPECT_TRUE(ScannedPage::bmpFileFromDib(header.constData(), size_t(header.size()), &problem).isEmpty());
    EXPECT_FALSE(problem.isEmpty());

    // A TIFF whose directory and strips point past its end is measured within it.
    QByteArray tiff = encoded(testPage(), "TIFF");
    ASSERT_FALSE(tiff.isEmpty());
    const quint32 farAway = 0x7FFFFFF0;
    std::memcpy(tiff.data() + 4, &farAway, 4);
    EXPECT_LE(ScannedPage::tiffExtent(tiff.constData(), size_t(tiff.size())), size_t(tiff.size()));
    EXPECT_TRUE(ScannedPage::decodeNative(tiff.constData(), size_t(tiff.size())).image.isNull());
}

// 16-bit grey and 48-bit colour strips become pages (at 8 bits a sample); palettes,
// compressed strips and strips larger than their block are refused with a reason.
TEST(ScannedPage, MemoryLayoutsBeyondEightBits)
{
    const auto assemble = [](TW_INT16 bits, TW_INT16 pixelType, TW_UINT16 compression, const QByteArray& rows,
                             TW_UINT32 bytesPerRow, TW_UINT32 blockLength) {
        TW_IMAGEINFO info{};
        info.ImageWidth = 3;
        info.ImageLength = 2;
        info.BitsPerPixel = bits;
        info.PixelType = pixelType;
        info.Compression = compression;
        ScannedPage::MemoryAssembler assembler;
        assembler.start(info);
        TW_IMAGEMEMXFER block{};
        block.Rows = 2;
        block.BytesPerRow = bytesPerRow;
        block.Columns = 3;
        block.BytesWritten = blockLength;
        block.Memory.Length = blockLength;
        block.Memory.TheMem = const_cast<char*>(rows.constData());
        assembler.add(block);
        return std::make_pair(assembler.finish(), assembler.problem());
    };
    QByteArray grey;
    for (int i = 0; i < 6; ++i) {
        grey.append(char(0x11));       // low byte, dropped
        grey.append(char(40 * i));     // high byte
    }
    const auto [greyPage, greyProblem] = assemble(16, TWPT_GRAY, TWCP_NONE, grey, 6, 12);
    ASSERT_FALSE(greyPage.isNull()) << greyProblem.toStdString();
    EXPECT_EQ(qGray(greyPage.pixel(2, 1)), 200);
    EXPECT_EQ(qGray(greyPage.pixel(1, 0)), 40);

    QByteArray colour;
    for (int i = 0; i < 18; ++i) {
        colour.append(char(0x22));
        colour.append(char(10 * i));
    }
    const auto [colourPage, colourProblem] = assemble(48, TWPT_RGB, TWCP_NONE, colour, 18, 36);
    ASSERT_FALSE(colourPage.isNull()) << colourProblem.toStdString();
    EXPECT_EQ(colourPage.pixel(1, 1), qRgb(120, 130, 140));

    const QByteArray eight(6, '\x40');
    EXPECT_TRUE(assemble(8, TWPT_PALETTE, TWCP_NONE, eight, 3, 6).second.contains("palette"));
    EXPECT_TRUE(assemble(8, TWPT_GRAY, TWCP_GROUP4, eight, 3, 6).second.contains("compressed"));
    // Rows of 3000 bytes claimed in a block of 6: nothing is read beyond the block.
    const auto [lyingPage, lyingProblem] = assemble(8, TWPT_GRAY, TWCP_NONE, eight, 3000, 6);
    EXPECT_TRUE(lyingPage.isNull());
    EXPECT_TRUE(lyingProblem.contains("block")) << lyingProblem.toStdString();
}

// A controller in this process against the virtual scanner; the DSM comes up after the first
// upgrade check, which fails at once here (no server environment).
class ScanControllerTest : public vtest::VirtualDsmTest {
protected:
    CTWAINSession& twainSession() override { return *window; }

    void SetUp() override
    {
        VirtualDsmTest::SetUp();
        writeProfile({ QJsonObject{ { "productName", "Controller Test Scanner" }, { "pages", 2 } } });
        window = std::make_unique<MainWindow>();
    }

    void TearDown() override
    {
        window->slotQuitApp();
        VirtualDsmTest::TearDown();
    }

    int closings() const
    {
        int count = 0;
        for (const QJsonObject& line : trace("DAT_IDENTITY"))
            count += line.value("msg").toString() == "MSG_CLOSEDS";
        return count;
    }
    int opened() const
    {
        int count = 0;
        for (const QJsonObject& line : trace("DAT_IDENTITY"))
            count += line.value("msg").toString() == "MSG_OPENDS";
        return count;
    }

    std::unique_ptr<MainWindow> window;
};

TEST_F(ScanControllerTest, DeviceChangesWithinTheDebounceReopenOnce)
{
    vtest::LogCapture log;
    ASSERT_TRUE(vtest::waitUntil([&] { return window->currentScannerName() == "Controller Test Scanner"; }));
    ASSERT_EQ(opened(), 1);

    DeviceChangeMonitor* monitor = window->deviceChangeMonitor();
    ASSERT_NE(monitor, nullptr);
    monitor->notifyDeviceChange();
    monitor->notifyDeviceChange();
    ASSERT_TRUE(vtest::waitUntil([&] { return opened() == 2; }));
    // A later notification re-opens again; had the first two not been merged, their second
    // re-opening would have come before this one.
    monitor->notifyDeviceChange();
    ASSERT_TRUE(vtest::waitUntil([&] { return opened() == 3; }));
    EXPECT_EQ(closings(), 2);
    EXPECT_EQ(log.linesContaining("auto check datasoure bydevice changed; current state: 4").size(), 2);
    EXPECT_EQ(log.linesContaining("New device is connected or a deviced is removed....").size(), 3);
    EXPECT_EQ(window->currentScannerName(), "Controller Test Scanner");
}

// A scanner installed after the start is found at the next device change; without any
// scanner a device change reports nothing.
TEST_F(ScanControllerTest, DeviceChangesFindNewScanners)
{
    vtest::LogCapture log;
    ASSERT_TRUE(vtest::waitUntil([&] { return window->currentScannerName() == "Controller Test Scanner"; }));
    EXPECT_EQ(window->sourceNames(), QStringList{ "Controller Test Scanner" });
    writeProfile({ QJsonObject{ { "productName", "Controller Test Scanner" }, { "pages", 2 } },
                   QJsonObject{ { "productName", "Second Scanner" }, { "pages", 2 } } });
    window->deviceChangeMonitor()->notifyDeviceChange();
    ASSERT_TRUE(vtest::waitUntil([&] { return window->sourceNames().size() == 2; }));
    ASSERT_TRUE(vtest::waitUntil([&] { return opened() == 2; }));
    EXPECT_EQ(window->currentScannerName(), "Controller Test Scanner");

    EXPECT_TRUE(log.linesContaining("failed, error:").empty());
}

class ScanControllerWithoutScanners : public ScanControllerTest {
protected:
    void SetUp() override
    {
        // SANE devices only, and no SANE library: the DSM lists nothing.
        qputenv("TWAINDSM_SANE", "only");
        qputenv("TWAINDSM_SANE_LIBRARY", "/nonexistent/libsane.so.1");
        ScanControllerTest::SetUp();
    }
    void TearDown() override
    {
        ScanControllerTest::TearDown();
        qputenv("TWAINDSM_SANE", "off");
        qunsetenv("TWAINDSM_SANE_LIBRARY");
    }
};

TEST_F(ScanControllerWithoutScanners, ADeviceChangeWithNothingToOpenIsQuietUntilAScannerComes)
{
    vtest::LogCapture log;
    ASSERT_TRUE(vtest::waitUntil([&] { return !log.linesContaining("failed, error:").empty(); }));
    ASSERT_EQ(log.linesContaining("failed, error:").size(), 1);  // "no scanner installed", once
    window->deviceChangeMonitor()->notifyDeviceChange();
    ASSERT_TRUE(vtest::waitUntil([&] { return !log.linesContaining("No data source to open after the device change").empty(); }));
    EXPECT_EQ(log.linesContaining("failed, error:").size(), 1);
    EXPECT_EQ(opened(), 0);

    qputenv("TWAINDSM_SANE", "off");
    window->deviceChangeMonitor()->notifyDeviceChange();
    ASSERT_TRUE(vtest::waitUntil([&] { return window->currentScannerName() == "Controller Test Scanner"; }));
    EXPECT_EQ(opened(), 1);
}

} // namespace
