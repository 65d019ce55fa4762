#include "deviceid.h"

#include <algorithm>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if_arp.h>
#include <sys/socket.h>

std::vector<NetworkAdapter> listNetworkAdapters(const std::string& sysClassNet)
{
    std::vector<NetworkAdapter> adapters;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return adapters;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET || !entry->ifa_name)
            continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
        NetworkAdapter adapter;
        adapter.name = entry->ifa_name;
        adapter.index = link->sll_ifindex;
        const int length = std::min<int>(link->sll_halen, sizeof link->sll_addr);
        adapter.address.assign(link->sll_addr, link->sll_addr + length);
        readAdapterDescription(sysClassNet, adapter.name, link->sll_hatype, adapter);
        adapters.push_back(adapter);
    }
    freeifaddrs(list);
    return adapters;
}
