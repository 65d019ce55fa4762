// Native transfer speed of the virtual scanner: one 300 dpi A4 RGB page (2480 x 3508) per
// transfer, against a memcpy of the same number of bytes into fresh memory, in the same run.
#include "../support/scannertransfers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using bench::seconds;

int main(int argc, char **argv)
{
    const int pages = argc > 1 ? std::atoi(argv[1]) : 30;
    const bench::ScannerTransfers transfers = bench::measureScannerTransfers(
        VELLOX_PROGRAM_DIR "/libtwaindsm.so", std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp", pages);
    if (!transfers.ok)
        return 1;
    const size_t pageBytes = transfers.pageBytes;
    const double dsmSeconds = transfers.wallSeconds;

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
    std::printf("native transfer: %8.1f pages/s (%.1f ms CPU a page)\n", pages / dsmSeconds, transfers.cpuMsPerPage);
    std::printf("memcpy baseline: %8.1f pages/s\n", pages / copySeconds);
    std::printf("transfer / memcpy time: %.2f\n", dsmSeconds / copySeconds);
    return 0;
}
