#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace twaindsm {

namespace {

std::mutex traceMutex;
std::FILE *traceFile = nullptr;
std::string tracePath;

} // namespace

bool traceEnabled()
{
    const char *path = std::getenv("TWAINDSM_TRACE");
    return path && *path;
}

void traceWrite(const nlohmann::json &line)
{
    const char *path = std::getenv("TWAINDSM_TRACE");
    if (!path || !*path)
        return;
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::lock_guard<std::mutex> lock(traceMutex);
    // A test may point the trace somewhere else between scans; follow it.
    if (!traceFile || tracePath != path) {
        if (traceFile)
            std::fclose(traceFile);
        tracePath = path;
        traceFile = std::fopen(path, "a");
        if (!traceFile) {
            std::fprintf(stderr, "twaindsm: cannot open the trace file %s\n", path);
            return;
        }
    }
    std::fwrite(text.data(), 1, text.size(), traceFile);
    std::fflush(traceFile);
}

} // namespace twaindsm
