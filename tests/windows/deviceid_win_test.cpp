// The device id from the Windows adapter list, under Wine on a Linux host: it names the same
// adapter as the Linux side does on that host, read from the host's own description.
#include "deviceid.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// The host's adapters as Linux lists them (index, hardware type, address), read through Wine's
// view of the Linux root.
std::vector<NetworkAdapter> hostAdapters()
{
    std::vector<NetworkAdapter> adapters;
    const std::filesystem::path root = "Z:/sys/class/net";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
        const std::string name = entry.path().filename().string();
        NetworkAdapter adapter;
        adapter.name = name;
        int type = 0;
        std::string address;
        std::ifstream(entry.path() / "ifindex") >> adapter.index;
        std::ifstream(entry.path() / "type") >> type;
        std::ifstream(entry.path() / "address") >> address;
        std::istringstream bytes(address);
        for (unsigned byte = 0; bytes >> std::hex >> byte;) {
            adapter.address.push_back(static_cast<unsigned char>(byte));
            bytes.ignore(1);
        }
        readAdapterDescription(root.string(), name, type, adapter);
        adapters.push_back(adapter);
    }
    return adapters;
}

TEST(DeviceIdWin, NamesTheAdapterTheLinuxHostNames)
{
    // Empty on a host without a physical Ethernet or Wi-Fi adapter (a container): then both are.
    EXPECT_EQ(computeDeviceId(), deviceIdFrom(hostAdapters()));
}

} // namespace
