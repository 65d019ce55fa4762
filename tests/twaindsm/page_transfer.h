// Transfers the current image of an open source by a given mechanism, as an application does,
// and decodes what arrived.
#pragma once

#include "image_check.h"
#include "twain_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Bytes a TIFF of ours spans in memory: up to the end of its one strip.
inline size_t tiffExtent(const uint8_t *tiff)
{
    const uint8_t *ifd = tiff + readU32(tiff + 4);
    uint32_t offset = 0, count = 0;
    for (int i = 0; i < readU16(ifd); ++i) {
        const uint8_t *entry = ifd + 2 + 12 * i;
        if (readU16(entry) == 273)
            offset = readU32(entry + 8);
        else if (readU16(entry) == 279)
            count = readU32(entry + 8);
    }
    return static_cast<size_t>(offset) + count;
}

// `filePath` is where a file transfer writes the page; `infoBefore` receives DAT_IMAGEINFO as the
// source gave it before the transfer.
inline TW_UINT16 transferPage(TwainClient &client, TW_UINT16 mech, PageImage &image, const std::string &filePath,
                              bool tiffNative = false, TW_IMAGEINFO *infoBefore = nullptr)
{
    TW_IMAGEINFO info{};
    EXPECT_EQ(client.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
    if (infoBefore)
        *infoBefore = info;
    switch (mech) {
    case TWSX_NATIVE: {
        TW_HANDLE handle = nullptr;
        const TW_UINT16 rc = client.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
        if (handle) {
            const uint8_t *bytes = static_cast<uint8_t *>(handle);
            if (tiffNative)
                EXPECT_TRUE(decodeTiff(std::vector<uint8_t>(bytes, bytes + tiffExtent(bytes)), image));
            else
                EXPECT_TRUE(decodeDib(bytes, SIZE_MAX, image));
            std::free(handle);
        }
        return rc;
    }
    case TWSX_FILE: {
        TW_SETUPFILEXFER setup{};
        std::snprintf(setup.FileName, sizeof setup.FileName, "%s", filePath.c_str());
        setup.Format = TWFF_BMP;
        EXPECT_EQ(client.call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
        const TW_UINT16 rc = client.call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
        if (rc == TWRC_XFERDONE)
            EXPECT_TRUE(decodeBmpFile(readWholeFile(filePath), image));
        return rc;
    }
    default: {
        const bool asFile = mech == TWSX_MEMFILE;
        TW_SETUPMEMXFER setup{};
        EXPECT_EQ(client.call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
        std::vector<uint8_t> buffer(setup.Preferred / 3 + 1), received;
        TW_UINT16 rc;
        TW_UINT32 expectedRow = 0;
        do {
            TW_IMAGEMEMXFER block{};
            block.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
            block.Memory.Length = static_cast<TW_UINT32>(buffer.size());
            block.Memory.TheMem = buffer.data();
            rc = client.call(DG_IMAGE, asFile ? DAT_IMAGEMEMFILEXFER : DAT_IMAGEMEMXFER, MSG_GET, &block);
            if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE)
                return rc;
            if (!asFile) {
                // A copy: the structure is packed to 2 and gtest binds references.
                const TW_UINT32 yOffset = block.YOffset;
                EXPECT_EQ(yOffset, expectedRow);
                expectedRow += block.Rows;
            }
            received.insert(received.end(), buffer.begin(), buffer.begin() + block.BytesWritten);
        } while (rc == TWRC_SUCCESS);
        if (asFile) {
            EXPECT_TRUE(decodeBmpFile(received, image));
        } else {
            image.width = info.ImageWidth;
            image.bitCount = info.BitsPerPixel;
            image.dpi = info.XResolution.Whole;
            // The length may have been unknown before the transfer.
            image.height = static_cast<int>(received.size() / image.rowBytes());
            if (info.ImageLength >= 0)
                EXPECT_EQ(image.height, info.ImageLength);
            image.rows = received;
        }
        return rc;
    }
    }
}
