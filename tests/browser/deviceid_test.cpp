#include "deviceid.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Kind = NetworkAdapter::Kind;

NetworkAdapter adapter(const char* name, int index, Kind kind, std::vector<unsigned char> address,
                       bool physical = true, bool random = false)
{
    NetworkAdapter a;
    a.name = name;
    a.index = index;
    a.kind = kind;
    a.address = std::move(address);
    a.physical = physical;
    a.randomAddress = random;
    return a;
}

const std::vector<unsigned char> kEth {0x02, 0xfc, 0x00, 0x0a, 0xb1, 0x01};
const std::vector<unsigned char> kWifi {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

TEST(DeviceId, TakesTheFirstPhysicalEthernetOrWifiAdapterInIndexOrder)
{
    // As on our machines: a virtual ifb0 with a random address comes before the real eth0.
    EXPECT_EQ(deviceIdFrom({adapter("lo", 1, Kind::Other, {0, 0, 0, 0, 0, 0}, false),
                            adapter("ifb0", 2, Kind::Ethernet, {0xf2, 0x33, 0x7f, 0xed, 0x64, 0xd7}, false, true),
                            adapter("eth0", 4, Kind::Ethernet, kEth)}),
              "02:fc:00:0a:b1:01");
    // Listed out of order: the lower index wins; Wi-Fi counts like Ethernet.
    EXPECT_EQ(deviceIdFrom({adapter("eth0", 7, Kind::Ethernet, kEth), adapter("wlan0", 3, Kind::Wireless, kWifi)}),
              "00:1a:2b:3c:4d:5e");
    // A device-backed adapter whose address is made up at every boot does not qualify either.
    EXPECT_EQ(deviceIdFrom({adapter("usb0", 2, Kind::Ethernet, kWifi, true, true),
                            adapter("eth0", 5, Kind::Ethernet, kEth)}),
              "02:fc:00:0a:b1:01");
    // Only virtual or odd adapters: no id, and no cookie.
    EXPECT_EQ(deviceIdFrom({adapter("veth0", 2, Kind::Ethernet, kEth, false),
                            adapter("ib0", 3, Kind::Other, kEth),
                            adapter("fw0", 4, Kind::Ethernet, {1, 2, 3, 4, 5, 6, 7, 8})}),
              "");
    EXPECT_EQ(deviceIdFrom({}), "");
}

// The system's description of interfaces, written by the test the way Linux lays it out.
class SysClassNet {
public:
    QString path() const { return dir.path(); }
    void add(const char* name, bool device, const char* assignType, bool wireless = false)
    {
        const QString folder = dir.path() + '/' + name;
        QDir().mkpath(folder);
        if (device)
            QFile::link(dir.path(), folder + "/device");
        if (wireless)
            QDir().mkpath(folder + "/wireless");
        if (assignType) {
            QFile file(folder + "/addr_assign_type");
            file.open(QIODevice::WriteOnly);
            file.write(assignType);
        }
    }

private:
    QTemporaryDir dir;
};

TEST(DeviceId, ReadsKindDeviceAndAddressOriginFromTheSystemDescription)
{
    SysClassNet tree;
    tree.add("eth0", true, "0\n");
    tree.add("wlan0", true, "0\n", true);
    tree.add("ifb0", false, "1\n");
    tree.add("old0", true, nullptr);
    const std::string root = tree.path().toStdString();
    constexpr int kEthernetType = 1;

    NetworkAdapter eth;
    readAdapterDescription(root, "eth0", kEthernetType, eth);
    EXPECT_EQ(eth.kind, Kind::Ethernet);
    EXPECT_TRUE(eth.physical);
    EXPECT_FALSE(eth.randomAddress);

    NetworkAdapter wlan;
    readAdapterDescription(root, "wlan0", kEthernetType, wlan);
    EXPECT_EQ(wlan.kind, Kind::Wireless);

    NetworkAdapter ifb;
    readAdapterDescription(root, "ifb0", kEthernetType, ifb);
    EXPECT_FALSE(ifb.physical);
    EXPECT_TRUE(ifb.randomAddress);

    NetworkAdapter old; // a kernel without addr_assign_type: the address is taken as it is
    readAdapterDescription(root, "old0", kEthernetType, old);
    EXPECT_TRUE(old.physical);
    EXPECT_FALSE(old.randomAddress);

    NetworkAdapter loopback;
    readAdapterDescription(root, "eth0", 772, loopback);
    EXPECT_EQ(loopback.kind, Kind::Other);
}

TEST(DeviceId, ListsThisMachinesAdaptersWithTheirIndexAndAddress)
{
    const std::vector<NetworkAdapter> adapters = listNetworkAdapters();
    const auto loopback = std::find_if(adapters.begin(), adapters.end(),
                                       [](const NetworkAdapter& a) { return a.name == "lo"; });
    ASSERT_NE(loopback, adapters.end());
    EXPECT_EQ(loopback->kind, Kind::Other);
    EXPECT_GT(loopback->index, 0);
    EXPECT_EQ(loopback->address.size(), 6u);
}

} // namespace
