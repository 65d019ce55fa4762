#pragma once

#include <twain.h>

#include <QByteArray>
#include <QImage>

#include <cstddef>
#include <cstdint>
#include <vector>

// Turns what a data source hands over into a page image, whatever the transfer mechanism:
// a native handle (a packed DIB, or on Linux a whole TIFF file as the standard has it there),
// memory strips, or the bytes of an image file.
namespace ScannedPage {

// The native image behind a locked handle: the decoded page and, for "saveorigin", the file
// to keep (a BMP file around a DIB; empty for a TIFF, which is kept as a BMP of the page).
struct NativeImage {
    QImage image;
    QByteArray bmpFile;
};
NativeImage decodeNative(const void* data);

// The 14-byte file header followed by the DIB: a BMP file as the DIB's header describes it.
QByteArray bmpFileFromDib(const void* dib);
// Only the 14-byte file header of that file; *dibSize gets the DIB's byte count.
QByteArray bmpFileHeader(const void* dib, std::uint32_t* dibSize);
bool isTiff(const void* data);
// Bytes a TIFF file in memory spans (header, first directory and every block it points at);
// 0 when it is not a TIFF this can measure.
std::size_t tiffExtent(const void* data);

// Collects the strips of a memory transfer into one page.
class MemoryAssembler {
public:
    void start(const TW_IMAGEINFO& info);
    void add(const TW_IMAGEMEMXFER& block);
    // The page so far; null when the pixel layout is not one this can show.
    QImage finish() const;
    bool started() const { return width > 0; }
    void clear();

    // The rows as they arrived: top-down, `rowBytes()` apart, unpadded.
    const std::vector<unsigned char>& rowData() const { return pixels; }
    int pageWidth() const { return width; }
    int pageRows() const { return rows; }
    int pixelBits() const { return bitsPerPixel; }
    int rowBytesCount() const { return rowBytes; }

private:
    int width = 0;
    int bitsPerPixel = 0;
    int rowBytes = 0;
    int rows = 0;
    std::vector<unsigned char> pixels;
};

} // namespace ScannedPage
