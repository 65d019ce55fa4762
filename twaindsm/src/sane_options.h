// The options of an open SANE device: found by name (their numbers may change when the device
// reloads them), read and written with the conversion their type asks for, every call traced.
// The caller keeps calls on one handle in order.
#pragma once

#include <sane/sane.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace twaindsm {

// An option's constraint with its numbers as doubles (fixed-point values unscaled).
struct SaneConstraint {
    SANE_Constraint_Type type = SANE_CONSTRAINT_NONE;
    double min = 0, max = 0, quant = 0;  // SANE_CONSTRAINT_RANGE
    std::vector<double> words;           // SANE_CONSTRAINT_WORD_LIST
    std::vector<std::string> strings;    // SANE_CONSTRAINT_STRING_LIST
};

class SaneOptions {
public:
    SaneOptions(SANE_Handle handle, std::string device) : handle_(handle), device_(std::move(device)) {}

    const std::string &device() const { return device_; }

    // The active option of that name, or null. `index` receives its number.
    const SANE_Option_Descriptor *find(const std::string &name, SANE_Int *index = nullptr) const;
    bool settable(const std::string &name) const;
    SaneConstraint constraint(const std::string &name) const;
    SANE_Value_Type type(const std::string &name) const;

    // One-word options (int, fixed, bool) as numbers, and strings.
    bool number(const std::string &name, double &value) const;
    bool text(const std::string &name, std::string &value) const;
    // `info` receives SANE's SANE_INFO_ bits. An integer option is set to the nearest whole
    // number, which counts as inexact when that is not the value asked for.
    SANE_Status setNumber(const std::string &name, double value, SANE_Int &info);
    SANE_Status setText(const std::string &name, const std::string &value, SANE_Int &info);
    // A value from a profile: a number, true or false, or a string.
    SANE_Status setJson(const std::string &name, const nlohmann::ordered_json &value, SANE_Int &info);

private:
    SANE_Status control(const std::string &name, SANE_Action action, void *value, SANE_Int *info, const nlohmann::json &shown) const;

    SANE_Handle handle_;
    std::string device_;
};

// SANE_INFO_ bits as names for the trace.
nlohmann::json saneInfoNames(SANE_Int info);

} // namespace twaindsm
