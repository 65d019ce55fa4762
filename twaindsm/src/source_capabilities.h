// The capability set of a virtual source: the built-in ones shaped by its profile, plus the
// capabilities the profile adds or replaces.
#pragma once

#include "capability.h"
#include "profile.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace twaindsm {

using CapabilityMap = std::map<uint16_t, Capability>;

bool buildCapabilities(const SourceProfile &profile, CapabilityMap &caps, std::string &error);

// Capabilities as sources describe them.
Capability oneValue(uint16_t id, uint16_t itemType, CapItem value, bool readOnly, std::vector<CapItem> allowed = {});
Capability enumeration(uint16_t id, uint16_t itemType, std::vector<CapItem> items, CapItem value);
Capability range(uint16_t id, uint16_t itemType, CapItem low, CapItem high, CapItem step, CapItem value);
std::vector<CapItem> numbers(std::initializer_list<long long> values);
// The current value of a capability of the map, or `fallback` when it has none.
long long currentNumber(const CapabilityMap &caps, uint16_t id, long long fallback);
double currentReal(const CapabilityMap &caps, uint16_t id, double fallback);
// CAP_SUPPORTEDCAPS listing every capability of the map, itself included.
void addSupportedCaps(CapabilityMap &caps);

// What a source does with MSG_SET, MSG_RESET and MSG_RESETALL: a condition code, and whether
// the value taken differs from the one asked for (the answer is then TWRC_CHECKSTATUS).
struct CapabilityWriter {
    std::function<uint16_t(Capability &, const Container &request, bool &adjusted)> set;
    std::function<uint16_t(Capability &, bool &adjusted)> reset;
    std::function<void()> resetAll;
};
// The capability triplet (DG_CONTROL / DAT_CAPABILITY) over `caps`, once the source has checked
// its state: queries are answered from the map, writes go through `writer`.
uint16_t capabilityTriplet(uint16_t msg, TW_CAPABILITY *cap, CapabilityMap &caps, const CapabilityWriter &writer,
                           nlohmann::json &detail, uint16_t &conditionCode);

uint16_t pixelTypeCode(const std::string &name);      // "bw", "gray", "rgb" -> TWPT_; 0xffff unknown
uint16_t xferMechCode(const std::string &name);       // "native", "file", "memory", "memfile" -> TWSX_
uint16_t paperSizeCode(const std::string &name);      // "A4" ... -> TWSS_; 0xffff unknown

} // namespace twaindsm
