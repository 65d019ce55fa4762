#pragma once

// The printer device mode in the Windows byte layout (DEVMODEW: the public part followed by
// dmDriverExtra bytes of driver data), so preset files captured on Windows read the same on
// every platform. On Windows the system's own definitions are used.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else

using HWND = void*;

#pragma pack(push, 2)
struct DEVMODEW {
    char16_t dmDeviceName[32];
    std::uint16_t dmSpecVersion;
    std::uint16_t dmDriverVersion;
    std::uint16_t dmSize;
    std::uint16_t dmDriverExtra;
    std::uint32_t dmFields;
    // The printer half of a union whose other half serves displays.
    std::int16_t dmOrientation;
    std::int16_t dmPaperSize;
    std::int16_t dmPaperLength;
    std::int16_t dmPaperWidth;
    std::int16_t dmScale;
    std::int16_t dmCopies;
    std::int16_t dmDefaultSource;
    std::int16_t dmPrintQuality;
    std::int16_t dmColor;
    std::int16_t dmDuplex;
    std::int16_t dmYResolution;
    std::int16_t dmTTOption;
    std::int16_t dmCollate;
    char16_t dmFormName[32];
    std::uint16_t dmLogPixels;
    std::uint32_t dmBitsPerPel;
    std::uint32_t dmPelsWidth;
    std::uint32_t dmPelsHeight;
    std::uint32_t dmNup; // shares its place with dmDisplayFlags
    std::uint32_t dmDisplayFrequency;
    std::uint32_t dmICMMethod;
    std::uint32_t dmICMIntent;
    std::uint32_t dmMediaType;
    std::uint32_t dmDitherType;
    std::uint32_t dmReserved1;
    std::uint32_t dmReserved2;
    std::uint32_t dmPanningWidth;
    std::uint32_t dmPanningHeight;
};
#pragma pack(pop)

static_assert(sizeof(DEVMODEW) == 220, "DEVMODEW keeps the Windows size");
static_assert(offsetof(DEVMODEW, dmSize) == 68, "dmSize at byte 68");
static_assert(offsetof(DEVMODEW, dmDriverExtra) == 70, "dmDriverExtra at byte 70");
static_assert(offsetof(DEVMODEW, dmFields) == 72, "dmFields at byte 72");
static_assert(offsetof(DEVMODEW, dmOrientation) == 76, "printer fields start at byte 76");
static_assert(offsetof(DEVMODEW, dmColor) == 92, "dmColor at byte 92");
static_assert(offsetof(DEVMODEW, dmFormName) == 102, "dmFormName at byte 102");
static_assert(offsetof(DEVMODEW, dmNup) == 180, "dmNup at byte 180");
static_assert(offsetof(DEVMODEW, dmPanningHeight) == 216, "dmPanningHeight at byte 216");

constexpr std::uint16_t DM_SPECVERSION = 0x0401;

constexpr std::uint32_t DM_ORIENTATION = 0x00000001;
constexpr std::uint32_t DM_PAPERSIZE = 0x00000002;
constexpr std::uint32_t DM_PAPERLENGTH = 0x00000004;
constexpr std::uint32_t DM_PAPERWIDTH = 0x00000008;
constexpr std::uint32_t DM_SCALE = 0x00000010;
constexpr std::uint32_t DM_POSITION = 0x00000020;
constexpr std::uint32_t DM_NUP = 0x00000040;
constexpr std::uint32_t DM_COPIES = 0x00000100;
constexpr std::uint32_t DM_DEFAULTSOURCE = 0x00000200;
constexpr std::uint32_t DM_PRINTQUALITY = 0x00000400;
constexpr std::uint32_t DM_COLOR = 0x00000800;
constexpr std::uint32_t DM_DUPLEX = 0x00001000;
constexpr std::uint32_t DM_YRESOLUTION = 0x00002000;
constexpr std::uint32_t DM_TTOPTION = 0x00004000;
constexpr std::uint32_t DM_COLLATE = 0x00008000;
constexpr std::uint32_t DM_FORMNAME = 0x00010000;
constexpr std::uint32_t DM_MEDIATYPE = 0x02000000;
constexpr std::uint32_t DM_DITHERTYPE = 0x04000000;

constexpr short DMORIENT_PORTRAIT = 1;
constexpr short DMORIENT_LANDSCAPE = 2;

constexpr short DMPAPER_LETTER = 1;
constexpr short DMPAPER_LEGAL = 5;
constexpr short DMPAPER_A3 = 8;
constexpr short DMPAPER_A4 = 9;
constexpr short DMPAPER_USER = 256;

constexpr short DMBIN_UPPER = 1;
constexpr short DMBIN_LOWER = 2;
constexpr short DMBIN_MANUAL = 4;
constexpr short DMBIN_AUTO = 7;
constexpr short DMBIN_USER = 256;

constexpr short DMCOLOR_MONOCHROME = 1;
constexpr short DMCOLOR_COLOR = 2;

constexpr short DMDUP_SIMPLEX = 1;
constexpr short DMDUP_VERTICAL = 2;
constexpr short DMDUP_HORIZONTAL = 3;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

#endif

// Byte layout facts that hold on every platform (preset files are read with them).
namespace DevModeLayout {
constexpr std::size_t kPublicSize = 220;
constexpr std::size_t kSizeOffset = 68;
constexpr std::size_t kDriverExtraOffset = 70;
constexpr std::size_t kFieldsOffset = 72;
constexpr std::size_t kNameChars = 32;
} // namespace DevModeLayout

// One device mode as one owned block of bytes: the public part and the driver's tail.
class DevModeBuffer {
public:
    DevModeBuffer() = default;
    explicit DevModeBuffer(std::size_t size) : storage(size, 0) {}

    bool isNull() const { return storage.empty(); }
    std::size_t size() const { return storage.size(); }
    unsigned char* data() { return storage.data(); }
    const unsigned char* data() const { return storage.data(); }
    void resize(std::size_t size) { storage.resize(size, 0); }
    void clear() { storage.clear(); storage.shrink_to_fit(); }

    // Null unless the block holds at least the public part.
    DEVMODEW* get()
    {
        return storage.size() >= DevModeLayout::kPublicSize ? reinterpret_cast<DEVMODEW*>(storage.data()) : nullptr;
    }
    const DEVMODEW* get() const
    {
        return storage.size() >= DevModeLayout::kPublicSize ? reinterpret_cast<const DEVMODEW*>(storage.data())
                                                           : nullptr;
    }

    // dmSize + dmDriverExtra as the header claims them (0 when the header is incomplete).
    std::size_t declaredSize() const
    {
        if (storage.size() < DevModeLayout::kFieldsOffset)
            return 0;
        return readWord(DevModeLayout::kSizeOffset) + readWord(DevModeLayout::kDriverExtraOffset);
    }

private:
    std::size_t readWord(std::size_t offset) const
    {
        return std::size_t(storage[offset]) | (std::size_t(storage[offset + 1]) << 8);
    }

    std::vector<unsigned char> storage;
};
