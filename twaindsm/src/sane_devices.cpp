#include "sane_devices.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace twaindsm {

namespace {

constexpr size_t kNameBytes = sizeof(TW_STR32) - 1;

bool sameText(const std::string &a, const std::string &b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

std::string productName(const SaneDeviceInfo &device)
{
    const std::string &vendor = device.vendor;
    const std::string &model = device.model;
    if (vendor.empty())
        return model.empty() ? device.name : model;
    if (model.empty())
        return vendor;
    const bool modelNamesVendor = model.size() > vendor.size() && sameText(model.substr(0, vendor.size()), vendor)
        && model[vendor.size()] == ' ';
    return modelNamesVendor ? model : vendor + " " + model;
}

void copyText(char *destination, size_t size, const std::string &text)
{
    std::memset(destination, 0, size);
    const std::string cut = cutUtf8(text, size - 1);
    std::memcpy(destination, cut.data(), cut.size());
}

} // namespace

std::string cutUtf8(const std::string &text, size_t bytes)
{
    if (text.size() <= bytes)
        return text;
    size_t end = bytes;
    // Back up over continuation bytes (10xxxxxx) to the start of the character that does not fit.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

std::vector<SaneListedDevice> nameSaneDevices(const std::vector<SaneDeviceInfo> &devices, std::vector<std::string> taken)
{
    std::vector<SaneListedDevice> named;
    for (const SaneDeviceInfo &device : devices) {
        const std::string base = productName(device);
        std::string name = cutUtf8(base, kNameBytes);
        for (int n = 2; std::any_of(taken.begin(), taken.end(), [&](const std::string &t) { return sameText(t, name); }); ++n) {
            const std::string suffix = " (" + std::to_string(n) + ")";
            name = cutUtf8(base, kNameBytes - suffix.size()) + suffix;
        }
        taken.push_back(name);
        named.push_back({device, name});
    }
    return named;
}

TW_IDENTITY saneIdentity(const SaneListedDevice &device, uint32_t id)
{
    TW_IDENTITY identity{};
    identity.Id = id;
    identity.Version.MajorNum = 1;
    identity.Version.MinorNum = 0;
    identity.Version.Language = TWLG_USERLOCALE;
    identity.Version.Country = TWCY_USA;
    copyText(identity.Version.Info, sizeof identity.Version.Info, device.device.name);
    identity.ProtocolMajor = TWON_PROTOCOLMAJOR;
    identity.ProtocolMinor = TWON_PROTOCOLMINOR;
    identity.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
    copyText(identity.Manufacturer, sizeof identity.Manufacturer, device.device.vendor);
    copyText(identity.ProductFamily, sizeof identity.ProductFamily, device.device.type);
    copyText(identity.ProductName, sizeof identity.ProductName, device.productName);
    return identity;
}

// ---- SaneDeviceList ----------------------------------------------------------------------

SaneDeviceList &SaneDeviceList::instance()
{
    static SaneDeviceList list;
    return list;
}

SaneDeviceList::SaneDeviceList()
{
    // Built first, so that it outlives the lists and sources that use it.
    SaneLibrary::instance();
}

SaneDeviceList::~SaneDeviceList()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable())
        thread_.join();
}

void SaneDeviceList::fetch()
{
    std::lock_guard<std::mutex> lock(mutex_);
    startLocked();
}

void SaneDeviceList::startLocked()
{
    if (fetching_ || stopping_ || suspended_)
        return;
    if (thread_.joinable())
        thread_.join(); // the previous fetch has finished
    fetching_ = true;
    thread_ = std::thread([this] {
        std::vector<SaneDeviceInfo> found;
        const SANE_Status status = SaneLibrary::instance().devices(found);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // A list that could not be had (SANE held by a stuck driver) leaves the last one.
            if (status == SANE_STATUS_GOOD || status == SANE_STATUS_UNSUPPORTED)
                devices_ = std::move(found);
            fetching_ = false;
            ++finishedFetches_;
        }
        fetched_.notify_all();
    });
}

std::vector<SaneDeviceInfo> SaneDeviceList::devices(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    startLocked();
    const unsigned awaited = finishedFetches_ + 1;
    fetched_.wait_for(lock, wait, [&] { return finishedFetches_ >= awaited || stopping_ || suspended_; });
    return devices_;
}

void SaneDeviceList::endSane(std::chrono::milliseconds patience)
{
    std::unique_lock<std::mutex> lock(mutex_);
    suspended_ = true;
    fetched_.notify_all();
    if (!fetched_.wait_for(lock, patience, [this] { return !fetching_; })) {
        // It finishes on its own whenever the driver lets it; SANE stays up under it.
        thread_.detach();
        SaneLibrary::instance().callAbandoned();
        traceSane("sane_get_devices", std::string(), SANE_STATUS_DEVICE_BUSY,
                  {{"note", "the device list did not come within the wait; SANE is left running"}});
    } else if (thread_.joinable()) {
        thread_.join();
    }
    lock.unlock();
    SaneLibrary::instance().end("MSG_CLOSEDSM");
}

void SaneDeviceList::resume()
{
    std::lock_guard<std::mutex> lock(mutex_);
    suspended_ = false;
}

} // namespace twaindsm
