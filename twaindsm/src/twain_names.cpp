#include "twain_names.h"

#include <cstdio>
#include <cstring>

namespace twaindsm {

namespace {

bool familyListed(const char *families, const char *family)
{
    const size_t length = std::strlen(family);
    for (const char *p = families; *p;) {
        const char *end = std::strchr(p, ',');
        const size_t itemLength = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (itemLength == length && std::strncmp(p, family, length) == 0)
            return true;
        if (!end)
            break;
        p = end + 1;
    }
    return false;
}

} // namespace

std::string constantName(const char *families, long long value)
{
    for (size_t i = 0; i < kTwainConstantCount; ++i) {
        const NamedConstant &c = kTwainConstants[i];
        if (c.value == value && familyListed(families, c.family))
            return c.name;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%04llX", value);
    return text;
}

std::optional<long long> constantValue(const std::string &name)
{
    for (size_t i = 0; i < kTwainConstantCount; ++i) {
        if (name == kTwainConstants[i].name)
            return kTwainConstants[i].value;
    }
    return std::nullopt;
}

} // namespace twaindsm

namespace twaindsm {

std::string conTypeName(unsigned conType)
{
    switch (conType) {
    case 3: return "TWON_ARRAY";
    case 4: return "TWON_ENUMERATION";
    case 5: return "TWON_ONEVALUE";
    case 6: return "TWON_RANGE";
    case 0xffff: return "TWON_DONTCARE16";
    default: return constantName("", conType);
    }
}

} // namespace twaindsm
