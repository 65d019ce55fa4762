// libsane, loaded at run time: the manager works without it (no SANE device is listed then).
// Every call is written to the trace with its status, so that a failing scan on a user's
// machine can be explained from the trace file alone.
#pragma once

#include "twain.h"

#include <sane/sane.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace twaindsm {

// How long the manager waits for a driver call that does not return (a backend thread that
// died holding a lock, a device that stopped answering) before it gives that call up: 10 s,
// or TWAINDSM_DRIVER_PATIENCE_MS (tests of drivers that hang).
std::chrono::milliseconds driverPatience();

struct SaneDeviceInfo {
    std::string name;   // SANE's device name, such as "test:0"
    std::string vendor;
    std::string model;
    std::string type;   // "flatbed scanner", "virtual device" ...
};

// "SANE_STATUS_JAMMED" and so on.
std::string saneStatusName(SANE_Status status);
// The TWAIN condition code for a failed SANE call (TWCC_PAPERJAM for a jam, TWCC_NOMEDIA for an
// empty feeder, TWCC_OPERATIONERROR for a device error ...).
uint16_t saneConditionCode(SANE_Status status);
// One line of the trace about a SANE call: {"sane": call, "device": ..., "status": ..., extra...}.
void traceSane(const char *call, const std::string &device, SANE_Status status, nlohmann::json extra = nlohmann::json::object());

class SaneLibrary {
public:
    static SaneLibrary &instance();

    // Ends SANE (sane_exit), for the manager once its last application has closed it: every
    // backend is intact then. At process exit some backends have already torn down their own
    // state, so SANE is never ended from a static destructor; a process that never closes the
    // manager leaves SANE to the system. The next call that needs SANE starts it anew. Nothing
    // is ended under a driver call that never returned.
    void end(const char *reason);

    // Calls that concern SANE as a whole (device lists, opening and closing) are made one at a
    // time; calls on an open handle are the caller's to keep in order. A driver call that never
    // returns holds SANE only for itself: the others wait until it has had driverPatience() (a
    // second at least) and then fail as a device that does not answer does.
    SANE_Status devices(std::vector<SaneDeviceInfo> &devices);
    SANE_Status open(const std::string &device, SANE_Handle *handle);
    void close(SANE_Handle handle, const std::string &device);

    const SANE_Option_Descriptor *descriptor(SANE_Handle handle, SANE_Int option) const;
    SANE_Status controlOption(SANE_Handle handle, SANE_Int option, SANE_Action action, void *value, SANE_Int *info) const;
    SANE_Status parameters(SANE_Handle handle, SANE_Parameters *parameters) const;
    SANE_Status start(SANE_Handle handle) const;
    SANE_Status read(SANE_Handle handle, SANE_Byte *data, SANE_Int maxLength, SANE_Int *length) const;
    // May be called from any thread while another one reads: it makes that read return.
    void cancel(SANE_Handle handle) const;

    // A thread was left inside a driver call that did not return: SANE is then never shut
    // down nor unloaded under it.
    void callAbandoned() { abandoned_ = true; }

private:
    SaneLibrary() = default;
    ~SaneLibrary() = delete; // see end()

    struct Api {
        SANE_Status (*init)(SANE_Int *, SANE_Auth_Callback) = nullptr;
        void (*exit)() = nullptr;
        SANE_Status (*getDevices)(const SANE_Device ***, SANE_Bool) = nullptr;
        SANE_Status (*open)(SANE_String_Const, SANE_Handle *) = nullptr;
        void (*close)(SANE_Handle) = nullptr;
        const SANE_Option_Descriptor *(*descriptor)(SANE_Handle, SANE_Int) = nullptr;
        SANE_Status (*controlOption)(SANE_Handle, SANE_Int, SANE_Action, void *, SANE_Int *) = nullptr;
        SANE_Status (*parameters)(SANE_Handle, SANE_Parameters *) = nullptr;
        SANE_Status (*start)(SANE_Handle) = nullptr;
        SANE_Status (*read)(SANE_Handle, SANE_Byte *, SANE_Int, SANE_Int *) = nullptr;
        void (*cancel)(SANE_Handle) = nullptr;
    };
    bool load();
    // With the lock held: loads libsane (TWAINDSM_SANE_LIBRARY, else "libsane.so.1") and
    // initialises it, once until end(); false when it is not there.
    bool readyLocked();
    // The lock of the calls on SANE as a whole, taken within the patience; not owned (and the
    // reason traced for `call`) when a stuck call keeps it.
    std::unique_lock<std::timed_mutex> lockWithin(const char *call);

    using Clock = std::chrono::steady_clock;
    std::timed_mutex mutex_;  // loading and ending, and the calls on SANE as a whole
    std::atomic<Clock::rep> lockedAt_{0}; // when the lock was last taken
    bool tried_ = false;
    bool ready_ = false;
    std::atomic<bool> abandoned_{false};
    void *library_ = nullptr;
    Api api_;
};

} // namespace twaindsm
