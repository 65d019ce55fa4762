#pragma once

#include <string>
#include <vector>

// A network adapter as far as the device id cares.
struct NetworkAdapter {
    enum class Kind { Ethernet, Wireless, Other };

    std::string name;
    int index = 0;                       // the system's interface index
    Kind kind = Kind::Other;
    std::vector<unsigned char> address;  // hardware address
    bool physical = false;               // backed by a device, not a virtual interface
    bool randomAddress = false;          // an address made up at creation: new on every boot
};

// The id that tags this PC for the servers: the address of its first physical Ethernet or
// Wi-Fi adapter in index order, as "00:1a:2b:3c:4d:5e". Virtual adapters and made-up
// addresses are passed over, so the id stays the same from boot to boot. Empty when no
// adapter qualifies.
std::string deviceIdFrom(const std::vector<NetworkAdapter>& adapters);

// The adapters of this PC (the platform's part); `sysClassNet` is where Linux describes them
// (on Windows read only under Wine, whose adapters all look like hardware: the Linux host's
// description then tells the virtual ones).
std::vector<NetworkAdapter> listNetworkAdapters(const std::string& sysClassNet = "/sys/class/net");

// What Linux's description of interface `name` under `sysClassNet` says about it: its kind
// (for an Ethernet-type interface, `hardwareType` 1), whether a device backs it, whether its
// address is random. Fills those fields of `adapter`.
void readAdapterDescription(const std::string& sysClassNet, const std::string& name, int hardwareType,
                            NetworkAdapter& adapter);

std::string computeDeviceId();
