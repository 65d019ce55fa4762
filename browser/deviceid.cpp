#include "deviceid.h"

#include <algorithm>
#include <cstdio>

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

std::string computeDeviceId()
{
    return deviceIdFrom(listNetworkAdapters());
}
