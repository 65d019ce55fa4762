#include "sane_options.h"

#include "sane_library.h"

#include <cmath>
#include <cstring>

namespace twaindsm {

using nlohmann::json;

json saneInfoNames(SANE_Int info)
{
    json names = json::array();
    if (info & SANE_INFO_INEXACT)
        names.push_back("INEXACT");
    if (info & SANE_INFO_RELOAD_OPTIONS)
        names.push_back("RELOAD_OPTIONS");
    if (info & SANE_INFO_RELOAD_PARAMS)
        names.push_back("RELOAD_PARAMS");
    return names;
}

const SANE_Option_Descriptor *SaneOptions::find(const std::string &name, SANE_Int *index) const
{
    const SaneLibrary &sane = SaneLibrary::instance();
    SANE_Int count = 0;
    const SANE_Option_Descriptor *first = sane.descriptor(handle_, 0);
    if (!first || first->type != SANE_TYPE_INT || sane.controlOption(handle_, 0, SANE_ACTION_GET_VALUE, &count, nullptr) != SANE_STATUS_GOOD)
        return nullptr;
    for (SANE_Int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor *d = sane.descriptor(handle_, i);
        if (d && d->name && name == d->name && SANE_OPTION_IS_ACTIVE(d->cap) && d->type != SANE_TYPE_GROUP) {
            if (index)
                *index = i;
            return d;
        }
    }
    return nullptr;
}

bool SaneOptions::settable(const std::string &name) const
{
    const SANE_Option_Descriptor *d = find(name);
    return d && SANE_OPTION_IS_SETTABLE(d->cap);
}

SANE_Value_Type SaneOptions::type(const std::string &name) const
{
    const SANE_Option_Descriptor *d = find(name);
    return d ? d->type : SANE_TYPE_GROUP;
}

SaneConstraint SaneOptions::constraint(const std::string &name) const
{
    SaneConstraint c;
    const SANE_Option_Descriptor *d = find(name);
    if (!d)
        return c;
    auto value = [d](SANE_Word word) { return d->type == SANE_TYPE_FIXED ? SANE_UNFIX(word) : static_cast<double>(word); };
    c.type = d->constraint_type;
    switch (d->constraint_type) {
    case SANE_CONSTRAINT_RANGE:
        if (d->constraint.range) {
            c.min = value(d->constraint.range->min);
            c.max = value(d->constraint.range->max);
            c.quant = value(d->constraint.range->quant);
        }
        break;
    case SANE_CONSTRAINT_WORD_LIST:
        if (d->constraint.word_list)
            for (SANE_Word i = 1; i <= d->constraint.word_list[0]; ++i)
                c.words.push_back(value(d->constraint.word_list[i]));
        break;
    case SANE_CONSTRAINT_STRING_LIST:
        for (const SANE_String_Const *s = d->constraint.string_list; s && *s; ++s)
            c.strings.emplace_back(*s);
        break;
    default:
        break;
    }
    return c;
}

SANE_Status SaneOptions::control(const std::string &name, SANE_Action action, void *value, SANE_Int *info, const json &shown) const
{
    SANE_Int index = -1;
    const SANE_Option_Descriptor *d = find(name, &index);
    if (!d) {
        traceSane("sane_control_option", device_, SANE_STATUS_UNSUPPORTED, {{"option", name}, {"note", "no such active option"}});
        return SANE_STATUS_UNSUPPORTED;
    }
    SANE_Int bits = 0;
    const SANE_Status status = SaneLibrary::instance().controlOption(handle_, index, action, value, &bits);
    if (info)
        *info = bits;
    json line = {{"option", name}, {"action", action == SANE_ACTION_GET_VALUE ? "get" : "set"}};
    if (action == SANE_ACTION_SET_VALUE)
        line["value"] = shown;
    if (status == SANE_STATUS_GOOD) {
        // The value as the device has it now.
        if (d->type == SANE_TYPE_STRING)
            line["result"] = std::string(static_cast<const char *>(value));
        else if (d->type == SANE_TYPE_FIXED)
            line["result"] = SANE_UNFIX(*static_cast<const SANE_Word *>(value));
        else
            line["result"] = *static_cast<const SANE_Word *>(value);
    }
    if (bits)
        line["info"] = saneInfoNames(bits);
    traceSane("sane_control_option", device_, status, line);
    return status;
}

bool SaneOptions::number(const std::string &name, double &value) const
{
    const SANE_Option_Descriptor *d = find(name);
    if (!d || d->size != sizeof(SANE_Word)
        || (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED && d->type != SANE_TYPE_BOOL))
        return false;
    SANE_Word word = 0;
    if (control(name, SANE_ACTION_GET_VALUE, &word, nullptr, json()) != SANE_STATUS_GOOD)
        return false;
    value = d->type == SANE_TYPE_FIXED ? SANE_UNFIX(word) : static_cast<double>(word);
    return true;
}

bool SaneOptions::text(const std::string &name, std::string &value) const
{
    const SANE_Option_Descriptor *d = find(name);
    if (!d || d->type != SANE_TYPE_STRING || d->size <= 0)
        return false;
    std::vector<char> buffer(static_cast<size_t>(d->size) + 1, 0);
    if (control(name, SANE_ACTION_GET_VALUE, buffer.data(), nullptr, json()) != SANE_STATUS_GOOD)
        return false;
    value = buffer.data();
    return true;
}

SANE_Status SaneOptions::setNumber(const std::string &name, double value, SANE_Int &info)
{
    info = 0;
    const SANE_Option_Descriptor *d = find(name);
    if (!d || d->size != sizeof(SANE_Word))
        return SANE_STATUS_UNSUPPORTED;
    SANE_Word word = 0;
    bool rounded = false;
    switch (d->type) {
    case SANE_TYPE_FIXED:
        word = static_cast<SANE_Word>(std::lround(value * (1 << SANE_FIXED_SCALE_SHIFT)));
        break;
    case SANE_TYPE_INT:
        word = static_cast<SANE_Word>(std::lround(value));
        rounded = std::fabs(word - value) > 1e-6;
        break;
    case SANE_TYPE_BOOL:
        word = value != 0 ? SANE_TRUE : SANE_FALSE;
        break;
    default:
        return SANE_STATUS_INVAL;
    }
    const SANE_Status status = control(name, SANE_ACTION_SET_VALUE, &word, &info, value);
    if (status == SANE_STATUS_GOOD && rounded)
        info |= SANE_INFO_INEXACT;
    return status;
}

SANE_Status SaneOptions::setText(const std::string &name, const std::string &value, SANE_Int &info)
{
    info = 0;
    const SANE_Option_Descriptor *d = find(name);
    if (!d || d->type != SANE_TYPE_STRING || d->size <= 0)
        return SANE_STATUS_UNSUPPORTED;
    if (value.size() + 1 > static_cast<size_t>(d->size))
        return SANE_STATUS_INVAL;
    std::vector<char> buffer(static_cast<size_t>(d->size) + 1, 0);
    std::memcpy(buffer.data(), value.data(), value.size());
    return control(name, SANE_ACTION_SET_VALUE, buffer.data(), &info, value);
}

SANE_Status SaneOptions::setJson(const std::string &name, const nlohmann::ordered_json &value, SANE_Int &info)
{
    if (value.is_string())
        return setText(name, value.get<std::string>(), info);
    if (value.is_boolean())
        return setNumber(name, value.get<bool>() ? 1 : 0, info);
    if (value.is_number())
        return setNumber(name, value.get<double>(), info);
    info = 0;
    return SANE_STATUS_INVAL;
}

} // namespace twaindsm
