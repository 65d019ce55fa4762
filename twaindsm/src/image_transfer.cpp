#include "image_transfer.h"

#include "capability.h"
#include "platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace twaindsm {

void describeMemXfer(TW_SETUPMEMXFER *setup, size_t rowBytes)
{
    const uint32_t row = static_cast<uint32_t>(std::max<size_t>(1, rowBytes));
    setup->MinBufSize = row;
    setup->MaxBufSize = TWON_DONTCARE32;
    setup->Preferred = std::max<uint32_t>(1, (1u << 20) / row) * row;
}

void describeImage(TW_IMAGEINFO *info, int width, int length, int bitCount, double xDpi, double yDpi)
{
    std::memset(info, 0, sizeof *info);
    info->XResolution = toFix32(xDpi);
    info->YResolution = toFix32(yDpi);
    info->ImageWidth = width;
    info->ImageLength = length;
    info->SamplesPerPixel = bitCount == 24 ? 3 : 1;
    for (int i = 0; i < info->SamplesPerPixel; ++i)
        info->BitsPerSample[i] = static_cast<TW_INT16>(bitCount == 24 ? 8 : bitCount);
    info->BitsPerPixel = static_cast<TW_INT16>(bitCount);
    info->Planar = FALSE;
    info->PixelType = static_cast<TW_INT16>(bitCount == 24 ? TWPT_RGB : bitCount == 8 ? TWPT_GRAY : TWPT_BW);
    info->Compression = TWCP_NONE;
}

uint16_t answerImageLayout(uint16_t msg, TW_IMAGELAYOUT *layout, int state, const double frame[4], uint32_t pageNumber,
                           uint16_t &conditionCode)
{
    auto fail = [&conditionCode](uint16_t code) { conditionCode = code; return static_cast<uint16_t>(TWRC_FAILURE); };
    if (!layout)
        return fail(TWCC_BADVALUE);
    if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT)
        return fail(TWCC_BADPROTOCOL);
    if (state < 4)
        return fail(TWCC_SEQERROR);
    std::memset(layout, 0, sizeof *layout);
    layout->Frame.Left = toFix32(frame[0]);
    layout->Frame.Top = toFix32(frame[1]);
    layout->Frame.Right = toFix32(frame[2]);
    layout->Frame.Bottom = toFix32(frame[3]);
    layout->DocumentNumber = 1;
    layout->PageNumber = pageNumber;
    layout->FrameNumber = 1;
    return TWRC_SUCCESS;
}

std::vector<uint8_t> imageFile(const uint8_t *dib, const DibLayout &layout, uint16_t format)
{
    return format == TWFF_TIFF ? dibToTiff(dib, layout) : dibToBmpFile(dib, layout);
}

TW_HANDLE tiffHandle(const uint8_t *dib, const DibLayout &layout)
{
    const std::vector<uint8_t> tiff = dibToTiff(dib, layout);
    TW_HANDLE handle = allocateHandle(tiff.size());
    void *memory = lockHandle(handle);
    if (!memory) {
        freeHandle(handle);
        return nullptr;
    }
    std::memcpy(memory, tiff.data(), tiff.size());
    unlockHandle(handle);
    return handle;
}

bool writeImageFile(const std::string &path, const uint8_t *dib, const DibLayout &layout, uint16_t format)
{
    const std::vector<uint8_t> file = imageFile(dib, layout, format);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(file.data()), static_cast<std::streamsize>(file.size()));
    out.close();
    return static_cast<bool>(out);
}

bool writeEmptyFile(const std::string &path)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.close();
    return static_cast<bool>(out);
}

// ---- BlockTransfer -----------------------------------------------------------------------

void BlockTransfer::start(uint8_t *dib, const DibLayout &layout, bool asFile, uint16_t fileFormat)
{
    clear();
    layout_ = layout;
    asFile_ = asFile;
    if (asFile) {
        file_ = imageFile(dib, layout, fileFormat);
        std::free(dib);
    } else {
        dib_ = dib;
    }
    active_ = true;
}

uint16_t BlockTransfer::next(TW_IMAGEMEMXFER *block, uint16_t &conditionCode)
{
    // The application's buffer, a pointer or a handle of the platform as its flags say.
    const bool isHandle = block->Memory.Flags & TWMF_HANDLE;
    void *buffer = isHandle ? lockHandle(block->Memory.TheMem) : block->Memory.TheMem;
    if (!buffer) {
        conditionCode = TWCC_BADVALUE;
        return TWRC_FAILURE;
    }
    const uint16_t rc = fill(block, static_cast<uint8_t *>(buffer), conditionCode);
    if (isHandle)
        unlockHandle(block->Memory.TheMem);
    return rc;
}

uint16_t BlockTransfer::fill(TW_IMAGEMEMXFER *block, uint8_t *memory, uint16_t &conditionCode)
{
    block->Compression = TWCP_NONE;
    bool last = false;
    if (asFile_) {
        const size_t count = std::min<size_t>(block->Memory.Length, file_.size() - offset_);
        if (count == 0) {
            conditionCode = TWCC_BADVALUE;
            return TWRC_FAILURE;
        }
        std::memcpy(memory, file_.data() + offset_, count);
        block->BytesPerRow = block->Columns = block->Rows = TWON_DONTCARE32;
        block->XOffset = block->YOffset = TWON_DONTCARE32;
        block->BytesWritten = static_cast<TW_UINT32>(count);
        offset_ += count;
        last = offset_ >= file_.size();
    } else {
        const size_t rowBytes = layout_.packedRowBytes();
        const size_t rows = std::min<size_t>(block->Memory.Length / rowBytes, layout_.height - offset_);
        if (rows == 0) {
            conditionCode = TWCC_BADVALUE;
            return TWRC_FAILURE;
        }
        for (size_t row = 0; row < rows; ++row)
            copyTwainRow(dib_, layout_, static_cast<int>(offset_ + row), memory + row * rowBytes);
        block->BytesPerRow = static_cast<TW_UINT32>(rowBytes);
        block->Columns = static_cast<TW_UINT32>(layout_.width);
        block->Rows = static_cast<TW_UINT32>(rows);
        block->XOffset = 0;
        block->YOffset = static_cast<TW_UINT32>(offset_);
        block->BytesWritten = static_cast<TW_UINT32>(rows * rowBytes);
        offset_ += rows;
        last = offset_ >= static_cast<size_t>(layout_.height);
    }
    if (!last)
        return TWRC_SUCCESS;
    clear();
    return TWRC_XFERDONE;
}

void BlockTransfer::clear()
{
    std::free(dib_);
    dib_ = nullptr;
    file_.clear();
    file_.shrink_to_fit();
    offset_ = 0;
    active_ = false;
}

// ---- FileXferSetup -----------------------------------------------------------------------

TW_SETUPFILEXFER FileXferSetup::standard(uint32_t sourceId, uint16_t format)
{
    TW_SETUPFILEXFER setup{};
    const std::string name = temporaryFolder() + "/twaindsm-" + std::to_string(processId()) + "-"
        + std::to_string(sourceId) + (format == TWFF_TIFF ? ".tif" : ".bmp");
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", name.c_str());
    setup.Format = format;
    return setup;
}

TW_SETUPFILEXFER FileXferSetup::current(uint32_t sourceId, uint16_t defaultFormat) const
{
    return isChosen_ ? chosen_ : standard(sourceId, defaultFormat);
}

uint16_t FileXferSetup::handle(uint16_t msg, TW_SETUPFILEXFER *setup, int state, uint32_t sourceId,
                               uint16_t defaultFormat, uint16_t &conditionCode)
{
    auto fail = [&conditionCode](uint16_t code) { conditionCode = code; return static_cast<uint16_t>(TWRC_FAILURE); };
    if (!setup)
        return fail(TWCC_BADVALUE);
    if (state < 4 || state > 6 || (msg == MSG_RESET && state != 4))
        return fail(TWCC_SEQERROR);
    switch (msg) {
    case MSG_GET:
    case MSG_GETCURRENT:
        *setup = current(sourceId, defaultFormat);
        return TWRC_SUCCESS;
    case MSG_GETDEFAULT:
        *setup = standard(sourceId, defaultFormat);
        return TWRC_SUCCESS;
    case MSG_SET:
        if (setup->Format != TWFF_BMP && setup->Format != TWFF_TIFF)
            return fail(TWCC_BADVALUE);
        if (strnlen(setup->FileName, sizeof setup->FileName) == 0)
            return fail(TWCC_BADVALUE);
        chosen_ = *setup;
        chosen_.FileName[sizeof chosen_.FileName - 1] = 0;
        isChosen_ = true;
        return TWRC_SUCCESS;
    case MSG_RESET:
        isChosen_ = false;
        *setup = standard(sourceId, defaultFormat);
        return TWRC_SUCCESS;
    default:
        return fail(TWCC_BADPROTOCOL);
    }
}

} // namespace twaindsm
