#include "source_capabilities.h"

#include "platform.h"
#include "twain_names.h"

#include <algorithm>
#include <cctype>

namespace twaindsm {

using nlohmann::json;

uint16_t pixelTypeCode(const std::string &name)
{
    if (name == "bw") return TWPT_BW;
    if (name == "gray" || name == "grey") return TWPT_GRAY;
    if (name == "rgb") return TWPT_RGB;
    return 0xffff;
}

uint16_t xferMechCode(const std::string &name)
{
    if (name == "native") return TWSX_NATIVE;
    if (name == "file") return TWSX_FILE;
    if (name == "memory") return TWSX_MEMORY;
    if (name == "memfile") return TWSX_MEMFILE;
    return 0xffff;
}

uint16_t paperSizeCode(const std::string &name)
{
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == "a4") return TWSS_A4;
    if (lower == "a3") return TWSS_A3;
    if (lower == "a5") return TWSS_A5;
    if (lower == "letter") return TWSS_USLETTER;
    if (lower == "legal") return TWSS_USLEGAL;
    return 0xffff;
}

Capability oneValue(uint16_t id, uint16_t itemType, CapItem value, bool readOnly, std::vector<CapItem> allowed)
{
    Capability cap;
    cap.id = id;
    cap.itemType = itemType;
    cap.conType = TWON_ONEVALUE;
    cap.readOnly = readOnly;
    cap.allowed = std::move(allowed);
    cap.defaults = {value};
    cap.current = {value};
    return cap;
}

Capability enumeration(uint16_t id, uint16_t itemType, std::vector<CapItem> items, CapItem value)
{
    Capability cap;
    cap.id = id;
    cap.itemType = itemType;
    cap.conType = TWON_ENUMERATION;
    cap.allowed = std::move(items);
    cap.defaults = {value};
    cap.current = {value};
    return cap;
}

Capability range(uint16_t id, uint16_t itemType, CapItem low, CapItem high, CapItem step, CapItem value)
{
    Capability cap;
    cap.id = id;
    cap.itemType = itemType;
    cap.conType = TWON_RANGE;
    cap.minimum = low;
    cap.maximum = high;
    cap.step = step;
    cap.defaults = {value};
    cap.current = {value};
    return cap;
}

std::vector<CapItem> numbers(std::initializer_list<long long> values)
{
    std::vector<CapItem> items;
    for (long long value : values)
        items.push_back(CapItem::number(value));
    return items;
}

long long currentNumber(const CapabilityMap &caps, uint16_t id, long long fallback)
{
    auto found = caps.find(id);
    return found == caps.end() || found->second.current.empty() ? fallback : found->second.currentNumber();
}

double currentReal(const CapabilityMap &caps, uint16_t id, double fallback)
{
    auto found = caps.find(id);
    return found == caps.end() || found->second.current.empty() ? fallback : found->second.currentReal();
}

void addSupportedCaps(CapabilityMap &caps)
{
    Capability supported;
    supported.id = CAP_SUPPORTEDCAPS;
    supported.itemType = TWTY_UINT16;
    supported.conType = TWON_ARRAY;
    supported.readOnly = true;
    caps[CAP_SUPPORTEDCAPS] = supported; // listed in itself
    std::vector<CapItem> ids;
    for (const auto &entry : caps)
        ids.push_back(CapItem::number(entry.first));
    caps[CAP_SUPPORTEDCAPS].defaults = ids;
    caps[CAP_SUPPORTEDCAPS].current = ids;
}

uint16_t capabilityTriplet(uint16_t msg, TW_CAPABILITY *cap, CapabilityMap &caps, const CapabilityWriter &writer,
                           nlohmann::json &detail, uint16_t &conditionCode)
{
    auto fail = [&conditionCode](uint16_t code) { conditionCode = code; return static_cast<uint16_t>(TWRC_FAILURE); };
    if (msg == MSG_RESETALL) {
        writer.resetAll();
        return TWRC_SUCCESS;
    }
    detail["cap"] = capName(cap->Cap);
    auto found = caps.find(cap->Cap);
    if (found == caps.end())
        return fail(TWCC_CAPUNSUPPORTED);
    Capability &capability = found->second;

    bool adjusted = false;
    Container answer;
    switch (msg) {
    case MSG_GET: answer = capability.forGet(); break;
    case MSG_GETCURRENT: answer = capability.forCurrent(); break;
    case MSG_GETDEFAULT: answer = capability.forDefault(); break;
    case MSG_RESET: {
        if (capability.readOnly)
            return fail(TWCC_CAPBADOPERATION);
        const uint16_t code = writer.reset(capability, adjusted);
        if (code != TWCC_SUCCESS)
            return fail(code);
        found = caps.find(cap->Cap); // the writer may have rebuilt the capabilities
        if (found == caps.end())
            return fail(TWCC_CAPUNSUPPORTED);
        answer = found->second.forGet();
        break;
    }
    case MSG_QUERYSUPPORT: {
        answer.conType = TWON_ONEVALUE;
        answer.itemType = TWTY_INT32;
        long long operations = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
        if (!capability.readOnly)
            operations |= TWQC_SET | TWQC_RESET;
        answer.items = {CapItem::number(operations)};
        break;
    }
    case MSG_SET: {
        Container request;
        // The application's own handle: on Windows a GlobalAlloc block, often a moveable one.
        const void *memory = lockHandle(cap->hContainer);
        const bool parsed = parseContainer(cap->ConType, memory, request);
        if (memory)
            unlockHandle(cap->hContainer);
        if (!parsed) {
            detail["conType"] = conTypeName(cap->ConType);
            return fail(TWCC_BADVALUE);
        }
        detail["set"] = containerToJson(request);
        const uint16_t code = writer.set(capability, request, adjusted);
        if (code != TWCC_SUCCESS)
            return fail(code);
        return adjusted ? TWRC_CHECKSTATUS : TWRC_SUCCESS;
    }
    default:
        return fail(TWCC_CAPBADOPERATION);
    }
    TW_HANDLE container = buildContainer(answer);
    if (!container)
        return fail(TWCC_LOWMEMORY);
    cap->ConType = answer.conType;
    cap->hContainer = container;
    detail["returned"] = containerToJson(answer);
    return adjusted ? TWRC_CHECKSTATUS : TWRC_SUCCESS;
}

namespace {

CapItem flag(bool value) { return CapItem::number(value ? 1 : 0); }

// Paper sizes in inches, for the physical size of the bed.
void paperInches(uint16_t size, double &width, double &height)
{
    switch (size) {
    case TWSS_A3: width = 297 / 25.4; height = 420 / 25.4; break;
    case TWSS_A5: width = 148 / 25.4; height = 210 / 25.4; break;
    case TWSS_USLETTER: width = 8.5; height = 11; break;
    case TWSS_USLEGAL: width = 8.5; height = 14; break;
    default: width = 210 / 25.4; height = 297 / 25.4; break;
    }
}

void addBuiltIns(const SourceProfile &p, CapabilityMap &caps)
{
    auto add = [&caps](Capability cap) { caps[cap.id] = std::move(cap); };

    add(oneValue(CAP_XFERCOUNT, TWTY_INT16, CapItem::number(-1), false));

    std::vector<CapItem> mechs;
    for (const std::string &name : p.xferMechs)
        if (xferMechCode(name) != 0xffff)
            mechs.push_back(CapItem::number(xferMechCode(name)));
    add(enumeration(ICAP_XFERMECH, TWTY_UINT16, mechs, CapItem::number(xferMechCode(p.xferMech))));

    std::vector<CapItem> pixelTypes;
    for (const std::string &name : p.pixelTypes)
        if (pixelTypeCode(name) != 0xffff)
            pixelTypes.push_back(CapItem::number(pixelTypeCode(name)));
    add(enumeration(ICAP_PIXELTYPE, TWTY_UINT16, pixelTypes, CapItem::number(pixelTypeCode(p.pixelType))));

    std::vector<CapItem> resolutions;
    double highest = p.resolution;
    for (double value : p.resolutions) {
        resolutions.push_back(CapItem::fix32(value));
        highest = std::max(highest, value);
    }
    add(enumeration(ICAP_XRESOLUTION, TWTY_FIX32, resolutions, CapItem::fix32(p.resolution)));
    add(enumeration(ICAP_YRESOLUTION, TWTY_FIX32, resolutions, CapItem::fix32(p.resolution)));
    add(oneValue(ICAP_XNATIVERESOLUTION, TWTY_FIX32, CapItem::fix32(highest), true));
    add(oneValue(ICAP_YNATIVERESOLUTION, TWTY_FIX32, CapItem::fix32(highest), true));
    add(enumeration(ICAP_UNITS, TWTY_UINT16, numbers({TWUN_INCHES}), CapItem::number(TWUN_INCHES)));

    const uint16_t size = paperSizeCode(p.paperSize);
    add(enumeration(ICAP_SUPPORTEDSIZES, TWTY_UINT16,
                    numbers({TWSS_NONE, TWSS_A4, TWSS_A3, TWSS_A5, TWSS_USLETTER, TWSS_USLEGAL}),
                    CapItem::number(size)));
    double width = 0, height = 0;
    paperInches(TWSS_A3, width, height);
    add(oneValue(ICAP_PHYSICALWIDTH, TWTY_FIX32, CapItem::fix32(width), true));
    add(oneValue(ICAP_PHYSICALHEIGHT, TWTY_FIX32, CapItem::fix32(height), true));

    add(enumeration(ICAP_COMPRESSION, TWTY_UINT16, numbers({TWCP_NONE}), CapItem::number(TWCP_NONE)));
    add(enumeration(ICAP_IMAGEFILEFORMAT, TWTY_UINT16, numbers({TWFF_BMP, TWFF_TIFF}), CapItem::number(TWFF_BMP)));
    add(enumeration(ICAP_PIXELFLAVOR, TWTY_UINT16, numbers({TWPF_CHOCOLATE}), CapItem::number(TWPF_CHOCOLATE)));
    add(oneValue(ICAP_UNDEFINEDIMAGESIZE, TWTY_BOOL, flag(p.undefinedImageSize), false, numbers({0, 1})));
    add(range(ICAP_BRIGHTNESS, TWTY_FIX32, CapItem::fix32(-1000), CapItem::fix32(1000), CapItem::fix32(1), CapItem::fix32(0)));
    add(range(ICAP_CONTRAST, TWTY_FIX32, CapItem::fix32(-1000), CapItem::fix32(1000), CapItem::fix32(1), CapItem::fix32(0)));

    add(oneValue(CAP_DUPLEX, TWTY_UINT16, CapItem::number(p.duplexCapable ? TWDX_1PASSDUPLEX : TWDX_NONE), true));
    add(oneValue(CAP_DUPLEXENABLED, TWTY_BOOL, flag(p.duplex && p.duplexCapable), false,
                 p.duplexCapable ? numbers({0, 1}) : numbers({0})));
    add(oneValue(CAP_FEEDERENABLED, TWTY_BOOL, flag(p.feeder), false, numbers({0, 1})));
    add(oneValue(CAP_FEEDERLOADED, TWTY_BOOL, flag(p.pages > 0), true));
    add(oneValue(CAP_AUTOFEED, TWTY_BOOL, flag(true), false, numbers({0, 1})));
    add(oneValue(CAP_PAPERDETECTABLE, TWTY_BOOL, flag(true), true));
    add(oneValue(CAP_UICONTROLLABLE, TWTY_BOOL, flag(true), true));
    add(oneValue(CAP_DEVICEONLINE, TWTY_BOOL, flag(true), true));
    add(oneValue(CAP_INDICATORS, TWTY_BOOL, flag(true), false, numbers({0, 1})));
    add(oneValue(CAP_LANGUAGE, TWTY_UINT16, CapItem::number(TWLG_ENGLISH_UK), false));

    Capability events;
    events.id = CAP_DEVICEEVENT;
    events.itemType = TWTY_UINT16;
    events.conType = TWON_ARRAY;
    add(events);
}

uint16_t parseId(const json &value, std::string &error)
{
    if (value.is_number_integer() && value.get<long long>() >= 0 && value.get<long long>() <= 0xffff)
        return static_cast<uint16_t>(value.get<long long>());
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
            char *end = nullptr;
            const unsigned long number = std::strtoul(text.c_str() + 2, &end, 16);
            if (end && *end == 0 && number <= 0xffff)
                return static_cast<uint16_t>(number);
        }
        const auto named = constantValue(text);
        if (named && (text.rfind("CAP_", 0) == 0 || text.rfind("ICAP_", 0) == 0 || text.rfind("ACAP_", 0) == 0))
            return static_cast<uint16_t>(*named);
    }
    error = "unknown capability " + value.dump();
    return 0;
}

uint16_t parseKind(const json &value, const char *family, std::string &error)
{
    if (value.is_number_integer())
        return static_cast<uint16_t>(value.get<int>());
    if (value.is_string()) {
        std::string text = value.get<std::string>();
        std::string upper = text;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
        const std::string prefix = std::string(family) + "_";
        if (upper.rfind(prefix, 0) != 0)
            upper = prefix + upper;
        if (const auto named = constantValue(upper))
            return static_cast<uint16_t>(*named);
    }
    error = std::string("unknown ") + family + " " + value.dump();
    return 0xffff;
}

bool readItems(const Capability &cap, const json &value, std::vector<CapItem> &items, std::string &error)
{
    items.clear();
    const json list = value.is_array() && cap.itemType != TWTY_FRAME ? value : json::array({value});
    for (const json &entry : list) {
        CapItem item;
        if (!itemFromJson(cap.itemType, entry, item, error))
            return false;
        items.push_back(item);
    }
    return true;
}

// A capability entry of the profile; fields not given keep the built-in capability's.
bool applyEntry(const json &entry, CapabilityMap &caps, std::string &error)
{
    if (!entry.is_object() || entry.find("cap") == entry.end())
        return error = "a capability entry needs \"cap\"", false;
    const uint16_t id = parseId(entry["cap"], error);
    if (!error.empty())
        return false;
    const bool known = caps.count(id) > 0;
    Capability cap = known ? caps[id] : Capability();
    cap.id = id;
    const std::string name = capName(id);
    if (!known && id < CAP_CUSTOMBASE && name.rfind("0x", 0) == 0)
        return error = "unknown capability " + entry["cap"].dump(), false;
    if (entry.contains("type")) {
        cap.itemType = parseKind(entry["type"], "TWTY", error);
        if (!error.empty() || itemSize(cap.itemType) == 0)
            return error = name + ": unsupported item type " + entry["type"].dump(), false;
    }
    if (entry.contains("container")) {
        cap.conType = parseKind(entry["container"], "TWON", error);
        if (!error.empty() || cap.conType < TWON_ARRAY || cap.conType > TWON_RANGE)
            return error = name + ": unknown container " + entry["container"].dump(), false;
    }
    if (entry.contains("readOnly")) {
        if (!entry["readOnly"].is_boolean())
            return error = name + ": \"readOnly\" must be true or false", false;
        cap.readOnly = entry["readOnly"].get<bool>();
    }
    std::string itemError;
    auto fail = [&](const std::string &what) { error = name + ": " + what + (itemError.empty() ? "" : ": " + itemError); return false; };
    std::vector<CapItem> items;
    if (entry.contains("values")) {
        if (!readItems(cap, entry["values"], items, itemError))
            return fail("bad \"values\"");
        cap.allowed = items;
    }
    if (cap.conType == TWON_RANGE) {
        if (!isNumericType(cap.itemType))
            return fail("a range needs a numeric item type");
        for (const char *key : {"min", "max", "step"}) {
            if (!entry.contains(key))
                continue;
            CapItem item;
            if (!itemFromJson(cap.itemType, entry[key], item, itemError))
                return fail(std::string("bad \"") + key + "\"");
            (key[1] == 'i' ? cap.minimum : key[1] == 'a' ? cap.maximum : cap.step) = item;
        }
        cap.allowed.clear();
    }
    if (entry.contains("default")) {
        if (!readItems(cap, entry["default"], items, itemError))
            return fail("bad \"default\"");
        cap.defaults = items;
    } else if (cap.defaults.empty() && cap.conType != TWON_ARRAY) {
        if (!cap.allowed.empty())
            cap.defaults = {cap.allowed.front()};
        else if (cap.conType == TWON_RANGE)
            cap.defaults = {cap.minimum};
        else
            cap.defaults = {CapItem()};
    }
    if (entry.contains("current")) {
        if (!readItems(cap, entry["current"], items, itemError))
            return fail("bad \"current\"");
        cap.current = items;
    } else {
        cap.current = cap.defaults;
    }
    if (cap.conType != TWON_ARRAY && (cap.defaults.size() != 1 || cap.current.size() != 1))
        return fail("\"default\" and \"current\" must be single values");
    if (cap.conType == TWON_ENUMERATION && cap.allowed.empty())
        return fail("an enumeration needs \"values\"");
    for (const CapItem &item : cap.current)
        if (!cap.allows(item))
            return fail("\"current\" is not among the allowed values");
    for (const CapItem &item : cap.defaults)
        if (!cap.allows(item))
            return fail("\"default\" is not among the allowed values");
    caps[id] = cap;
    return true;
}

} // namespace

bool buildCapabilities(const SourceProfile &profile, CapabilityMap &caps, std::string &error)
{
    caps.clear();
    addBuiltIns(profile, caps);
    for (const auto &entry : caps) {
        for (const CapItem &item : entry.second.current) {
            if (!entry.second.allows(item)) {
                error = capName(entry.first) + ": the chosen value is not among the supported ones";
                return false;
            }
        }
    }
    for (const json &entry : profile.capabilities) {
        error.clear();
        if (!applyEntry(entry, caps, error))
            return false;
    }
    for (uint16_t id : profile.unsupportedCapabilities)
        caps.erase(id);
    error.clear();
    addSupportedCaps(caps);
    return true;
}

} // namespace twaindsm
