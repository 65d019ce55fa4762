// Pages encoded straight from what the source delivered give the JPEG files Qt's writer gave
// from the decoded page: same dimensions, components, subsampling, resolution and pixels; and
// the delivered page kept for "saveorigin" is the DIB as it came.
#include "scanning/pagejpegencoder.h"
#include "scanning/rawpage.h"
#include "scanning/scannedpage.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

QByteArray saved(const QImage& image, const char* format, int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, quality);
    return bytes;
}

// What the agent wrote before: Qt's reader, then Qt's writer at quality 75.
QByteArray qtJpeg(const QImage& image)
{
    return saved(image, "JPG", 75);
}

// A page with colour edges, so subsampling and colour conversion show.
QImage colourPage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 7) & 0xFF, (y * 5) & 0xFF, ((x / 9 + y / 7) % 2) * 200));
    image.setDotsPerMeterX(11811);  // 300 dpi
    image.setDotsPerMeterY(7874);   // 200 dpi
    return image;
}

QImage indexedPage(int width, int height, bool greyRamp)
{
    QImage image(width, height, QImage::Format_Indexed8);
    QVector<QRgb> palette;
    for (int i = 0; i < 256; ++i)
        palette << (greyRamp ? qRgb(i, i, i) : qRgb(i, 255 - i, (i * 3) & 0xFF));
    image.setColorTable(palette);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, uint((x * 3 + y * 2) & 0xFF));
    return image;
}

QImage monoPage(int width, int height)
{
    QImage image(width, height, QImage::Format_Mono);
    image.setColorTable({ qRgb(0, 0, 0), qRgb(255, 255, 255) });
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, uint(((x / 4) + (y / 3)) % 2));
    return image;
}

// A native handle as the DSM hands it over: a packed DIB in C heap memory the page then owns.
TW_HANDLE handleWith(const QByteArray& dib)
{
    void* memory = std::malloc(size_t(dib.size()));
    std::memcpy(memory, dib.constData(), size_t(dib.size()));
    return memory;
}

struct JpegFacts {
    int width = 0, height = 0, components = 0;
    QList<int> sampling;        // per component: h << 4 | v
    QByteArray jfifDensity;     // units and densities
    QByteArray tables;          // DQT and DHT segments
};

JpegFacts facts(const QByteArray& jpeg)
{
    JpegFacts f;
    if (jpeg.size() > 18)
        f.jfifDensity = jpeg.mid(13, 5);
    const auto* p = reinterpret_cast<const unsigned char*>(jpeg.constData());
    for (int i = 2; i + 9 < jpeg.size();) {
        if (p[i] != 0xFF)
            break;
        const int marker = p[i + 1];
        const int length = p[i + 2] << 8 | p[i + 3];
        if (marker == 0xDB || marker == 0xC4)
            f.tables += jpeg.mid(i, 2 + length);
        if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
            f.height = p[i + 5] << 8 | p[i + 6];
            f.width = p[i + 7] << 8 | p[i + 8];
            f.components = p[i + 9];
            for (int c = 0; c < f.components; ++c)
                f.sampling << p[i + 11 + 3 * c];
        }
        if (marker == 0xDA)
            break;
        i += 2 + length;
    }
    return f;
}

double meanDifference(const QImage& a, const QImage& b)
{
    const QImage first = a.convertToFormat(QImage::Format_RGB888);
    const QImage second = b.convertToFormat(QImage::Format_RGB888);
    if (first.isNull() || first.size() != second.size())
        return 1e9;
    double sum = 0;
    for (int y = 0; y < first.height(); ++y) {
        const uchar* r1 = first.constScanLine(y);
        const uchar* r2 = second.constScanLine(y);
        for (int x = 0; x < first.width() * 3; ++x)
            sum += std::abs(int(r1[x]) - int(r2[x]));
    }
    return sum / (double(first.width()) * first.height() * 3);
}

// Our JPEG of `source` against Qt's: the same file structure (dimensions, components, chroma
// subsampling, quantisation, resolution); the pixels as far from the page as Qt's are, and
// close to Qt's.
void expectSameJpeg(const QByteArray& ours, const QByteArray& qt, const QImage& source, const char* what)
{
    ASSERT_FALSE(ours.isEmpty()) << what;
    const JpegFacts a = facts(ours);
    const JpegFacts b = facts(qt);
    EXPECT_EQ(a.width, b.width) << what;
    EXPECT_EQ(a.height, b.height) << what;
    EXPECT_EQ(a.components, b.components) << what;
    EXPECT_EQ(a.sampling, b.sampling) << what;
    EXPECT_EQ(a.tables, b.tables) << what;
    EXPECT_EQ(a.jfifDensity.toHex().toStdString(), b.jfifDensity.toHex().toStdString()) << what;
    const QImage decodedOurs = QImage::fromData(ours, "JPG");
    const QImage decodedQt = QImage::fromData(qt, "JPG");
    const double ourError = meanDifference(decodedOurs, source);
    const double qtError = meanDifference(decodedQt, source);
    EXPECT_LE(ourError, qtError * 1.1 + 0.2) << what;
    EXPECT_LT(meanDifference(decodedOurs, decodedQt), qtError + 0.5) << what;
}

// A DIB with its rows top-down (negative height), as some drivers deliver.
QByteArray topDown(const QByteArray& dib, int rowBytes, int height, int pixelOffset)
{
    QByteArray flipped = dib;
    for (int y = 0; y < height; ++y)
        std::memcpy(flipped.data() + pixelOffset + y * rowBytes, dib.constData() + pixelOffset + (height - 1 - y) * rowBytes,
                    size_t(rowBytes));
    const qint32 negative = -height;
    std::memcpy(flipped.data() + 8, &negative, 4);
    return flipped;
}

TEST(PageEncoding, NativeDibsGiveTheJpegsOfQtsReaderAndWriter)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    struct Case {
        const char* name;
        QImage image;
    };
    // Odd sizes: padded rows, and MCUs cut at the edges.
    const Case cases[] = {
        { "24-bit colour", colourPage(203, 117) },
        { "8-bit grey", indexedPage(101, 66, true) },
        { "8-bit palette", indexedPage(77, 45, false) },
        { "1-bit", monoPage(99, 50) },
    };
    for (const Case& c : cases) {
        const QByteArray bmp = saved(c.image, "BMP");
        ASSERT_GT(bmp.size(), 54) << c.name;
        const QImage source = QImage::fromData(bmp, "BMP");
        const QByteArray qt = qtJpeg(source);
        const QString origin = folder.filePath(QString("%1.bmp").arg(c.name));
        const KELRawPage page = KELRawPage::fromNativeHandle(handleWith(bmp.mid(14)));
        expectSameJpeg(page.encodeJpeg(origin), qt, source, c.name);
        QFile kept(origin);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly)) << c.name;
        EXPECT_TRUE(kept.readAll() == bmp) << c.name << ": the BMP is the DIB as delivered";
        // The same page as a BMP file (file and memory-file transfers).
        expectSameJpeg(KELRawPage::fromFileBytes(bmp).encodeJpeg(), qt, source, c.name);
    }

    // Top-down rows.
    const QImage colour = colourPage(64, 41);
    const QByteArray bmp = saved(colour, "BMP");
    const QByteArray flipped = topDown(bmp.mid(14), (64 * 3 + 3) / 4 * 4, 41, 40);
    const QImage flippedSource = QImage::fromData(QByteArray(bmp.left(14)) + flipped, "BMP");
    ASSERT_EQ(flippedSource.convertToFormat(QImage::Format_RGB32), colour);
    expectSameJpeg(KELRawPage::fromNativeHandle(handleWith(flipped)).encodeJpeg(), qtJpeg(flippedSource), colour,
                   "top-down");

    // A TIFF handle is decoded on the way.
    const QByteArray tiff = saved(colour, "TIFF");
    ASSERT_FALSE(tiff.isEmpty());
    expectSameJpeg(KELRawPage::fromNativeHandle(handleWith(tiff)).encodeJpeg(), qtJpeg(QImage::fromData(tiff, "TIFF")),
                   colour, "tiff");
}

TEST(PageEncoding, MemoryStripsAreEncodedFromTheAssembledRows)
{
    for (const int bits : { 24, 8, 1 }) {
        TW_IMAGEINFO info{};
        info.ImageWidth = 157;
        info.ImageLength = 90;
        info.BitsPerPixel = TW_INT16(bits);
        const int rowBytes = (157 * bits + 7) / 8;
        ScannedPage::MemoryAssembler assembler;
        assembler.start(info);
        std::vector<unsigned char> strip(size_t(rowBytes) * 30);
        for (int part = 0; part < 3; ++part) {
            for (size_t i = 0; i < strip.size(); ++i)
                strip[i] = static_cast<unsigned char>((i * 13 + size_t(part) * 71) & 0xFF);
            TW_IMAGEMEMXFER block{};
            block.BytesPerRow = TW_UINT32(rowBytes);
            block.Columns = 157;
            block.Rows = 30;
            block.YOffset = TW_UINT32(part * 30);
            block.Memory.TheMem = strip.data();
            block.Memory.Length = TW_UINT32(strip.size());
            assembler.add(block);
        }
        const QImage source = assembler.finish();
        const QByteArray qt = qtJpeg(source);
        const KELRawPage page = KELRawPage::fromMemory(std::move(assembler));
        expectSameJpeg(page.encodeJpeg(), qt, source, bits == 24 ? "memory 24" : bits == 8 ? "memory 8" : "memory 1");
    }
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A file transfer's page is taken over by its name: our own transfer file leaves the name free
// for the next page at once and goes when the page is released; the source's own file stays.
TEST(PageEncoding, TransferFilesAreTakenOverByName)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString own = folder.filePath("vellox-transfer.bmp");
    const QByteArray first = saved(colourPage(64, 41), "BMP");
    const QByteArray second = saved(colourPage(50, 30), "BMP");
    ASSERT_TRUE(writeFile(own, first));
    QString problem;
    KELRawPage firstPage = KELRawPage::fromTransferFile(own, true, &problem);
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    EXPECT_FALSE(QFile::exists(own));
    ASSERT_TRUE(writeFile(own, second));
    KELRawPage secondPage = KELRawPage::fromTransferFile(own, true, &problem);
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files).size(), 2);
    // Each page is read from its own file, whichever is encoded first.
    expectSameJpeg(secondPage.encodeJpeg(), qtJpeg(QImage::fromData(second, "BMP")), colourPage(50, 30), "second");
    expectSameJpeg(firstPage.encodeJpeg(), qtJpeg(QImage::fromData(first, "BMP")), colourPage(64, 41), "first");
    firstPage.release();
    secondPage.release();
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList());

    const QString chosen = folder.filePath("page.bmp");
    ASSERT_TRUE(writeFile(chosen, first));
    {
        const KELRawPage page = KELRawPage::fromTransferFile(chosen, false, &problem);
        EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
        EXPECT_FALSE(page.encodeJpeg().isEmpty());
    }
    QFile kept(chosen);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_TRUE(kept.readAll() == first) << "the source's own file is left as it was";

    // A file that was not written, or holds nothing, is known before the page is queued.
    const KELRawPage missing = KELRawPage::fromTransferFile(own, true, &problem);
    EXPECT_EQ(problem, "the transferred file cannot be read: " + own);
    EXPECT_TRUE(missing.isNull());
    ASSERT_TRUE(writeFile(own, QByteArray()));
    problem.clear();
    KELRawPage empty = KELRawPage::fromTransferFile(own, true, &problem);
    EXPECT_EQ(problem, "the transferred file is empty: " + own);
    empty.release();
    EXPECT_EQ(QDir(folder.path()).entryList({ "vellox-transfer*" }, QDir::Files), QStringList());

    // A file gone by the time the pool reads it is a page that cannot be read, named as delivered.
    ASSERT_TRUE(writeFile(own, first));
    problem.clear();
    const KELRawPage vanished = KELRawPage::fromTransferFile(own, true, &problem);
    ASSERT_TRUE(problem.isEmpty());
    for (const QString& name : QDir(folder.path()).entryList({ "vellox-transfer*" }, QDir::Files))
        ASSERT_TRUE(QFile::remove(folder.filePath(name)));
    EXPECT_TRUE(vanished.encodeJpeg(QString(), &problem).isEmpty());
    EXPECT_EQ(problem, "the transferred file cannot be read: " + own);

    // At start, the transfer files an earlier agent left are removed; newer ones and files of
    // other names stay.
    const QDateTime start = QDateTime::currentDateTime();
    for (const QString& name : { "vellox-transfer.tif", "vellox-transfer-3.bmp", "notes.txt" }) {
        QFile file(folder.filePath(name));
        ASSERT_TRUE(writeFile(file.fileName(), "x"));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(start.addSecs(-3600), QFileDevice::FileModificationTime));
    }
    ASSERT_TRUE(writeFile(own, first));
    EXPECT_EQ(KELRawPage::removeLeftoverTransferFiles(folder.path(), start.addSecs(-60)), 2);
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), (QStringList{ "notes.txt", "page.bmp", "vellox-transfer.bmp" }));
}

TEST(PageEncoding, PagesThatCannotBeReadGiveNoJpegAndSayWhy)
{
    QString problem;
    EXPECT_TRUE(KELRawPage().encodeJpeg(QString(), &problem).isEmpty());
    EXPECT_FALSE(problem.isEmpty());
    problem.clear();
    EXPECT_TRUE(KELRawPage::fromFileBytes("not an image").encodeJpeg(QString(), &problem).isEmpty());
    EXPECT_TRUE(problem.contains("no image")) << problem.toStdString();

    // A DIB whose header claims more rows than its handle holds: nothing beyond it is read.
    QByteArray dib = saved(colourPage(64, 40), "BMP").mid(14);
    dib.chop(dib.size() / 2);
    problem.clear();
    EXPECT_TRUE(KELRawPage::fromNativeHandle(handleWith(dib)).encodeJpeg(QString(), &problem).isEmpty());
    EXPECT_TRUE(problem.contains("the DIB header claims")) << problem.toStdString();

    // Strips that went wrong after the first rows had arrived leave no page, not a torn one.
    TW_IMAGEINFO info{};
    info.ImageWidth = 64;
    info.ImageLength = 40;
    info.BitsPerPixel = 24;
    ScannedPage::MemoryAssembler assembler;
    assembler.start(info);
    std::vector<unsigned char> strip(64 * 3 * 10, 0x80);
    TW_IMAGEMEMXFER block{};
    block.BytesPerRow = 64 * 3;
    block.Columns = 64;
    block.Rows = 10;
    block.Memory.TheMem = strip.data();
    block.Memory.Length = TW_UINT32(strip.size());
    assembler.add(block);
    block.YOffset = 10;
    block.XOffset = 64;  // beyond the row
    assembler.add(block);
    ASSERT_FALSE(assembler.problem().isEmpty());
    problem.clear();
    EXPECT_TRUE(KELRawPage::fromMemory(std::move(assembler)).encodeJpeg(QString(), &problem).isEmpty());
    EXPECT_TRUE(problem.contains("column 64")) << problem.toStdString();
    EXPECT_TRUE(KELJpegEncoder::encode(QImage()).isEmpty());
    KELJpegEncoder::Rows rows;
    rows.width = 10;
    rows.height = 10;
    rows.pitch = 5;  // shorter than a row
    std::vector<unsigned char> pixels(100);
    rows.data = pixels.data();
    EXPECT_TRUE(KELJpegEncoder::encode(rows).isEmpty());
}

} // namespace
