// Virtual source descriptions read from the JSON profile (see README.md for the format).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace twaindsm {

struct DeviceEventScript {
    int afterPage = 0;   // 0: right after MSG_ENABLEDS; n: after the n-th image's MSG_ENDXFER
    uint32_t event = 0;  // TWDE_ code
};

enum class CloseRequest { Never, BeforeFirstPage, AfterLastPage };

struct SourceProfile {
    // Identity.
    std::string productName = "Vellox Virtual Scanner";
    std::string manufacturer = "Vellox";
    std::string productFamily = "Virtual Scanner";
    std::string versionInfo = "1.0";
    uint16_t versionMajor = 1;
    uint16_t versionMinor = 0;

    // Paper and image.
    int pages = 10;                 // sheets in the feeder per batch
    bool duplexCapable = true;
    bool duplex = false;            // CAP_DUPLEXENABLED default: two images per sheet
    bool feeder = true;             // CAP_FEEDERENABLED default; without the feeder one page per batch
    std::string paperSize = "A4";   // A4, A3, A5, Letter, Legal
    double resolution = 200;
    std::vector<double> resolutions{75, 100, 150, 200, 300, 400, 600};
    std::string pixelType = "rgb";  // bw, gray, rgb
    std::vector<std::string> pixelTypes{"bw", "gray", "rgb"};
    std::string imageFolder;        // BMP files used as pages instead of generated answer sheets

    // Transfers.
    std::vector<std::string> xferMechs{"native", "file", "memory", "memfile"};
    std::string xferMech = "native";
    std::string nativeFormat = "dib"; // dib or tiff
    bool undefinedImageSize = false;

    // Capabilities added to or replacing the built-in ones, and built-in ones to drop.
    std::vector<nlohmann::json> capabilities;
    std::vector<uint16_t> unsupportedCapabilities;

    // Scripted behaviour.
    uint16_t openFailure = 0;       // condition code for MSG_OPENDS
    uint16_t enableFailure = 0;     // condition code for MSG_ENABLEDS
    int failAtPage = 0;             // image whose transfer fails with failCondition
    uint16_t failCondition = 0;
    int failImageInfoAtPage = 0;    // image whose DAT_IMAGEINFO fails with failImageInfoCondition
    uint16_t failImageInfoCondition = 0;
    int cancelAtPage = 0;           // image whose transfer answers TWRC_CANCEL
    int lyingDibAtPage = 0;         // image whose native DIB header claims ten times its height
    int emptyFileAtPage = 0;        // image whose file transfer writes a file of no bytes
    int missingFileAtPage = 0;      // image whose file transfer reports a file it never wrote
    CloseRequest closeRequest = CloseRequest::Never;
    bool nativeReturnsSuccess = false;
    int pageDelayMs = 0;
    int endXferDelayMs = 0;         // MSG_ENDXFER takes this long (the feeder moves the sheet out)
    bool xferReadyInsideEnable = false;
    std::vector<DeviceEventScript> deviceEvents;
};

// Whether SANE devices are listed as sources: "auto" when libsane loads, "off", or "only"
// (no virtual sources).
enum class SaneMode { Auto, Off, Only };

// Settings for the SANE devices a profile names (or, without a device name, for all of them).
struct SaneDeviceSettings {
    std::string device;              // SANE device name such as "test:0"; empty: every device
    // SANE option values set when the source opens, in the order the profile gives them (an
    // option's allowed values may depend on one set before it).
    nlohmann::ordered_json options = nlohmann::ordered_json::object();
    struct PageOptions {
        int page = 0;                // set before this image of a batch is started (1-based)
        nlohmann::ordered_json options;
    };
    std::vector<PageOptions> optionsAtPage;
    CloseRequest closeRequest = CloseRequest::Never;
    std::string nativeFormat = "dib"; // dib or tiff
};

struct ProfileSet {
    std::vector<SourceProfile> sources;
    std::string defaultSource;      // product name; empty: the first source
    std::string origin;             // the file read, or "built-in"
    SaneMode sane = SaneMode::Auto; // TWAINDSM_SANE overrides the profile
    std::vector<SaneDeviceSettings> saneDevices;
};

// The virtual source of that product name (compared without regard to case), or null.
const SourceProfile *findSourceProfile(const ProfileSet &profiles, const std::string &productName);
// The settings that apply to a SANE device: its own entry, else the entry without a device
// name, else the defaults.
SaneDeviceSettings saneSettingsFor(const ProfileSet &profiles, const std::string &device);
// The SANE mode in force without reporting profile errors (used at library load).
SaneMode configuredSaneMode();

// Reads the profile named by TWAINDSM_SOURCES, else twaindsm-sources.json beside the library,
// else returns the built-in source. Any error is written to standard error and yields the
// built-in source.
ProfileSet loadProfiles();

// Parses profile text; false with a message when it is unusable. Exposed for the tests.
bool parseProfiles(const std::string &text, ProfileSet &profiles, std::string &error);

ProfileSet builtInProfiles();

} // namespace twaindsm
