// The TWAIN capabilities of a SANE device. Those the device's options carry are read from each
// option's descriptor (type, unit, constraint), never assumed:
//   ICAP_XRESOLUTION, ICAP_YRESOLUTION   "resolution" (range -> range, word list -> enumeration)
//   ICAP_PIXELTYPE                       "mode" (Lineart/Binary/Halftone, Gray, Color)
//   CAP_FEEDERENABLED, CAP_DUPLEXENABLED, CAP_DUPLEX   "source" (values naming a feeder or duplex)
//   ICAP_BRIGHTNESS, ICAP_CONTRAST       "brightness", "contrast", scaled onto -1000..1000
//   ICAP_SUPPORTEDSIZES, ICAP_PHYSICALWIDTH/HEIGHT     the scan area tl-x, tl-y, br-x, br-y in mm
// The manager adds the ones that are its own (transfer mechanism, file format, batch size ...).
#pragma once

#include "capability.h"
#include "sane_options.h"
#include "source_capabilities.h"

#include <map>
#include <string>
#include <vector>

namespace twaindsm {

// Where a "source" value feeds paper from, judged by its words ("ADF", "Feeder", "Duplex").
enum class PaperSource { Flatbed, Feeder, Duplex };
PaperSource classifyPaperSource(const std::string &value);
// The pixel type a "mode" value names (TWPT_BW, TWPT_GRAY, TWPT_RGB), or -1.
int pixelTypeOfMode(const std::string &mode);
// Between TWAIN's -1000..1000 and an option's own range.
double toTwainScale(double value, double min, double max);
double fromTwainScale(double value, double min, double max);

class SaneCapabilities {
public:
    explicit SaneCapabilities(SaneOptions &options);

    // Reads the device's options again; the first reading sets the defaults (MSG_GETDEFAULT
    // and MSG_RESET). Needed after every write, which may change other options.
    void refresh();
    CapabilityMap &map() { return caps_; }
    const CapabilityMap &map() const { return caps_; }
    long long number(uint16_t id, long long fallback) const;
    double real(uint16_t id, double fallback) const;

    // MSG_SET and MSG_RESET of one capability: a condition code; `adjusted` when the device took
    // another value than asked for.
    uint16_t set(Capability &capability, const Container &request, bool &adjusted);
    uint16_t reset(Capability &capability, bool &adjusted);
    void resetAll();
    // CAP_DEVICEONLINE follows the device.
    void setOnline(bool online);
    // The scan area as last read, in inches: left, top, right, bottom; false when unknown.
    bool scanArea(double frame[4]) const;

private:
    struct Area {
        bool known = false;
        double xMin = 0, xMax = 0, yMin = 0, yMax = 0; // mm
    };
    Area area() const;
    void addResolution();
    void addPixelType();
    void addPaperSource();
    void addScaled(uint16_t id, const char *option);
    void addSizes();
    void addManaged();
    // Writes a TWAIN value to the device; `adjusted` when it ended up different.
    uint16_t write(uint16_t id, const CapItem &item, bool &adjusted);
    uint16_t writeSource(uint16_t id, bool enable, bool &adjusted);
    uint16_t writeSize(long long size, bool &adjusted);

    SaneOptions &options_;
    CapabilityMap caps_;
    CapabilityMap managed_;             // the manager's own, kept across readings
    std::map<uint16_t, CapItem> defaults_;
    bool online_ = true;
    bool areaKnown_ = false;
    double areaInches_[4] = {0, 0, 0, 0};
};

} // namespace twaindsm
