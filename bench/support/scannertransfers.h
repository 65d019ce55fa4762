// The virtual scanner's own cost of a page: native transfers straight from libtwaindsm in the
// calling process, as an application's transfer loop makes them (DAT_IMAGEINFO, the transfer,
// MSG_ENDXFER, freeing the page). The first batch renders the answer sheet; the second is
// measured.
#pragma once

#include "xferready.h"

#include "twain.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fstream>
#include <string>

namespace bench {

struct ScannerTransfers {
    bool ok = false;
    int pages = 0;
    std::size_t pageBytes = 0;
    double wallSeconds = 0;   // the measured batch
    double cpuMsPerPage = 0;  // of the calling thread
    TW_HANDLE firstPage = nullptr;  // kept when asked for: the caller frees it
};

inline double callingThreadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// `profileFolder` receives the profile: one 300 dpi A4 colour source with `pages` sheets.
// With `keepFirstPage`, the first page of the measured batch is handed to the caller.
inline ScannerTransfers measureScannerTransfers(const std::string& library, const std::string& profileFolder, int pages,
                                                bool keepFirstPage = false)
{
    ScannerTransfers result;
    const std::string profile = profileFolder + "/scanner-transfers.json";
    std::ofstream(profile) << "{\"sources\": [{\"pages\": " << pages << ", \"resolution\": 300, \"pixelType\": \"rgb\"}]}";
    setenv("TWAINDSM_SOURCES", profile.c_str(), 1);
    unsetenv("TWAINDSM_TRACE");

    void* handle = dlopen(library.c_str(), RTLD_NOW);
    auto entry = handle ? reinterpret_cast<DSMENTRYPROC>(dlsym(handle, "DSM_Entry")) : nullptr;
    if (!entry) {
        std::fprintf(stderr, "cannot load %s: %s\n", library.c_str(), dlerror());
        return result;
    }
    TW_IDENTITY app{}, source{};
    app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(app.ProductName, "scanner transfers");
    TW_HANDLE parent = nullptr;
    TW_CALLBACK2 callback{};
    callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&XferReady::callback);
    TW_USERINTERFACE ui{};
    if (entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent) != TWRC_SUCCESS
        || entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source) != TWRC_SUCCESS
        || entry(&app, &source, DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback) != TWRC_SUCCESS) {
        std::fprintf(stderr, "cannot open the virtual scanner\n");
        return result;
    }
    result.ok = true;
    for (int batch = 0; batch < 2 && result.ok; ++batch) {
        XferReady::expect();
        entry(&app, &source, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
        XferReady::wait();
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = callingThreadCpuMs();
        int transferred = 0;
        TW_PENDINGXFERS pending{};
        do {
            TW_IMAGEINFO info{};
            TW_HANDLE dib = nullptr;
            entry(&app, &source, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
            if (entry(&app, &source, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) != TWRC_XFERDONE) {
                std::fprintf(stderr, "transfer failed\n");
                result.ok = false;
                break;
            }
            result.pageBytes = 40 + static_cast<std::size_t>((info.ImageWidth * 24 + 31) / 32) * 4 * info.ImageLength;
            if (keepFirstPage && batch == 1 && !result.firstPage)
                result.firstPage = dib;
            else
                std::free(dib);
            ++transferred;
            entry(&app, &source, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        } while (pending.Count);
        if (batch == 1 && transferred > 0) {
            result.wallSeconds = seconds(std::chrono::steady_clock::now() - start);
            result.cpuMsPerPage = (callingThreadCpuMs() - cpuStart) / transferred;
            result.pages = transferred;
        }
        entry(&app, &source, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }
    entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source);
    entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent);
    std::remove(profile.c_str());
    return result;
}

} // namespace bench
