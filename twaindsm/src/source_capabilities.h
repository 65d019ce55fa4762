// The capability set of a virtual source: the built-in ones shaped by its profile, plus the
// capabilities the profile adds or replaces.
#pragma once

#include "capability.h"
#include "profile.h"

#include <map>
#include <string>

namespace twaindsm {

using CapabilityMap = std::map<uint16_t, Capability>;

bool buildCapabilities(const SourceProfile &profile, CapabilityMap &caps, std::string &error);

uint16_t pixelTypeCode(const std::string &name);      // "bw", "gray", "rgb" -> TWPT_; 0xffff unknown
uint16_t xferMechCode(const std::string &name);       // "native", "file", "memory", "memfile" -> TWSX_
uint16_t paperSizeCode(const std::string &name);      // "A4" ... -> TWSS_; 0xffff unknown

} // namespace twaindsm
