#include "sane_library.h"

#include "platform.h"
#include "trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace twaindsm {

std::chrono::milliseconds driverPatience()
{
    static const std::chrono::milliseconds patience = [] {
        const char *value = std::getenv("TWAINDSM_DRIVER_PATIENCE_MS");
        const long long ms = value ? std::atoll(value) : 0;
        return std::chrono::milliseconds(ms > 0 ? ms : 10000);
    }();
    return patience;
}

using nlohmann::json;

std::string saneStatusName(SANE_Status status)
{
    static const char *const names[] = {
        "SANE_STATUS_GOOD", "SANE_STATUS_UNSUPPORTED", "SANE_STATUS_CANCELLED", "SANE_STATUS_DEVICE_BUSY",
        "SANE_STATUS_INVAL", "SANE_STATUS_EOF", "SANE_STATUS_JAMMED", "SANE_STATUS_NO_DOCS",
        "SANE_STATUS_COVER_OPEN", "SANE_STATUS_IO_ERROR", "SANE_STATUS_NO_MEM", "SANE_STATUS_ACCESS_DENIED",
        "SANE_STATUS_WARMING_UP", "SANE_STATUS_HW_LOCKED"};
    const unsigned index = static_cast<unsigned>(status);
    return index < sizeof names / sizeof *names ? names[index] : "SANE_STATUS " + std::to_string(index);
}

uint16_t saneConditionCode(SANE_Status status)
{
    switch (status) {
    case SANE_STATUS_GOOD: return TWCC_SUCCESS;
    case SANE_STATUS_UNSUPPORTED: return TWCC_CAPBADOPERATION;
    case SANE_STATUS_INVAL: return TWCC_BADVALUE;
    case SANE_STATUS_JAMMED: return TWCC_PAPERJAM;
    case SANE_STATUS_NO_DOCS: return TWCC_NOMEDIA;
    case SANE_STATUS_NO_MEM: return TWCC_LOWMEMORY;
    case SANE_STATUS_ACCESS_DENIED: return TWCC_DENIED;
    default: return TWCC_OPERATIONERROR; // busy, cover open, I/O errors, lamp warming up ...
    }
}

void traceSane(const char *call, const std::string &device, SANE_Status status, json extra)
{
    if (!traceEnabled())
        return;
    extra["sane"] = call;
    if (!device.empty())
        extra["device"] = device;
    extra["status"] = saneStatusName(status);
    traceWrite(extra);
}

SaneLibrary &SaneLibrary::instance()
{
    // Never destroyed: a thread left inside a driver may still come back to it at exit.
    static SaneLibrary *const library = new SaneLibrary;
    return *library;
}

std::unique_lock<std::timed_mutex> SaneLibrary::lockWithin(const char *call)
{
    std::unique_lock<std::timed_mutex> lock(mutex_, std::defer_lock);
    // The call holding SANE is waited for until it has had its patience (a second at least):
    // one that never returns costs each later call that second, not ten.
    bool locked = lock.try_lock();
    if (!locked) {
        const auto heldFor = Clock::now() - Clock::time_point(Clock::duration(lockedAt_.load()));
        const auto wait = std::max<Clock::duration>(driverPatience() - heldFor,
                                                    std::min<Clock::duration>(driverPatience(), std::chrono::seconds(1)));
        locked = lock.try_lock_for(wait);
    }
    if (!locked) {
        traceSane(call, std::string(), SANE_STATUS_DEVICE_BUSY, {{"note", "SANE is held by a driver call that did not return"}});
        std::fprintf(stderr, "twaindsm: %s not made: SANE is held by a driver call that did not return\n", call);
        return lock;
    }
    lockedAt_ = Clock::now().time_since_epoch().count();
    return lock;
}

void SaneLibrary::end(const char *reason)
{
    if (abandoned_) {
        traceSane("sane_exit", std::string(), SANE_STATUS_DEVICE_BUSY,
                  {{"from", reason}, {"note", "not called: a driver call never returned"}});
        return;
    }
    const std::unique_lock<std::timed_mutex> lock = lockWithin("sane_exit");
    if (!lock.owns_lock() || !tried_)
        return;
    if (ready_) {
        api_.exit();
        traceSane("sane_exit", std::string(), SANE_STATUS_GOOD, {{"from", reason}});
    }
    if (library_)
        closeSharedLibrary(library_);
    library_ = nullptr;
    api_ = Api();
    ready_ = false;
    tried_ = false;
}

bool SaneLibrary::readyLocked()
{
    if (!tried_) {
        tried_ = true;
        ready_ = load();
    }
    return ready_;
}

bool SaneLibrary::load()
{
    const char *configured = std::getenv("TWAINDSM_SANE_LIBRARY");
    const std::string name = configured && *configured ? configured : "libsane.so.1";
    std::string reason;
    library_ = openSharedLibrary(name, reason);
    if (!library_) {
        std::fprintf(stderr, "twaindsm: SANE is not available (%s); no SANE device is listed\n", reason.c_str());
        traceSane("dlopen", std::string(), SANE_STATUS_UNSUPPORTED, {{"library", name}, {"error", reason}});
        return false;
    }
    auto resolve = [this](auto &function, const char *symbol) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(sharedLibrarySymbol(library_, symbol));
        return function != nullptr;
    };
    const bool complete = resolve(api_.init, "sane_init") && resolve(api_.exit, "sane_exit")
        && resolve(api_.getDevices, "sane_get_devices") && resolve(api_.open, "sane_open")
        && resolve(api_.close, "sane_close") && resolve(api_.descriptor, "sane_get_option_descriptor")
        && resolve(api_.controlOption, "sane_control_option") && resolve(api_.parameters, "sane_get_parameters")
        && resolve(api_.start, "sane_start") && resolve(api_.read, "sane_read") && resolve(api_.cancel, "sane_cancel");
    if (!complete) {
        std::fprintf(stderr, "twaindsm: %s lacks SANE functions; no SANE device is listed\n", name.c_str());
        traceSane("dlopen", std::string(), SANE_STATUS_UNSUPPORTED, {{"library", name}, {"error", "incomplete"}});
        closeSharedLibrary(library_);
        library_ = nullptr;
        return false;
    }
    SANE_Int version = 0;
    const SANE_Status status = api_.init(&version, nullptr);
    traceSane("sane_init", std::string(), status,
              {{"library", name},
               {"version", std::to_string(SANE_VERSION_MAJOR(version)) + "." + std::to_string(SANE_VERSION_MINOR(version)) + "."
                               + std::to_string(SANE_VERSION_BUILD(version))}});
    if (status != SANE_STATUS_GOOD) {
        std::fprintf(stderr, "twaindsm: sane_init failed (%s); no SANE device is listed\n", saneStatusName(status).c_str());
        return false;
    }
    return true;
}

SANE_Status SaneLibrary::devices(std::vector<SaneDeviceInfo> &devices)
{
    devices.clear();
    const std::unique_lock<std::timed_mutex> lock = lockWithin("sane_get_devices");
    if (!lock.owns_lock())
        return SANE_STATUS_IO_ERROR;
    if (!readyLocked())
        return SANE_STATUS_UNSUPPORTED;
    const SANE_Device **list = nullptr;
    const SANE_Status status = api_.getDevices(&list, SANE_FALSE);
    json names = json::array();
    auto text = [](const char *value) { return value ? std::string(value) : std::string(); };
    for (size_t i = 0; status == SANE_STATUS_GOOD && list && list[i]; ++i) {
        devices.push_back({text(list[i]->name), text(list[i]->vendor), text(list[i]->model), text(list[i]->type)});
        names.push_back(devices.back().name);
    }
    traceSane("sane_get_devices", std::string(), status, {{"devices", names}});
    return status;
}

SANE_Status SaneLibrary::open(const std::string &device, SANE_Handle *handle)
{
    *handle = nullptr;
    const std::unique_lock<std::timed_mutex> lock = lockWithin("sane_open");
    if (!lock.owns_lock())
        return SANE_STATUS_IO_ERROR; // as a device that does not answer
    if (!readyLocked())
        return SANE_STATUS_UNSUPPORTED;
    const SANE_Status status = api_.open(device.c_str(), handle);
    traceSane("sane_open", device, status);
    return status;
}

void SaneLibrary::close(SANE_Handle handle, const std::string &device)
{
    const std::unique_lock<std::timed_mutex> lock = lockWithin("sane_close");
    if (!lock.owns_lock() || !ready_)
        return; // SANE has ended, and every handle with it
    api_.close(handle);
    traceSane("sane_close", device, SANE_STATUS_GOOD);
}

const SANE_Option_Descriptor *SaneLibrary::descriptor(SANE_Handle handle, SANE_Int option) const
{
    return api_.descriptor(handle, option);
}

SANE_Status SaneLibrary::controlOption(SANE_Handle handle, SANE_Int option, SANE_Action action, void *value, SANE_Int *info) const
{
    return api_.controlOption(handle, option, action, value, info);
}

SANE_Status SaneLibrary::parameters(SANE_Handle handle, SANE_Parameters *parameters) const
{
    return api_.parameters(handle, parameters);
}

SANE_Status SaneLibrary::start(SANE_Handle handle) const
{
    return api_.start(handle);
}

SANE_Status SaneLibrary::read(SANE_Handle handle, SANE_Byte *data, SANE_Int maxLength, SANE_Int *length) const
{
    return api_.read(handle, data, maxLength, length);
}

void SaneLibrary::cancel(SANE_Handle handle) const
{
    api_.cancel(handle);
}

} // namespace twaindsm
