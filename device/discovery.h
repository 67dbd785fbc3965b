// Finding the device paths of one device-interface class that are present now.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// One discovered device: a size field no consumer reads, then the NUL-terminated path.
struct DevicePathEntry {
  uint32_t sizeField;
  char path[1];  // as long as the block allows
};

// A null-terminated array of entries; the array and each entry are separate LocalAlloc blocks.
using DevicePathList = DevicePathEntry**;

inline constexpr int32_t DISCOVERY_CAPACITY = 127;
inline constexpr uint32_t INTERFACE_SCAN_BOUND = 127;
inline constexpr uint32_t DOS_NAME_BUFFER_SIZE = 32768;
inline constexpr uint32_t HARDWARE_ID_BUFFER_SIZE = 1024;

extern const Guid USB_DRIVER_INTERFACE_GUID;  // {171638F7-1EAD-4873-BA98-C966ABCF0142}
extern const char DOS_NAME_PREFIX[];          // "DRAVEL2"
extern const char HID_HARDWARE_ID_FILTER[];   // "HID\Vid_0471&Pid_485e"

// Scans for `guid` (DOS names on NT 4.0, device interfaces elsewhere). 1: *list and *count
// hold what was found (the caller frees it); 0: no scan could be made, *count is 0 and
// there is nothing to free. *count goes in as the capacity, at least 127.
int32_t DiscoverDevicePaths(const Guid* guid, const char* hardwareIdFilter, DevicePathList* list,
                            int32_t* count);
int32_t DiscoverByInterface(const Guid* guid, const char* hardwareIdFilter, DevicePathList* list,
                            int32_t* count);
int32_t DiscoverByDosName(const Guid* guid, DevicePathList* list, int32_t* count);
const char* DosNamePrefixForGuid(const Guid* guid);
int32_t FreeDevicePathList(DevicePathList list);

// Forgets the SetupAPI entry points (tests, and a newly installed platform).
void ForgetSetupApiEntryPoints();
