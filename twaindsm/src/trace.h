// The triplet trace: one JSON object per line in the file named by TWAINDSM_TRACE.
#pragma once

#include <nlohmann/json.hpp>

namespace twaindsm {

bool traceEnabled();
void traceWrite(const nlohmann::json &line);

} // namespace twaindsm
