#include "scanning/rawpage.h"

#include "scanning/pagejpegencoder.h"
#include "scanning/twaindsm_library.h"
#include "scanning/twainsession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

QString unreadableFile(const QString& name)
{
    return QStringLiteral("the transferred file cannot be read: ") + name;
}

QString emptyFile(const QString& name)
{
    return QStringLiteral("the transferred file is empty: ") + name;
}

// A name not taken beside our transfer file: "vellox-transfer.bmp" becomes
// "vellox-transfer-7.bmp" (a number taken by a file an earlier run left is skipped).
QString asideName(const QString& path)
{
    static int serial = 0;  // GUI thread
    const QFileInfo info(path);
    const QString stem = info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('-');
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    QString name;
    do
        name = stem + QString::number(++serial) + suffix;
    while (QFileInfo::exists(name));
    return name;
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
    , transferPath(std::exchange(other.transferPath, QString()))
    , transferName(std::exchange(other.transferName, QString()))
    , ownTransferFile(std::exchange(other.ownTransferFile, false))
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
        transferPath = std::exchange(other.transferPath, QString());
        transferName = std::exchange(other.transferName, QString());
        ownTransferFile = std::exchange(other.ownTransferFile, false);
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

int KELRawPage::removeLeftoverTransferFiles(const QString& folder, const QDateTime& before)
{
    int removed = 0;
    const QString pattern = QLatin1String(CTWAINSession::kTransferFileStem) + QLatin1Char('*');
    for (const QFileInfo& file : QDir(folder).entryInfoList({ pattern }, QDir::Files | QDir::Hidden)) {
        if (file.lastModified() < before && QFile::remove(file.filePath()))
            ++removed;
    }
    return removed;
}

KELRawPage KELRawPage::fromTransferFile(const QString& path, bool ownFile, QString* problem)
{
    KELRawPage page;
    QString readPath = path;
    if (ownFile) {
        const QString aside = asideName(path);
        if (!QFile::exists(path) || !QFile::rename(path, aside)) {
            *problem = unreadableFile(path);
            return page;
        }
        readPath = aside;
    }
    page.kind = Kind::File;
    page.transferPath = readPath;
    page.transferName = path;
    page.ownTransferFile = ownFile;
    // What the file's entry tells is known before the page takes a number; its bytes are the pool's.
    const QFileInfo info(readPath);
    if (!info.isFile() || !info.isReadable())
        *problem = unreadableFile(path);
    else if (info.size() == 0)
        *problem = emptyFile(path);
    return page;
}

void KELRawPage::release()
{
    if (handle)
        TwainDsmLibrary::freeMemory(handle);
    handle = nullptr;
    memory.clear();
    fileBytes.clear();
    if (ownTransferFile)
        QFile::remove(transferPath);
    transferPath.clear();
    transferName.clear();
    ownTransferFile = false;
    kind = Kind::None;
}

QByteArray KELRawPage::readTransferFile(QString* problem) const
{
    QFile file(transferPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = unreadableFile(transferName);
        return QByteArray();
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *problem = unreadableFile(transferName);
        return QByteArray();
    }
    if (bytes.isEmpty())
        *problem = emptyFile(transferName);
    return bytes;
}

QByteArray KELRawPage::encodeDib(const unsigned char* dib, std::size_t available, const QString& originPath,
                                 QString* problem) const
{
    KELJpegEncoder::Rows rows;
    if (directRows(dib, available, &rows)) {
        if (!originPath.isEmpty()) {
            std::uint32_t dibSize = 0;
            const QByteArray header = ScannedPage::bmpFileHeader(dib, available, &dibSize);
            if (!header.isEmpty())
                writeFile(originPath, header, reinterpret_cast<const char*>(dib), qint64(dibSize));
        }
        return KELJpegEncoder::encode(rows);
    }
    const ScannedPage::NativeImage decoded = ScannedPage::decodeNative(dib, available);
    if (decoded.image.isNull()) {
        *problem = decoded.problem;
        return QByteArray();
    }
    if (!originPath.isEmpty()) {
        if (!decoded.bmpFile.isEmpty())
            writeFile(originPath, decoded.bmpFile);
        else
            saveDecoded(originPath, decoded.image);
    }
    return KELJpegEncoder::encode(decoded.image);
}

QByteArray KELRawPage::encodeJpeg(const QString& originPath, QString* problemOut) const
{
    QString problem;
    const QByteArray jpeg = encode(originPath, &problem);
    if (jpeg.isEmpty() && problemOut)
        *problemOut = problem.isEmpty() ? QStringLiteral("the JPEG encoder refused the page") : problem;
    return jpeg;
}

QByteArray KELRawPage::encode(const QString& originPath, QString* problem) const
{
    switch (kind) {
    case Kind::None:
        *problem = QStringLiteral("no image data arrived");
        return QByteArray();
    case Kind::Native: {
        const auto* data = static_cast<const unsigned char*>(TwainDsmLibrary::lockMemory(handle));
        if (!data) {
            *problem = QStringLiteral("the image handle cannot be locked");
            return QByteArray();
        }
        const QByteArray jpeg = encodeDib(data, TwainDsmLibrary::memorySize(handle), originPath, problem);
        TwainDsmLibrary::unlockMemory(handle);
        return jpeg;
    }
    case Kind::Memory: {
        const int bits = memory.pixelBits();
        if ((bits == 24 || bits == 8) && memory.problem().isEmpty() && originPath.isEmpty()) {
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
        if (image.isNull()) {
            *problem = memory.problem();
            return QByteArray();
        }
        if (!originPath.isEmpty())
            saveDecoded(originPath, image);
        return KELJpegEncoder::encode(image);
    }
    case Kind::File: {
        if (transferPath.isEmpty())
            return encodeFile(fileBytes, originPath, problem);
        const QByteArray bytes = readTransferFile(problem);
        return bytes.isEmpty() ? QByteArray() : encodeFile(bytes, originPath, problem);
    }
    }
    return QByteArray();
}

QByteArray KELRawPage::encodeFile(const QByteArray& bytes, const QString& originPath, QString* problem) const
{
    if (bytes.startsWith("BM") && bytes.size() > kBmpFileHeaderSize) {
        KELJpegEncoder::Rows rows;
        const auto* dib = reinterpret_cast<const unsigned char*>(bytes.constData()) + kBmpFileHeaderSize;
        const auto* file = reinterpret_cast<const unsigned char*>(bytes.constData());
        // The rows must start where the file header says, right after the palette.
        if (directRows(dib, std::size_t(bytes.size() - kBmpFileHeaderSize), &rows)
            && std::uint32_t(rows.data - file) == le32(file + 10)) {
            if (!originPath.isEmpty())
                writeFile(originPath, bytes);
            return KELJpegEncoder::encode(rows);
        }
    }
    const QImage image = QImage::fromData(bytes);
    if (image.isNull()) {
        *problem = QStringLiteral("a transferred file of %1 bytes that is no image this agent reads").arg(bytes.size());
        return QByteArray();
    }
    if (!originPath.isEmpty()) {
        if (bytes.startsWith("BM"))
            writeFile(originPath, bytes);
        else
            saveDecoded(originPath, image);
    }
    return KELJpegEncoder::encode(image);
}
