// What every kind of source does with a page once it exists as a DIB: hand it out in blocks
// (memory and memory-file transfers), write it as a file, and keep the file transfer set-up.
#pragma once

#include "page_image.h"
#include "twain.h"

#include <cstdint>
#include <string>
#include <vector>

namespace twaindsm {

// DAT_SETUPMEMXFER for pages whose rows take `rowBytes`: about a megabyte a block, in whole rows.
void describeMemXfer(TW_SETUPMEMXFER *setup, size_t rowBytes);
// DAT_IMAGEINFO of an uncompressed chocolate page of 1, 8 or 24 bits a pixel; `length` may be -1.
void describeImage(TW_IMAGEINFO *info, int width, int length, int bitCount, double xDpi, double yDpi);
// DAT_IMAGELAYOUT (MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT) of a source in `state`: the frame in
// inches (left, top, right, bottom). TWRC_FAILURE with the condition code in `conditionCode`.
uint16_t answerImageLayout(uint16_t msg, TW_IMAGELAYOUT *layout, int state, const double frame[4], uint32_t pageNumber,
                           uint16_t &conditionCode);

// The page as an image file: TIFF for TWFF_TIFF, else BMP.
std::vector<uint8_t> imageFile(const uint8_t *dib, const DibLayout &layout, uint16_t format);
// The page as a TIFF file in a handle of the platform (a native transfer's); null when memory
// runs out.
TW_HANDLE tiffHandle(const uint8_t *dib, const DibLayout &layout);
// Writes it; false when the file cannot be written.
bool writeImageFile(const std::string &path, const uint8_t *dib, const DibLayout &layout, uint16_t format);
// Creates or truncates the file at `path` to no bytes.
bool writeEmptyFile(const std::string &path);

// One image served block by block: DAT_IMAGEMEMXFER carries packed top-down rows in RGB order,
// DAT_IMAGEMEMFILEXFER the bytes of a BMP or TIFF file.
class BlockTransfer {
public:
    BlockTransfer() = default;
    ~BlockTransfer() { clear(); }
    BlockTransfer(const BlockTransfer &) = delete;
    BlockTransfer &operator=(const BlockTransfer &) = delete;

    // Takes over a DIB allocated with malloc.
    void start(uint8_t *dib, const DibLayout &layout, bool asFile, uint16_t fileFormat);
    bool active() const { return active_; }
    // Fills the application's block: TWRC_SUCCESS while more follow, TWRC_XFERDONE with the last
    // one, TWRC_FAILURE with the condition code in `conditionCode`.
    uint16_t next(TW_IMAGEMEMXFER *block, uint16_t &conditionCode);
    void clear();

private:
    uint16_t fill(TW_IMAGEMEMXFER *block, uint8_t *memory, uint16_t &conditionCode);

    uint8_t *dib_ = nullptr;
    DibLayout layout_;
    std::vector<uint8_t> file_;
    size_t offset_ = 0; // bytes of the file, or rows of the image, already handed out
    bool asFile_ = false;
    bool active_ = false;
};

// DAT_SETUPFILEXFER: the file the next file transfer writes, chosen by the application or the
// source's default (a file in the temporary folder named after the process and the source).
class FileXferSetup {
public:
    // Answers the triplet in source state `state`; TWRC_FAILURE with the condition code in `conditionCode`.
    uint16_t handle(uint16_t msg, TW_SETUPFILEXFER *setup, int state, uint32_t sourceId, uint16_t defaultFormat,
                    uint16_t &conditionCode);
    TW_SETUPFILEXFER current(uint32_t sourceId, uint16_t defaultFormat) const;

private:
    static TW_SETUPFILEXFER standard(uint32_t sourceId, uint16_t format);

    TW_SETUPFILEXFER chosen_{};
    bool isChosen_ = false;
};

} // namespace twaindsm
