// One image from a source in state 6, by the transfer mechanism the source reports.
#include "scanning/twainsession.h"

#include "scanning/twaindsm_library.h"

#include "foundation/agentlog.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// Memory blocks larger than this are a driver's mistake, not a buffer to allocate.
constexpr TW_UINT32 kMaxMemoryBlockBytes = 64u * 1024 * 1024;

bool transferred(TW_UINT16 result)
{
    return result == TWRC_XFERDONE || result == TWRC_SUCCESS;
}

const char* fileExtension(TW_UINT16 format)
{
    switch (format) {
    case TWFF_BMP: return ".bmp";
    case TWFF_TIFF:
    case TWFF_TIFFMULTI: return ".tif";
    case TWFF_JFIF: return ".jpg";
    case TWFF_PNG: return ".png";
    default: return ".img";
    }
}

// The block size to allocate for a memory transfer: the source's preference, else its
// largest; 0 when neither is a size that makes sense.
TW_UINT32 memoryBlockSize(const TW_SETUPMEMXFER& setup)
{
    TW_UINT32 size = setup.Preferred;
    if (size == TWON_DONTCARE32)
        size = setup.MaxBufSize != TWON_DONTCARE32 ? setup.MaxBufSize : setup.MinBufSize;
    return size == 0 || size > kMaxMemoryBlockBytes ? 0 : size;
}

} // namespace

TW_UINT16 CTWAINSession::TransferImage()
{
    if (queryXferSettings) {
        // Read once per transfer cycle: the settings cannot change while images are pending.
        TW_UINT16 mech = xferMech;
        if (GetCapabilityValue(ICAP_XFERMECH, &mech, MSG_GETCURRENT, sizeof mech) == 0)
            xferMech = mech;
        TW_BOOL undefined = FALSE;
        if (GetCapabilityValue(ICAP_UNDEFINEDIMAGESIZE, &undefined, MSG_GETCURRENT, sizeof undefined) == 0)
            undefinedImageSize = undefined == 1;
    }

    TW_IMAGEINFO info{};
    TW_UINT16 result = CallDSM(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info, &sourceIdentity);
    if (result != TWRC_SUCCESS && xferMech == TWSX_NATIVE) {
        // Reported like a failed native transfer; the owner reports the other mechanisms'.
        KLOG->warn("DAT_IMAGEINFO failed before a native transfer: {}", ConditionCodeName(status.ConditionCode));
        OnError(status);
    }
    if (result == TWRC_SUCCESS) {
        OnImageInfo(info, xferMech);
        switch (xferMech) {
        case TWSX_NATIVE:
            result = transferNative();
            break;
        case TWSX_FILE:
            result = transferFile();
            break;
        case TWSX_MEMORY:
        case TWSX_MEMFILE:
            result = transferMemory(info);
            break;
        default:
            // No way to fetch such an image: end without asking the source.
            KLOG->warn("Unsupported transfer mechanism {}", xferMech);
            result = TWRC_FAILURE;
            break;
        }
    }

    if (state == 7) {
        // With an undefined image size the real size is only known after the transfer.
        if (undefinedImageSize)
            CallDSM(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info, &sourceIdentity);
        OnImageDone(info, xferMech);
    }
    return result == TWRC_XFERDONE ? TWRC_SUCCESS : result;
}

TW_UINT16 CTWAINSession::transferNative()
{
    TW_HANDLE dib = nullptr;
    TW_UINT16 result = CallDSM(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib, &sourceIdentity);
    if (!transferred(result)) {
        // A source that drops one image (TWRC_CANCEL) has no error to tell.
        if (result != TWRC_CANCEL)
            OnError(status);
        return result;
    }
    if (result == TWRC_SUCCESS) {
        KLOG->debug("*** Note: DS responded with invalid TWRC_SUCCESS for DAT_IMAGENATIVEXFER/MSG_GET "
                    "Expected: TWRC_XFERDONE ***");
        result = TWRC_XFERDONE;
    }
    bool freeImage = true;
    OnNativeTransfer(result, &dib, &freeImage);
    if (freeImage && dib)
        TwainDsmLibrary::freeMemory(dib);
    return result;
}

TW_UINT16 CTWAINSession::transferFile()
{
    TW_SETUPFILEXFER setup{};
    TW_UINT16 result = CallDSM(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &setup, &sourceIdentity);
    if (result != TWRC_SUCCESS)
        return result;
    ownTransferFile.clear();
    if (!fileTransferFolder.empty()) {
        // Our own file in our folder: the owner deletes what it reads, and only that.
        const std::string path = fileTransferFolder + kTransferFileStem + fileExtension(setup.Format);
        TW_SETUPFILEXFER own = setup;
        if (path.size() < sizeof own.FileName) {
            std::memset(own.FileName, 0, sizeof own.FileName);
            std::memcpy(own.FileName, path.data(), path.size());
            if (CallDSM(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &own, &sourceIdentity) == TWRC_SUCCESS) {
                setup = own;
                ownTransferFile = path;
            } else {
                KLOG->warn("The data source keeps its own transfer file: {}", setup.FileName);
            }
        }
    }
    result = CallDSM(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr, &sourceIdentity);
    if (!transferred(result))
        return result;
    if (result == TWRC_SUCCESS) {
        KLOG->debug("*** Note: DS responded with invalid TWRC_SUCCESS for DAT_IMAGEFILEXFER/MSG_GET "
                    "Expected: TWRC_XFERDONE ***");
        result = TWRC_XFERDONE;
    }
    OnFileTransfer(result, setup);
    return result;
}

TW_UINT16 CTWAINSession::transferMemory(const TW_IMAGEINFO& info)
{
    const bool memFile = xferMech == TWSX_MEMFILE;
    const TW_UINT16 blockDat = memFile ? DAT_IMAGEMEMFILEXFER : DAT_IMAGEMEMXFER;
    std::unique_ptr<unsigned char[]> buffer;
    TW_IMAGEMEMXFER block{};
    TW_UINT16 result = TWRC_FAILURE;
    for (;;) {
        if (state == 6) {
            TW_SETUPMEMXFER setup{};
            result = CallDSM(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup, &sourceIdentity);
            if (result != TWRC_SUCCESS)
                return result;
            const TW_UINT32 size = memoryBlockSize(setup);
            buffer.reset(size ? new (std::nothrow) unsigned char[size]() : nullptr);
            if (!buffer) {
                KLOG->error("Memory transfer refused: block size {} (min {}, max {}) cannot be allocated",
                            setup.Preferred, setup.MinBufSize, setup.MaxBufSize);
                status.ConditionCode = TWCC_LOWMEMORY;
                return TWRC_FAILURE;
            }
            block = TW_IMAGEMEMXFER{};
            block.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
            block.Memory.Length = size;
            block.Memory.TheMem = buffer.get();
        }
        if (state != 6 && state != 7)
            return result;
        result = CallDSM(DG_IMAGE, blockDat, MSG_GET, &block, &sourceIdentity);
        if (!transferred(result))
            return result;
        if (memFile)
            OnMemFileTransfer(block, &result);
        else
            OnMemoryTransfer(info, block, &result);
        if (result != TWRC_SUCCESS)
            return result;  // TWRC_XFERDONE: the image is complete; anything else ends it
    }
}
