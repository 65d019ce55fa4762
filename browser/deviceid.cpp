#include "deviceid.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

std::string deviceIdFrom(const std::vector<NetworkAdapter>& adapters)
{
    std::vector<const NetworkAdapter*> ordered;
    for (const NetworkAdapter& adapter : adapters)
        ordered.push_back(&adapter);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const NetworkAdapter* a, const NetworkAdapter* b) { return a->index < b->index; });
    for (const NetworkAdapter* adapter : ordered) {
        if (adapter->kind == NetworkAdapter::Kind::Other || adapter->address.size() != 6 || !adapter->physical
            || adapter->randomAddress)
            continue;
        std::string id;
        for (unsigned char byte : adapter->address) {
            char text[4];
            std::snprintf(text, sizeof text, id.empty() ? "%02x" : ":%02x", byte);
            id += text;
        }
        return id;
    }
    return {};
}

void readAdapterDescription(const std::string& sysClassNet, const std::string& name, int hardwareType,
                            NetworkAdapter& adapter)
{
    constexpr int kEthernetHardwareType = 1; // ARPHRD_ETHER
    constexpr int kRandomAddressAssignment = 1; // NET_ADDR_RANDOM
    const std::filesystem::path folder = std::filesystem::u8path(sysClassNet) / std::filesystem::u8path(name);
    std::error_code error;
    // Type 1 covers Ethernet and Wi-Fi alike; a wireless interface has a "wireless" entry.
    if (hardwareType == kEthernetHardwareType)
        adapter.kind = std::filesystem::exists(folder / "wireless", error) ? NetworkAdapter::Kind::Wireless
                                                                           : NetworkAdapter::Kind::Ethernet;
    else
        adapter.kind = NetworkAdapter::Kind::Other;
    adapter.physical = std::filesystem::exists(folder / "device", error);
    std::ifstream assignment(folder / "addr_assign_type");
    int assignType = -1;
    adapter.randomAddress = (assignment >> assignType) && assignType == kRandomAddressAssignment;
}

std::string computeDeviceId()
{
    return deviceIdFrom(listNetworkAdapters());
}
