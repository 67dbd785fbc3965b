// The process-wide registry of attached tokens and the operations on its slots.
#pragma once

#include <cstdint>

#include "device/device.h"
#include "device/slot.h"

// The one static table of slots, indices 0 to 126.
extern DeviceSlot DeviceRegistry[MAX_DEVICE_SLOTS];

// Marks every slot free; once, at library start-up.
void InitRegistry();

// As EnumDevices, without the identifiers.
Result ListDevices(DeviceContext* contexts, uint32_t* size);

// shareMode: 0 exclusive, 1 shared; *grantedMode (optional) receives the modes granted.
Result OpenSlot(DeviceContext* context, uint32_t shareMode, uint32_t modeMask,
                uint32_t* grantedMode);
Result CloseSlot(DeviceContext* context);

// Not null, slot index in range, and that slot registered.
bool IsContextValid(const DeviceContext* context);
// Not null, slot index in range, a handle neither -1 nor 0, version at least 0x20000 and
// an answer-to-reset; looks at the context only.
bool IsOpenContextValid(const DeviceContext* context);

inline constexpr uint32_t MUTEX_NAME_CAPACITY = 57;  // 56 characters and a NUL
// The token's mutex name: the device path without its first four characters, at most 56.
void MakeMutexName(const char* devicePath, char name[MUTEX_NAME_CAPACITY]);

// The 16-bit version's four hex digits spread into four bytes: 0x1234 -> 0x01020304.
uint32_t SpreadVersion(uint16_t version);
