// Reads back what the virtual scanners put on a page: size, depth and the page-number code
// (16 cells of 4 mm from (10 mm, 10 mm), most significant bit first, black = 1).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct PageImage {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    double dpi = 0;
    std::vector<uint8_t> rows; // top-down, packed rows, RGB order

    size_t rowBytes() const { return (static_cast<size_t>(width) * bitCount + 7) / 8; }

    int pageNumber() const
    {
        if (rows.size() < rowBytes() * height)
            return -1;
        int number = 0;
        for (int bit = 0; bit < 16; ++bit) {
            const int x = static_cast<int>((10 + (bit + 0.5) * 4) * dpi / 25.4);
            const int y = static_cast<int>((10 + 2) * dpi / 25.4);
            const uint8_t *line = rows.data() + rowBytes() * y;
            int level = bitCount == 24 ? (line[x * 3] + line[x * 3 + 1] + line[x * 3 + 2]) / 3
                      : bitCount == 8  ? line[x]
                                       : ((line[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0);
            number = (number << 1) | (level < 128 ? 1 : 0);
        }
        return number;
    }
};

inline uint32_t readU32(const uint8_t *p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint16_t readU16(const uint8_t *p) { uint16_t v; std::memcpy(&v, p, 2); return v; }

// A packed DIB: BITMAPINFOHEADER, palette, bottom-up rows padded to 4 bytes.
inline bool decodeDib(const uint8_t *dib, size_t size, PageImage &image)
{
    if (size < 40 || readU32(dib) != 40)
        return false;
    image.width = static_cast<int32_t>(readU32(dib + 4));
    image.height = static_cast<int32_t>(readU32(dib + 8));
    image.bitCount = readU16(dib + 14);
    image.dpi = std::round(static_cast<int32_t>(readU32(dib + 24)) / 39.3700787);
    const uint32_t colours = readU32(dib + 32) ? readU32(dib + 32) : (image.bitCount <= 8 ? 1u << image.bitCount : 0);
    const size_t stride = ((static_cast<size_t>(image.width) * image.bitCount + 31) / 32) * 4;
    const size_t offset = 40 + 4 * colours;
    if (size < offset + stride * image.height)
        return false;
    image.rows.resize(image.rowBytes() * image.height);
    for (int row = 0; row < image.height; ++row) {
        const uint8_t *in = dib + offset + stride * (image.height - 1 - row);
        uint8_t *out = image.rows.data() + image.rowBytes() * row;
        if (image.bitCount == 24) {
            for (int x = 0; x < image.width; ++x) {
                out[3 * x] = in[3 * x + 2];
                out[3 * x + 1] = in[3 * x + 1];
                out[3 * x + 2] = in[3 * x];
            }
        } else {
            std::memcpy(out, in, image.rowBytes());
        }
    }
    return true;
}

inline bool decodeBmpFile(const std::vector<uint8_t> &file, PageImage &image)
{
    return file.size() > 14 && file[0] == 'B' && file[1] == 'M' && readU32(file.data() + 2) == file.size()
        && decodeDib(file.data() + 14, file.size() - 14, image);
}

// Baseline little-endian TIFF with one uncompressed strip, as the scanners write it.
inline bool decodeTiff(const std::vector<uint8_t> &file, PageImage &image)
{
    if (file.size() < 8 || file[0] != 'I' || file[1] != 'I' || readU16(file.data() + 2) != 42)
        return false;
    const uint8_t *ifd = file.data() + readU32(file.data() + 4);
    const int entries = readU16(ifd);
    uint32_t stripOffset = 0, samples = 1, bits = 1, xResOffset = 0;
    for (int i = 0; i < entries; ++i) {
        const uint8_t *e = ifd + 2 + 12 * i;
        const uint16_t tag = readU16(e), type = readU16(e + 2);
        const uint32_t count = readU32(e + 4);
        const uint32_t value = type == 3 && count == 1 ? readU16(e + 8) : readU32(e + 8);
        switch (tag) {
        case 256: image.width = static_cast<int>(value); break;
        case 257: image.height = static_cast<int>(value); break;
        case 258: bits = count == 1 ? value : readU16(file.data() + value); break;
        case 273: stripOffset = value; break;
        case 277: samples = value; break;
        case 282: xResOffset = value; break;
        default: break;
        }
    }
    image.bitCount = static_cast<int>(bits * samples);
    image.dpi = xResOffset ? static_cast<double>(readU32(file.data() + xResOffset)) / readU32(file.data() + xResOffset + 4) : 0;
    const size_t size = image.rowBytes() * image.height;
    if (stripOffset + size > file.size())
        return false;
    image.rows.assign(file.begin() + stripOffset, file.begin() + stripOffset + size);
    return true;
}

inline std::vector<uint8_t> readWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
