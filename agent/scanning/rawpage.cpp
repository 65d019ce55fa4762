#include "scanning/rawpage.h"

#include "scanning/pagejpegencoder.h"
#include "scanning/twaindsm_library.h"

#include <QFile>
#include <QImage>

#include <cstdint>
#include <cstdlib>
#include <utility>

namespace {

constexpr int kBmpFileHeaderSize = 14;
constexpr std::uint32_t kBiRgb = 0;

std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint16_t le16(const unsigned char* p)
{
    return std::uint16_t(p[0] | p[1] << 8);
}

// What Qt gives an image that states no resolution of its own.
int defaultDotsPerMeter()
{
    static const int value = QImage(1, 1, QImage::Format_Mono).dotsPerMeterX();
    return value;
}

// The rows of an uncompressed 24-bit DIB, or of an 8-bit one whose palette maps every index to
// that grey, as TurboJPEG takes them; false for every other layout, and for a header that
// claims more rows than `available` bytes hold.
bool directRows(const unsigned char* dib, std::size_t available, KELJpegEncoder::Rows* rows)
{
    constexpr std::uint32_t kInfoHeader = 40, kV4Header = 108, kV5Header = 124;
    if (available < kInfoHeader)
        return false;
    const std::uint32_t headerSize = le32(dib);
    if (headerSize != kInfoHeader && headerSize != kV4Header && headerSize != kV5Header)
        return false;
    if (available < headerSize)
        return false;
    const std::int32_t width = std::int32_t(le32(dib + 4));
    const std::int32_t height = std::int32_t(le32(dib + 8));
    const std::uint16_t planes = le16(dib + 12);
    const std::uint16_t bitCount = le16(dib + 14);
    if (le32(dib + 16) != kBiRgb || planes != 1 || width <= 0 || height == 0 || height == INT32_MIN)
        return false;
    std::uint32_t colours = le32(dib + 32);
    KELJpegEncoder::Pixels pixels = KELJpegEncoder::Pixels::Bgr;
    if (bitCount == 24) {
        if (colours != 0)
            return false;
    } else if (bitCount == 8) {
        if (colours == 0)
            colours = 256;
        if (colours != 256 || available < headerSize + 4u * colours)
            return false;
        const unsigned char* palette = dib + headerSize;
        for (std::uint32_t i = 0; i < colours; ++i) {
            const unsigned char* entry = palette + 4 * i;
            if (entry[0] != i || entry[1] != i || entry[2] != i)
                return false;
        }
        pixels = KELJpegEncoder::Pixels::Grey;
    } else {
        return false;
    }
    const std::uint64_t pitch = (std::uint64_t(bitCount) * std::uint32_t(width) + 31) / 32 * 4;
    const std::uint64_t lines = std::uint64_t(std::abs(std::int64_t(height)));
    const std::uint64_t offset = headerSize + 4ull * (bitCount == 8 ? colours : 0);
    if (pitch > INT32_MAX || lines > INT32_MAX || offset + pitch * lines > available)
        return false;
    rows->data = dib + offset;
    rows->width = width;
    rows->height = int(lines);
    rows->pitch = int(pitch);
    rows->pixels = pixels;
    rows->bottomUp = height > 0;
    const std::int32_t dpmX = std::int32_t(le32(dib + 24));
    const std::int32_t dpmY = std::int32_t(le32(dib + 28));
    rows->dotsPerMeterX = dpmX > 0 ? dpmX : defaultDotsPerMeter();
    rows->dotsPerMeterY = dpmY > 0 ? dpmY : defaultDotsPerMeter();
    return true;
}

void writeFile(const QString& path, const QByteArray& head, const char* data = nullptr, qint64 size = 0)
{
    QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(head);
    if (data && size > 0)
        file.write(data, size);
}

void saveDecoded(const QString& path, const QImage& image)
{
    QFile::remove(path);
    if (!image.isNull())
        image.save(path, "BMP");
}

} // namespace

KELRawPage::~KELRawPage()
{
    release();
}

KELRawPage::KELRawPage(KELRawPage&& other) noexcept
    : kind(std::exchange(other.kind, Kind::None))
    , handle(std::exchange(other.handle, nullptr))
    , memory(std::move(other.memory))
    , fileBytes(std::move(other.fileBytes))
{
}

KELRawPage& KELRawPage::operator=(KELRawPage&& other) noexcept
{
    if (this != &other) {
        release();
        kind = std::exchange(other.kind, Kind::None);
        handle = std::exchange(other.handle, nullptr);
        memory = std::move(other.memory);
        fileBytes = std::move(other.fileBytes);
    }
    return *this;
}

KELRawPage KELRawPage::fromNativeHandle(TW_HANDLE handle)
{
    KELRawPage page;
    if (handle) {
        page.kind = Kind::Native;
        page.handle = handle;
    }
    return page;
}

KELRawPage KELRawPage::fromMemory(ScannedPage::MemoryAssembler&& assembled)
{
    KELRawPage page;
    page.kind = Kind::Memory;
    page.memory = std::move(assembled);
    return page;
}

KELRawPage KELRawPage::fromFileBytes(QByteArray bytes)
{
    KELRawPage page;
    page.kind = Kind::File;
    page.fileBytes = std::move(bytes);
    return page;
}

void KELRawPage::release()
{
    if (handle)
        TwainDsmLibrary::freeMemory(handle);
    handle = nullptr;
    memory.clear();
    fileBytes.clear();
    kind = Kind::None;
}

QByteArray KELRawPage::encodeDib(const unsigned char* dib, std::size_t available, const QString& originPath) const
{
    KELJpegEncoder::Rows rows;
    if (directRows(dib, available, &rows)) {
        if (!originPath.isEmpty()) {
            std::uint32_t dibSize = 0;
            const QByteArray header = ScannedPage::bmpFileHeader(dib, &dibSize);
            writeFile(originPath, header, reinterpret_cast<const char*>(dib), qint64(std::min<std::size_t>(dibSize, available)));
        }
        return KELJpegEncoder::encode(rows);
    }
    const ScannedPage::NativeImage decoded = ScannedPage::decodeNative(dib);
    if (!originPath.isEmpty()) {
        if (!decoded.bmpFile.isEmpty())
            writeFile(originPath, decoded.bmpFile);
        else
            saveDecoded(originPath, decoded.image);
    }
    return KELJpegEncoder::encode(decoded.image);
}

QByteArray KELRawPage::encodeJpeg(const QString& originPath) const
{
    switch (kind) {
    case Kind::None:
        return QByteArray();
    case Kind::Native: {
        const auto* data = static_cast<const unsigned char*>(TwainDsmLibrary::lockMemory(handle));
        if (!data)
            return QByteArray();
        const QByteArray jpeg = encodeDib(data, TwainDsmLibrary::memorySize(handle), originPath);
        TwainDsmLibrary::unlockMemory(handle);
        return jpeg;
    }
    case Kind::Memory: {
        const int bits = memory.pixelBits();
        if ((bits == 24 || bits == 8) && memory.pageRows() > 0 && originPath.isEmpty()) {
            KELJpegEncoder::Rows rows;
            rows.data = memory.rowData().data();
            rows.width = memory.pageWidth();
            rows.height = memory.pageRows();
            rows.pitch = memory.rowBytesCount();
            rows.pixels = bits == 24 ? KELJpegEncoder::Pixels::Rgb : KELJpegEncoder::Pixels::Grey;
            rows.dotsPerMeterX = rows.dotsPerMeterY = defaultDotsPerMeter();
            return KELJpegEncoder::encode(rows);
        }
        const QImage image = memory.finish();
        if (!originPath.isEmpty())
            saveDecoded(originPath, image);
        return KELJpegEncoder::encode(image);
    }
    case Kind::File: {
        if (fileBytes.startsWith("BM") && fileBytes.size() > kBmpFileHeaderSize) {
            KELJpegEncoder::Rows rows;
            const auto* dib = reinterpret_cast<const unsigned char*>(fileBytes.constData()) + kBmpFileHeaderSize;
            const auto* file = reinterpret_cast<const unsigned char*>(fileBytes.constData());
            // The rows must start where the file header says, right after the palette.
            if (directRows(dib, std::size_t(fileBytes.size() - kBmpFileHeaderSize), &rows)
                && std::uint32_t(rows.data - file) == le32(file + 10)) {
                if (!originPath.isEmpty())
                    writeFile(originPath, fileBytes);
                return KELJpegEncoder::encode(rows);
            }
        }
        const QImage image = QImage::fromData(fileBytes);
        if (!originPath.isEmpty()) {
            if (fileBytes.startsWith("BM"))
                writeFile(originPath, fileBytes);
            else
                saveDecoded(originPath, image);
        }
        return KELJpegEncoder::encode(image);
    }
    }
    return QByteArray();
}
