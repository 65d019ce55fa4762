// Work that starts when libtwaindsm is loaded (this file belongs to the shared library only).
#include "profile.h"
#include "sane_devices.h"

namespace twaindsm {
namespace {

// The SANE device list is fetched at once, so that it is ready by the time an application asks
// for its sources, unless SANE is switched off. Building the list object here also makes it
// outlive the manager, whose sources use SANE until they are closed.
struct FetchSaneDevicesAtLoad {
    FetchSaneDevicesAtLoad()
    {
        SaneDeviceList &devices = SaneDeviceList::instance();
        if (configuredSaneMode() != SaneMode::Off)
            devices.fetch();
    }
} fetchSaneDevicesAtLoad;

} // namespace
} // namespace twaindsm
