// Native transfer speed of the virtual scanner: one 300 dpi A4 RGB page (2480 x 3508) per
// transfer, against a memcpy of the same number of bytes into fresh memory, in the same run.
#include "../support/xferready.h"
#include "twain.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <string>
#include <vector>

using bench::seconds;
using bench::XferReady;

int main(int argc, char **argv)
{
    const int pages = argc > 1 ? std::atoi(argv[1]) : 30;
    const std::string profile = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/twaindsm-bench-sources.json";
    std::ofstream(profile) << "{\"sources\": [{\"pages\": " << pages << ", \"resolution\": 300, \"pixelType\": \"rgb\"}]}";
    setenv("TWAINDSM_SOURCES", profile.c_str(), 1);
    unsetenv("TWAINDSM_TRACE");

    void *library = dlopen(VELLOX_PROGRAM_DIR "/libtwaindsm.so", RTLD_NOW);
    auto entry = library ? reinterpret_cast<DSMENTRYPROC>(dlsym(library, "DSM_Entry")) : nullptr;
    if (!entry) {
        std::fprintf(stderr, "cannot load libtwaindsm.so: %s\n", dlerror());
        return 1;
    }
    TW_IDENTITY app{}, source{};
    app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(app.ProductName, "twaindsm bench");
    TW_HANDLE parent = nullptr;
    TW_CALLBACK2 callback{};
    callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&XferReady::callback);
    TW_USERINTERFACE ui{};
    if (entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent) != TWRC_SUCCESS
        || entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source) != TWRC_SUCCESS
        || entry(&app, &source, DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback) != TWRC_SUCCESS) {
        std::fprintf(stderr, "cannot open the virtual scanner\n");
        return 1;
    }

    // The first batch renders the answer sheet; measure the second.
    double dsmSeconds = 0;
    size_t pageBytes = 0;
    for (int batch = 0; batch < 2; ++batch) {
        XferReady::expect();
        entry(&app, &source, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
        XferReady::wait();
        const auto start = std::chrono::steady_clock::now();
        TW_PENDINGXFERS pending{};
        do {
            TW_IMAGEINFO info{};
            TW_HANDLE dib = nullptr;
            entry(&app, &source, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
            if (entry(&app, &source, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) != TWRC_XFERDONE) {
                std::fprintf(stderr, "transfer failed\n");
                return 1;
            }
            pageBytes = 40 + static_cast<size_t>((info.ImageWidth * 24 + 31) / 32) * 4 * info.ImageLength;
            std::free(dib);
            entry(&app, &source, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        } while (pending.Count);
        if (batch == 1)
            dsmSeconds = seconds(std::chrono::steady_clock::now() - start);
        entry(&app, &source, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }
    entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source);
    entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent);

    // Baseline: the same bytes copied into fresh memory, page by page.
    std::vector<uint8_t> sheet(pageBytes, 0xff);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < pages; ++i) {
        auto *copy = static_cast<uint8_t *>(std::malloc(pageBytes));
        std::memcpy(copy, sheet.data(), pageBytes);
        sheet[i % pageBytes] ^= copy[pageBytes - 1 - i]; // keeps the copy from being optimised away
        std::free(copy);
    }
    const double copySeconds = seconds(std::chrono::steady_clock::now() - start);

    std::printf("page: 2480 x 3508 RGB, %zu bytes, %d pages\n", pageBytes, pages);
    std::printf("native transfer: %8.1f pages/s\n", pages / dsmSeconds);
    std::printf("memcpy baseline: %8.1f pages/s\n", pages / copySeconds);
    std::printf("transfer / memcpy time: %.2f\n", dsmSeconds / copySeconds);
    std::remove(profile.c_str());
    return 0;
}
