// Lookup between TWAIN identifiers and their values.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace twaindsm {

struct NamedConstant {
    const char *family; // the part before the first underscore: "DAT", "MSG", "ICAP", "TWPT" ...
    const char *name;
    long long value;
};

extern const NamedConstant kTwainConstants[];
extern const size_t kTwainConstantCount;

// Name of a value within the families given as a comma-separated list ("CAP,ICAP,ACAP");
// "0x%04X" when no identifier of those families has that value.
std::string constantName(const char *families, long long value);

// Value of an identifier written exactly as in twain.h ("TWPT_RGB"), if there is one.
std::optional<long long> constantValue(const std::string &name);

inline std::string dgName(unsigned long dg) { return constantName("DG", static_cast<long long>(dg)); }
inline std::string datName(unsigned dat) { return constantName("DAT", dat); }
inline std::string msgName(unsigned msg) { return constantName("MSG", msg); }
inline std::string capName(unsigned cap) { return constantName("CAP,ICAP,ACAP", cap); }
inline std::string rcName(unsigned rc) { return constantName("TWRC", rc); }
inline std::string ccName(unsigned cc) { return constantName("TWCC", cc); }
std::string conTypeName(unsigned conType); // TWON_ shares values with protocol numbers
inline std::string itemTypeName(unsigned itemType) { return constantName("TWTY", itemType); }

} // namespace twaindsm
