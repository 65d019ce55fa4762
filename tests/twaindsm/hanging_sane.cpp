// A SANE library with one small grey flatbed ("Vellox Stubborn scanner", "hanging:0") whose
// calls can be made to hang until the test lets them go, as a driver whose thread died holding a
// lock does. The DSM loads it through TWAINDSM_SANE_LIBRARY; the test reaches the same copy with
// dlopen and drives it through the hanging_sane_* functions (hanging_sane.h).
#include "hanging_sane.h"

#include <sane/sane.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

constexpr int kWidth = 64, kLines = 32;

std::mutex mutex;
std::condition_variable changed;
std::set<std::string> hanging;      // calls that hang when they are made
std::multiset<std::string> blocked; // calls hanging now
int closes = 0;
int openHandles = 0;                // across tests: a handle given up on is closed late
int readPosition = 0;
int handleTag = 0;

// Hangs while `call` is to hang.
void maybeHang(const char *call)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!hanging.count(call))
        return;
    auto at = blocked.insert(call);
    changed.notify_all();
    changed.wait(lock, [call] { return !hanging.count(call); });
    blocked.erase(at);
    changed.notify_all();
}

SANE_Option_Descriptor countOption = [] {
    SANE_Option_Descriptor d{};
    d.name = "";
    d.title = "Number of options";
    d.type = SANE_TYPE_INT;
    d.unit = SANE_UNIT_NONE;
    d.size = sizeof(SANE_Word);
    d.cap = SANE_CAP_SOFT_DETECT;
    return d;
}();

} // namespace

extern "C" {

void hanging_sane_reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    hanging.clear();
    closes = 0;
    changed.notify_all();
}

void hanging_sane_hang(const char *call)
{
    std::lock_guard<std::mutex> lock(mutex);
    hanging.insert(call);
}

void hanging_sane_release()
{
    std::lock_guard<std::mutex> lock(mutex);
    hanging.clear();
    changed.notify_all();
}

int hanging_sane_wait_blocked(const char *call, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [call] { return blocked.count(call) > 0; });
}

int hanging_sane_wait_unblocked(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return blocked.empty(); });
}

int hanging_sane_wait_closes(int count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [count] { return closes >= count; });
}

int hanging_sane_wait_all_closed(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return openHandles == 0; });
}

int hanging_sane_closes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return closes;
}

SANE_Status sane_init(SANE_Int *version, SANE_Auth_Callback)
{
    if (version)
        *version = SANE_VERSION_CODE(1, 0, 0);
    return SANE_STATUS_GOOD;
}

void sane_exit() {}

SANE_Status sane_get_devices(const SANE_Device ***list, SANE_Bool)
{
    static const SANE_Device device = {"hanging:0", "Vellox", "Stubborn scanner", "flatbed scanner"};
    static const SANE_Device *devices[] = {&device, nullptr};
    *list = devices;
    return SANE_STATUS_GOOD;
}

SANE_Status sane_open(SANE_String_Const name, SANE_Handle *handle)
{
    if (std::strcmp(name, "hanging:0") != 0)
        return SANE_STATUS_INVAL;
    *handle = &handleTag;
    std::lock_guard<std::mutex> lock(mutex);
    ++openHandles;
    return SANE_STATUS_GOOD;
}

void sane_close(SANE_Handle)
{
    maybeHang("sane_close");
    std::lock_guard<std::mutex> lock(mutex);
    ++closes;
    --openHandles;
    changed.notify_all();
}

const SANE_Option_Descriptor *sane_get_option_descriptor(SANE_Handle, SANE_Int option)
{
    return option == 0 ? &countOption : nullptr;
}

SANE_Status sane_control_option(SANE_Handle, SANE_Int option, SANE_Action action, void *value, SANE_Int *info)
{
    if (info)
        *info = 0;
    if (option != 0 || action != SANE_ACTION_GET_VALUE)
        return SANE_STATUS_INVAL;
    *static_cast<SANE_Word *>(value) = 1;
    return SANE_STATUS_GOOD;
}

SANE_Status sane_get_parameters(SANE_Handle, SANE_Parameters *p)
{
    *p = SANE_Parameters{SANE_FRAME_GRAY, SANE_TRUE, kWidth, kWidth, kLines, 8};
    return SANE_STATUS_GOOD;
}

SANE_Status sane_start(SANE_Handle)
{
    maybeHang("sane_start");
    std::lock_guard<std::mutex> lock(mutex);
    readPosition = 0;
    return SANE_STATUS_GOOD;
}

SANE_Status sane_read(SANE_Handle, SANE_Byte *data, SANE_Int maxLength, SANE_Int *length)
{
    *length = 0;
    maybeHang("sane_read");
    std::lock_guard<std::mutex> lock(mutex);
    const int left = kWidth * kLines - readPosition;
    if (left <= 0)
        return SANE_STATUS_EOF;
    const int n = left < maxLength ? left : maxLength;
    std::memset(data, 0x80, static_cast<size_t>(n));
    readPosition += n;
    *length = n;
    return SANE_STATUS_GOOD;
}

void sane_cancel(SANE_Handle)
{
    maybeHang("sane_cancel");
}

} // extern "C"
