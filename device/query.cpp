#include "device/query.h"

#include <cstring>

#include "device/registry.h"

DeviceKind QueryDeviceKind(uint32_t slotIndex) {
  if (slotIndex >= MAX_DEVICE_SLOTS) return DEVICE_KIND_FREE;
  return DeviceRegistry[slotIndex].kind;
}

Result QueryDevicePath(uint32_t slotIndex, char* path, uint32_t capacity) {
  if (path == nullptr || QueryDeviceKind(slotIndex) == DEVICE_KIND_FREE) {
    return RESULT_INVALID_PARAMETER;
  }
  const char* devicePath = DeviceRegistry[slotIndex].devicePath;
  uint32_t length = 0;  // the registry keeps the path terminated; never read past the field
  while (length < DEVICE_PATH_CAPACITY - 1 && devicePath[length] != '\0') ++length;
  if (length + 1 > capacity) return RESULT_BUFFER_TOO_SMALL;
  std::memcpy(path, devicePath, length);
  path[length] = '\0';
  return RESULT_SUCCESS;
}
