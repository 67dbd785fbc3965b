#include "device/refresh.h"

#include <cstring>

#include "device/ascii.h"
#include "device/discovery.h"
#include "device/registry.h"
#include "io/hid_transport.h"
#include "io/io.h"

namespace {

constexpr uint32_t kAtrBufferSize = 256;
constexpr uint8_t kAtrReadLength = 255;

const char* EntryPath(const DevicePathEntry* entry) {
  return reinterpret_cast<const char*>(entry) + sizeof(uint32_t);
}

bool Listed(DevicePathEntry** list, int32_t count, const char* path) {
  for (int32_t i = 0; i < count; ++i) {
    if (EqualsIgnoringAsciiCase(EntryPath(list[i]), path)) return true;
  }
  return false;
}

bool Registered(DeviceKind kind, const char* path) {
  for (const DeviceSlot& slot : DeviceRegistry) {
    if (slot.kind == kind && EqualsIgnoringAsciiCase(slot.devicePath, path)) return true;
  }
  return false;
}

DeviceSlot* LowestFreeSlot() {
  for (DeviceSlot& slot : DeviceRegistry) {
    if (slot.kind == DEVICE_KIND_FREE) return &slot;
  }
  return nullptr;
}

// Reads the token's answer-to-reset into the slot; a closed token that cannot give it is
// dropped, an open one keeps what it had.
void FetchAnswerToReset(DeviceSlot* slot) {
  const PlatformOps& os = Platform();
  bool temporaryMutex = false;
  if (slot->mutex == 0) {
    char name[MUTEX_NAME_CAPACITY];
    MakeMutexName(slot->devicePath, name);
    slot->mutex = os.CreateMutexA(name);
    temporaryMutex = true;
  }
  uint8_t atr[kAtrBufferSize];
  uint8_t length = kAtrReadLength;
  if (ReadAnswerToReset(slot, atr, &length) == 0) {
    const uint8_t stored = length < SLOT_ATR_CAPACITY ? length : SLOT_ATR_CAPACITY;
    slot->atrLength = stored;
    memcpy(slot->atr, atr, stored);
    ParseAnswerToReset(slot->atr, stored, &slot->atrInfo, AtrCheck::kTestFirstByte);
  } else if (slot->handle == kInvalidHandle) {
    slot->kind = DEVICE_KIND_FREE;
  }
  if (temporaryMutex) {
    if (slot->mutex != 0) os.CloseHandle(slot->mutex);
    slot->mutex = 0;
  }
}

void DiscoverAndMerge(const Guid* guid, const char* filter, DeviceKind kind) {
  DevicePathList list = nullptr;
  int32_t count = DISCOVERY_CAPACITY;
  if (DiscoverDevicePaths(guid, filter, &list, &count) == 0) return;
  MergeDiscoveredPaths(list, count, kind);
  FreeDevicePathList(list);
}

}  // namespace

void RefreshRegistry() {
  Guid hidGuid;
  GetHidInterfaceGuid(&hidGuid);
  DiscoverAndMerge(&hidGuid, HID_HARDWARE_ID_FILTER, DEVICE_KIND_HID);
  DiscoverAndMerge(&USB_DRIVER_INTERFACE_GUID, nullptr, DEVICE_KIND_USB);
}

int32_t MergeDiscoveredPaths(DevicePathEntry** list, int32_t count, DeviceKind kind) {
  int32_t result = 0;
  if (list == nullptr) count = 0;

  // Forget vanished tokens; an open one's handle and mutex are left as they are.
  for (DeviceSlot& slot : DeviceRegistry) {
    if (slot.kind == kind && !Listed(list, count, slot.devicePath)) slot.kind = DEVICE_KIND_FREE;
  }

  // Register new tokens in the lowest free slots.
  for (int32_t i = 0; i < count; ++i) {
    const char* path = EntryPath(list[i]);
    // A path that does not fit the slot's field is skipped rather than cut: a cut path
    // would name another device, or none.
    if (strnlen(path, DEVICE_PATH_CAPACITY) >= DEVICE_PATH_CAPACITY) continue;
    if (Registered(kind, path)) continue;
    DeviceSlot* slot = LowestFreeSlot();
    if (slot == nullptr) {
      result = -1;
      break;
    }
    memset(slot, 0, sizeof *slot);
    slot->kind = kind;
    slot->handle = kInvalidHandle;
    slot->openCount = 0;
    strcpy(slot->devicePath, path);
  }

  // Fetch every answer-to-reset of this kind, new tokens and known ones alike.
  for (DeviceSlot& slot : DeviceRegistry) {
    if (slot.kind == kind) FetchAnswerToReset(&slot);
  }
  return result;
}
