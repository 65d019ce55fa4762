// Page images of the virtual scanners, held as packed DIBs (BITMAPINFOHEADER, palette,
// bottom-up rows padded to 4 bytes), and their conversions to what each transfer hands out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace twaindsm {

struct DibLayout {
    int width = 0;
    int height = 0;
    int bitCount = 0;        // 1, 8 or 24
    uint32_t colours = 0;    // palette entries
    size_t pixelOffset = 0;  // from the start of the DIB
    size_t stride = 0;       // bytes per stored row, padded to 4
    size_t size = 0;         // whole DIB
    double xDpi = 0;
    double yDpi = 0;

    size_t packedRowBytes() const { return (static_cast<size_t>(width) * bitCount + 7) / 8; }
};

bool readDibLayout(const uint8_t *dib, size_t size, DibLayout &layout);
// The layout of an uncompressed DIB of this size and depth, and its header with the palette
// (grey ramp; 1 bit: 0 black, 1 white) written at the start of `dib`.
DibLayout dibLayout(int width, int height, int bitCount, double dpi);
void writeDibHeader(uint8_t *dib, const DibLayout &layout);

// An answer sheet of the given size and depth, white with a frame, a tinted header band and
// rows of answer boxes. The page number is not on it: stampPageNumber adds it to each copy.
std::vector<uint8_t> renderAnswerSheet(int width, int height, int bitCount, double dpi);

// Draws the page number twice into a copy of an answer sheet: as large seven-segment digits and
// as a machine-readable code of 16 cells (see README.md), so tests can read it back.
void stampPageNumber(uint8_t *dib, const DibLayout &layout, int pageNumber);
// Reads the code written by stampPageNumber from rows in TWAIN order (top-down, RGB); -1 if unreadable.
int readPageNumber(const std::vector<uint8_t> &topDownRows, int width, int height, int bitCount, double dpi);

// Answer sheets are rendered once per format and shared by every page of that format.
std::shared_ptr<const std::vector<uint8_t>> cachedAnswerSheet(int width, int height, int bitCount, double dpi);

// One row, top-down index, as TWAIN memory transfers carry it: packed, RGB order.
void copyTwainRow(const uint8_t *dib, const DibLayout &layout, int row, uint8_t *out);
std::vector<uint8_t> dibToBmpFile(const uint8_t *dib, const DibLayout &layout);
std::vector<uint8_t> dibToTiff(const uint8_t *dib, const DibLayout &layout);

// Loads an uncompressed 1-, 8- or 24-bit BMP file as a DIB.
bool loadBmpFile(const std::string &path, std::vector<uint8_t> &dib, std::string &error);

} // namespace twaindsm
