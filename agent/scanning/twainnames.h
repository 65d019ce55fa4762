#pragma once

#include <twain.h>

// Some TWAIN headers leave out the device-event message of the standard.
#ifndef MSG_DEVICEEVENT
#define MSG_DEVICEEVENT 0x0104
#endif

// Names of TWAIN codes for the log: the standard's identifier spelled exactly, or a text for a
// code outside the table. Formatted texts live in three rotating 1024-byte buffers, so at most
// three of them are valid at a time: use a result before asking for a fourth.
const char* CapabilityName(TW_UINT16 capability);
const char* ConditionCodeName(TW_UINT16 conditionCode);
const char* DataArgumentTypeName(TW_UINT16 dat);
const char* DataGroupName(TW_UINT32 dg);
const char* MessageName(TW_UINT16 msg);
const char* ReturnCodeName(TW_UINT16 returnCode);
const char* ItemTypeName(TW_UINT16 itemType);

// One item of a capability container as text: numbers, TRUE/FALSE, fixed-point values and
// frames by item type; other items by the constant names of the capability's values.
// `item` points at the item's bytes inside the container.
const char* CapabilityItemText(TW_UINT16 capability, TW_UINT16 itemType, const void* item);
