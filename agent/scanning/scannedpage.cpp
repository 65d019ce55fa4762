#include "scanning/scannedpage.h"


#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace ScannedPage {

namespace {

constexpr std::uint32_t kBiRgb = 0;
constexpr int kBmpFileHeaderSize = 14;
constexpr int kInfoHeaderSize = 40;

std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint16_t le16(const unsigned char* p)
{
    return std::uint16_t(p[0] | p[1] << 8);
}

void put32(QByteArray& bytes, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.append(char((value >> shift) & 0xFF));
}

void put16(QByteArray& bytes, std::uint16_t value)
{
    bytes.append(char(value & 0xFF));
    bytes.append(char(value >> 8));
}

// Palette entries of a DIB. A 1-, 4- or 8-bit DIB that names none carries the full palette.
std::uint32_t paletteEntries(const unsigned char* dib)
{
    const std::uint32_t used = le32(dib + 32);
    const std::uint16_t bitCount = le16(dib + 14);
    if (used == 0 && bitCount <= 8)
        return 1u << bitCount;
    return used;
}

// Reads TIFF numbers in the file's own byte order; a number beyond the end reads as 0.
class TiffReader {
public:
    TiffReader(const unsigned char* data, std::size_t size)
        : base(data)
        , size(size)
        , bigEndian(data[0] == 'M')
    {
    }

    bool holds(std::size_t offset, std::size_t bytes) const { return offset <= size && bytes <= size - offset; }
    std::uint16_t u16(std::size_t offset) const
    {
        if (!holds(offset, 2))
            return 0;
        const unsigned char* p = base + offset;
        return bigEndian ? std::uint16_t(p[0] << 8 | p[1]) : std::uint16_t(p[0] | p[1] << 8);
    }
    std::uint32_t u32(std::size_t offset) const
    {
        if (!holds(offset, 4))
            return 0;
        const unsigned char* p = base + offset;
        return bigEndian ? std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3]
                         : le32(p);
    }

    static std::size_t typeSize(std::uint16_t type)
    {
        switch (type) {
        case 1: case 2: case 6: case 7: return 1;   // BYTE, ASCII, SBYTE, UNDEFINED
        case 3: case 8: return 2;                   // SHORT, SSHORT
        case 4: case 9: case 11: return 4;          // LONG, SLONG, FLOAT
        case 5: case 10: case 12: return 8;         // RATIONAL, SRATIONAL, DOUBLE
        default: return 0;
        }
    }

    // Item `index` of the entry at `entry` as a number (SHORT or LONG items).
    std::uint32_t item(std::size_t entry, std::uint32_t index) const
    {
        const std::uint16_t type = u16(entry + 2);
        const std::uint64_t count = u32(entry + 4);
        const std::size_t itemSize = typeSize(type);
        const std::size_t values = itemSize * count <= 4 ? entry + 8 : u32(entry + 8);
        return itemSize == 2 ? u16(values + 2 * std::size_t(index)) : u32(values + 4 * std::size_t(index));
    }

private:
    const unsigned char* base;
    std::size_t size;
    bool bigEndian;
};

constexpr std::uint32_t kBiBitfields = 3;
constexpr std::uint32_t kBiAlphaBitfields = 6;
// Larger than any page a scanner delivers (A3 at 1200 dpi is 14032 × 19843).
constexpr std::int64_t kMaxSide = 100000;
constexpr std::uint64_t kMaxImageBytes = 1ull << 30;

} // namespace

bool isTiff(const void* data, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    if (size < 4)
        return false;
    return (p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) || (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42);
}

std::size_t tiffExtent(const void* data, std::size_t size)
{
    if (!isTiff(data, size))
        return 0;
    constexpr int kMaxDirectories = 64;
    constexpr std::uint16_t kStripOffsets = 273, kStripByteCounts = 279, kTileOffsets = 324, kTileByteCounts = 325;
    const TiffReader tiff(static_cast<const unsigned char*>(data), size);
    std::uint64_t extent = 8;
    std::uint32_t directory = tiff.u32(4);
    for (int seen = 0; directory != 0 && tiff.holds(directory, 2) && seen < kMaxDirectories; ++seen) {
        const std::uint16_t entries = tiff.u16(directory);
        extent = std::max<std::uint64_t>(extent, directory + 2 + 12ull * entries + 4);
        std::size_t offsetsEntry = 0;
        std::size_t countsEntry = 0;
        for (std::uint16_t i = 0; i < entries && tiff.holds(directory + 2 + 12u * i, 12); ++i) {
            const std::size_t entry = directory + 2 + 12u * i;
            const std::uint16_t tag = tiff.u16(entry);
            const std::uint64_t bytes = std::uint64_t(TiffReader::typeSize(tiff.u16(entry + 2))) * tiff.u32(entry + 4);
            if (bytes > 4)
                extent = std::max<std::uint64_t>(extent, tiff.u32(entry + 8) + bytes);
            if (tag == kStripOffsets || tag == kTileOffsets)
                offsetsEntry = entry;
            else if (tag == kStripByteCounts || tag == kTileByteCounts)
                countsEntry = entry;
        }
        if (offsetsEntry && countsEntry) {
            const std::uint32_t blocks = std::min(tiff.u32(offsetsEntry + 4), tiff.u32(countsEntry + 4));
            for (std::uint32_t b = 0; b < blocks && extent < size; ++b)
                extent = std::max<std::uint64_t>(extent, std::uint64_t(tiff.item(offsetsEntry, b)) + tiff.item(countsEntry, b));
        }
        directory = tiff.u32(directory + 2 + 12u * entries);
    }
    return std::size_t(std::min<std::uint64_t>(extent, size));
}

QByteArray bmpFileHeader(const void* data, std::size_t size, std::uint32_t* dibSizeOut, QString* problem)
{
    const auto refuse = [problem](const QString& why) {
        if (problem)
            *problem = why;
        return QByteArray();
    };
    const auto* dib = static_cast<const unsigned char*>(data);
    if (size != 0 && size < std::size_t(kInfoHeaderSize))
        return refuse(QStringLiteral("the image handle holds %1 bytes, less than a DIB header").arg(size));
    const std::uint32_t headerSize = le32(dib);
    // BITMAPINFOHEADER, its two extensions with colour masks, BITMAPV4HEADER, BITMAPV5HEADER.
    if (headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 108 && headerSize != 124)
        return refuse(QStringLiteral("unknown DIB header size %1").arg(headerSize));
    if (size != 0 && headerSize > size)
        return refuse(QStringLiteral("the DIB header (%1 bytes) is larger than its handle (%2 bytes)").arg(headerSize).arg(size));
    const std::int64_t width = std::int32_t(le32(dib + 4));
    const std::int64_t height = std::abs(std::int64_t(std::int32_t(le32(dib + 8))));
    const std::uint16_t bitCount = le16(dib + 14);
    const std::uint32_t compression = le32(dib + 16);
    if (width <= 0 || height == 0 || width > kMaxSide || height > kMaxSide)
        return refuse(QStringLiteral("DIB of %1 x %2 pixels").arg(width).arg(height));
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
        return refuse(QStringLiteral("DIB of %1 bits a pixel").arg(bitCount));
    const std::uint32_t colours = paletteEntries(dib);
    if (colours > 256 || (bitCount <= 8 && colours > (1u << bitCount)))
        return refuse(QStringLiteral("DIB palette of %1 colours for %2 bits a pixel").arg(colours).arg(bitCount));
    // A 40-byte header is followed by its colour masks; the larger headers hold them.
    const bool masks = compression == kBiBitfields || compression == kBiAlphaBitfields;
    const std::uint64_t maskBytes = masks && headerSize == 40 ? (compression == kBiBitfields ? 12 : 16) : 0;
    const std::uint64_t stride = (std::uint64_t(bitCount) * std::uint64_t(width) + 31) / 32 * 4;
    const std::uint64_t imageSize = compression == kBiRgb || masks ? stride * std::uint64_t(height) : le32(dib + 20);
    const std::uint64_t tableBytes = maskBytes + 4ull * colours;
    const std::uint64_t dibSize = headerSize + tableBytes + imageSize;
    if (dibSize > kMaxImageBytes)
        return refuse(QStringLiteral("DIB of %1 bytes").arg(dibSize));
    if (size != 0 && dibSize > size)
        return refuse(QStringLiteral("the DIB header claims %1 bytes, its handle holds %2").arg(dibSize).arg(size));

    QByteArray header;
    header.reserve(kBmpFileHeaderSize);
    header.append("BM", 2);
    put32(header, std::uint32_t(dibSize + kBmpFileHeaderSize));
    put16(header, 0);
    put16(header, 0);
    put32(header, std::uint32_t(kBmpFileHeaderSize + headerSize + tableBytes));
    if (dibSizeOut)
        *dibSizeOut = std::uint32_t(dibSize);
    return header;
}

QByteArray bmpFileFromDib(const void* data, std::size_t size, QString* problem)
{
    std::uint32_t dibSize = 0;
    QByteArray file = bmpFileHeader(data, size, &dibSize, problem);
    if (file.isEmpty())
        return file;
    file.reserve(int(kBmpFileHeaderSize + dibSize));
    file.append(static_cast<const char*>(data), int(dibSize));
    return file;
}

QString nativeProblem(const void* data, std::size_t size)
{
    if (isTiff(data, size == 0 ? 4 : size))
        return QString();
    QString problem;
    bmpFileHeader(data, size, nullptr, &problem);
    return problem;
}

NativeImage decodeNative(const void* data, std::size_t size)
{
    NativeImage native;
    if (isTiff(data, size == 0 ? 4 : size)) {
        const std::size_t extent = tiffExtent(data, size == 0 ? SIZE_MAX : size);
        const QByteArray tiff = QByteArray::fromRawData(static_cast<const char*>(data), int(std::min<std::size_t>(extent, INT_MAX)));
        native.image = QImage::fromData(tiff, "TIFF");
        if (native.image.isNull())
            native.problem = QStringLiteral("a TIFF of %1 bytes that cannot be decoded").arg(extent);
        return native;
    }
    // Anything else must be a packed DIB, known by the size of its header.
    native.bmpFile = bmpFileFromDib(data, size, &native.problem);
    if (native.bmpFile.isEmpty())
        return native;
    native.image = QImage::fromData(native.bmpFile, "BMP");
    if (native.image.isNull())
        native.problem = QStringLiteral("a DIB that cannot be decoded (%1 bits a pixel, compression %2)")
                             .arg(le16(static_cast<const unsigned char*>(data) + 14))
                             .arg(le32(static_cast<const unsigned char*>(data) + 16));
    return native;
}

void MemoryAssembler::start(const TW_IMAGEINFO& info)
{
    clear();
    if (info.ImageWidth <= 0 || info.ImageWidth > kMaxSide) {
        spoil(QStringLiteral("memory transfer of an image %1 pixels wide").arg(info.ImageWidth));
        return;
    }
    if (info.Compression != TWCP_NONE) {
        spoil(QStringLiteral("compressed memory transfer (compression %1)").arg(info.Compression));
        return;
    }
    if (info.PixelType == TWPT_PALETTE) {
        spoil(QStringLiteral("palette image in a memory transfer"));
        return;
    }
    switch (info.BitsPerPixel) {
    case 1: case 8: case 16: case 24: case 48:
        break;
    default:
        spoil(QStringLiteral("memory transfer of %1 bits a pixel").arg(info.BitsPerPixel));
        return;
    }
    width = info.ImageWidth;
    bitsPerPixel = info.BitsPerPixel;
    pixelType = info.PixelType;
    compression = info.Compression;
    imageLength = info.ImageLength;
    rowBytes = (width * bitsPerPixel + 7) / 8;
    // With an undefined image size the length is -1 until the strips have arrived.
    if (imageLength > 0 && std::uint64_t(rowBytes) * std::uint64_t(imageLength) <= kMaxImageBytes)
        pixels.reserve(std::size_t(rowBytes) * std::size_t(imageLength));
}

void MemoryAssembler::spoil(const QString& why)
{
    if (failure.isEmpty())
        failure = why;
    width = 0;
    pixels.clear();
}

void MemoryAssembler::add(const TW_IMAGEMEMXFER& block)
{
    if (!started() || block.Rows == 0)
        return;
    if (!block.Memory.TheMem) {
        spoil(QStringLiteral("a strip without memory"));
        return;
    }
    const std::uint64_t xByte = std::uint64_t(block.XOffset) * std::uint64_t(bitsPerPixel) / 8;
    if (xByte >= std::uint64_t(rowBytes)) {
        spoil(QStringLiteral("a strip at column %1 of an image %2 pixels wide").arg(block.XOffset).arg(width));
        return;
    }
    const std::uint64_t copyBytes = std::min<std::uint64_t>(block.BytesPerRow, std::uint64_t(rowBytes) - xByte);
    // The last row needs only the bytes that are copied of it.
    const std::uint64_t needed = std::uint64_t(block.BytesPerRow) * (block.Rows - 1) + copyBytes;
    std::uint64_t available = block.Memory.Length;
    if (block.BytesWritten != 0)
        available = std::min<std::uint64_t>(available, block.BytesWritten);
    if (needed > available) {
        spoil(QStringLiteral("a strip of %1 rows of %2 bytes in a block of %3 bytes")
                  .arg(block.Rows).arg(block.BytesPerRow).arg(available));
        return;
    }
    const std::uint64_t lastRow = std::uint64_t(block.YOffset) + block.Rows;
    if ((imageLength > 0 && lastRow > std::uint64_t(imageLength)) || lastRow * std::uint64_t(rowBytes) > kMaxImageBytes) {
        spoil(QStringLiteral("a strip ending at row %1 of an image %2 rows long").arg(lastRow).arg(imageLength));
        return;
    }
    if (int(lastRow) > rows) {
        rows = int(lastRow);
        pixels.resize(std::size_t(rows) * std::size_t(rowBytes), 0);
    }
    const auto* data = static_cast<const unsigned char*>(block.Memory.TheMem);
    for (TW_UINT32 row = 0; row < block.Rows; ++row) {
        std::memcpy(pixels.data() + std::size_t(block.YOffset + row) * rowBytes + xByte,
                    data + std::size_t(row) * block.BytesPerRow, std::size_t(copyBytes));
    }
}

QImage MemoryAssembler::finish() const
{
    if (!started() || rows == 0)
        return QImage();
    const auto row = [this](int y) { return pixels.data() + std::size_t(y) * rowBytes; };
    QImage image;
    switch (bitsPerPixel) {
    case 1:
        image = QImage(width, rows, QImage::Format_Mono);
        image.setColorTable({ qRgb(0, 0, 0), qRgb(255, 255, 255) }); // 0 is black (TWPF_CHOCOLATE)
        break;
    case 8:
    case 16:
        image = QImage(width, rows, QImage::Format_Grayscale8);
        break;
    default:
        image = QImage(width, rows, QImage::Format_RGB888);
        break;
    }
    if (image.isNull())
        return image;
    for (int y = 0; y < rows; ++y) {
        uchar* line = image.scanLine(y);
        if (bitsPerPixel == 16 || bitsPerPixel == 48) {
            // A page is kept at 8 bits a sample: the high byte of each Intel-order sample.
            const int samples = width * (bitsPerPixel / 16);
            for (int i = 0; i < samples; ++i)
                line[i] = row(y)[2 * i + 1];
        } else {
            std::memcpy(line, row(y), std::size_t(rowBytes));
        }
    }
    return image;
}

QString MemoryAssembler::problem() const
{
    if (!failure.isEmpty())
        return failure;
    if (!started() || rows == 0)
        return QStringLiteral("no image data arrived");
    return QString();
}

void MemoryAssembler::clear()
{
    width = bitsPerPixel = pixelType = compression = rowBytes = rows = 0;
    imageLength = -1;
    failure.clear();
    pixels.clear();
}

} // namespace ScannedPage
