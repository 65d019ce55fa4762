#include "profile.h"

#include "platform.h"
#include "source_capabilities.h"
#include "twain_names.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace twaindsm {

using nlohmann::json;

namespace {

bool parseCloseRequest(const json &value, CloseRequest &out)
{
    const std::string text = value.is_string() ? value.get<std::string>() : std::string();
    if (text == "never")
        out = CloseRequest::Never;
    else if (text == "beforeFirstPage")
        out = CloseRequest::BeforeFirstPage;
    else if (text == "afterLastPage")
        out = CloseRequest::AfterLastPage;
    else
        return false;
    return true;
}

bool parseSaneMode(const json &value, SaneMode &out)
{
    const std::string text = value.is_string() ? value.get<std::string>() : std::string();
    if (text == "auto")
        out = SaneMode::Auto;
    else if (text == "off")
        out = SaneMode::Off;
    else if (text == "only")
        out = SaneMode::Only;
    else
        return false;
    return true;
}

// TWAINDSM_SANE, when it names a mode, overrides the profile's.
void applySaneOverride(ProfileSet &profiles)
{
    const char *value = std::getenv("TWAINDSM_SANE");
    if (value && *value && !parseSaneMode(json(value), profiles.sane))
        std::fprintf(stderr, "twaindsm: TWAINDSM_SANE must be auto, off or only, not \"%s\"\n", value);
}

bool sameProductName(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Reads one source entry; every field is optional.
class SourceReader {
public:
    SourceReader(const json &entry, SourceProfile &profile, std::string &error)
        : entry_(entry), profile_(profile), error_(error) {}

    bool read()
    {
        if (!entry_.is_object())
            return fail("a source must be a JSON object");
        static const char *const known[] = {
            "productName", "manufacturer", "productFamily", "version", "versionMajor", "versionMinor",
            "default", "pages", "duplexCapable", "duplex", "feeder", "paperSize", "resolution",
            "resolutions", "pixelType", "pixelTypes", "imageFolder", "xferMechs", "xferMech",
            "nativeFormat", "undefinedImageSize", "capabilities", "unsupportedCapabilities",
            "openFailure", "enableFailure", "failAtPage", "failImageInfoAtPage", "cancelAtPage", "lyingDibAtPage",
            "emptyFileAtPage", "missingFileAtPage", "closeRequest",
            "nativeReturnsSuccess", "pageDelayMs", "endXferDelayMs", "xferReadyInsideEnable", "deviceEvents"};
        for (auto it = entry_.begin(); it != entry_.end(); ++it) {
            bool isKnown = false;
            for (const char *name : known)
                isKnown = isKnown || it.key() == name;
            if (!isKnown)
                std::fprintf(stderr, "twaindsm: profile: ignoring unknown key \"%s\"\n", it.key().c_str());
        }
        return text("productName", profile_.productName, 33) && text("manufacturer", profile_.manufacturer, 33)
            && text("productFamily", profile_.productFamily, 33) && text("version", profile_.versionInfo, 33)
            && number("versionMajor", profile_.versionMajor) && number("versionMinor", profile_.versionMinor)
            && number("pages", profile_.pages) && flag("duplexCapable", profile_.duplexCapable)
            && flag("duplex", profile_.duplex) && flag("feeder", profile_.feeder)
            && text("paperSize", profile_.paperSize, 64) && real("resolution", profile_.resolution)
            && reals("resolutions", profile_.resolutions) && text("pixelType", profile_.pixelType, 16)
            && texts("pixelTypes", profile_.pixelTypes) && text("imageFolder", profile_.imageFolder, 4096)
            && texts("xferMechs", profile_.xferMechs) && text("xferMech", profile_.xferMech, 16)
            && text("nativeFormat", profile_.nativeFormat, 16)
            && flag("undefinedImageSize", profile_.undefinedImageSize) && capabilities() && unsupported()
            && condition("openFailure", profile_.openFailure) && condition("enableFailure", profile_.enableFailure)
            && failAtPage() && number("cancelAtPage", profile_.cancelAtPage)
            && number("lyingDibAtPage", profile_.lyingDibAtPage) && number("emptyFileAtPage", profile_.emptyFileAtPage)
            && number("missingFileAtPage", profile_.missingFileAtPage) && closeRequest()
            && flag("nativeReturnsSuccess", profile_.nativeReturnsSuccess) && number("pageDelayMs", profile_.pageDelayMs)
            && number("endXferDelayMs", profile_.endXferDelayMs)
            && flag("xferReadyInsideEnable", profile_.xferReadyInsideEnable) && deviceEvents() && consistent();
    }

private:
    bool fail(const std::string &message)
    {
        error_ = message;
        return false;
    }

    bool text(const char *key, std::string &out, size_t maxLength)
    {
        auto it = entry_.find(key);
        if (it == entry_.end())
            return true;
        if (!it->is_string())
            return fail(std::string("\"") + key + "\" must be a string");
        out = it->get<std::string>();
        if (out.size() > maxLength)
            return fail(std::string("\"") + key + "\" is longer than " + std::to_string(maxLength) + " bytes");
        return true;
    }

    template <typename T> bool number(const char *key, T &out)
    {
        auto it = entry_.find(key);
        if (it == entry_.end())
            return true;
        if (!it->is_number_integer() || it->get<long long>() < 0)
            return fail(std::string("\"") + key + "\" must be a whole number of 0 or more");
        out = static_cast<T>(it->get<long long>());
        return true;
    }

    bool real(const char *key, double &out)
    {
        auto it = entry_.find(key);
        if (it == entry_.end())
            return true;
        if (!it->is_number() || it->get<double>() <= 0)
            return fail(std::string("\"") + key + "\" must be a positive number");
        out = it->get<double>();
        return true;
    }

    bool flag(const char *key, bool &out)
    {
        auto it = entry_.find(key);
        if (it == entry_.end())
            return true;
        if (!it->is_boolean())
            return fail(std::string("\"") + key + "\" must be true or false");
        out = it->get<bool>();
        return true;
    }

    bool reals(const char *key, std::vector<double> &out)
    {
        auto it = entry_.find(key);
        if (it == entry_.end())
            return true;
        if (!it->is_array() || it->empty())
            return fail(std::string("\"") + key + "\" must be a list of numbers");
        out.clear();
        for (const json &value : *it) {
            if (!value.is_number() || value.get<double>() <= 0)
                return fail(std::string("\"") + key + "\" must be a list of positive numbers");
            out.push_back(value.get<double>());
        }
        return true;
    }

    bool texts(const char *key, std::vector<std::string> &out)
    {
        auto it = entry_.find(key);
        if (it == entry_.end())
            return true;
        if (!it->is_array() || it->empty())
            return fail(std::string("\"") + key + "\" must be a list of strings");
        out.clear();
        for (const json &value : *it) {
            if (!value.is_string())
                return fail(std::string("\"") + key + "\" must be a list of strings");
            out.push_back(value.get<std::string>());
        }
        return true;
    }

    bool condition(const char *key, uint16_t &out)
    {
        auto it = entry_.find(key);
        if (it == entry_.end())
            return true;
        if (it->is_string()) {
            const auto value = constantValue(it->get<std::string>());
            if (!value)
                return fail(std::string("\"") + key + "\": unknown condition code " + it->get<std::string>());
            out = static_cast<uint16_t>(*value);
            return true;
        }
        return number(key, out);
    }

    bool capabilities()
    {
        auto it = entry_.find("capabilities");
        if (it == entry_.end())
            return true;
        if (!it->is_array())
            return fail("\"capabilities\" must be a list of objects");
        profile_.capabilities.assign(it->begin(), it->end());
        return true;
    }

    bool unsupported()
    {
        auto it = entry_.find("unsupportedCapabilities");
        if (it == entry_.end())
            return true;
        if (!it->is_array())
            return fail("\"unsupportedCapabilities\" must be a list");
        for (const json &value : *it) {
            long long id = -1;
            if (value.is_number_integer())
                id = value.get<long long>();
            else if (value.is_string() && constantValue(value.get<std::string>()))
                id = *constantValue(value.get<std::string>());
            if (id < 0 || id > 0xffff)
                return fail("unknown capability " + value.dump() + " in \"unsupportedCapabilities\"");
            profile_.unsupportedCapabilities.push_back(static_cast<uint16_t>(id));
        }
        return true;
    }

    // {"page": n, "condition": code} into page and condition; true when absent.
    bool pageFailure(const char *key, int &page, uint16_t &condition)
    {
        auto it = entry_.find(key);
        if (it == entry_.end())
            return true;
        const std::string usage = std::string("\"") + key + "\" must be {\"page\": n, \"condition\": code (a number or a TWCC_ name)}";
        if (!it->is_object())
            return fail(usage);
        auto pageValue = it->find("page");
        auto conditionValue = it->find("condition");
        if (pageValue == it->end() || !pageValue->is_number_integer() || conditionValue == it->end())
            return fail(usage);
        page = pageValue->get<int>();
        if (conditionValue->is_number_integer())
            condition = static_cast<uint16_t>(conditionValue->get<int>());
        else if (conditionValue->is_string() && constantValue(conditionValue->get<std::string>()))
            condition = static_cast<uint16_t>(*constantValue(conditionValue->get<std::string>()));
        else
            return fail(usage);
        return true;
    }

    bool failAtPage()
    {
        return pageFailure("failAtPage", profile_.failAtPage, profile_.failCondition)
            && pageFailure("failImageInfoAtPage", profile_.failImageInfoAtPage, profile_.failImageInfoCondition);
    }

    bool closeRequest()
    {
        auto it = entry_.find("closeRequest");
        if (it == entry_.end() || parseCloseRequest(*it, profile_.closeRequest))
            return true;
        return fail("\"closeRequest\" must be \"never\", \"beforeFirstPage\" or \"afterLastPage\"");
    }

    bool deviceEvents()
    {
        auto it = entry_.find("deviceEvents");
        if (it == entry_.end())
            return true;
        if (!it->is_array())
            return fail("\"deviceEvents\" must be a list of {\"afterPage\": n, \"event\": code}");
        for (const json &value : *it) {
            DeviceEventScript script;
            if (!value.is_object())
                return fail("\"deviceEvents\" must be a list of {\"afterPage\": n, \"event\": code}");
            auto page = value.find("afterPage");
            if (page != value.end() && page->is_number_integer())
                script.afterPage = page->get<int>();
            auto event = value.find("event");
            if (event == value.end())
                return fail("a device event needs an \"event\"");
            if (event->is_number_integer())
                script.event = event->get<uint32_t>();
            else if (event->is_string() && constantValue(event->get<std::string>()))
                script.event = static_cast<uint32_t>(*constantValue(event->get<std::string>()));
            else
                return fail("unknown device event " + event->dump());
            profile_.deviceEvents.push_back(script);
        }
        return true;
    }

    bool consistent()
    {
        if (pixelTypeCode(profile_.pixelType) == 0xffff)
            return fail("unknown pixel type \"" + profile_.pixelType + "\" (bw, gray, rgb)");
        if (xferMechCode(profile_.xferMech) == 0xffff)
            return fail("unknown transfer mechanism \"" + profile_.xferMech + "\" (native, file, memory, memfile)");
        if (paperSizeCode(profile_.paperSize) == 0xffff)
            return fail("unknown paper size \"" + profile_.paperSize + "\" (A3, A4, A5, Letter, Legal)");
        if (profile_.nativeFormat != "dib" && profile_.nativeFormat != "tiff")
            return fail("\"nativeFormat\" must be \"dib\" or \"tiff\"");
        CapabilityMap caps;
        return buildCapabilities(profile_, caps, error_);
    }

    const json &entry_;
    SourceProfile &profile_;
    std::string &error_;
};

// One entry of "saneDevices".
bool readSaneDevice(const nlohmann::ordered_json &entry, SaneDeviceSettings &settings, std::string &error)
{
    if (!entry.is_object())
        return error = "a SANE device entry must be a JSON object", false;
    for (auto it = entry.begin(); it != entry.end(); ++it) {
        const std::string &key = it.key();
        const nlohmann::ordered_json &value = it.value();
        if (key == "device") {
            if (!value.is_string())
                return error = "\"device\" must be a SANE device name", false;
            settings.device = value.get<std::string>();
        } else if (key == "options") {
            if (!value.is_object())
                return error = "\"options\" must be an object of SANE option names and values", false;
            settings.options = value;
        } else if (key == "optionsAtPage") {
            const char *usage = "\"optionsAtPage\" must be a list of {\"page\": n, \"options\": {...}}";
            if (!value.is_array())
                return error = usage, false;
            for (const nlohmann::ordered_json &step : value) {
                if (!step.is_object() || !step.contains("page") || !step["page"].is_number_integer()
                    || step["page"].get<int>() < 1 || !step.contains("options") || !step["options"].is_object())
                    return error = usage, false;
                settings.optionsAtPage.push_back({step["page"].get<int>(), step["options"]});
            }
        } else if (key == "closeRequest") {
            if (!parseCloseRequest(json(value), settings.closeRequest))
                return error = "\"closeRequest\" must be \"never\", \"beforeFirstPage\" or \"afterLastPage\"", false;
        } else if (key == "nativeFormat") {
            if (value != "dib" && value != "tiff")
                return error = "\"nativeFormat\" must be \"dib\" or \"tiff\"", false;
            settings.nativeFormat = value.get<std::string>();
        } else {
            std::fprintf(stderr, "twaindsm: profile: ignoring unknown key \"%s\" of a SANE device\n", key.c_str());
        }
    }
    return true;
}

// The SANE part of the top level: "sane" and "saneDevices".
bool readSaneSettings(const nlohmann::ordered_json &document, ProfileSet &profiles, std::string &error)
{
    auto mode = document.find("sane");
    if (mode != document.end() && !parseSaneMode(json(*mode), profiles.sane))
        return error = "\"sane\" must be \"auto\", \"off\" or \"only\"", false;
    auto devices = document.find("saneDevices");
    if (devices == document.end())
        return true;
    if (!devices->is_array())
        return error = "\"saneDevices\" must be a list", false;
    for (const nlohmann::ordered_json &entry : *devices) {
        SaneDeviceSettings settings;
        std::string entryError;
        if (!readSaneDevice(entry, settings, entryError))
            return error = "SANE device " + std::to_string(profiles.saneDevices.size() + 1) + ": " + entryError, false;
        profiles.saneDevices.push_back(std::move(settings));
    }
    return true;
}

// The profile file in force, or empty for the built-in one.
std::string profilePath()
{
    const char *fromEnvironment = std::getenv("TWAINDSM_SOURCES");
    if (fromEnvironment && *fromEnvironment)
        return fromEnvironment;
    const std::string besideLibrary = libraryFolder() + "/twaindsm-sources.json";
    return fileExists(besideLibrary) ? besideLibrary : std::string();
}

bool readFile(const std::string &path, std::string &text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return !in.bad();
}

} // namespace

ProfileSet builtInProfiles()
{
    ProfileSet set;
    set.sources.push_back(SourceProfile());
    set.origin = "built-in";
    return set;
}

bool parseProfiles(const std::string &text, ProfileSet &profiles, std::string &error)
{
    const json document = json::parse(text, nullptr, false);
    if (document.is_discarded())
        return error = "not valid JSON", false;
    static const json noSources = json::array();
    const json *list = &document;
    profiles = ProfileSet();
    if (document.is_object()) {
        if (!readSaneSettings(nlohmann::ordered_json::parse(text, nullptr, false), profiles, error))
            return false;
        auto sources = document.find("sources");
        const bool saneOnly = document.contains("sane") || document.contains("saneDevices");
        if (sources == document.end() && !saneOnly)
            return error = "the top-level object needs a \"sources\" list", false;
        list = sources == document.end() ? &noSources : &*sources;
        auto defaultSource = document.find("default");
        if (defaultSource != document.end() && defaultSource->is_string())
            profiles.defaultSource = defaultSource->get<std::string>();
    }
    if (!list->is_array())
        return error = "\"sources\" must be a list", false;
    for (const json &entry : *list) {
        SourceProfile profile;
        std::string entryError;
        if (!SourceReader(entry, profile, entryError).read()) {
            error = "source " + std::to_string(profiles.sources.size() + 1) + ": " + entryError;
            return false;
        }
        auto isDefault = entry.find("default");
        if (isDefault != entry.end() && isDefault->is_boolean() && isDefault->get<bool>())
            profiles.defaultSource = profile.productName;
        profiles.sources.push_back(std::move(profile));
    }
    if (profiles.sources.empty())
        profiles.sources.push_back(SourceProfile());
    return true;
}

ProfileSet loadProfiles()
{
    const std::string path = profilePath();
    ProfileSet profiles = builtInProfiles();
    std::string text, error;
    if (path.empty()) {
        // the built-in source
    } else if (!readFile(path, text)) {
        std::fprintf(stderr, "twaindsm: cannot read the source profile %s; using the built-in source\n", path.c_str());
    } else if (!parseProfiles(text, profiles, error)) {
        std::fprintf(stderr, "twaindsm: source profile %s: %s; using the built-in source\n", path.c_str(), error.c_str());
        profiles = builtInProfiles();
    } else {
        profiles.origin = path;
    }
    applySaneOverride(profiles);
    if (!saneSupported())
        profiles.sane = SaneMode::Off;
    if (profiles.sane == SaneMode::Only)
        profiles.sources.clear();
    return profiles;
}

SaneMode configuredSaneMode()
{
    SaneMode mode = SaneMode::Auto;
    std::string text;
    const std::string path = profilePath();
    if (!path.empty() && readFile(path, text)) {
        const json document = json::parse(text, nullptr, false);
        if (document.is_object() && document.contains("sane"))
            parseSaneMode(document["sane"], mode);
    }
    const char *value = std::getenv("TWAINDSM_SANE");
    if (value && *value)
        parseSaneMode(json(value), mode);
    return saneSupported() ? mode : SaneMode::Off;
}

const SourceProfile *findSourceProfile(const ProfileSet &profiles, const std::string &productName)
{
    for (const SourceProfile &profile : profiles.sources)
        if (sameProductName(profile.productName, productName))
            return &profile;
    return nullptr;
}

SaneDeviceSettings saneSettingsFor(const ProfileSet &profiles, const std::string &device)
{
    const SaneDeviceSettings *forAll = nullptr;
    for (const SaneDeviceSettings &settings : profiles.saneDevices) {
        if (settings.device == device)
            return settings;
        if (settings.device.empty() && !forAll)
            forAll = &settings;
    }
    return forAll ? *forAll : SaneDeviceSettings();
}

} // namespace twaindsm
