// Capability negotiation through TWAIN containers.
#include "scanning/twainsession.h"

#include "scanning/twaindsm_library.h"

#include "foundation/agentlog.h"

#include <cstring>

void* CTWAINSession::LockContainer(TW_HANDLE container)
{
    return container ? TwainDsmLibrary::lockMemory(container) : nullptr;
}

void CTWAINSession::UnlockContainer(TW_HANDLE container)
{
    if (container)
        TwainDsmLibrary::unlockMemory(container);
}

void CTWAINSession::FreeContainer(TW_HANDLE container)
{
    if (container)
        TwainDsmLibrary::freeMemory(container);
}

std::size_t CTWAINSession::ItemSize(TW_UINT16 itemType)
{
    switch (itemType) {
    case TWTY_INT8: return sizeof(TW_INT8);
    case TWTY_UINT8: return sizeof(TW_UINT8);
    case TWTY_INT16: return sizeof(TW_INT16);
    case TWTY_UINT16: return sizeof(TW_UINT16);
    case TWTY_BOOL: return sizeof(TW_BOOL);
    case TWTY_INT32: return sizeof(TW_INT32);
    case TWTY_UINT32: return sizeof(TW_UINT32);
    case TWTY_FIX32: return sizeof(TW_FIX32);
    case TWTY_HANDLE: return sizeof(TW_UINT32);  // as on the 32-bit design: the item field holds 4 bytes
    case TWTY_FRAME: return sizeof(TW_FRAME);
    case TWTY_STR32: return sizeof(TW_STR32);
    case TWTY_STR64: return sizeof(TW_STR64);
    case TWTY_STR128: return sizeof(TW_STR128);
    case TWTY_STR255: return sizeof(TW_STR255);
    case TWTY_STR1024: return sizeof(TW_STR1024);
    case TWTY_UNI512: return sizeof(TW_UNI512);
    default: return 0;
    }
}

std::size_t CTWAINSession::ContainerSize(TW_UINT16 conType, TW_UINT16 itemType, TW_UINT32 count)
{
    const std::size_t itemSize = ItemSize(itemType);
    switch (conType) {
    case TWON_ARRAY:
        return sizeof(TW_ARRAY) + itemSize * count;
    case TWON_ENUMERATION:
        return sizeof(TW_ENUMERATION) + itemSize * count;
    case TWON_RANGE:
        return sizeof(TW_RANGE);
    case TWON_ONEVALUE:
        // Items wider than the Item field run on past the end of TW_ONEVALUE.
        if (itemType == TWTY_FRAME || (itemType >= TWTY_STR32 && itemType <= TWTY_STR255))
            return sizeof(TW_ONEVALUE) + itemSize;
        return sizeof(TW_ONEVALUE);
    default:
        return 0;
    }
}

TW_UINT16 CTWAINSession::GetCapability(TW_UINT16 capabilityId, TW_CAPABILITY& capability)
{
    capability = TW_CAPABILITY{};
    capability.Cap = capabilityId;
    capability.ConType = TWON_DONTCARE16;
    capability.hContainer = nullptr;
    return CallDSM(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability, &sourceIdentity);
}

namespace {

// Bytes of an item as a one-value or range container stores it.
std::size_t storedItemBytes(TW_UINT16 itemType)
{
    switch (itemType) {
    case TWTY_INT8:
    case TWTY_UINT8:
        return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL:
        return 2;
    case TWTY_INT32:
    case TWTY_UINT32:
        return 4;
    default:
        return CTWAINSession::ItemSize(itemType);
    }
}

bool extractValue(const void* container, TW_UINT16 conType, TW_UINT16 msg, void* output, std::size_t outputSize)
{
    const auto copyOut = [&](const void* from, std::size_t bytes) {
        if (bytes == 0 || bytes > outputSize)
            return false;
        std::memcpy(output, from, bytes);
        return true;
    };
    const bool current = msg == MSG_GETCURRENT || msg == MSG_RESET;
    const bool defaultValue = msg == MSG_GETDEFAULT;

    switch (conType) {
    case TWON_ONEVALUE: {
        const auto* oneValue = static_cast<const TW_ONEVALUE*>(container);
        return copyOut(&oneValue->Item, storedItemBytes(oneValue->ItemType));
    }
    case TWON_ENUMERATION: {
        const auto* enumeration = static_cast<const TW_ENUMERATION*>(container);
        if (!current && !defaultValue)
            return false;
        const TW_UINT32 index = current ? enumeration->CurrentIndex : enumeration->DefaultIndex;
        if (index >= enumeration->NumItems)
            return false;
        const std::size_t itemSize = CTWAINSession::ItemSize(enumeration->ItemType);
        return copyOut(enumeration->ItemList + index * itemSize, itemSize);
    }
    case TWON_RANGE: {
        const auto* range = static_cast<const TW_RANGE*>(container);
        if ((!current && !defaultValue) || range->ItemType > TWTY_BOOL)
            return false;
        const TW_UINT32 value = current ? range->CurrentValue : range->DefaultValue;
        // Ranges keep every value in 32 bits; narrower types take the low bytes (little endian).
        return copyOut(&value, storedItemBytes(range->ItemType));
    }
    default:
        return false;
    }
}

} // namespace

int CTWAINSession::GetCapabilityValue(TW_UINT16 capabilityId, void* output, TW_UINT16 msg, std::size_t outputSize)
{
    TW_CAPABILITY capability{};
    capability.Cap = capabilityId;
    capability.ConType = TWON_DONTCARE16;
    capability.hContainer = nullptr;
    const TW_UINT16 result = CallDSM(DG_CONTROL, DAT_CAPABILITY, msg, &capability, &sourceIdentity);
    if (result != TWRC_SUCCESS || !capability.hContainer)
        return 1;
    bool extracted = false;
    if (const void* container = LockContainer(capability.hContainer)) {
        extracted = extractValue(container, capability.ConType, msg, output, outputSize);
        UnlockContainer(capability.hContainer);
    }
    FreeContainer(capability.hContainer);
    return extracted ? 0 : 1;
}

TW_CAPABILITY CTWAINSession::CreateContainer(TW_UINT16 capabilityId, TW_UINT16 conType, TW_UINT16 itemType,
                                             TW_UINT32 count)
{
    TW_CAPABILITY capability{};
    capability.Cap = capabilityId;
    capability.ConType = conType;
    capability.hContainer = nullptr;
    const std::size_t size = ContainerSize(conType, itemType, count);
    if (size == 0)
        return capability;
    TW_HANDLE container = TwainDsmLibrary::allocateMemory(size);
    if (!container)
        return capability;
    void* memory = LockContainer(container);
    if (!memory) {
        FreeContainer(container);
        return capability;
    }
    // ItemType leads every container; arrays and enumerations follow it with NumItems.
    std::memcpy(memory, &itemType, sizeof itemType);
    if (conType == TWON_ARRAY || conType == TWON_ENUMERATION)
        std::memcpy(static_cast<char*>(memory) + offsetof(TW_ARRAY, NumItems), &count, sizeof count);
    UnlockContainer(container);
    capability.hContainer = container;
    return capability;
}

TW_UINT16 CTWAINSession::SetCapability(TW_CAPABILITY& capability, const void* value)
{
    void* memory = LockContainer(capability.hContainer);
    if (!memory) {
        FreeContainer(capability.hContainer);
        capability.hContainer = nullptr;
        return TWRC_FAILURE;
    }
    auto* oneValue = static_cast<TW_ONEVALUE*>(memory);
    std::memcpy(&oneValue->Item, value, ItemSize(oneValue->ItemType));
    UnlockContainer(capability.hContainer);

    const TW_UINT16 result = CallDSM(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability, &sourceIdentity);
    if (result != TWRC_SUCCESS)
        KLOG->error("SetCapabilityAnyOneValue: failed! cap_id:{}, ConType: {}", CapabilityName(capability.Cap),
                    capability.ConType);
    FreeContainer(capability.hContainer);
    capability.hContainer = nullptr;
    return result;
}

namespace {

template <typename T>
TW_UINT16 setOneValue(CTWAINSession& session, TW_UINT16 capabilityId, TW_UINT16 itemType, const T& value)
{
    TW_CAPABILITY capability = session.CreateContainer(capabilityId, TWON_ONEVALUE, itemType, 1);
    if (!capability.hContainer)
        return TWRC_FAILURE;
    return session.SetCapability(capability, &value);
}

} // namespace

TW_UINT16 CTWAINSession::SetCapabilityAnyOneValue(TW_UINT16 capabilityId, TW_INT16 value)
{
    KLOG->debug("SetCapabilityAnyOneValue: cap_id:{}, TW_INT16: {}", CapabilityName(capabilityId), value);
    return setOneValue(*this, capabilityId, TWTY_INT16, value);
}

TW_UINT16 CTWAINSession::SetCapabilityAnyOneValue(TW_UINT16 capabilityId, TW_UINT16 value)
{
    KLOG->debug("SetCapabilityAnyOneValue: cap_id:{}, TW_UINT16: {}", CapabilityName(capabilityId), value);
    return setOneValue(*this, capabilityId, TWTY_UINT16, value);
}

TW_UINT16 CTWAINSession::SetCapabilityAnyOneValue(TW_UINT16 capabilityId, TW_FIX32 value)
{
    KLOG->debug("SetCapabilityAnyOneValue: cap_id:{}, TW_FIX32: {:f}", CapabilityName(capabilityId),
                value.Whole + value.Frac / 65536.0);
    return setOneValue(*this, capabilityId, TWTY_FIX32, value);
}

TW_UINT16 CTWAINSession::SetCapabilityAnyOneValue(TW_UINT16 capabilityId, bool value)
{
    // TRUE only for a bool whose byte is exactly 1, as the value arrives from other code.
    unsigned char byte = 0;
    std::memcpy(&byte, &value, 1);
    KLOG->debug("SetCapabilityAnyOneValue: cap_id:{}, bool: {}", CapabilityName(capabilityId), byte == 1 ? 1 : 0);
    const TW_BOOL twainValue = byte == 1 ? TRUE : FALSE;
    return setOneValue(*this, capabilityId, TWTY_BOOL, twainValue);
}
