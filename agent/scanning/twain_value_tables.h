#pragma once

#include "scanning/twainnames.h"

#include <cstddef>

// The standard's identifiers with their values, for the name functions of twainnames.h.
struct TwainValueName {
    long value;
    const char* name;
};

struct TwainValueTable {
    const TwainValueName* entries;
    std::size_t count;

    // The first name listed for the value, or null.
    const char* find(long value) const;
};

namespace TwainValueTables {

extern const TwainValueTable capabilities;
extern const TwainValueTable conditionCodes;
extern const TwainValueTable dataArgumentTypes;
extern const TwainValueTable dataGroups;
extern const TwainValueTable messages;
extern const TwainValueTable returnCodes;
extern const TwainValueTable itemTypes;

// The constants a capability's items take (ICAP_PIXELTYPE: the TWPT_ names …), or null when
// the capability has no such table. CAP_SUPPORTEDCAPS and CAP_EXTENDEDCAPS list capabilities.
const TwainValueTable* itemValues(TW_UINT16 capability);

} // namespace TwainValueTables
