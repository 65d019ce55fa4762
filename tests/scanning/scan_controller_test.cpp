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
    EXPECT_EQ(ScannedPage::bmpFileFromDib(dib.constData()), bmp);
    const ScannedPage::NativeImage fromDib = ScannedPage::decodeNative(dib.constData());
    EXPECT_EQ(fromDib.bmpFile, bmp);
    EXPECT_EQ(fromDib.image.convertToFormat(QImage::Format_RGB888), page);

    // A TIFF is known by its byte-order mark and ends where its last strip ends.
    const QByteArray tiff = encoded(page, "TIFF");
    ASSERT_FALSE(tiff.isEmpty()) << "no TIFF image plugin";
    const QByteArray handle = tiff + QByteArray(100, '\x00');
    EXPECT_TRUE(ScannedPage::isTiff(handle.constData()));
    EXPECT_EQ(ScannedPage::tiffExtent(handle.constData()), size_t(tiff.size()));
    const ScannedPage::NativeImage fromTiff = ScannedPage::decodeNative(handle.constData());
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
        assembler.add(block);
    }
    EXPECT_EQ(assembler.finish(), page);
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

} // namespace
