#include "page_image.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <tuple>

namespace twaindsm {

namespace {

struct BitmapInfoHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};
static_assert(sizeof(BitmapInfoHeader) == 40, "BITMAPINFOHEADER is 40 bytes");

constexpr double kInchesPerMetre = 39.3700787;

enum class Ink { White, Black, Tint };

// Where the page number goes, in millimetres from the top-left corner.
constexpr double kCodeLeftMm = 10, kCodeTopMm = 10, kCodeCellMm = 4;
constexpr int kCodeCells = 16;
constexpr double kDigitsLeftMm = 10, kDigitsTopMm = 20, kDigitWidthMm = 10, kDigitHeightMm = 20,
                 kDigitGapMm = 4, kStrokeMm = 2;

// Draws filled rectangles into the pixels of a DIB, in top-down page coordinates.
class Painter {
public:
    Painter(uint8_t *dib, const DibLayout &layout) : pixels_(dib + layout.pixelOffset), layout_(layout) {}

    int px(double mm) const { return static_cast<int>(std::lround(mm * layout_.xDpi / 25.4)); }
    int py(double mm) const { return static_cast<int>(std::lround(mm * layout_.yDpi / 25.4)); }

    void fill(int x, int y, int w, int h, Ink ink)
    {
        const int x0 = std::max(0, x), y0 = std::max(0, y);
        const int x1 = std::min(layout_.width, x + w), y1 = std::min(layout_.height, y + h);
        for (int row = y0; row < y1; ++row) {
            uint8_t *line = pixels_ + static_cast<size_t>(layout_.height - 1 - row) * layout_.stride;
            switch (layout_.bitCount) {
            case 24: {
                // Stored blue, green, red.
                const uint8_t bgr[3] = {static_cast<uint8_t>(ink == Ink::Black ? 0 : ink == Ink::Tint ? 250 : 255),
                                        static_cast<uint8_t>(ink == Ink::Black ? 0 : ink == Ink::Tint ? 225 : 255),
                                        static_cast<uint8_t>(ink == Ink::Black ? 0 : ink == Ink::Tint ? 190 : 255)};
                for (int col = x0; col < x1; ++col)
                    std::memcpy(line + col * 3, bgr, 3);
                break;
            }
            case 8:
                if (x1 > x0)
                    std::memset(line + x0, ink == Ink::Black ? 0 : ink == Ink::Tint ? 215 : 255, x1 - x0);
                break;
            default: // 1 bit: palette 0 black, 1 white; a tint is white on paper without grey.
                for (int col = x0; col < x1; ++col) {
                    const uint8_t mask = static_cast<uint8_t>(0x80 >> (col & 7));
                    if (ink == Ink::Black)
                        line[col >> 3] &= static_cast<uint8_t>(~mask);
                    else
                        line[col >> 3] |= mask;
                }
                break;
            }
        }
    }

    void fillMm(double x, double y, double w, double h, Ink ink)
    {
        fill(px(x), py(y), std::max(1, px(w)), std::max(1, py(h)), ink);
    }

    void outlineMm(double x, double y, double w, double h, double stroke)
    {
        fillMm(x, y, w, stroke, Ink::Black);
        fillMm(x, y + h - stroke, w, stroke, Ink::Black);
        fillMm(x, y, stroke, h, Ink::Black);
        fillMm(x + w - stroke, y, stroke, h, Ink::Black);
    }

private:
    uint8_t *pixels_;
    const DibLayout &layout_;
};

void putU16(std::vector<uint8_t> &out, size_t at, uint16_t value) { std::memcpy(&out[at], &value, 2); }
void putU32(std::vector<uint8_t> &out, size_t at, uint32_t value) { std::memcpy(&out[at], &value, 4); }

} // namespace

DibLayout dibLayout(int width, int height, int bitCount, double dpi)
{
    DibLayout layout;
    layout.width = width;
    layout.height = height;
    layout.bitCount = bitCount;
    layout.colours = bitCount <= 8 ? (1u << bitCount) : 0;
    layout.pixelOffset = sizeof(BitmapInfoHeader) + 4 * layout.colours;
    layout.stride = ((static_cast<size_t>(width) * bitCount + 31) / 32) * 4;
    layout.size = layout.pixelOffset + layout.stride * height;
    layout.xDpi = layout.yDpi = dpi;
    return layout;
}

void writeDibHeader(uint8_t *dib, const DibLayout &layout)
{
    BitmapInfoHeader header{};
    header.biSize = sizeof header;
    header.biWidth = layout.width;
    header.biHeight = layout.height;
    header.biPlanes = 1;
    header.biBitCount = static_cast<uint16_t>(layout.bitCount);
    header.biSizeImage = static_cast<uint32_t>(layout.stride * layout.height);
    header.biXPelsPerMeter = static_cast<int32_t>(std::lround(layout.xDpi * kInchesPerMetre));
    header.biYPelsPerMeter = static_cast<int32_t>(std::lround(layout.yDpi * kInchesPerMetre));
    header.biClrUsed = layout.colours;
    std::memcpy(dib, &header, sizeof header);
    // Grey ramp palette: index 0 black, the last index white (1 bit: 0 black, 1 white).
    for (uint32_t i = 0; i < layout.colours; ++i) {
        const uint8_t level = static_cast<uint8_t>(layout.colours == 2 ? i * 255 : i);
        const uint8_t entry[4] = {level, level, level, 0};
        std::memcpy(dib + sizeof header + 4 * i, entry, 4);
    }
}

bool readDibLayout(const uint8_t *dib, size_t size, DibLayout &layout)
{
    if (!dib || size < sizeof(BitmapInfoHeader))
        return false;
    BitmapInfoHeader header;
    std::memcpy(&header, dib, sizeof header);
    if (header.biSize < sizeof header || header.biCompression != 0 || header.biWidth <= 0 || header.biHeight <= 0
        || (header.biBitCount != 1 && header.biBitCount != 8 && header.biBitCount != 24))
        return false;
    layout.width = header.biWidth;
    layout.height = header.biHeight;
    layout.bitCount = header.biBitCount;
    layout.colours = header.biBitCount <= 8 ? (header.biClrUsed ? header.biClrUsed : (1u << header.biBitCount)) : header.biClrUsed;
    layout.pixelOffset = header.biSize + 4 * static_cast<size_t>(layout.colours);
    layout.stride = ((static_cast<size_t>(layout.width) * layout.bitCount + 31) / 32) * 4;
    layout.size = layout.pixelOffset + layout.stride * layout.height;
    layout.xDpi = header.biXPelsPerMeter > 0 ? std::round(header.biXPelsPerMeter / kInchesPerMetre) : 200;
    layout.yDpi = header.biYPelsPerMeter > 0 ? std::round(header.biYPelsPerMeter / kInchesPerMetre) : 200;
    return layout.size <= size;
}

std::vector<uint8_t> renderAnswerSheet(int width, int height, int bitCount, double dpi)
{
    const DibLayout layout = dibLayout(width, height, bitCount, dpi);
    std::vector<uint8_t> dib(layout.size, 0xff);
    writeDibHeader(dib.data(), layout);

    Painter paint(dib.data(), layout);
    const double pageW = width * 25.4 / dpi, pageH = height * 25.4 / dpi;
    paint.outlineMm(5, 5, pageW - 10, pageH - 10, 0.6);
    paint.fillMm(80, 12, pageW - 90, 28, Ink::Tint);   // title band beside the page number
    paint.outlineMm(80, 12, pageW - 90, 28, 0.4);
    // Answer rows: four columns of questions, each with four boxes A to D.
    const double columnWidth = (pageW - 20) / 4;
    for (double y = 55; y + 6 < pageH - 15; y += 9) {
        for (int column = 0; column < 4; ++column) {
            const double x = 10 + column * columnWidth;
            paint.fillMm(x, y + 1, 3, 3, Ink::Black);
            for (int box = 0; box < 4; ++box)
                paint.outlineMm(x + 6 + box * 8, y, 6, 5, 0.3);
        }
    }
    return dib;
}

void stampPageNumber(uint8_t *dib, const DibLayout &layout, int pageNumber)
{
    Painter paint(dib, layout);
    for (int bit = 0; bit < kCodeCells; ++bit) {
        if (pageNumber & (1 << (kCodeCells - 1 - bit))) {
            const int x0 = paint.px(kCodeLeftMm + bit * kCodeCellMm), x1 = paint.px(kCodeLeftMm + (bit + 1) * kCodeCellMm);
            const int y0 = paint.py(kCodeTopMm), y1 = paint.py(kCodeTopMm + kCodeCellMm);
            paint.fill(x0, y0, x1 - x0, y1 - y0, Ink::Black);
        }
    }
    // Seven segments a b c d e f g per digit.
    static const uint8_t kSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};
    const std::string digits = std::to_string(pageNumber);
    const double w = kDigitWidthMm, h = kDigitHeightMm, s = kStrokeMm;
    for (size_t i = 0; i < digits.size() && i < 4; ++i) {
        const double x = kDigitsLeftMm + i * (w + kDigitGapMm), y = kDigitsTopMm;
        const uint8_t on = kSegments[digits[i] - '0'];
        if (on & 0x01) paint.fillMm(x, y, w, s, Ink::Black);
        if (on & 0x02) paint.fillMm(x + w - s, y, s, h / 2, Ink::Black);
        if (on & 0x04) paint.fillMm(x + w - s, y + h / 2, s, h / 2, Ink::Black);
        if (on & 0x08) paint.fillMm(x, y + h - s, w, s, Ink::Black);
        if (on & 0x10) paint.fillMm(x, y + h / 2, s, h / 2, Ink::Black);
        if (on & 0x20) paint.fillMm(x, y, s, h / 2, Ink::Black);
        if (on & 0x40) paint.fillMm(x, y + (h - s) / 2, w, s, Ink::Black);
    }
}

int readPageNumber(const std::vector<uint8_t> &rows, int width, int height, int bitCount, double dpi)
{
    const size_t rowBytes = (static_cast<size_t>(width) * bitCount + 7) / 8;
    if (rows.size() < rowBytes * height)
        return -1;
    int number = 0;
    for (int bit = 0; bit < kCodeCells; ++bit) {
        const int x = static_cast<int>((kCodeLeftMm + (bit + 0.5) * kCodeCellMm) * dpi / 25.4);
        const int y = static_cast<int>((kCodeTopMm + 0.5 * kCodeCellMm) * dpi / 25.4);
        if (x >= width || y >= height)
            return -1;
        const uint8_t *line = rows.data() + rowBytes * y;
        int level = 0;
        if (bitCount == 24)
            level = (line[x * 3] + line[x * 3 + 1] + line[x * 3 + 2]) / 3;
        else if (bitCount == 8)
            level = line[x];
        else
            level = (line[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        number = (number << 1) | (level < 128 ? 1 : 0);
    }
    return number;
}

std::shared_ptr<const std::vector<uint8_t>> cachedAnswerSheet(int width, int height, int bitCount, double dpi)
{
    using Key = std::tuple<int, int, int, long>;
    static std::mutex mutex;
    static std::map<Key, std::shared_ptr<const std::vector<uint8_t>>> cache;
    const Key key{width, height, bitCount, std::lround(dpi * 100)};
    std::lock_guard<std::mutex> lock(mutex);
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    // A few formats at most are in use at once; a full A4 RGB page at 600 dpi is 100 MB.
    if (cache.size() >= 3)
        cache.clear();
    auto sheet = std::make_shared<const std::vector<uint8_t>>(renderAnswerSheet(width, height, bitCount, dpi));
    cache[key] = sheet;
    return sheet;
}

void copyTwainRow(const uint8_t *dib, const DibLayout &layout, int row, uint8_t *out)
{
    const uint8_t *line = dib + layout.pixelOffset + static_cast<size_t>(layout.height - 1 - row) * layout.stride;
    if (layout.bitCount == 24) {
        for (int col = 0; col < layout.width; ++col) {
            out[col * 3] = line[col * 3 + 2];
            out[col * 3 + 1] = line[col * 3 + 1];
            out[col * 3 + 2] = line[col * 3];
        }
    } else {
        std::memcpy(out, line, layout.packedRowBytes());
    }
}

std::vector<uint8_t> dibToBmpFile(const uint8_t *dib, const DibLayout &layout)
{
    std::vector<uint8_t> file(14 + layout.size);
    file[0] = 'B';
    file[1] = 'M';
    putU32(file, 2, static_cast<uint32_t>(file.size()));
    putU32(file, 6, 0);
    putU32(file, 10, static_cast<uint32_t>(14 + layout.pixelOffset));
    std::memcpy(file.data() + 14, dib, layout.size);
    return file;
}

std::vector<uint8_t> dibToTiff(const uint8_t *dib, const DibLayout &layout)
{
    // Baseline little-endian TIFF, one uncompressed strip.
    const int samples = layout.bitCount == 24 ? 3 : 1;
    const uint16_t bitsPerSample = static_cast<uint16_t>(layout.bitCount == 24 ? 8 : layout.bitCount);
    const size_t rowBytes = layout.packedRowBytes();
    const int entries = 12;
    const size_t ifdOffset = 8;
    const size_t extraOffset = ifdOffset + 2 + entries * 12 + 4; // bits per sample (RGB), resolutions
    const size_t dataOffset = extraOffset + 6 + 8 + 8;
    const size_t dataSize = rowBytes * layout.height;
    std::vector<uint8_t> out(dataOffset + dataSize, 0);
    out[0] = 'I';
    out[1] = 'I';
    putU16(out, 2, 42);
    putU32(out, 4, static_cast<uint32_t>(ifdOffset));
    putU16(out, ifdOffset, entries);
    size_t at = ifdOffset + 2;
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        putU16(out, at, tag);
        putU16(out, at + 2, type);
        putU32(out, at + 4, count);
        if (type == 3 && count == 1)
            putU16(out, at + 8, static_cast<uint16_t>(value));
        else
            putU32(out, at + 8, value);
        at += 12;
    };
    const uint16_t kShort = 3, kLong = 4, kRational = 5;
    entry(256, kLong, 1, static_cast<uint32_t>(layout.width));
    entry(257, kLong, 1, static_cast<uint32_t>(layout.height));
    if (samples == 3)
        entry(258, kShort, 3, static_cast<uint32_t>(extraOffset));
    else
        entry(258, kShort, 1, bitsPerSample);
    entry(259, kShort, 1, 1);                                   // no compression
    entry(262, kShort, 1, samples == 3 ? 2 : 1);                // RGB or black is zero
    entry(273, kLong, 1, static_cast<uint32_t>(dataOffset));
    entry(277, kShort, 1, static_cast<uint32_t>(samples));
    entry(278, kLong, 1, static_cast<uint32_t>(layout.height));
    entry(279, kLong, 1, static_cast<uint32_t>(dataSize));
    entry(282, kRational, 1, static_cast<uint32_t>(extraOffset + 6));
    entry(283, kRational, 1, static_cast<uint32_t>(extraOffset + 14));
    entry(296, kShort, 1, 2);                                   // inches
    putU32(out, at, 0);                                         // no further directory
    for (int i = 0; i < 3; ++i)
        putU16(out, extraOffset + 2 * i, 8);
    putU32(out, extraOffset + 6, static_cast<uint32_t>(std::lround(layout.xDpi)));
    putU32(out, extraOffset + 10, 1);
    putU32(out, extraOffset + 14, static_cast<uint32_t>(std::lround(layout.yDpi)));
    putU32(out, extraOffset + 18, 1);
    for (int row = 0; row < layout.height; ++row)
        copyTwainRow(dib, layout, row, out.data() + dataOffset + rowBytes * row);
    return out;
}

bool loadBmpFile(const std::string &path, std::vector<uint8_t> &dib, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return error = "cannot open " + path, false;
    std::ostringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    if (bytes.size() < 14 + sizeof(BitmapInfoHeader) || bytes[0] != 'B' || bytes[1] != 'M')
        return error = path + " is not a BMP file", false;
    dib.assign(bytes.begin() + 14, bytes.end());
    DibLayout layout;
    if (!readDibLayout(dib.data(), dib.size(), layout))
        return error = path + " is not an uncompressed 1-, 8- or 24-bit bottom-up BMP", false;
    uint32_t pixelOffset;
    std::memcpy(&pixelOffset, bytes.data() + 10, 4);
    if (pixelOffset != 14 + layout.pixelOffset)
        return error = path + " has a gap between its palette and its pixels", false;
    dib.resize(layout.size);
    return true;
}

} // namespace twaindsm
