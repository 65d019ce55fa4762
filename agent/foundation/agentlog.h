#pragma once

// The agent's logger without Qt: what code shared with Qt-free builds (the TWAIN session, the
// platform cores) logs through. logging.h adds Qt's strings and the log file.

#include <spdlog/spdlog.h>
#include <fmt/format.h>

#include <memory>

namespace KELLog {

// The name under which the agent's logger is registered with spdlog.
inline constexpr const char* kLoggerName = "ORBLSpdLog";

// Maps the "loglevel" setting (0 trace … 5 critical, anything else off).
spdlog::level::level_enum levelFromSetting(int value);

// The registered agent logger, looked up by name. Before a logger is registered (unit tests,
// helper programs) this is a silent logger, so a log statement never dereferences null.
std::shared_ptr<spdlog::logger> logger();

} // namespace KELLog

// Every log statement of the agent goes through this: KLOG->info("… {}", value);
#define KLOG (::KELLog::logger())
