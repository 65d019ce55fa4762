#pragma once

#include <twain.h>

#include <QByteArray>
#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

// Turns what a data source hands over into a page image, whatever the transfer mechanism:
// a native handle (a packed DIB, or on Linux a whole TIFF file as the standard has it there),
// memory strips, or the bytes of an image file.
namespace ScannedPage {

// The native image behind a locked handle: the decoded page and, for "saveorigin", the file
// to keep (a BMP file around a DIB; empty for a TIFF, which is kept as a BMP of the page).
// A null image comes with the problem, in words for the log.
struct NativeImage {
    QImage image;
    QByteArray bmpFile;
    QString problem;
};
// `size`: the bytes behind `data` (0: unknown, then only the image's own header bounds it).
// Nothing beyond `size` is read, whatever the image's header claims.
NativeImage decodeNative(const void* data, std::size_t size);

// The 14-byte file header followed by the DIB: a BMP file as the DIB's header describes it
// (40-byte, V4 and V5 headers, colour masks, palettes). Empty when the header's sizes do not
// fit in `size` bytes (0: unknown); `problem` then says why.
QByteArray bmpFileFromDib(const void* dib, std::size_t size, QString* problem = nullptr);
// Only the 14-byte file header of that file, with the same checks; *dibSize gets the DIB's
// byte count.
QByteArray bmpFileHeader(const void* dib, std::size_t size, std::uint32_t* dibSize, QString* problem = nullptr);
// Why a native page cannot be a page, from its header alone (cheap enough for the GUI thread);
// empty when nothing is wrong with it so far.
QString nativeProblem(const void* data, std::size_t size);
bool isTiff(const void* data, std::size_t size = 4);
// Bytes a TIFF file in memory spans (header, first directory and every block it points at),
// at most `size`; 0 when it is not a TIFF this can measure.
std::size_t tiffExtent(const void* data, std::size_t size);

// Collects the strips of a memory transfer into one page: uncompressed black and white, 8- or
// 16-bit grey, 24- or 48-bit colour (16-bit samples in Intel byte order).
class MemoryAssembler {
public:
    void start(const TW_IMAGEINFO& info);
    // A strip whose rows do not fit in its block or in the image spoils the page.
    void add(const TW_IMAGEMEMXFER& block);
    // The page so far; null when the layout is not one this can show or a strip was bad.
    QImage finish() const;
    // Why finish() gives no page, in words for the log.
    QString problem() const;
    bool started() const { return width > 0; }
    void clear();

    // The rows as they arrived: top-down, `rowBytes()` apart, unpadded.
    const std::vector<unsigned char>& rowData() const { return pixels; }
    int pageWidth() const { return width; }
    int pageRows() const { return rows; }
    int pixelBits() const { return bitsPerPixel; }
    int rowBytesCount() const { return rowBytes; }

private:
    void spoil(const QString& why);

    int width = 0;
    int bitsPerPixel = 0;
    int pixelType = 0;
    int compression = 0;
    int imageLength = -1;
    int rowBytes = 0;
    int rows = 0;
    QString failure;
    std::vector<unsigned char> pixels;
};

} // namespace ScannedPage
