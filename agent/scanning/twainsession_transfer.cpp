// One image from a source in state 6, by the transfer mechanism the source reports.
#include "scanning/twainsession.h"

#include "scanning/twaindsm_library.h"

#include "foundation/logging.h"

#include <vector>

namespace {

bool transferred(TW_UINT16 result)
{
    return result == TWRC_XFERDONE || result == TWRC_SUCCESS;
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
    std::vector<unsigned char> buffer;
    TW_IMAGEMEMXFER block{};
    TW_UINT16 result = TWRC_FAILURE;
    for (;;) {
        if (state == 6) {
            TW_SETUPMEMXFER setup{};
            result = CallDSM(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup, &sourceIdentity);
            if (result != TWRC_SUCCESS)
                return result;
            buffer.assign(setup.Preferred, 0);
            block = TW_IMAGEMEMXFER{};
            block.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
            block.Memory.Length = setup.Preferred;
            block.Memory.TheMem = buffer.data();
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
