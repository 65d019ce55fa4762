// Capabilities of a virtual source and the TWAIN containers that carry them.
#pragma once

#include "twain.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace twaindsm {

// One item of any TWAIN item type; only the member that matches the type is meaningful.
struct CapItem {
    long long integer = 0;          // TWTY_INT*, TWTY_UINT*, TWTY_BOOL, TWTY_HANDLE
    double real = 0;                // TWTY_FIX32
    double frame[4] = {0, 0, 0, 0}; // TWTY_FRAME: left, top, right, bottom
    std::string text;               // TWTY_STR32 ... TWTY_STR1024

    static CapItem number(long long value) { CapItem item; item.integer = value; return item; }
    static CapItem fix32(double value) { CapItem item; item.real = value; return item; }
    static CapItem string(std::string value) { CapItem item; item.text = std::move(value); return item; }
};

size_t itemSize(uint16_t itemType); // 0 for a type this library cannot carry
bool isNumericType(uint16_t itemType);
void writeItem(uint16_t itemType, const CapItem &item, uint8_t *destination);
CapItem readItem(uint16_t itemType, const uint8_t *source);
bool sameItem(uint16_t itemType, const CapItem &a, const CapItem &b);
double itemAsNumber(uint16_t itemType, const CapItem &item); // integer or FIX32 as a double
TW_FIX32 toFix32(double value);
double fromFix32(TW_FIX32 value);

nlohmann::json itemToJson(uint16_t itemType, const CapItem &item);
// Reads an item from a profile: numbers, booleans, strings, [l, t, r, b] frames, and for integer
// types also identifier names such as "TWPT_RGB". False (with a reason) when it does not fit.
bool itemFromJson(uint16_t itemType, const nlohmann::json &value, CapItem &item, std::string &error);

// The contents of one container, independent of its memory layout.
// ONEVALUE: items[0]. ARRAY and ENUMERATION: all items. RANGE: items = {min, max, step, default, current}.
struct Container {
    uint16_t conType = TWON_ONEVALUE;
    uint16_t itemType = TWTY_UINT16;
    std::vector<CapItem> items;
    uint32_t currentIndex = 0;
    uint32_t defaultIndex = 0;
};

// Container memory as TWAIN lays it out, in a handle of the platform (allocateHandle) that the
// receiver releases.
TW_HANDLE buildContainer(const Container &container);
// Reads a container from memory as TWAIN lays it out (a handle's locked memory).
bool parseContainer(uint16_t conType, const void *memory, Container &container);
nlohmann::json containerToJson(const Container &container);

// A capability with its allowed, default and current values.
struct Capability {
    uint16_t id = 0;
    uint16_t itemType = TWTY_UINT16;
    uint16_t conType = TWON_ONEVALUE; // how MSG_GET reports it
    bool readOnly = false;
    std::vector<CapItem> allowed;     // enumeration items; for one-values and arrays empty = any value
    CapItem minimum, maximum, step;   // ranges
    std::vector<CapItem> defaults;    // one item, several for arrays
    std::vector<CapItem> current;
    // What MSG_SET with an enumeration or range narrowed; MSG_RESET brings the full set back.
    std::vector<CapItem> constrained;
    bool isConstrained = false;
    CapItem constrainedMin, constrainedMax;

    long long currentNumber() const { return current.empty() ? 0 : current.front().integer; }
    double currentReal() const;

    Container forGet() const;
    Container forCurrent() const;
    Container forDefault() const;
    // Applies a container sent with MSG_SET; returns the condition code (TWCC_SUCCESS when taken).
    uint16_t set(const Container &request);
    void reset();
    bool allows(const CapItem &item) const;
};

} // namespace twaindsm
