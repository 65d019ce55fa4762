#include "foundation/agentlog.h"

#include <spdlog/sinks/null_sink.h>

namespace KELLog {

namespace {
std::shared_ptr<spdlog::logger> silentLogger()
{
    static const auto silent = std::make_shared<spdlog::logger>(
        "silent", std::make_shared<spdlog::sinks::null_sink_mt>());
    return silent;
}
} // namespace

spdlog::level::level_enum levelFromSetting(int value)
{
    switch (value) {
    case 0: return spdlog::level::trace;
    case 1: return spdlog::level::debug;
    case 2: return spdlog::level::info;
    case 3: return spdlog::level::warn;
    case 4: return spdlog::level::err;
    case 5: return spdlog::level::critical;
    default: return spdlog::level::off;
    }
}

std::shared_ptr<spdlog::logger> logger()
{
    if (auto registered = spdlog::get(kLoggerName))
        return registered;
    return silentLogger();
}

} // namespace KELLog
