#include "sane_capabilities.h"

#include "sane_library.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace twaindsm {

namespace {

constexpr double kTwainScale = 1000;
constexpr double kMmTolerance = 1.0;

struct PaperSize {
    uint16_t code;
    double width, height; // mm
};
const PaperSize kPaperSizes[] = {
    {TWSS_A3, 297, 420},          {TWSS_A4, 210, 297},          {TWSS_A5, 148, 210},
    {TWSS_A6, 105, 148},          {TWSS_ISOB5, 176, 250},       {TWSS_JISB5, 182, 257},
    {TWSS_USLETTER, 215.9, 279.4}, {TWSS_USLEGAL, 215.9, 355.6}, {TWSS_USEXECUTIVE, 184.15, 266.7},
    {TWSS_USSTATEMENT, 139.7, 215.9},
};

std::vector<std::string> wordsOf(const std::string &text)
{
    std::vector<std::string> words;
    std::string word;
    for (unsigned char c : text + " ") {
        if (std::isalnum(c)) {
            word += static_cast<char>(std::tolower(c));
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    return words;
}

bool containsWord(const std::string &text, std::initializer_list<const char *> wanted)
{
    for (const std::string &word : wordsOf(text))
        for (const char *w : wanted)
            if (word == w)
                return true;
    return false;
}

bool near(double a, double b, double tolerance) { return std::fabs(a - b) <= tolerance; }

bool isIntegerType(uint16_t type) { return isNumericType(type) && type != TWTY_FIX32; }

// The item a MSG_SET container asks for, converted to the capability's item type.
bool requestedItem(const Capability &capability, const Container &request, CapItem &item)
{
    if (request.items.empty() || !isNumericType(request.itemType) || !isNumericType(capability.itemType))
        return false;
    size_t index = 0;
    switch (request.conType) {
    case TWON_ONEVALUE: index = 0; break;
    case TWON_ENUMERATION: index = request.currentIndex; break;
    case TWON_RANGE: index = 4; break; // the current value
    default: return false;
    }
    if (index >= request.items.size())
        return false;
    const double value = itemAsNumber(request.itemType, request.items[index]);
    if (capability.itemType == TWTY_FIX32)
        item = CapItem::fix32(value);
    else if (isIntegerType(capability.itemType) && value == std::floor(value))
        item = CapItem::number(static_cast<long long>(value));
    else
        return false;
    return true;
}

} // namespace

PaperSource classifyPaperSource(const std::string &value)
{
    if (containsWord(value, {"duplex"}))
        return PaperSource::Duplex;
    if (containsWord(value, {"adf", "feeder", "adf1", "adf2"}))
        return PaperSource::Feeder;
    return PaperSource::Flatbed;
}

int pixelTypeOfMode(const std::string &mode)
{
    std::string lower = mode;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.find("lineart") != std::string::npos || lower.find("binary") != std::string::npos
        || lower.find("halftone") != std::string::npos || containsWord(mode, {"bw"}))
        return TWPT_BW;
    if (lower.find("gray") != std::string::npos || lower.find("grey") != std::string::npos)
        return TWPT_GRAY;
    if (lower.find("color") != std::string::npos || lower.find("colour") != std::string::npos)
        return TWPT_RGB;
    return -1;
}

double toTwainScale(double value, double min, double max)
{
    return max > min ? -kTwainScale + (value - min) * 2 * kTwainScale / (max - min) : 0;
}

double fromTwainScale(double value, double min, double max)
{
    return min + (value + kTwainScale) * (max - min) / (2 * kTwainScale);
}

SaneCapabilities::SaneCapabilities(SaneOptions &options) : options_(options)
{
    addManaged();
}

long long SaneCapabilities::number(uint16_t id, long long fallback) const
{
    return currentNumber(caps_, id, fallback);
}

double SaneCapabilities::real(uint16_t id, double fallback) const
{
    return currentReal(caps_, id, fallback);
}

void SaneCapabilities::setOnline(bool online)
{
    online_ = online;
    managed_[CAP_DEVICEONLINE].current = {CapItem::number(online ? 1 : 0)};
    caps_[CAP_DEVICEONLINE] = managed_[CAP_DEVICEONLINE];
}

bool SaneCapabilities::scanArea(double frame[4]) const
{
    for (int i = 0; i < 4; ++i)
        frame[i] = areaInches_[i];
    return areaKnown_;
}

void SaneCapabilities::refresh()
{
    caps_.clear();
    areaKnown_ = false;
    addResolution();
    addPixelType();
    addPaperSource();
    addScaled(ICAP_BRIGHTNESS, "brightness");
    addScaled(ICAP_CONTRAST, "contrast");
    addSizes();
    for (auto &entry : caps_) {
        Capability &cap = entry.second;
        if (cap.current.empty())
            continue;
        // The values the device had when it was opened are its defaults.
        auto known = defaults_.find(entry.first);
        if (known == defaults_.end())
            known = defaults_.emplace(entry.first, cap.current.front()).first;
        cap.defaults = {known->second};
    }
    for (const auto &entry : managed_)
        caps_[entry.first] = entry.second;
    addSupportedCaps(caps_);
}

void SaneCapabilities::addManaged()
{
    auto add = [this](Capability cap) { managed_[cap.id] = std::move(cap); };
    add(oneValue(CAP_XFERCOUNT, TWTY_INT16, CapItem::number(-1), false));
    add(enumeration(ICAP_XFERMECH, TWTY_UINT16, numbers({TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY, TWSX_MEMFILE}),
                    CapItem::number(TWSX_NATIVE)));
    add(enumeration(ICAP_IMAGEFILEFORMAT, TWTY_UINT16, numbers({TWFF_BMP, TWFF_TIFF}), CapItem::number(TWFF_BMP)));
    add(enumeration(ICAP_COMPRESSION, TWTY_UINT16, numbers({TWCP_NONE}), CapItem::number(TWCP_NONE)));
    add(enumeration(ICAP_PIXELFLAVOR, TWTY_UINT16, numbers({TWPF_CHOCOLATE}), CapItem::number(TWPF_CHOCOLATE)));
    add(enumeration(ICAP_UNITS, TWTY_UINT16, numbers({TWUN_INCHES}), CapItem::number(TWUN_INCHES)));
    add(oneValue(ICAP_UNDEFINEDIMAGESIZE, TWTY_BOOL, CapItem::number(0), false, numbers({0, 1})));
    add(oneValue(CAP_UICONTROLLABLE, TWTY_BOOL, CapItem::number(1), true));
    add(oneValue(CAP_DEVICEONLINE, TWTY_BOOL, CapItem::number(1), true));
}

void SaneCapabilities::addResolution()
{
    double current = 0;
    if (!options_.number("resolution", current) || options_.type("resolution") == SANE_TYPE_BOOL)
        return;
    const SaneConstraint c = options_.constraint("resolution");
    Capability cap;
    switch (c.type) {
    case SANE_CONSTRAINT_RANGE:
        cap = range(ICAP_XRESOLUTION, TWTY_FIX32, CapItem::fix32(c.min), CapItem::fix32(c.max),
                    CapItem::fix32(c.quant > 0 ? c.quant : 1), CapItem::fix32(current));
        break;
    case SANE_CONSTRAINT_WORD_LIST: {
        std::vector<CapItem> items;
        for (double word : c.words)
            items.push_back(CapItem::fix32(word));
        cap = enumeration(ICAP_XRESOLUTION, TWTY_FIX32, items, CapItem::fix32(current));
        break;
    }
    default:
        cap = oneValue(ICAP_XRESOLUTION, TWTY_FIX32, CapItem::fix32(current), false);
        break;
    }
    cap.readOnly = !options_.settable("resolution");
    caps_[ICAP_XRESOLUTION] = cap;
    cap.id = ICAP_YRESOLUTION;
    caps_[ICAP_YRESOLUTION] = cap;
}

void SaneCapabilities::addPixelType()
{
    std::string current;
    if (!options_.text("mode", current))
        return;
    std::vector<CapItem> types;
    for (const std::string &mode : options_.constraint("mode").strings) {
        const int type = pixelTypeOfMode(mode);
        if (type >= 0 && std::none_of(types.begin(), types.end(), [&](const CapItem &i) { return i.integer == type; }))
            types.push_back(CapItem::number(type));
    }
    if (types.empty())
        return;
    const int type = pixelTypeOfMode(current);
    Capability cap = enumeration(ICAP_PIXELTYPE, TWTY_UINT16, types, type >= 0 ? CapItem::number(type) : types.front());
    cap.readOnly = !options_.settable("mode");
    caps_[ICAP_PIXELTYPE] = cap;
}

void SaneCapabilities::addPaperSource()
{
    std::string current;
    if (!options_.text("source", current))
        return;
    bool flatbed = false, feeder = false, duplex = false;
    for (const std::string &value : options_.constraint("source").strings) {
        switch (classifyPaperSource(value)) {
        case PaperSource::Flatbed: flatbed = true; break;
        case PaperSource::Feeder: feeder = true; break;
        case PaperSource::Duplex: duplex = true; break;
        }
    }
    const PaperSource now = classifyPaperSource(current);
    const bool settable = options_.settable("source");
    caps_[CAP_DUPLEX] = oneValue(CAP_DUPLEX, TWTY_UINT16, CapItem::number(duplex ? TWDX_1PASSDUPLEX : TWDX_NONE), true);
    if (feeder || duplex) {
        Capability cap = oneValue(CAP_FEEDERENABLED, TWTY_BOOL, CapItem::number(now != PaperSource::Flatbed ? 1 : 0),
                                  !settable, flatbed ? numbers({0, 1}) : numbers({1}));
        caps_[CAP_FEEDERENABLED] = cap;
    }
    if (duplex) {
        Capability cap = oneValue(CAP_DUPLEXENABLED, TWTY_BOOL, CapItem::number(now == PaperSource::Duplex ? 1 : 0),
                                  !settable, feeder || flatbed ? numbers({0, 1}) : numbers({1}));
        caps_[CAP_DUPLEXENABLED] = cap;
    }
}

void SaneCapabilities::addScaled(uint16_t id, const char *option)
{
    double current = 0;
    const SANE_Value_Type type = options_.type(option);
    if ((type != SANE_TYPE_INT && type != SANE_TYPE_FIXED) || !options_.number(option, current))
        return;
    const SaneConstraint c = options_.constraint(option);
    double min = c.min, max = c.max, quant = c.quant;
    if (c.type == SANE_CONSTRAINT_WORD_LIST && !c.words.empty()) {
        min = *std::min_element(c.words.begin(), c.words.end());
        max = *std::max_element(c.words.begin(), c.words.end());
        quant = 0;
    } else if (c.type != SANE_CONSTRAINT_RANGE) {
        return; // without a range there is nothing to scale onto
    }
    if (max <= min)
        return;
    if (quant <= 0 && type == SANE_TYPE_INT)
        quant = 1;
    const double step = quant > 0 ? 2 * kTwainScale * quant / (max - min) : 1;
    Capability cap = range(id, TWTY_FIX32, CapItem::fix32(-kTwainScale), CapItem::fix32(kTwainScale), CapItem::fix32(step),
                           CapItem::fix32(toTwainScale(current, min, max)));
    cap.readOnly = !options_.settable(option);
    caps_[id] = cap;
}

SaneCapabilities::Area SaneCapabilities::area() const
{
    Area a;
    for (const char *name : {"tl-x", "tl-y", "br-x", "br-y"}) {
        const SANE_Option_Descriptor *d = options_.find(name);
        if (!d || d->unit != SANE_UNIT_MM || d->constraint_type != SANE_CONSTRAINT_RANGE)
            return a;
    }
    a.xMin = options_.constraint("tl-x").min;
    a.yMin = options_.constraint("tl-y").min;
    a.xMax = options_.constraint("br-x").max;
    a.yMax = options_.constraint("br-y").max;
    a.known = a.xMax > a.xMin && a.yMax > a.yMin;
    return a;
}

void SaneCapabilities::addSizes()
{
    const Area a = area();
    double tlx = 0, tly = 0, brx = 0, bry = 0;
    if (!a.known || !options_.number("tl-x", tlx) || !options_.number("tl-y", tly) || !options_.number("br-x", brx)
        || !options_.number("br-y", bry))
        return;
    const double corners[4] = {tlx, tly, brx, bry};
    for (int i = 0; i < 4; ++i)
        areaInches_[i] = corners[i] / 25.4;
    areaKnown_ = true;
    const double width = a.xMax - a.xMin, height = a.yMax - a.yMin;
    std::vector<CapItem> sizes{CapItem::number(TWSS_NONE)};
    long long current = TWSS_NONE;
    for (const PaperSize &size : kPaperSizes) {
        if (size.width <= width + kMmTolerance && size.height <= height + kMmTolerance)
            sizes.push_back(CapItem::number(size.code));
        if (near(tlx, a.xMin, kMmTolerance) && near(tly, a.yMin, kMmTolerance) && near(brx - tlx, size.width, kMmTolerance)
            && near(bry - tly, size.height, kMmTolerance))
            current = size.code;
    }
    Capability cap = enumeration(ICAP_SUPPORTEDSIZES, TWTY_UINT16, sizes, CapItem::number(current));
    cap.readOnly = !options_.settable("br-x") || !options_.settable("br-y");
    caps_[ICAP_SUPPORTEDSIZES] = cap;
    caps_[ICAP_PHYSICALWIDTH] = oneValue(ICAP_PHYSICALWIDTH, TWTY_FIX32, CapItem::fix32(width / 25.4), true);
    caps_[ICAP_PHYSICALHEIGHT] = oneValue(ICAP_PHYSICALHEIGHT, TWTY_FIX32, CapItem::fix32(height / 25.4), true);
}

// ---- Writing -----------------------------------------------------------------------------

uint16_t SaneCapabilities::set(Capability &capability, const Container &request, bool &adjusted)
{
    const uint16_t id = capability.id;
    auto managed = managed_.find(id);
    if (managed != managed_.end()) {
        const uint16_t code = capability.set(request);
        if (code == TWCC_SUCCESS)
            managed->second = capability;
        return code;
    }
    CapItem item;
    if (!requestedItem(capability, request, item))
        return TWCC_BADVALUE;
    const uint16_t code = write(id, item, adjusted);
    refresh();
    return code;
}

uint16_t SaneCapabilities::reset(Capability &capability, bool &adjusted)
{
    const uint16_t id = capability.id;
    auto managed = managed_.find(id);
    if (managed != managed_.end()) {
        capability.reset();
        managed->second = capability;
        return TWCC_SUCCESS;
    }
    auto known = defaults_.find(id);
    if (known == defaults_.end())
        return TWCC_CAPBADOPERATION;
    const uint16_t code = write(id, known->second, adjusted);
    refresh();
    return code;
}

void SaneCapabilities::resetAll()
{
    for (auto &entry : managed_)
        entry.second.reset();
    setOnline(online_);
    for (const auto &entry : defaults_) {
        auto found = caps_.find(entry.first);
        bool adjusted = false;
        if (found != caps_.end() && !found->second.readOnly)
            write(entry.first, entry.second, adjusted);
    }
    refresh();
}

uint16_t SaneCapabilities::write(uint16_t id, const CapItem &item, bool &adjusted)
{
    SANE_Int info = 0;
    SANE_Status status = SANE_STATUS_GOOD;
    switch (id) {
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: {
        const double wanted = item.real;
        const SaneConstraint c = options_.constraint("resolution");
        if (c.type == SANE_CONSTRAINT_RANGE && (wanted < c.min - 1e-6 || wanted > c.max + 1e-6))
            return TWCC_BADVALUE;
        if (c.type == SANE_CONSTRAINT_WORD_LIST
            && std::none_of(c.words.begin(), c.words.end(), [&](double w) { return near(w, wanted, 1e-4); }))
            return TWCC_BADVALUE;
        status = options_.setNumber("resolution", wanted, info);
        double now = wanted;
        options_.number("resolution", now);
        adjusted = (info & SANE_INFO_INEXACT) || !near(now, wanted, 1e-4);
        break;
    }
    case ICAP_PIXELTYPE: {
        std::string target;
        for (const std::string &mode : options_.constraint("mode").strings) {
            if (pixelTypeOfMode(mode) == item.integer) {
                target = mode;
                break;
            }
        }
        if (target.empty())
            return TWCC_BADVALUE;
        status = options_.setText("mode", target, info);
        std::string now;
        options_.text("mode", now);
        adjusted = (info & SANE_INFO_INEXACT) || pixelTypeOfMode(now) != item.integer;
        break;
    }
    case ICAP_BRIGHTNESS:
    case ICAP_CONTRAST: {
        const char *option = id == ICAP_BRIGHTNESS ? "brightness" : "contrast";
        const double wanted = item.real;
        if (wanted < -kTwainScale - 1e-6 || wanted > kTwainScale + 1e-6)
            return TWCC_BADVALUE;
        const SaneConstraint c = options_.constraint(option);
        double min = c.min, max = c.max;
        double target = 0;
        if (c.type == SANE_CONSTRAINT_WORD_LIST && !c.words.empty()) {
            min = *std::min_element(c.words.begin(), c.words.end());
            max = *std::max_element(c.words.begin(), c.words.end());
            const double exact = fromTwainScale(wanted, min, max);
            target = *std::min_element(c.words.begin(), c.words.end(),
                                       [&](double a, double b) { return std::fabs(a - exact) < std::fabs(b - exact); });
        } else {
            target = fromTwainScale(wanted, min, max);
        }
        status = options_.setNumber(option, target, info);
        double now = target;
        options_.number(option, now);
        adjusted = (info & SANE_INFO_INEXACT) || !near(toTwainScale(now, min, max), wanted, 1e-3);
        break;
    }
    case CAP_FEEDERENABLED:
    case CAP_DUPLEXENABLED:
        return writeSource(id, item.integer != 0, adjusted);
    case ICAP_SUPPORTEDSIZES:
        return writeSize(item.integer, adjusted);
    default:
        return TWCC_CAPBADOPERATION;
    }
    return status == SANE_STATUS_GOOD ? static_cast<uint16_t>(TWCC_SUCCESS) : saneConditionCode(status);
}

uint16_t SaneCapabilities::writeSource(uint16_t id, bool enable, bool &adjusted)
{
    std::string current;
    options_.text("source", current);
    const PaperSource now = classifyPaperSource(current);
    const std::vector<std::string> values = options_.constraint("source").strings;
    auto first = [&values](PaperSource kind) {
        for (const std::string &value : values)
            if (classifyPaperSource(value) == kind)
                return value;
        return std::string();
    };
    std::string target;
    if (id == CAP_FEEDERENABLED) {
        if (enable == (now != PaperSource::Flatbed))
            return TWCC_SUCCESS;
        target = enable ? first(PaperSource::Feeder) : first(PaperSource::Flatbed);
        if (target.empty() && enable)
            target = first(PaperSource::Duplex);
    } else {
        if (enable == (now == PaperSource::Duplex))
            return TWCC_SUCCESS;
        // Duplex off keeps the feeder when there is a single-sided one.
        target = enable ? first(PaperSource::Duplex) : first(PaperSource::Feeder);
        if (target.empty() && !enable)
            target = first(PaperSource::Flatbed);
    }
    if (target.empty())
        return TWCC_BADVALUE;
    SANE_Int info = 0;
    const SANE_Status status = options_.setText("source", target, info);
    if (status != SANE_STATUS_GOOD)
        return saneConditionCode(status);
    std::string after;
    options_.text("source", after);
    adjusted = (info & SANE_INFO_INEXACT) || classifyPaperSource(after) != classifyPaperSource(target);
    return TWCC_SUCCESS;
}

uint16_t SaneCapabilities::writeSize(long long size, bool &adjusted)
{
    const Area a = area();
    if (!a.known)
        return TWCC_CAPBADOPERATION;
    double width = a.xMax - a.xMin, height = a.yMax - a.yMin;
    if (size != TWSS_NONE) {
        const PaperSize *found = nullptr;
        for (const PaperSize &paper : kPaperSizes)
            if (paper.code == size)
                found = &paper;
        if (!found)
            return TWCC_BADVALUE;
        // A size larger than the device scans as much of it as fits.
        adjusted = found->width > width + kMmTolerance || found->height > height + kMmTolerance;
        width = std::min(width, found->width);
        height = std::min(height, found->height);
    }
    const std::pair<const char *, double> values[] = {
        {"tl-x", a.xMin}, {"tl-y", a.yMin}, {"br-x", a.xMin + width}, {"br-y", a.yMin + height}};
    for (const auto &value : values) {
        SANE_Int info = 0;
        const SANE_Status status = options_.setNumber(value.first, value.second, info);
        if (status != SANE_STATUS_GOOD)
            return saneConditionCode(status);
        double now = value.second;
        options_.number(value.first, now);
        adjusted = adjusted || !near(now, value.second, 0.5);
    }
    return TWCC_SUCCESS;
}

} // namespace twaindsm
