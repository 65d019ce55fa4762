#include "capability.h"

#include "platform.h"
#include "twain_names.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace twaindsm {

size_t itemSize(uint16_t itemType)
{
    switch (itemType) {
    case TWTY_INT8: case TWTY_UINT8: return 1;
    case TWTY_INT16: case TWTY_UINT16: case TWTY_BOOL: return 2;
    case TWTY_INT32: case TWTY_UINT32: case TWTY_FIX32: case TWTY_HANDLE: return 4;
    case TWTY_FRAME: return sizeof(TW_FRAME);
    case TWTY_STR32: return sizeof(TW_STR32);
    case TWTY_STR64: return sizeof(TW_STR64);
    case TWTY_STR128: return sizeof(TW_STR128);
    case TWTY_STR255: return sizeof(TW_STR255);
    case TWTY_STR1024: return sizeof(TW_STR1024);
    default: return 0;
    }
}

bool isNumericType(uint16_t itemType)
{
    return itemSize(itemType) > 0 && itemSize(itemType) <= 4;
}

TW_FIX32 toFix32(double value)
{
    const long scaled = std::lround(value * 65536.0);
    TW_FIX32 fix;
    fix.Whole = static_cast<TW_INT16>(scaled >> 16);
    fix.Frac = static_cast<TW_UINT16>(scaled & 0xffff);
    return fix;
}

double fromFix32(TW_FIX32 value)
{
    return value.Whole + value.Frac / 65536.0;
}

static bool isString(uint16_t itemType)
{
    return itemType >= TWTY_STR32 && itemType <= TWTY_STR1024 && itemType != 0x000e;
}

void writeItem(uint16_t itemType, const CapItem &item, uint8_t *destination)
{
    const size_t size = itemSize(itemType);
    if (itemType == TWTY_FIX32) {
        const TW_FIX32 fix = toFix32(item.real);
        std::memcpy(destination, &fix, sizeof fix);
    } else if (itemType == TWTY_FRAME) {
        TW_FRAME frame;
        frame.Left = toFix32(item.frame[0]);
        frame.Top = toFix32(item.frame[1]);
        frame.Right = toFix32(item.frame[2]);
        frame.Bottom = toFix32(item.frame[3]);
        std::memcpy(destination, &frame, sizeof frame);
    } else if (isString(itemType)) {
        std::memset(destination, 0, size);
        std::memcpy(destination, item.text.data(), std::min(item.text.size(), size - 1));
    } else {
        // Little-endian: the low bytes of the value are the item.
        const uint32_t value = static_cast<uint32_t>(item.integer);
        std::memcpy(destination, &value, size);
    }
}

CapItem readItem(uint16_t itemType, const uint8_t *source)
{
    CapItem item;
    switch (itemType) {
    case TWTY_INT8: item.integer = static_cast<int8_t>(source[0]); break;
    case TWTY_UINT8: item.integer = source[0]; break;
    case TWTY_INT16: { int16_t v; std::memcpy(&v, source, 2); item.integer = v; break; }
    case TWTY_UINT16: case TWTY_BOOL: { uint16_t v; std::memcpy(&v, source, 2); item.integer = v; break; }
    case TWTY_INT32: { int32_t v; std::memcpy(&v, source, 4); item.integer = v; break; }
    case TWTY_UINT32: case TWTY_HANDLE: { uint32_t v; std::memcpy(&v, source, 4); item.integer = v; break; }
    case TWTY_FIX32: { TW_FIX32 v; std::memcpy(&v, source, 4); item.real = fromFix32(v); break; }
    case TWTY_FRAME: {
        TW_FRAME f;
        std::memcpy(&f, source, sizeof f);
        item.frame[0] = fromFix32(f.Left);
        item.frame[1] = fromFix32(f.Top);
        item.frame[2] = fromFix32(f.Right);
        item.frame[3] = fromFix32(f.Bottom);
        break;
    }
    default:
        if (isString(itemType))
            item.text.assign(reinterpret_cast<const char *>(source), strnlen(reinterpret_cast<const char *>(source), itemSize(itemType)));
        break;
    }
    return item;
}

static bool sameReal(double a, double b)
{
    return std::fabs(a - b) < 0.5 / 65536.0;
}

bool sameItem(uint16_t itemType, const CapItem &a, const CapItem &b)
{
    if (itemType == TWTY_FIX32)
        return sameReal(a.real, b.real);
    if (itemType == TWTY_FRAME) {
        for (int i = 0; i < 4; ++i)
            if (!sameReal(a.frame[i], b.frame[i]))
                return false;
        return true;
    }
    if (isString(itemType))
        return a.text == b.text;
    if (itemType == TWTY_BOOL)
        return (a.integer != 0) == (b.integer != 0);
    return a.integer == b.integer;
}

double itemAsNumber(uint16_t itemType, const CapItem &item)
{
    return itemType == TWTY_FIX32 ? item.real : static_cast<double>(item.integer);
}

nlohmann::json itemToJson(uint16_t itemType, const CapItem &item)
{
    if (itemType == TWTY_FIX32)
        return item.real;
    if (itemType == TWTY_FRAME)
        return nlohmann::json::array({item.frame[0], item.frame[1], item.frame[2], item.frame[3]});
    if (isString(itemType))
        return item.text;
    if (itemType == TWTY_BOOL)
        return item.integer != 0;
    return item.integer;
}

bool itemFromJson(uint16_t itemType, const nlohmann::json &value, CapItem &item, std::string &error)
{
    item = CapItem();
    if (itemType == TWTY_FIX32) {
        if (!value.is_number()) {
            error = "expected a number";
            return false;
        }
        item.real = value.get<double>();
        return true;
    }
    if (itemType == TWTY_FRAME) {
        if (!value.is_array() || value.size() != 4) {
            error = "expected a frame [left, top, right, bottom]";
            return false;
        }
        for (int i = 0; i < 4; ++i) {
            if (!value[i].is_number()) {
                error = "expected numbers in the frame";
                return false;
            }
            item.frame[i] = value[i].get<double>();
        }
        return true;
    }
    if (isString(itemType)) {
        if (!value.is_string()) {
            error = "expected a string";
            return false;
        }
        item.text = value.get<std::string>();
        return true;
    }
    if (!isNumericType(itemType)) {
        error = "item type " + itemTypeName(itemType) + " is not supported";
        return false;
    }
    if (value.is_boolean()) {
        item.integer = value.get<bool>() ? 1 : 0;
        return true;
    }
    if (value.is_number_integer()) {
        item.integer = value.get<long long>();
        return true;
    }
    if (value.is_string()) {
        const auto named = constantValue(value.get<std::string>());
        if (!named) {
            error = "unknown identifier \"" + value.get<std::string>() + "\"";
            return false;
        }
        item.integer = *named;
        return true;
    }
    error = "expected an integer, a boolean or an identifier name";
    return false;
}

TW_HANDLE buildContainer(const Container &c)
{
    const size_t size = itemSize(c.itemType);
    if (size == 0)
        return nullptr;
    size_t bytes = 0;
    switch (c.conType) {
    case TWON_ONEVALUE:
        // The item sits where TW_ONEVALUE.Item starts; larger items run past the struct's end.
        bytes = std::max(sizeof(TW_ONEVALUE), 2 + size);
        break;
    case TWON_ARRAY:
        bytes = offsetof(TW_ARRAY, ItemList) + size * c.items.size() + 2;
        break;
    case TWON_ENUMERATION:
        bytes = offsetof(TW_ENUMERATION, ItemList) + size * c.items.size() + 2;
        break;
    case TWON_RANGE:
        if (size > 4 || c.items.size() != 5)
            return nullptr;
        bytes = sizeof(TW_RANGE);
        break;
    default:
        return nullptr;
    }
    TW_HANDLE handle = allocateHandle(bytes);
    auto *memory = static_cast<uint8_t *>(lockHandle(handle));
    if (!memory) {
        freeHandle(handle);
        return nullptr;
    }
    switch (c.conType) {
    case TWON_ONEVALUE: {
        auto *one = reinterpret_cast<TW_ONEVALUE *>(memory);
        one->ItemType = c.itemType;
        if (!c.items.empty())
            writeItem(c.itemType, c.items.front(), memory + offsetof(TW_ONEVALUE, Item));
        break;
    }
    case TWON_ARRAY: {
        auto *array = reinterpret_cast<TW_ARRAY *>(memory);
        array->ItemType = c.itemType;
        array->NumItems = static_cast<TW_UINT32>(c.items.size());
        for (size_t i = 0; i < c.items.size(); ++i)
            writeItem(c.itemType, c.items[i], memory + offsetof(TW_ARRAY, ItemList) + i * size);
        break;
    }
    case TWON_ENUMERATION: {
        auto *enumeration = reinterpret_cast<TW_ENUMERATION *>(memory);
        enumeration->ItemType = c.itemType;
        enumeration->NumItems = static_cast<TW_UINT32>(c.items.size());
        enumeration->CurrentIndex = c.currentIndex;
        enumeration->DefaultIndex = c.defaultIndex;
        for (size_t i = 0; i < c.items.size(); ++i)
            writeItem(c.itemType, c.items[i], memory + offsetof(TW_ENUMERATION, ItemList) + i * size);
        break;
    }
    case TWON_RANGE: {
        auto *range = reinterpret_cast<TW_RANGE *>(memory);
        range->ItemType = c.itemType;
        const size_t offsets[5] = {offsetof(TW_RANGE, MinValue), offsetof(TW_RANGE, MaxValue),
                                   offsetof(TW_RANGE, StepSize), offsetof(TW_RANGE, DefaultValue),
                                   offsetof(TW_RANGE, CurrentValue)};
        for (int i = 0; i < 5; ++i)
            writeItem(c.itemType, c.items[i], memory + offsets[i]);
        break;
    }
    }
    unlockHandle(handle);
    return handle;
}

bool parseContainer(uint16_t conType, const void *memory, Container &c)
{
    if (!memory)
        return false;
    const auto *bytes = static_cast<const uint8_t *>(memory);
    c = Container();
    c.conType = conType;
    std::memcpy(&c.itemType, bytes, sizeof c.itemType);
    const size_t size = itemSize(c.itemType);
    if (size == 0)
        return false;
    // Guards against garbage counts: no capability of ours holds more than this.
    constexpr uint32_t kMaxItems = 65536;
    switch (conType) {
    case TWON_ONEVALUE:
        c.items.push_back(readItem(c.itemType, bytes + offsetof(TW_ONEVALUE, Item)));
        return true;
    case TWON_ARRAY: {
        TW_UINT32 count;
        std::memcpy(&count, bytes + offsetof(TW_ARRAY, NumItems), sizeof count);
        if (count > kMaxItems)
            return false;
        for (uint32_t i = 0; i < count; ++i)
            c.items.push_back(readItem(c.itemType, bytes + offsetof(TW_ARRAY, ItemList) + i * size));
        return true;
    }
    case TWON_ENUMERATION: {
        TW_ENUMERATION head;
        std::memcpy(&head, bytes, offsetof(TW_ENUMERATION, ItemList));
        if (head.NumItems > kMaxItems)
            return false;
        c.currentIndex = head.CurrentIndex;
        c.defaultIndex = head.DefaultIndex;
        for (uint32_t i = 0; i < head.NumItems; ++i)
            c.items.push_back(readItem(c.itemType, bytes + offsetof(TW_ENUMERATION, ItemList) + i * size));
        return true;
    }
    case TWON_RANGE: {
        if (size > 4)
            return false;
        const size_t offsets[5] = {offsetof(TW_RANGE, MinValue), offsetof(TW_RANGE, MaxValue),
                                   offsetof(TW_RANGE, StepSize), offsetof(TW_RANGE, DefaultValue),
                                   offsetof(TW_RANGE, CurrentValue)};
        for (size_t offset : offsets)
            c.items.push_back(readItem(c.itemType, bytes + offset));
        return true;
    }
    default:
        return false;
    }
}

nlohmann::json containerToJson(const Container &c)
{
    nlohmann::json out;
    out["conType"] = conTypeName(c.conType);
    out["itemType"] = itemTypeName(c.itemType);
    auto list = nlohmann::json::array();
    for (const CapItem &item : c.items)
        list.push_back(itemToJson(c.itemType, item));
    switch (c.conType) {
    case TWON_ONEVALUE:
        out["value"] = c.items.empty() ? nlohmann::json() : list[0];
        break;
    case TWON_ARRAY:
        out["values"] = list;
        break;
    case TWON_ENUMERATION:
        out["values"] = list;
        out["currentIndex"] = c.currentIndex;
        out["defaultIndex"] = c.defaultIndex;
        break;
    case TWON_RANGE:
        if (c.items.size() == 5) {
            out["min"] = list[0];
            out["max"] = list[1];
            out["step"] = list[2];
            out["default"] = list[3];
            out["current"] = list[4];
        }
        break;
    default:
        break;
    }
    return out;
}

// ---- Capability --------------------------------------------------------------------------

double Capability::currentReal() const
{
    return current.empty() ? 0 : itemAsNumber(itemType, current.front());
}

static std::vector<CapItem> const &effectiveAllowed(const Capability &cap)
{
    return cap.isConstrained ? cap.constrained : cap.allowed;
}

static size_t indexOf(const Capability &cap, const std::vector<CapItem> &list, const CapItem &item)
{
    for (size_t i = 0; i < list.size(); ++i)
        if (sameItem(cap.itemType, list[i], item))
            return i;
    return list.size();
}

Container Capability::forGet() const
{
    Container c;
    c.conType = conType;
    c.itemType = itemType;
    switch (conType) {
    case TWON_ENUMERATION: {
        c.items = effectiveAllowed(*this);
        const CapItem currentItem = current.empty() ? CapItem() : current.front();
        const CapItem defaultItem = defaults.empty() ? CapItem() : defaults.front();
        c.currentIndex = static_cast<uint32_t>(indexOf(*this, c.items, currentItem));
        c.defaultIndex = static_cast<uint32_t>(indexOf(*this, allowed, defaultItem));
        if (c.currentIndex >= c.items.size())
            c.currentIndex = 0;
        // The default index refers to the list handed out; a constrained list may lack it.
        c.defaultIndex = static_cast<uint32_t>(indexOf(*this, c.items, defaultItem));
        if (c.defaultIndex >= c.items.size())
            c.defaultIndex = 0;
        break;
    }
    case TWON_RANGE:
        c.items = {isConstrained ? constrainedMin : minimum, isConstrained ? constrainedMax : maximum, step,
                   defaults.empty() ? CapItem() : defaults.front(), current.empty() ? CapItem() : current.front()};
        break;
    case TWON_ARRAY:
        c.items = current;
        break;
    default:
        c.items = {current.empty() ? CapItem() : current.front()};
        break;
    }
    return c;
}

Container Capability::forCurrent() const
{
    Container c;
    c.itemType = itemType;
    c.conType = conType == TWON_ARRAY ? TWON_ARRAY : TWON_ONEVALUE;
    c.items = conType == TWON_ARRAY ? current : std::vector<CapItem>{current.empty() ? CapItem() : current.front()};
    return c;
}

Container Capability::forDefault() const
{
    Container c;
    c.itemType = itemType;
    c.conType = conType == TWON_ARRAY ? TWON_ARRAY : TWON_ONEVALUE;
    c.items = conType == TWON_ARRAY ? defaults : std::vector<CapItem>{defaults.empty() ? CapItem() : defaults.front()};
    return c;
}

bool Capability::allows(const CapItem &item) const
{
    if (conType == TWON_RANGE) {
        const double value = itemAsNumber(itemType, item);
        const double low = itemAsNumber(itemType, isConstrained ? constrainedMin : minimum);
        const double high = itemAsNumber(itemType, isConstrained ? constrainedMax : maximum);
        const double stepSize = itemAsNumber(itemType, step);
        if (value < low - 1e-9 || value > high + 1e-9)
            return false;
        if (stepSize <= 0)
            return true;
        const double steps = (value - itemAsNumber(itemType, minimum)) / stepSize;
        return std::fabs(steps - std::round(steps)) < 1e-6;
    }
    const std::vector<CapItem> &list = effectiveAllowed(*this);
    if (list.empty())
        return true;
    return indexOf(*this, list, item) < list.size();
}

uint16_t Capability::set(const Container &request)
{
    if (readOnly)
        return TWCC_CAPBADOPERATION;
    if (request.itemType != itemType)
        return TWCC_BADVALUE;
    switch (request.conType) {
    case TWON_ONEVALUE:
        if (request.items.empty() || !allows(request.items.front()))
            return TWCC_BADVALUE;
        current = {request.items.front()};
        return TWCC_SUCCESS;
    case TWON_ARRAY:
        if (conType != TWON_ARRAY)
            return TWCC_BADVALUE;
        for (const CapItem &item : request.items)
            if (!allows(item))
                return TWCC_BADVALUE;
        current = request.items;
        return TWCC_SUCCESS;
    case TWON_ENUMERATION: {
        // Narrows the allowed values to the ones given and takes the one at CurrentIndex.
        if (request.items.empty() || request.currentIndex >= request.items.size())
            return TWCC_BADVALUE;
        if (conType == TWON_RANGE || conType == TWON_ARRAY)
            return TWCC_BADVALUE;
        for (const CapItem &item : request.items)
            if (!allows(item))
                return TWCC_BADVALUE;
        constrained = request.items;
        isConstrained = true;
        current = {request.items[request.currentIndex]};
        return TWCC_SUCCESS;
    }
    case TWON_RANGE: {
        if (conType != TWON_RANGE || request.items.size() != 5)
            return TWCC_BADVALUE;
        if (!allows(request.items[0]) || !allows(request.items[1]) || !allows(request.items[4]))
            return TWCC_BADVALUE;
        constrainedMin = request.items[0];
        constrainedMax = request.items[1];
        isConstrained = true;
        current = {request.items[4]};
        return TWCC_SUCCESS;
    }
    default:
        return TWCC_BADVALUE;
    }
}

void Capability::reset()
{
    isConstrained = false;
    constrained.clear();
    current = defaults;
}

} // namespace twaindsm
