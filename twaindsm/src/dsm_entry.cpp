// The library's one export.
#include "data_source_manager.h"

extern "C" __attribute__((visibility("default"))) TW_UINT16 DSM_Entry(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG,
                                                                      TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData)
{
    return twaindsm::DataSourceManager::instance().entry(pOrigin, pDest, DG, DAT, MSG, pData);
}
