#include "scanning/twainnames.h"

#include "scanning/twain_value_tables.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kBufferCount = 3;
constexpr std::size_t kBufferSize = 1024;

// Each formatted name takes the next of three buffers, so a log line can hold three of them.
// Names are asked for from the data source's thread too (queued signals), hence the atomic.
char* nextBuffer()
{
    static char buffers[kBufferCount][kBufferSize];
    static std::atomic<unsigned> next{ 0 };
    return buffers[next.fetch_add(1) % kBufferCount];
}

const char* format(const char* pattern, ...)
{
    char* buffer = nextBuffer();
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, kBufferSize, pattern, args);
    va_end(args);
    return buffer;
}

const char* nameOr(const TwainValueTable& table, long value, const char* fallback)
{
    if (const char* name = table.find(value))
        return name;
    return format(fallback, static_cast<unsigned>(value));
}

double fix32Value(const TW_FIX32& value)
{
    return value.Whole + value.Frac / 65536.0;
}

template <typename T>
T readItem(const void* item)
{
    T value;
    std::memcpy(&value, item, sizeof value);
    return value;
}

// Strings in a container are bounded by their item type, not necessarily terminated.
const char* stringItem(const void* item, std::size_t capacity)
{
    char* buffer = nextBuffer();
    const std::size_t length = strnlen(static_cast<const char*>(item), capacity);
    std::memcpy(buffer, item, length);
    buffer[length] = '\0';
    return buffer;
}

std::size_t stringCapacity(TW_UINT16 itemType)
{
    switch (itemType) {
    case TWTY_STR32: return sizeof(TW_STR32);
    case TWTY_STR64: return sizeof(TW_STR64);
    case TWTY_STR128: return sizeof(TW_STR128);
    default: return sizeof(TW_STR255);
    }
}

bool isStringCapability(TW_UINT16 capability)
{
    switch (capability) {
    case CAP_AUTHOR:
    case CAP_CAPTION:
    case CAP_TIMEDATE:
    case CAP_CUSTOMINTERFACEGUID:
    case ICAP_HALFTONES:
        return true;
    default:
        return false;
    }
}

// The value of an item that is named through a value table, by the width of its type.
long tableItemValue(TW_UINT16 itemType, const void* item)
{
    switch (itemType) {
    case TWTY_INT8: return readItem<TW_INT8>(item);
    case TWTY_UINT8: return readItem<TW_UINT8>(item);
    case TWTY_UINT32: return static_cast<long>(readItem<TW_UINT32>(item));
    default: return readItem<TW_UINT16>(item);
    }
}

} // namespace

const char* CapabilityName(TW_UINT16 capability)
{
    if (const char* name = TwainValueTables::capabilities.find(capability))
        return name;
    if (capability == CAP_CUSTOMBASE)
        return "CAP_CUSTOMBASE";
    return format(capability < CAP_CUSTOMBASE ? "Unknown CAP 0x:%04X" : "Custom CAP 0x:%04X",
                  static_cast<unsigned>(capability));
}

const char* ConditionCodeName(TW_UINT16 conditionCode)
{
    return nameOr(TwainValueTables::conditionCodes, conditionCode, "ConditionCode 0x:%04X");
}

const char* DataArgumentTypeName(TW_UINT16 dat)
{
    return nameOr(TwainValueTables::dataArgumentTypes, dat, "DataArgumentType 0x:%04X");
}

const char* DataGroupName(TW_UINT32 dg)
{
    return nameOr(TwainValueTables::dataGroups, static_cast<long>(dg), "DataGroup 0x:%04X");
}

const char* MessageName(TW_UINT16 msg)
{
    return nameOr(TwainValueTables::messages, msg, "Message 0x:%04X");
}

const char* ReturnCodeName(TW_UINT16 returnCode)
{
    return nameOr(TwainValueTables::returnCodes, returnCode, "ReturnCode 0x:%04X");
}

const char* ItemTypeName(TW_UINT16 itemType)
{
    return nameOr(TwainValueTables::itemTypes, itemType, "Unknown TWTY 0x:%04X");
}

const char* CapabilityItemText(TW_UINT16 capability, TW_UINT16 itemType, const void* item)
{
    switch (itemType) {
    case TWTY_INT16:
        return format("%d", readItem<TW_INT16>(item));
    case TWTY_INT32:
        return format("%d", readItem<TW_INT32>(item));
    case TWTY_BOOL:
        return readItem<TW_BOOL>(item) ? "TRUE" : "FALSE";
    case TWTY_FIX32:
        return format("%.2f", fix32Value(readItem<TW_FIX32>(item)));
    case TWTY_FRAME: {
        const TW_FRAME frame = readItem<TW_FRAME>(item);
        return format("%.2f,%.2f,%.2f,%.2f", fix32Value(frame.Left), fix32Value(frame.Top),
                      fix32Value(frame.Right), fix32Value(frame.Bottom));
    }
    case TWTY_STR32:
    case TWTY_STR64:
    case TWTY_STR128:
    case TWTY_STR255:
        return stringItem(item, stringCapacity(itemType));
    default:
        break;
    }

    if (isStringCapability(capability))
        return stringItem(item, sizeof(TW_STR255));
    const TwainValueTable* table = TwainValueTables::itemValues(capability);
    if (!table)
        return format("Un-recognized Capability 0x%04X", static_cast<unsigned>(readItem<TW_UINT16>(item)));
    const long value = tableItemValue(itemType, item);
    if (const char* name = table->find(value))
        return name;
    return format("0x%04X", static_cast<unsigned>(value));
}
