#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace twaindsm {

namespace {

struct Trace {
    std::mutex mutex;
    std::FILE *file = nullptr;
    std::string path;
};

// Never destroyed: a thread left inside a hung driver may come back and write its line while the
// process ends, after the static objects are gone.
Trace &trace()
{
    static Trace *const state = new Trace;
    return *state;
}

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
    Trace &state = trace();
    std::lock_guard<std::mutex> lock(state.mutex);
    // A test may point the trace somewhere else between scans; follow it.
    if (!state.file || state.path != path) {
        if (state.file)
            std::fclose(state.file);
        state.path = path;
        state.file = std::fopen(path, "a");
        if (!state.file) {
            std::fprintf(stderr, "twaindsm: cannot open the trace file %s\n", path);
            return;
        }
    }
    std::fwrite(text.data(), 1, text.size(), state.file);
    std::fflush(state.file);
}

} // namespace twaindsm
