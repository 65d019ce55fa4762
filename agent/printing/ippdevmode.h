#pragma once

// How a Windows device mode maps to an IPP printer: paper sizes and sources as DMPAPER_ and
// DMBIN_ ids, the current device mode from the queue's defaults, validation that clamps a
// device mode to what the queue supports, the job attributes a device mode asks for, and the
// page geometry of the document. Pure: the caller fetches the printer's attributes.

#include "printing/devmode.h"
#include "printing/printspooler.h"

#include <string>
#include <utility>
#include <vector>

// Hundredths of a millimetre, as IPP gives them.
struct IppMargins {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

struct IppMediaEntry {
    int width = 0;
    int height = 0;
    IppMargins margins;
};

// The printer attributes the mapping reads.
struct IppPrinterCapabilities {
    std::vector<std::string> media;        // media-supported, in the printer's order
    std::string mediaDefault;              // media-default
    std::vector<IppMediaEntry> mediaDatabase; // media-col-database: sizes with their margins
    IppMargins marginsSupported;           // the largest of each media-*-margin-supported
    std::vector<std::string> sources;      // media-source-supported
    std::string sourceDefault;             // media-source of media-col-default, may be empty
    std::vector<std::string> sides;        // sides-supported
    std::string sidesDefault;
    std::vector<std::string> colorModes;   // print-color-mode-supported
    std::string colorModeDefault;
    int copiesDefault = 1;
    int copiesMax = 1;
    int orientationDefault = 3;            // orientation-requested-default (3 portrait)
};

namespace IppDevMode {

constexpr int kDeviceDpi = 300;

// "iso_a4_210x297mm" → 21000 × 29700; false for names without dimensions.
bool mediaDimensions(const std::string& keyword, int* width, int* height);

// DMPAPER_ id of a media keyword: A4, A3, Letter and Legal by their Windows ids, every other
// size DMPAPER_USER + 1 + its index in media-supported; 0 when the printer lacks it.
int paperId(const IppPrinterCapabilities& caps, const std::string& keyword);
std::string mediaForPaper(const IppPrinterCapabilities& caps, int paperId);
// DMBIN_USER + index in media-source-supported.
int binId(const IppPrinterCapabilities& caps, const std::string& source);
std::string sourceForBin(const IppPrinterCapabilities& caps, int binId);

std::vector<PrinterChoice> papers(const IppPrinterCapabilities& caps);
std::vector<PrinterChoice> bins(const IppPrinterCapabilities& caps);

bool supportsColor(const IppPrinterCapabilities& caps);
bool supportsSides(const IppPrinterCapabilities& caps, short duplex);

// The queue's defaults as a device mode of 220 bytes without driver data.
DevModeBuffer currentDevMode(const IppPrinterCapabilities& caps, const std::wstring& printerName);

// Clamps every set field to what the printer supports (an unknown paper becomes the default
// paper, duplex becomes simplex, colour becomes monochrome, an unknown source is dropped) and
// drops driver data, which no IPP printer reads. False when the block is no device mode.
bool validate(const IppPrinterCapabilities& caps, DevModeBuffer* devMode);

// Job attributes as CUPS options (name, value); only for fields the device mode sets.
std::vector<std::pair<std::string, std::string>> jobOptions(const IppPrinterCapabilities& caps,
                                                           const DEVMODEW& devMode);

// The page a document is drawn on: its size in PDF points, and the printable area in
// device pixels at kDeviceDpi with its top-left corner in points.
struct PageGeometry {
    double pageWidthPt = 0;
    double pageHeightPt = 0;
    double areaLeftPt = 0;
    double areaTopPt = 0;
    PrintableArea area;
};
PageGeometry pageGeometry(const IppPrinterCapabilities& caps, const DEVMODEW& devMode);

} // namespace IppDevMode
