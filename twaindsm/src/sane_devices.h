// The SANE devices the manager lists as sources. Finding them can take seconds (network
// scanners are discovered on the LAN), so the list is fetched in the background, first when the
// library is loaded, and a listing waits for a fetch only a bounded time.
#pragma once

#include "sane_library.h"
#include "twain.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace twaindsm {

// How long MSG_GETFIRST waits for a fetch before it lists what is known.
constexpr std::chrono::milliseconds kSaneListWait{3000};

struct SaneListedDevice {
    SaneDeviceInfo device;
    std::string productName;
};

// The product names of SANE devices: "vendor model" (the model alone when it already begins with
// the vendor), cut to 33 bytes without splitting a UTF-8 character; a name that is already
// taken (by a virtual source or an earlier device) gets " (2)", " (3)" ... so each stays unique.
std::vector<SaneListedDevice> nameSaneDevices(const std::vector<SaneDeviceInfo> &devices, std::vector<std::string> taken);
// Cuts UTF-8 text to at most `bytes` bytes on a character boundary.
std::string cutUtf8(const std::string &text, size_t bytes);
// The identity of a listed SANE device: Manufacturer the vendor, ProductFamily the SANE type,
// Version.Info the SANE device name.
TW_IDENTITY saneIdentity(const SaneListedDevice &device, uint32_t id);

class SaneDeviceList {
public:
    static SaneDeviceList &instance();

    // Starts a fetch in the background unless one is running.
    void fetch();
    // The devices after waiting at most `wait` for a fetch (started here unless one is running);
    // when it takes longer, those of the last fetch that finished.
    std::vector<SaneDeviceInfo> devices(std::chrono::milliseconds wait);

    // The last application closed the manager: no fetch starts any more, the running one is
    // waited for at most `patience` (a discovery that never ends is left behind, with SANE), and
    // SANE is ended. resume() lets fetches start again.
    void endSane(std::chrono::milliseconds patience);
    void resume();

private:
    SaneDeviceList();
    ~SaneDeviceList();
    void startLocked();

    std::mutex mutex_;
    std::condition_variable fetched_;
    std::vector<SaneDeviceInfo> devices_;
    unsigned finishedFetches_ = 0;
    bool fetching_ = false;
    bool stopping_ = false;  // the list is destroyed
    bool suspended_ = false; // SANE has ended with the manager's last application
    std::thread thread_;
};

} // namespace twaindsm
