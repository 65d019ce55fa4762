// Windows: the adapters GetAdaptersInfo lists (Ethernet type 6, IEEE 802.11 type 71), each
// counted as hardware when the system says so (GetIfEntry2). Under Wine every adapter of the
// Linux host reports itself as hardware; there the host's own description of the interface,
// which Wine names the adapter after, tells virtual ones and made-up addresses as on Linux.
#include "deviceid.h"

#include "foundation/widestring_win.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

namespace {

constexpr UINT kEthernet = 6;     // MIB_IF_TYPE_ETHERNET
constexpr UINT kWireless = 71;    // IF_TYPE_IEEE80211

bool isHardwareInterface(DWORD index)
{
    MIB_IF_ROW2 row{};
    row.InterfaceIndex = index;
    return GetIfEntry2(&row) != NO_ERROR || row.InterfaceAndOperStatusFlags.HardwareInterface;
}

// The Linux host's path as a Windows path, when this runs under Wine; empty otherwise.
std::string wineHostPath(const std::string& linuxPath)
{
    using ToDosName = LPWSTR(CDECL*)(LPCSTR);
    const auto toDosName = reinterpret_cast<ToDosName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!toDosName)
        return {};
    LPWSTR dosName = toDosName(linuxPath.c_str());
    if (!dosName)
        return {};
    const std::string path = WideString::toUtf8(dosName);
    HeapFree(GetProcessHeap(), 0, dosName);
    return path;
}

} // namespace

std::vector<NetworkAdapter> listNetworkAdapters(const std::string& sysClassNet)
{
    std::vector<NetworkAdapter> adapters;
    ULONG size = 0;
    if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0)
        return adapters;
    std::vector<unsigned char> buffer(size);
    auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (GetAdaptersInfo(list, &size) != NO_ERROR)
        return adapters;
    const std::string hostDescriptions = wineHostPath(sysClassNet);
    for (const IP_ADAPTER_INFO* entry = list; entry; entry = entry->Next) {
        NetworkAdapter adapter;
        adapter.name = entry->AdapterName;
        adapter.index = int(entry->Index);
        adapter.kind = entry->Type == kEthernet   ? NetworkAdapter::Kind::Ethernet
                     : entry->Type == kWireless ? NetworkAdapter::Kind::Wireless
                                                : NetworkAdapter::Kind::Other;
        adapter.address.assign(entry->Address, entry->Address + std::min<UINT>(entry->AddressLength, MAX_ADAPTER_ADDRESS_LENGTH));
        adapter.physical = isHardwareInterface(entry->Index);
        if (!hostDescriptions.empty() && adapter.kind != NetworkAdapter::Kind::Other)
            readAdapterDescription(hostDescriptions, entry->Description, 1, adapter);
        adapters.push_back(adapter);
    }
    return adapters;
}
