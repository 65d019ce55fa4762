// A 300 dpi A4 colour feeder batch (10 pages of 2480 x 3507) from SANE's test backend: pages per
// second through our DSM (native transfers, from MSG_ENABLEDS to the last MSG_ENDXFER, each page
// written to a BMP file as an application keeps it) against scanimage --batch writing its PNM
// files, on the same backend in the same run. The files go to a memory file system (/dev/shm)
// and are removed between the timings, so that the disk decides nothing; scanimage's start-up
// (measured with --dont-scan) is taken off its time. The batches alternate and each side's
// median batch counts, since other work on the machine makes single batches vary.
// Usage: sane_bench [batches]   (default 7 of each)
#include "../../tests/twaindsm/sane_test_backend.h"
#include "../support/xferready.h"
#include "twain.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

using bench::seconds;
using bench::XferReady;

constexpr size_t kPiece = 1 << 20;

class Dsm {
public:
    bool open()
    {
        library_ = dlopen(VELLOX_PROGRAM_DIR "/libtwaindsm.so", RTLD_NOW);
        entry_ = library_ ? reinterpret_cast<DSMENTRYPROC>(dlsym(library_, "DSM_Entry")) : nullptr;
        if (!entry_)
            return false;
        app_.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
        std::strcpy(app_.ProductName, "sane bench");
        std::strcpy(source_.ProductName, sanetest::kFirstDevice);
        TW_CALLBACK2 callback{};
        callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&XferReady::callback);
        return entry_(&app_, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent_) == TWRC_SUCCESS
            && entry_(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_) == TWRC_SUCCESS
            && entry_(&app_, &source_, DG_CONTROL, DAT_CALLBACK2, MSG_REGISTER_CALLBACK, &callback) == TWRC_SUCCESS;
    }

    // One feeder batch; every page is written to a file in `folder`. The number of pages, or -1.
    int batch(const std::string &folder)
    {
        TW_USERINTERFACE ui{};
        XferReady::expect();
        if (entry_(&app_, &source_, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS)
            return -1;
        XferReady::wait();
        int pages = 0;
        TW_PENDINGXFERS pending{};
        do {
            TW_IMAGEINFO info{};
            TW_HANDLE dib = nullptr;
            entry_(&app_, &source_, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
            if (entry_(&app_, &source_, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) != TWRC_XFERDONE)
                return -1;
            const size_t size = 40 + static_cast<size_t>((info.ImageWidth * 24 + 31) / 32) * 4 * info.ImageLength;
            uint8_t header[14] = {'B', 'M'};
            const uint32_t fileSize = static_cast<uint32_t>(size + sizeof header), offset = sizeof header + 40;
            std::memcpy(header + 2, &fileSize, 4);
            std::memcpy(header + 10, &offset, 4);
            std::FILE *file = std::fopen((folder + "/p" + std::to_string(++pages) + ".bmp").c_str(), "wb");
            if (!file)
                return -1;
            std::fwrite(header, 1, sizeof header, file);
            // In pieces of a megabyte: a single write of the whole page is several times slower
            // on some kernels (scanimage writes small pieces too).
            const auto *bytes = static_cast<const uint8_t *>(dib);
            for (size_t done = 0; done < size; done += kPiece)
                std::fwrite(bytes + done, 1, std::min(kPiece, size - done), file);
            std::fclose(file);
            std::free(dib);
            entry_(&app_, &source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        } while (pending.Count);
        entry_(&app_, &source_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        return pages;
    }

private:
    void *library_ = nullptr;
    DSMENTRYPROC entry_ = nullptr;
    TW_IDENTITY app_{}, source_{};
    TW_HANDLE parent_ = nullptr;
};

} // namespace

int main(int argc, char **argv)
{
    const int batches = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const std::string memory = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    const std::string root = memory + "/sane-bench-" + std::to_string(getpid());
    const std::string config = root + "/config", out = root + "/out";
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(config);
    std::filesystem::create_directories(out);
    if (!sanetest::writeConfig(config))
        return 1;
    std::ofstream(root + "/sources.json") << R"({"sane": "only", "saneDevices": [{"device": "test:0", "options":
        {"source": ")" << sanetest::kFeeder << R"(", "mode": "Color", "resolution": 300}}]})";
    setenv("SANE_CONFIG_DIR", config.c_str(), 1);
    setenv("TWAINDSM_SOURCES", (root + "/sources.json").c_str(), 1);
    unsetenv("TWAINDSM_SANE");
    unsetenv("TWAINDSM_TRACE");

    Dsm dsm;
    if (!dsm.open()) {
        std::fprintf(stderr, "cannot open the SANE test device through libtwaindsm.so\n");
        return 1;
    }
    const std::string options = "scanimage -d test:0 --source '" + std::string(sanetest::kFeeder) + "' --mode Color --resolution 300";
    const std::string scan = options + " --format=pnm --batch='" + out + "/s%d.pnm' 2>&1";
    const std::string startOnly = options + " --dont-scan >/dev/null 2>&1";
    auto timed = [](const std::string &command, std::string *output = nullptr) {
        const auto start = std::chrono::steady_clock::now();
        std::FILE *pipe = popen(command.c_str(), "r");
        char line[256];
        while (pipe && std::fgets(line, sizeof line, pipe))
            if (output)
                *output += line;
        if (pipe)
            pclose(pipe);
        return seconds(std::chrono::steady_clock::now() - start);
    };
    auto clear = [&out] {
        for (const auto &entry : std::filesystem::directory_iterator(out))
            std::filesystem::remove(entry.path());
    };
    std::vector<double> dsmRates, scanimageRates; // pages per second of each batch
    dsm.batch(out); // warm-up: caches, page memory
    clear();
    for (int i = 0; i < batches; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const int pages = dsm.batch(out);
        const double dsmSeconds = seconds(std::chrono::steady_clock::now() - start);
        clear();
        if (pages <= 0) {
            std::fprintf(stderr, "the batch through the DSM failed\n");
            return 1;
        }
        dsmRates.push_back(pages / dsmSeconds);
        std::string report;
        const double whole = timed(scan, &report); // ends with the feeder's "out of documents"
        const double scanSeconds = whole - timed(startOnly);
        int scanned = 0;
        const size_t summary = report.find("Batch terminated, ");
        if (summary == std::string::npos || std::sscanf(report.c_str() + summary, "Batch terminated, %d pages", &scanned) != 1
            || scanned <= 0 || scanSeconds <= 0) {
            std::fprintf(stderr, "scanimage did not scan its batch:\n%s\n", report.c_str());
            return 1;
        }
        scanimageRates.push_back(scanned / scanSeconds);
        clear();
    }
    std::filesystem::remove_all(root);
    auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    const double dsmRate = median(dsmRates), scanimageRate = median(scanimageRates);
    std::printf("300 dpi A4 colour feeder, %d batches of 10 pages, every page written to a file in %s\n", batches, memory.c_str());
    std::printf("through our DSM:     %6.2f pages/s (median batch)\n", dsmRate);
    std::printf("scanimage --batch:   %6.2f pages/s (median batch)\n", scanimageRate);
    std::printf("DSM overhead:        %+6.1f %%\n", (scanimageRate / dsmRate - 1) * 100);
    return 0;
}
