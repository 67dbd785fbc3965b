#include "device/registry.h"

#include <cstring>

#include "device/refresh.h"

DeviceSlot DeviceRegistry[MAX_DEVICE_SLOTS];

namespace {

constexpr uint32_t kModeMaskDefault = 4;  // the one mode the library grants
constexpr uint32_t kReserved1 = 2;
constexpr uint32_t kReserved2 = 24000;
constexpr uint32_t kLeastOpenVersion = 0x20000;
constexpr uint32_t kMutexNameSkip = 4;  // "\\?\" or "\\.\"

DeviceSlot* SlotOf(const DeviceContext* context) {
  return &DeviceRegistry[context->slotIndex];
}

}  // namespace

void InitRegistry() {
  for (DeviceSlot& slot : DeviceRegistry) slot.kind = DEVICE_KIND_FREE;
}

uint32_t SpreadVersion(uint16_t version) {
  return (uint32_t{version} >> 12 & 0xF) << 24 | (uint32_t{version} >> 8 & 0xF) << 16 |
         (uint32_t{version} >> 4 & 0xF) << 8 | (uint32_t{version} & 0xF);
}

void MakeMutexName(const char* devicePath, char name[MUTEX_NAME_CAPACITY]) {
  const size_t length = strnlen(devicePath, DEVICE_PATH_CAPACITY);
  const char* rest = length > kMutexNameSkip ? devicePath + kMutexNameSkip : devicePath + length;
  const size_t take = strnlen(rest, MUTEX_NAME_CAPACITY - 1);
  memcpy(name, rest, take);
  name[take] = '\0';
}

bool IsContextValid(const DeviceContext* context) {
  return context != nullptr && context->slotIndex < MAX_DEVICE_SLOTS &&
         SlotOf(context)->kind != DEVICE_KIND_FREE;
}

bool IsOpenContextValid(const DeviceContext* context) {
  return context != nullptr && context->slotIndex < MAX_DEVICE_SLOTS &&
         context->handle != kInvalidHandle && context->handle != 0 &&
         context->version >= kLeastOpenVersion && context->atrLength != 0;
}

bool OpenDevicePath(const char* path, uint32_t shareMode, Handle* handle) {
  *handle = Platform().CreateFileA(path, kGenericRead, shareMode);
  return *handle != kInvalidHandle;
}

bool CloseDeviceHandle(Handle handle) {
  if (handle == kInvalidHandle || handle == 0) return false;
  return Platform().CloseHandle(handle) != 0;
}

bool OpenSlotHandle(DeviceSlot* slot, uint32_t shareMode) {
  Handle handle;
  if (!OpenDevicePath(slot->devicePath, shareMode, &handle)) return false;
  slot->handle = handle;
  return true;
}

bool CloseSlotHandle(DeviceSlot* slot) {
  return CloseDeviceHandle(slot->handle);
}

Result ListDevices(DeviceContext* contexts, uint32_t* size) {
  if (size == nullptr) return RESULT_INVALID_PARAMETER;
  RefreshRegistry();

  uint32_t registered = 0;
  for (const DeviceSlot& slot : DeviceRegistry) registered += slot.kind != DEVICE_KIND_FREE;
  const uint32_t needed = registered * DEVICE_CONTEXT_SIZE;
  if (needed > *size) {
    *size = needed;
    return RESULT_BUFFER_TOO_SMALL;
  }
  *size = needed;
  if (needed == 0) return RESULT_SUCCESS;
  if (contexts == nullptr) return RESULT_INVALID_PARAMETER;

  DeviceContext* record = contexts;
  for (uint32_t index = 0; index < MAX_DEVICE_SLOTS; ++index) {
    const DeviceSlot& slot = DeviceRegistry[index];
    if (slot.kind == DEVICE_KIND_FREE) continue;
    record->slotIndex = index;
    record->handle = kInvalidHandle;
    record->reserved1 = kReserved1;
    record->modeMask = kModeMaskDefault;
    record->reserved2 = kReserved2;
    record->atrLength = slot.atrLength;
    record->version = SpreadVersion(slot.atrInfo.version);
    // The record's atr and identifier fields hold 64 bytes together; an answer of 57 to 64
    // bytes runs on into the identifier, which EnumDevices overwrites afterwards.
    const uint32_t copy = slot.atrLength <= SLOT_ATR_CAPACITY ? slot.atrLength : SLOT_ATR_CAPACITY;
    memcpy(reinterpret_cast<uint8_t*>(record) + offsetof(DeviceContext, atr), slot.atr, copy);
    ++record;
  }
  return RESULT_SUCCESS;
}

Result EnumDevices(DeviceContext* contexts, uint32_t* size) {
  if (size == nullptr) return RESULT_INVALID_PARAMETER;
  const Result listed = ListDevices(contexts, size);
  if (listed != RESULT_SUCCESS) return listed;

  const uint32_t records = *size / DEVICE_CONTEXT_SIZE;
  for (uint32_t i = 0; i < records; ++i) {
    DeviceContext& record = contexts[i];
    if (record.atrLength == 0) continue;
    AtrInfo info{};
    const uint8_t* atr = reinterpret_cast<const uint8_t*>(&record) + offsetof(DeviceContext, atr);
    const uint32_t length = record.atrLength <= SLOT_ATR_CAPACITY ? record.atrLength : 0;
    ParseAnswerToReset(atr, length, &info, AtrCheck::kPlain);
    memcpy(record.identifier, info.identifier, sizeof record.identifier);
  }
  return RESULT_SUCCESS;
}

Result OpenDevice(DeviceContext* context) {
  if (context == nullptr || context->slotIndex >= MAX_DEVICE_SLOTS ||
      context->version < kLeastOpenVersion || context->atrLength == 0) {
    return RESULT_INVALID_PARAMETER;
  }
  uint32_t granted = 0;
  return OpenSlot(context, 1, context->modeMask, &granted);
}

Result OpenSlot(DeviceContext* context, uint32_t shareMode, uint32_t modeMask,
                uint32_t* grantedMode) {
  if (!IsContextValid(context)) return RESULT_INVALID_PARAMETER;
  if ((modeMask & kModeMaskDefault) == 0) {
    if (grantedMode != nullptr) *grantedMode = kModeMaskDefault;
    return RESULT_MODE_NOT_SUPPORTED;
  }
  DeviceSlot* slot = SlotOf(context);
  const bool open = slot->handle != kInvalidHandle;
  // An exclusive opening is refused while another exists, and none is allowed beside one.
  if (open && (shareMode == 0 || slot->shareMode == 0)) return RESULT_OPEN_FAILED;
  if (!open) {
    if ((shareMode & 3) != 0) shareMode = 1;
    if (!OpenSlotHandle(slot, shareMode)) return RESULT_OPEN_FAILED;
    char name[MUTEX_NAME_CAPACITY];
    MakeMutexName(slot->devicePath, name);
    slot->mutex = Platform().CreateMutexA(name);  // a failure shows later, on HID requests
  }
  slot->shareMode = shareMode;
  if (grantedMode != nullptr) *grantedMode = kModeMaskDefault;
  context->handle = slot->handle;
  slot->openCount += 1;
  return RESULT_SUCCESS;
}

Result CloseDevice(DeviceContext* context) {
  if (!IsOpenContextValid(context)) return RESULT_INVALID_PARAMETER;
  return CloseSlot(context);
}

Result CloseSlot(DeviceContext* context) {
  if (!IsContextValid(context)) return RESULT_INVALID_PARAMETER;
  DeviceSlot* slot = SlotOf(context);
  if (slot->handle != context->handle || slot->handle == kInvalidHandle || slot->openCount == 0) {
    return RESULT_INVALID_PARAMETER;
  }
  slot->openCount -= 1;
  if (slot->openCount > 0) return RESULT_SUCCESS;

  CloseSlotHandle(slot);
  slot->handle = kInvalidHandle;
  context->handle = kInvalidHandle;
  if (slot->mutex != 0) Platform().CloseHandle(slot->mutex);
  slot->mutex = 0;
  return RESULT_SUCCESS;
}
