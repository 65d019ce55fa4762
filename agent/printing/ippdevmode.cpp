#include "printing/ippdevmode.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace IppDevMode {

namespace {

constexpr double kHmmPerInch = 2540.0;
constexpr double kPointsPerInch = 72.0;
// Sizes in a printer's media database differ from the nominal ones by rounding to points.
constexpr int kSizeTolerance = 100;

struct KnownPaper {
    const char* prefix;
    short id;
};
constexpr KnownPaper kKnownPapers[] = {
    {"iso_a4_", DMPAPER_A4},
    {"iso_a3_", DMPAPER_A3},
    {"na_letter_", DMPAPER_LETTER},
    {"na_legal_", DMPAPER_LEGAL},
};

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

int indexOf(const std::vector<std::string>& list, const std::string& value)
{
    const auto it = std::find(list.begin(), list.end(), value);
    return it == list.end() ? -1 : int(it - list.begin());
}

bool contains(const std::vector<std::string>& list, const char* value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::wstring wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// UTF-16 into a fixed name field (char16_t here, WCHAR on Windows), always terminated.
template <typename Char>
void putName(Char* target, const std::wstring& name)
{
    std::size_t out = 0;
    for (wchar_t c : name) {
        const auto code = static_cast<std::uint32_t>(c);
        if (code > 0xFFFF) {
            if (out + 2 >= DevModeLayout::kNameChars)
                break;
            target[out++] = Char(0xD800 + ((code - 0x10000) >> 10));
            target[out++] = Char(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            if (out + 1 >= DevModeLayout::kNameChars)
                break;
            target[out++] = Char(code);
        }
    }
    target[out] = 0;
}

short duplexForSides(const std::string& sides)
{
    if (sides == "two-sided-long-edge")
        return DMDUP_VERTICAL;
    if (sides == "two-sided-short-edge")
        return DMDUP_HORIZONTAL;
    return DMDUP_SIMPLEX;
}

const char* sidesForDuplex(short duplex)
{
    switch (duplex) {
    case DMDUP_VERTICAL:
        return "two-sided-long-edge";
    case DMDUP_HORIZONTAL:
        return "two-sided-short-edge";
    default:
        return "one-sided";
    }
}

// The media keyword a device mode prints on: its paper when it names one the printer has,
// else the printer's default.
std::string mediaOf(const IppPrinterCapabilities& caps, const DEVMODEW& devMode)
{
    if (devMode.dmFields & DM_PAPERSIZE) {
        const std::string media = mediaForPaper(caps, devMode.dmPaperSize);
        if (!media.empty())
            return media;
    }
    return caps.mediaDefault;
}

IppMargins marginsFor(const IppPrinterCapabilities& caps, int width, int height)
{
    for (const IppMediaEntry& entry : caps.mediaDatabase) {
        if (std::abs(entry.width - width) <= kSizeTolerance && std::abs(entry.height - height) <= kSizeTolerance)
            return entry.margins;
    }
    return caps.marginsSupported;
}

double points(int hundredthsOfMm)
{
    return hundredthsOfMm * kPointsPerInch / kHmmPerInch;
}

int devicePixels(int hundredthsOfMm)
{
    return int(std::floor(hundredthsOfMm * double(kDeviceDpi) / kHmmPerInch));
}

} // namespace

bool mediaDimensions(const std::string& keyword, int* width, int* height)
{
    const std::size_t last = keyword.rfind('_');
    if (last == std::string::npos)
        return false;
    std::string dims = keyword.substr(last + 1);
    double unit = 0;
    if (dims.size() > 2 && dims.compare(dims.size() - 2, 2, "mm") == 0)
        unit = 100.0;
    else if (dims.size() > 2 && dims.compare(dims.size() - 2, 2, "in") == 0)
        unit = kHmmPerInch;
    else
        return false;
    dims.resize(dims.size() - 2);
    const std::size_t x = dims.find('x');
    if (x == std::string::npos)
        return false;
    char* end = nullptr;
    const std::string first = dims.substr(0, x);
    const std::string second = dims.substr(x + 1);
    const double w = std::strtod(first.c_str(), &end);
    if (end == first.c_str() || *end)
        return false;
    const double h = std::strtod(second.c_str(), &end);
    if (end == second.c_str() || *end || w <= 0 || h <= 0)
        return false;
    *width = int(std::lround(w * unit));
    *height = int(std::lround(h * unit));
    return true;
}

int paperId(const IppPrinterCapabilities& caps, const std::string& keyword)
{
    const int index = indexOf(caps.media, keyword);
    if (index < 0)
        return 0;
    for (const KnownPaper& known : kKnownPapers) {
        if (startsWith(keyword, known.prefix))
            return known.id;
    }
    return DMPAPER_USER + 1 + index;
}

std::string mediaForPaper(const IppPrinterCapabilities& caps, int id)
{
    for (const KnownPaper& known : kKnownPapers) {
        if (known.id != id)
            continue;
        for (const std::string& media : caps.media) {
            if (startsWith(media, known.prefix))
                return media;
        }
        return std::string();
    }
    const int index = id - DMPAPER_USER - 1;
    if (index >= 0 && index < int(caps.media.size()) && paperId(caps, caps.media[index]) == id)
        return caps.media[index];
    return std::string();
}

int binId(const IppPrinterCapabilities& caps, const std::string& source)
{
    const int index = indexOf(caps.sources, source);
    return index < 0 ? 0 : DMBIN_USER + index;
}

std::string sourceForBin(const IppPrinterCapabilities& caps, int id)
{
    const int index = id - DMBIN_USER;
    return index >= 0 && index < int(caps.sources.size()) ? caps.sources[index] : std::string();
}

std::vector<PrinterChoice> papers(const IppPrinterCapabilities& caps)
{
    std::vector<PrinterChoice> list;
    for (const std::string& media : caps.media) {
        PrinterChoice paper {paperId(caps, media), wide(media)};
        int width = 0;
        int height = 0;
        if (mediaDimensions(media, &width, &height)) {
            paper.width = width / 10;
            paper.height = height / 10;
        }
        list.push_back(paper);
    }
    return list;
}

std::vector<PrinterChoice> bins(const IppPrinterCapabilities& caps)
{
    std::vector<PrinterChoice> list;
    for (const std::string& source : caps.sources)
        list.push_back({binId(caps, source), wide(source)});
    return list;
}

bool supportsColor(const IppPrinterCapabilities& caps)
{
    return contains(caps.colorModes, "color");
}

bool supportsSides(const IppPrinterCapabilities& caps, short duplex)
{
    return contains(caps.sides, sidesForDuplex(duplex));
}

DevModeBuffer currentDevMode(const IppPrinterCapabilities& caps, const std::wstring& printerName)
{
    DevModeBuffer buffer(DevModeLayout::kPublicSize);
    DEVMODEW* dm = buffer.get();
    putName(dm->dmDeviceName, printerName);
    dm->dmSpecVersion = DM_SPECVERSION;
    dm->dmSize = DevModeLayout::kPublicSize;
    dm->dmDriverExtra = 0;
    dm->dmFields = DM_ORIENTATION | DM_COPIES | DM_COLOR | DM_DUPLEX;

    const bool landscape = caps.orientationDefault == 4 || caps.orientationDefault == 5;
    dm->dmOrientation = landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
    dm->dmCopies = short(std::max(1, caps.copiesDefault));
    const bool color = caps.colorModeDefault == "color"
        || (caps.colorModeDefault != "monochrome" && supportsColor(caps));
    dm->dmColor = color ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
    dm->dmDuplex = duplexForSides(caps.sidesDefault);
    if (const int paper = paperId(caps, caps.mediaDefault)) {
        dm->dmFields |= DM_PAPERSIZE;
        dm->dmPaperSize = short(paper);
    }
    if (const int bin = binId(caps, caps.sourceDefault)) {
        dm->dmFields |= DM_DEFAULTSOURCE;
        dm->dmDefaultSource = short(bin);
    }
    return buffer;
}

bool validate(const IppPrinterCapabilities& caps, DevModeBuffer* devMode)
{
    if (!devMode || !devMode->get())
        return false;
    devMode->resize(DevModeLayout::kPublicSize);
    DEVMODEW* dm = devMode->get();
    dm->dmSize = DevModeLayout::kPublicSize;
    dm->dmDriverExtra = 0;

    if (dm->dmFields & DM_ORIENTATION && dm->dmOrientation != DMORIENT_LANDSCAPE)
        dm->dmOrientation = DMORIENT_PORTRAIT;
    if (dm->dmFields & DM_PAPERSIZE && mediaForPaper(caps, dm->dmPaperSize).empty()) {
        if (const int paper = paperId(caps, caps.mediaDefault))
            dm->dmPaperSize = short(paper);
        else
            dm->dmFields &= ~DM_PAPERSIZE;
    }
    if (dm->dmFields & DM_DUPLEX) {
        const bool known = dm->dmDuplex == DMDUP_SIMPLEX || dm->dmDuplex == DMDUP_VERTICAL
            || dm->dmDuplex == DMDUP_HORIZONTAL;
        if (!known || !supportsSides(caps, dm->dmDuplex))
            dm->dmDuplex = DMDUP_SIMPLEX;
    }
    if (dm->dmFields & DM_COLOR && (dm->dmColor != DMCOLOR_COLOR || !supportsColor(caps)))
        dm->dmColor = DMCOLOR_MONOCHROME;
    if (dm->dmFields & DM_DEFAULTSOURCE && sourceForBin(caps, dm->dmDefaultSource).empty()) {
        dm->dmFields &= ~DM_DEFAULTSOURCE;
        dm->dmDefaultSource = 0;
    }
    if (dm->dmFields & DM_COPIES)
        dm->dmCopies = short(std::clamp<int>(dm->dmCopies, 1, std::max(1, caps.copiesMax)));
    return true;
}

std::vector<std::pair<std::string, std::string>> jobOptions(const IppPrinterCapabilities& caps,
                                                           const DEVMODEW& devMode)
{
    std::vector<std::pair<std::string, std::string>> options;
    const std::string source = devMode.dmFields & DM_DEFAULTSOURCE ? sourceForBin(caps, devMode.dmDefaultSource)
                                                                  : std::string();
    int width = 0;
    int height = 0;
    // A printer reads the source only inside media-col, and media-col needs the size.
    if ((devMode.dmFields & DM_PAPERSIZE || !source.empty())
        && mediaDimensions(mediaOf(caps, devMode), &width, &height)) {
        std::string col = "{media-size={x-dimension=" + std::to_string(width) + " y-dimension="
            + std::to_string(height) + "}";
        if (!source.empty())
            col += " media-source=" + source;
        col += "}";
        options.emplace_back("media-col", col);
    }
    if (devMode.dmFields & DM_DUPLEX)
        options.emplace_back("sides", sidesForDuplex(devMode.dmDuplex));
    if (devMode.dmFields & DM_COLOR)
        options.emplace_back("print-color-mode", devMode.dmColor == DMCOLOR_COLOR ? "color" : "monochrome");
    if (devMode.dmFields & DM_COPIES && devMode.dmCopies > 0)
        options.emplace_back("copies", std::to_string(devMode.dmCopies));
    return options;
}

PageGeometry pageGeometry(const IppPrinterCapabilities& caps, const DEVMODEW& devMode)
{
    int width = 0;
    int height = 0;
    if (!mediaDimensions(mediaOf(caps, devMode), &width, &height)) {
        width = 21000; // A4 when the printer names no usable size
        height = 29700;
    }
    IppMargins margins = marginsFor(caps, width, height);
    if (devMode.dmFields & DM_ORIENTATION && devMode.dmOrientation == DMORIENT_LANDSCAPE) {
        std::swap(width, height);
        // The sheet turned a quarter counter-clockwise under the drawing.
        margins = IppMargins {margins.bottom, margins.left, margins.top, margins.right};
    }
    PageGeometry geometry;
    geometry.pageWidthPt = points(width);
    geometry.pageHeightPt = points(height);
    geometry.areaLeftPt = points(margins.left);
    geometry.areaTopPt = points(margins.top);
    geometry.area.width = std::max(0, devicePixels(width - margins.left - margins.right));
    geometry.area.height = std::max(0, devicePixels(height - margins.top - margins.bottom));
    return geometry;
}

} // namespace IppDevMode
