// The registry's slot record: the one narrow header the request layer shares with the
// registry (it reaches a token through its slot).
#pragma once

#include <cstdint>

#include "device/atr.h"
#include "device/device.h"

inline constexpr uint32_t MAX_DEVICE_SLOTS = 127;
inline constexpr uint32_t DEVICE_PATH_CAPACITY = 260;  // 259 characters and a NUL
inline constexpr uint32_t SLOT_ATR_CAPACITY = 64;

struct DeviceSlot {
  DeviceKind kind;  // DEVICE_KIND_FREE when the slot is free
  Handle handle;    // the opened device file; kInvalidHandle while not open
  char devicePath[DEVICE_PATH_CAPACITY];
  AtrInfo atrInfo;
  uint8_t atr[SLOT_ATR_CAPACITY];
  uint8_t atrLength;   // 0 to 64
  uint32_t shareMode;  // of the current opening: 0 exclusive, otherwise shared
  uint32_t openCount;
  Handle mutex;  // the token's named mutex; 0 when the slot has none
};

// Opens a device file for reading; stores the handle through `handle` whatever happens and
// returns whether it is valid.
bool OpenDevicePath(const char* path, uint32_t shareMode, Handle* handle);
// Closes a handle; false, doing nothing, for -1 and 0.
bool CloseDeviceHandle(Handle handle);
bool OpenSlotHandle(DeviceSlot* slot, uint32_t shareMode);
bool CloseSlotHandle(DeviceSlot* slot);  // the caller resets the field
