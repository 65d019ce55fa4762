#include "scanning/scannedpage.h"


#include <algorithm>
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

// Reads TIFF numbers in the file's own byte order.
class TiffReader {
public:
    explicit TiffReader(const unsigned char* data)
        : base(data)
        , bigEndian(data[0] == 'M')
    {
    }

    std::uint16_t u16(std::size_t offset) const
    {
        const unsigned char* p = base + offset;
        return bigEndian ? std::uint16_t(p[0] << 8 | p[1]) : std::uint16_t(p[0] | p[1] << 8);
    }
    std::uint32_t u32(std::size_t offset) const
    {
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
        const std::uint32_t count = u32(entry + 4);
        const std::size_t size = typeSize(type);
        const std::size_t values = size * count <= 4 ? entry + 8 : u32(entry + 8);
        return size == 2 ? u16(values + 2 * index) : u32(values + 4 * index);
    }

private:
    const unsigned char* base;
    bool bigEndian;
};

} // namespace

bool isTiff(const void* data)
{
    const auto* p = static_cast<const unsigned char*>(data);
    return (p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) || (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42);
}

std::size_t tiffExtent(const void* data)
{
    if (!isTiff(data))
        return 0;
    constexpr int kMaxDirectories = 64;
    constexpr std::uint16_t kStripOffsets = 273, kStripByteCounts = 279, kTileOffsets = 324, kTileByteCounts = 325;
    const TiffReader tiff(static_cast<const unsigned char*>(data));
    std::size_t extent = 8;
    std::uint32_t directory = tiff.u32(4);
    for (int seen = 0; directory != 0 && seen < kMaxDirectories; ++seen) {
        const std::uint16_t entries = tiff.u16(directory);
        extent = std::max<std::size_t>(extent, directory + 2 + 12u * entries + 4);
        std::size_t offsetsEntry = 0;
        std::size_t countsEntry = 0;
        for (std::uint16_t i = 0; i < entries; ++i) {
            const std::size_t entry = directory + 2 + 12u * i;
            const std::uint16_t tag = tiff.u16(entry);
            const std::size_t size = TiffReader::typeSize(tiff.u16(entry + 2)) * tiff.u32(entry + 4);
            if (size > 4)
                extent = std::max<std::size_t>(extent, tiff.u32(entry + 8) + size);
            if (tag == kStripOffsets || tag == kTileOffsets)
                offsetsEntry = entry;
            else if (tag == kStripByteCounts || tag == kTileByteCounts)
                countsEntry = entry;
        }
        if (offsetsEntry && countsEntry) {
            const std::uint32_t blocks = std::min(tiff.u32(offsetsEntry + 4), tiff.u32(countsEntry + 4));
            for (std::uint32_t b = 0; b < blocks; ++b)
                extent = std::max<std::size_t>(extent, std::size_t(tiff.item(offsetsEntry, b)) + tiff.item(countsEntry, b));
        }
        directory = tiff.u32(directory + 2 + 12u * entries);
    }
    return extent;
}

QByteArray bmpFileHeader(const void* data, std::uint32_t* dibSizeOut)
{
    const auto* dib = static_cast<const unsigned char*>(data);
    const std::int32_t width = std::int32_t(le32(dib + 4));
    const std::int32_t height = std::abs(std::int32_t(le32(dib + 8)));
    const std::uint16_t bitCount = le16(dib + 14);
    const std::uint32_t compression = le32(dib + 16);
    const std::uint32_t colours = paletteEntries(dib);
    const std::uint32_t imageSize = compression == kBiRgb
        ? std::uint32_t(((std::uint64_t(bitCount) * std::uint32_t(width) + 31) / 32) * 4 * std::uint32_t(height))
        : le32(dib + 20);
    const std::uint32_t dibSize = le32(dib) + 4 * colours + imageSize;

    QByteArray header;
    header.reserve(kBmpFileHeaderSize);
    header.append("BM", 2);
    put32(header, dibSize + kBmpFileHeaderSize);
    put16(header, 0);
    put16(header, 0);
    put32(header, kBmpFileHeaderSize + kInfoHeaderSize + 4 * colours);
    if (dibSizeOut)
        *dibSizeOut = dibSize;
    return header;
}

QByteArray bmpFileFromDib(const void* data)
{
    std::uint32_t dibSize = 0;
    QByteArray file = bmpFileHeader(data, &dibSize);
    file.reserve(int(kBmpFileHeaderSize + dibSize));
    file.append(static_cast<const char*>(data), int(dibSize));
    return file;
}

NativeImage decodeNative(const void* data)
{
    NativeImage native;
    if (isTiff(data)) {
        const std::size_t size = tiffExtent(data);
        const QByteArray tiff = QByteArray::fromRawData(static_cast<const char*>(data), int(size));
        native.image = QImage::fromData(tiff, "TIFF");
        return native;
    }
    // Anything else must be a packed DIB, known by the size of its header.
    if (le32(static_cast<const unsigned char*>(data)) < kInfoHeaderSize)
        return native;
    native.bmpFile = bmpFileFromDib(data);
    native.image = QImage::fromData(native.bmpFile, "BMP");
    return native;
}

void MemoryAssembler::start(const TW_IMAGEINFO& info)
{
    clear();
    width = info.ImageWidth;
    bitsPerPixel = info.BitsPerPixel;
    rowBytes = (width * bitsPerPixel + 7) / 8;
    // With an undefined image size the length is -1 until the strips have arrived.
    if (info.ImageLength > 0)
        pixels.reserve(std::size_t(rowBytes) * std::size_t(info.ImageLength));
}

void MemoryAssembler::add(const TW_IMAGEMEMXFER& block)
{
    if (!started() || !block.Memory.TheMem)
        return;
    const auto* data = static_cast<const unsigned char*>(block.Memory.TheMem);
    const int lastRow = int(block.YOffset + block.Rows);
    if (lastRow > rows) {
        rows = lastRow;
        pixels.resize(std::size_t(rows) * std::size_t(rowBytes), 0);
    }
    const int xByte = int(block.XOffset) * bitsPerPixel / 8;
    const int copyBytes = std::min<int>(int(block.BytesPerRow), rowBytes - xByte);
    if (copyBytes <= 0)
        return;
    for (TW_UINT32 row = 0; row < block.Rows; ++row) {
        std::memcpy(pixels.data() + std::size_t(block.YOffset + row) * rowBytes + xByte,
                    data + std::size_t(row) * block.BytesPerRow, std::size_t(copyBytes));
    }
}

QImage MemoryAssembler::finish() const
{
    QImage::Format format = QImage::Format_Invalid;
    switch (bitsPerPixel) {
    case 24: format = QImage::Format_RGB888; break;
    case 8: format = QImage::Format_Grayscale8; break;
    case 1: format = QImage::Format_Mono; break;
    default: return QImage();
    }
    if (!started() || rows == 0)
        return QImage();
    QImage image(width, rows, format);
    if (format == QImage::Format_Mono)
        image.setColorTable({ qRgb(0, 0, 0), qRgb(255, 255, 255) }); // 0 is black (TWPF_CHOCOLATE)
    for (int y = 0; y < rows; ++y)
        std::memcpy(image.scanLine(y), pixels.data() + std::size_t(y) * rowBytes, std::size_t(rowBytes));
    return image;
}

void MemoryAssembler::clear()
{
    width = bitsPerPixel = rowBytes = rows = 0;
    pixels.clear();
}

} // namespace ScannedPage
