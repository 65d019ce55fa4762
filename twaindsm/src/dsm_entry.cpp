// The library's one export. On Windows the .def file names it without the __stdcall decoration,
// as applications look it up.
#include "data_source_manager.h"

#ifdef _WIN32
#define TWAINDSM_EXPORT
#else
#define TWAINDSM_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TWAINDSM_EXPORT TW_UINT16 TW_CALLINGSTYLE DSM_Entry(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 DG,
                                                               TW_UINT16 DAT, TW_UINT16 MSG, TW_MEMREF pData)
{
    return twaindsm::DataSourceManager::instance().entry(pOrigin, pDest, DG, DAT, MSG, pData);
}
