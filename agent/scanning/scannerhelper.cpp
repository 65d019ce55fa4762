#include "scanning/scannerhelper.h"

#include "scanning/twainsession.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "foundation/singleton.h"

#include <QDateTime>
#include <QFile>
#include <QMutexLocker>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <vector>

namespace {

// Vendor capabilities the model presets write.
constexpr TW_UINT16 kCanonPaperSwitch = 0x8000;
constexpr TW_UINT16 kKodakSwitch = 0x8102;
constexpr TW_UINT16 kHuagoSwitchA = 0x8832;
constexpr TW_UINT16 kHuagoSwitchB = 0x8096;
constexpr TW_UINT16 kHuagoSwitchC = 0x8868;
constexpr TW_UINT16 kEStudioSwitch = 0x9904;
constexpr TW_UINT16 kScanGearPaper = 0x8078;
constexpr TW_UINT16 kEpsonPaperSwitch = 0x8050;

constexpr TW_UINT16 kLanguageUserLocale = 0xFFFF; // TWLG_USERLOCALE
constexpr TW_UINT16 kPixelTypeRgb = TWPT_RGB;
constexpr TW_INT16 kAutoSize = 1;                 // TWAS_AUTO
constexpr TW_INT32 kQueryGet = 1;                 // TWQC_GET

bool contains(const QString& name, const char* part, Qt::CaseSensitivity cs = Qt::CaseInsensitive)
{
    return name.contains(QLatin1String(part), cs);
}

// The capability ids a CAP_SUPPORTEDCAPS container lists; a range lists none.
std::vector<TW_UINT16> capabilityIds(const TW_CAPABILITY& capability, const void* container)
{
    std::vector<TW_UINT16> ids;
    switch (capability.ConType) {
    case TWON_ARRAY: {
        const auto* array = static_cast<const TW_ARRAY*>(container);
        if (array->ItemType != TWTY_UINT16)
            break;
        const auto* items = reinterpret_cast<const TW_UINT16*>(array->ItemList);
        ids.assign(items, items + array->NumItems);
        break;
    }
    case TWON_ENUMERATION: {
        const auto* enumeration = static_cast<const TW_ENUMERATION*>(container);
        if (enumeration->ItemType != TWTY_UINT16)
            break;
        const auto* items = reinterpret_cast<const TW_UINT16*>(enumeration->ItemList);
        ids.assign(items, items + enumeration->NumItems);
        break;
    }
    case TWON_ONEVALUE: {
        const auto* oneValue = static_cast<const TW_ONEVALUE*>(container);
        if (oneValue->ItemType == TWTY_UINT16)
            ids.push_back(static_cast<TW_UINT16>(oneValue->Item));
        break;
    }
    default:
        break;
    }
    return ids;
}

// The value part of a dump line for a container that could be locked.
QByteArray containerText(TW_UINT16 cap, TW_UINT16 conType, const void* container)
{
    QByteArray text = QByteArray::number(conType) + '|';
    switch (conType) {
    case TWON_ARRAY: {
        const auto* array = static_cast<const TW_ARRAY*>(container);
        text += "array:";
        text += ItemTypeName(array->ItemType);
        text += ", count:" + QByteArray::number(array->NumItems) + ", value 0:";
        if (array->NumItems > 0)
            text += CapabilityItemText(cap, array->ItemType, array->ItemList);
        break;
    }
    case TWON_ENUMERATION: {
        const auto* enumeration = static_cast<const TW_ENUMERATION*>(container);
        text += "enum:";
        if (enumeration->CurrentIndex < enumeration->NumItems) {
            const std::size_t itemSize = CTWAINSession::ItemSize(enumeration->ItemType);
            text += CapabilityItemText(cap, enumeration->ItemType,
                                       enumeration->ItemList + enumeration->CurrentIndex * itemSize);
        }
        break;
    }
    case TWON_ONEVALUE: {
        const auto* oneValue = static_cast<const TW_ONEVALUE*>(container);
        text += "onevalue:";
        text += CapabilityItemText(cap, oneValue->ItemType, &oneValue->Item);
        break;
    }
    case TWON_RANGE: {
        // Each text is copied before the next is formatted: the name functions rotate buffers.
        const auto* range = static_cast<const TW_RANGE*>(container);
        text += "range:";
        text += CapabilityItemText(cap, range->ItemType, &range->CurrentValue);
        text += '(';
        text += CapabilityItemText(cap, range->ItemType, &range->MinValue);
        text += '-';
        text += CapabilityItemText(cap, range->ItemType, &range->MaxValue);
        text += ')';
        break;
    }
    default:
        text += "|unknown value type 2";
        break;
    }
    return text;
}

} // namespace

KELScannerHelper* KELScannerHelper::instance()
{
    return KELS::Singleton<KELScannerHelper>::instance();
}

KELScannerHelper::KELScannerHelper() = default;

void KELScannerHelper::setScannerName(const QString& name)
{
    QMutexLocker lock(&nameLock);
    currentName = name;
}

QString KELScannerHelper::scannerName() const
{
    QMutexLocker lock(&nameLock);
    return currentName;
}

int KELScannerHelper::classifyScanner(const QString& name)
{
    // The first match wins: a Huago driver may mention Kodak, a Canon one ScanGear.
    if (contains(name, "canon"))
        return CanonClass;
    if (contains(name, "huagoscan"))
        return HuagoClass;
    if (contains(name, "kodak"))
        return KodakClass;
    if (contains(name, "Pantum"))
        return PantumClass;
    if (contains(name, "e-STUDIO"))
        return EStudioClass;
    if (isColorNetworkScanGear(name))
        return ColorNetworkScanGearClass;
    if (isEpsonEmC8100(name))
        return EpsonEmC8100Class;
    return UnknownClass;
}

bool KELScannerHelper::isColorNetworkScanGear(const QString& name)
{
    return contains(name, "Color Network ScanGear 2");
}

bool KELScannerHelper::isEpsonEmC8100(const QString& name)
{
    return contains(name, "EPSON EM-C8100 Series");
}

bool KELScannerHelper::isKodak(const QString& name)
{
    return contains(name, "kodak");
}

void KELScannerHelper::setFix32(TW_UINT16 cap, double value)
{
    if (canWrite())
        session->SetCapabilityAnyOneValue(cap, doubleToFix32(value));
}

void KELScannerHelper::setBool(TW_UINT16 cap, bool value)
{
    if (canWrite())
        session->SetCapabilityAnyOneValue(cap, value);
}

void KELScannerHelper::setUInt16(TW_UINT16 cap, TW_UINT16 value)
{
    if (canWrite())
        session->SetCapabilityAnyOneValue(cap, value);
}

void KELScannerHelper::setInt16(TW_UINT16 cap, TW_INT16 value)
{
    if (canWrite())
        session->SetCapabilityAnyOneValue(cap, value);
}

void KELScannerHelper::applyLanguageAndIndicators(const QString& name)
{
    switch (classifyScanner(name)) {
    case CanonClass:
    case KodakClass:
    case HuagoClass:
    case UnknownClass:
        setUInt16(CAP_LANGUAGE, kLanguageUserLocale);
        setIndicators(false);
        break;
    default:
        // These drivers misbehave when told their language or indicators.
        break;
    }
}

void KELScannerHelper::applyPresets(const QString& name)
{
    const int scannerClass = classifyScanner(name);
    switch (scannerClass) {
    case CanonClass:
        if (contains(name, "MF750")) {
            setPixelType(kPixelTypeRgb);
            setResolution(150);
            setBool(CAP_FEEDERENABLED, true);
            setBool(CAP_DUPLEXENABLED, true);
        } else {
            setPixelType(kPixelTypeRgb);
            setResolution(300);
            applyPaperPreset(CanonClass);
            setFix32(ICAP_ROTATION, 0);
        }
        break;
    case KodakClass:
        setBool(CAP_DUPLEXENABLED, true);
        setResolution(300);
        setPixelType(kPixelTypeRgb);
        setUInt16(kKodakSwitch, 0);
        break;
    case HuagoClass:
        setRangeCapability(ICAP_BRIGHTNESS, 150, 255);
        setRangeCapability(ICAP_CONTRAST, 5, 7);
        setBool(kHuagoSwitchA, false);
        setBool(kHuagoSwitchB, false);
        setBool(kHuagoSwitchC, false);
        setRangeCapability(ICAP_GAMMA, 0.7, 5);
        setBool(CAP_DUPLEXENABLED, true);
        applyPaperPreset(HuagoClass);
        setPixelType(kPixelTypeRgb);
        break;
    case PantumClass:
    case EStudioClass:
        setFeederEnabled(scannerClass, true);
        setPixelType(kPixelTypeRgb);
        setBool(CAP_DUPLEXENABLED, true);
        applyPaperPreset(scannerClass);
        break;
    case ColorNetworkScanGearClass:
        // The feeder is the driver's own choice on this model.
        setBool(CAP_DUPLEXENABLED, true);
        applyPaperPreset(scannerClass);
        break;
    case EpsonEmC8100Class:
        setFeederEnabled(scannerClass, true);
        setPixelType(kPixelTypeRgb);
        setBool(CAP_DUPLEXENABLED, true);
        setIndicators(false);
        applyPaperPreset(scannerClass);
        break;
    default:
        break;
    }
}

void KELScannerHelper::setDuplex(int value)
{
    setBool(CAP_DUPLEXENABLED, value == 1);
}

void KELScannerHelper::setFeederEnabled(int scannerClass, bool enabled)
{
    if (scannerClass == PantumClass || scannerClass == EStudioClass || scannerClass == EpsonEmC8100Class)
        setBool(CAP_FEEDERENABLED, enabled);
}

void KELScannerHelper::setPixelType(TW_UINT16 type)
{
    setUInt16(ICAP_PIXELTYPE, type);
}

void KELScannerHelper::setIndicators(bool on)
{
    setBool(CAP_INDICATORS, on);
}

void KELScannerHelper::setResolution(int dpi)
{
    setFix32(ICAP_XRESOLUTION, dpi);
    setFix32(ICAP_YRESOLUTION, dpi);
}

void KELScannerHelper::applyPaperPreset(int scannerClass)
{
    switch (scannerClass) {
    case CanonClass:
        setBool(ICAP_UNDEFINEDIMAGESIZE, true);
        setBool(ICAP_AUTOMATICBORDERDETECTION, true);
        setInt16(ICAP_AUTOSIZE, kAutoSize);
        setInt16(kCanonPaperSwitch, 1);
        setMinimumSizeFromFrame();
        break;
    case HuagoClass:
        setInt16(ICAP_SUPPORTEDSIZES, TWSS_USSTATEMENT);
        break;
    case PantumClass:
        setUInt16(ICAP_SUPPORTEDSIZES, TWSS_A3);
        break;
    case EStudioClass:
        setUInt16(ICAP_BITDEPTH, 0);
        setBool(ICAP_UNDEFINEDIMAGESIZE, true);
        setUInt16(ICAP_SUPPORTEDSIZES, TWSS_USLETTER);
        setBool(ICAP_AUTOMATICBORDERDETECTION, true);
        setBool(kEStudioSwitch, false);
        break;
    case ColorNetworkScanGearClass:
        setUInt16(kScanGearPaper, 15);
        break;
    case EpsonEmC8100Class:
        setBool(ICAP_UNDEFINEDIMAGESIZE, true);
        setBool(ICAP_AUTOMATICBORDERDETECTION, true);
        setInt16(ICAP_AUTOSIZE, kAutoSize);
        setUInt16(kEpsonPaperSwitch, 1);
        break;
    default:
        break;
    }
}

// With automatic sizing the driver would crop below the current frame; its size becomes the
// minimum.
void KELScannerHelper::setMinimumSizeFromFrame()
{
    if (!canWrite())
        return;
    TW_FRAME frame{};
    if (session->GetCapabilityValue(ICAP_FRAMES, &frame, MSG_GETCURRENT, sizeof frame) != 0)
        return;
    session->SetCapabilityAnyOneValue(ICAP_MINIMUMHEIGHT, frame.Bottom);
    session->SetCapabilityAnyOneValue(ICAP_MINIMUMWIDTH, frame.Right);
}

double KELScannerHelper::fix32ToDouble(TW_FIX32 value)
{
    return value.Whole + value.Frac / 65536.0;
}

TW_FIX32 KELScannerHelper::doubleToFix32(double value)
{
    const double scaled = value * 65536.0 + (value >= 0 ? 0.5 : -0.5);
    const auto bits = static_cast<std::int32_t>(scaled);
    TW_FIX32 fix{};
    fix.Whole = static_cast<TW_INT16>(bits >> 16);
    fix.Frac = static_cast<TW_UINT16>(bits & 0xFFFF);
    return fix;
}

double KELScannerHelper::rangeTarget(TW_UINT16 cap, double min, double max, double numerator, double denominator)
{
    // Gamma is an absolute exponent, not a position between the driver's limits.
    if (cap == ICAP_GAMMA)
        return numerator;
    return min + (max - min) * numerator / denominator;
}

bool KELScannerHelper::setRangeCapability(TW_UINT16 cap, double numerator, double denominator)
{
    if (!canWrite())
        return false;
    TW_CAPABILITY capability{};
    if (session->GetCapability(cap, capability) != TWRC_SUCCESS)
        return false;

    bool set = false;
    const auto* range = static_cast<const TW_RANGE*>(CTWAINSession::LockContainer(capability.hContainer));
    if (!range || capability.ConType != TWON_RANGE || range->ItemType != TWTY_FIX32) {
        KLOG->error("get range capability failed: cap_id:{}, cap_type:{}, item_type: {} ", CapabilityName(cap),
                    capability.ConType, range ? range->ItemType : 0);
    } else {
        TW_FIX32 minFix{};
        TW_FIX32 maxFix{};
        std::memcpy(&minFix, &range->MinValue, sizeof minFix);
        std::memcpy(&maxFix, &range->MaxValue, sizeof maxFix);
        const double min = fix32ToDouble(minFix);
        const double max = fix32ToDouble(maxFix);
        const double value = rangeTarget(cap, min, max, numerator, denominator);
        if (min <= value && value <= max) {
            set = session->SetCapabilityAnyOneValue(cap, doubleToFix32(value)) == TWRC_SUCCESS;
            if (!set)
                KLOG->error("Set range capability failed: cap_id:{}, value:{}", CapabilityName(cap), value);
        } else {
            KLOG->error("Set range capability failed: cap_id:{}, invalid value:{}, ({}--{})", CapabilityName(cap),
                        value, min, max);
        }
    }
    if (range)
        CTWAINSession::UnlockContainer(capability.hContainer);
    CTWAINSession::FreeContainer(capability.hContainer);
    return set;
}

void KELScannerHelper::dumpAllProperties()
{
    dumpAllPropertiesTo(KELGlobalConfig::instance()->logFolder());
}

QString KELScannerHelper::dumpAllPropertiesTo(const QString& folder)
{
    if (!canWrite())
        return {};
    const QString path =
        folder + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss")) + QStringLiteral("_pro.txt");
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        KLOG->error("Create log property file failed! {}", path);
        return {};
    }

    TW_CAPABILITY supported{};
    if (session->GetCapability(CAP_SUPPORTEDCAPS, supported) != TWRC_SUCCESS)
        return path;
    const void* container = CTWAINSession::LockContainer(supported.hContainer);
    if (!container) {
        CTWAINSession::FreeContainer(supported.hContainer);
        return path;
    }
    const std::vector<TW_UINT16> ids = capabilityIds(supported, container);
    CTWAINSession::UnlockContainer(supported.hContainer);
    CTWAINSession::FreeContainer(supported.hContainer);

    KLOG->info("Get All Supported Properties: cap id count is: {}", ids.size());
    for (const TW_UINT16 id : ids)
        file.write(capabilityLine(id) + '\n');
    return path;
}

QByteArray KELScannerHelper::capabilityLine(TW_UINT16 cap)
{
    QByteArray line = QByteArray::number(cap, 16) + '|';
    TW_INT32 support = 0;
    if (session->GetCapabilityValue(cap, &support, MSG_QUERYSUPPORT, sizeof support) != 0)
        return line + "not support";
    if (!(support & kQueryGet))
        return line + "not support or can not TWQC_GET";

    TW_CAPABILITY capability{};
    if (session->GetCapability(cap, capability) != TWRC_SUCCESS)
        return line + "Get support failed";
    if (const void* container = CTWAINSession::LockContainer(capability.hContainer)) {
        line += containerText(cap, capability.ConType, container);
        CTWAINSession::UnlockContainer(capability.hContainer);
    } else {
        line += QByteArray::number(capability.ConType) + "|unknown value type";
    }
    CTWAINSession::FreeContainer(capability.hContainer);
    // Names and values are written as the local 8-bit text they would be on screen.
    return QString::fromUtf8(line).toLocal8Bit();
}
