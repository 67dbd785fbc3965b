// SetupAPI's device-interface enumeration over what sysfs shows, with its size protocols:
// a size query answers error 122 and the size, a short buffer the same.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/linux/linux_internal.h"
#include "platform/linux/sysfs_discovery.h"

namespace linux_backend {
namespace {

// {4D1E55B2-F16F-11CF-88CB-001111000030}, the HID device-interface class.
constexpr Guid kHidInterfaceGuid = {{0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11, 0x88, 0xCB,
                                     0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// {171638F7-1EAD-4873-BA98-C966ABCF0142}, the maker's USB driver interface.
constexpr Guid kVendorInterfaceGuid = {{0xF7, 0x38, 0x16, 0x17, 0xAD, 0x1E, 0x73, 0x48, 0xBA, 0x98,
                                        0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kSpintActive = 1;
constexpr DevInfoSet kInvalidSet = static_cast<DevInfoSet>(-1);

struct DeviceSet {
  Guid guid;
  std::vector<DiscoveredDevice> devices;
};

// Sets handed out and not yet destroyed, so a stale or foreign value is refused, not used.
std::mutex g_setsLock;
std::vector<DeviceSet*> g_sets;

bool SameGuid(const Guid& a, const Guid& b) {
  return std::memcmp(a.bytes, b.bytes, 16) == 0;
}

DeviceSet* FindSet(DevInfoSet value) {
  std::lock_guard<std::mutex> guard(g_setsLock);
  auto* set = reinterpret_cast<DeviceSet*>(value);
  return std::find(g_sets.begin(), g_sets.end(), set) != g_sets.end() ? set : nullptr;
}

// The device a record names: EnumDevice* stores index + 1 in the record.
const DiscoveredDevice* DeviceAt(const DeviceSet* set, uint32_t recordValue) {
  if (recordValue == 0 || recordValue > set->devices.size()) return nullptr;
  return &set->devices[recordValue - 1];
}

uint32_t DetailSize(const DiscoveredDevice& device) {
  return static_cast<uint32_t>(sizeof(uint32_t) + device.path.size() + 1);
}

}  // namespace

DevInfoSet SetupDiGetClassDevsA(const Guid* classGuid, uint32_t flags) {
  if (classGuid == nullptr || (flags & kDigcfDeviceInterface) == 0) {
    SetLastError(kErrorInvalidParameter);
    return kInvalidSet;
  }
  auto* set = new DeviceSet{*classGuid, {}};
  // Any other class has no present devices here: an empty set, as Windows gives.
  if (SameGuid(*classGuid, kHidInterfaceGuid)) {
    set->devices = DiscoverHidrawDevices(SysRoot(), DevRoot());
  } else if (SameGuid(*classGuid, kVendorInterfaceGuid)) {
    set->devices = DiscoverVendorUsbDevices(SysRoot(), DevRoot());
  }
  std::lock_guard<std::mutex> guard(g_setsLock);
  g_sets.push_back(set);
  return reinterpret_cast<DevInfoSet>(set);
}

int32_t SetupDiDestroyDeviceInfoList(DevInfoSet value) {
  std::lock_guard<std::mutex> guard(g_setsLock);
  auto* set = reinterpret_cast<DeviceSet*>(value);
  auto found = std::find(g_sets.begin(), g_sets.end(), set);
  if (found == g_sets.end()) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  g_sets.erase(found);
  delete set;
  return 1;
}

int32_t SetupDiEnumDeviceInfo(DevInfoSet value, uint32_t index, DeviceInfoData* data) {
  DeviceSet* set = FindSet(value);
  if (set == nullptr) return Fail(kErrorInvalidHandle);
  if (data == nullptr || data->size != sizeof(DeviceInfoData)) {
    return Fail(kErrorInvalidUserBuffer);
  }
  if (index >= set->devices.size()) return Fail(kErrorNoMoreItems);
  data->classGuid = set->guid;
  data->devInst = index + 1;
  data->reserved = 0;
  return 1;
}

int32_t SetupDiGetDeviceRegistryPropertyA(DevInfoSet value, DeviceInfoData* data, uint32_t property,
                                          uint32_t* regType, uint8_t* buffer, uint32_t bufferSize,
                                          uint32_t* requiredSize) {
  DeviceSet* set = FindSet(value);
  if (set == nullptr) return Fail(kErrorInvalidHandle);
  if (data == nullptr || data->size != sizeof(DeviceInfoData)) {
    return Fail(kErrorInvalidUserBuffer);
  }
  const DiscoveredDevice* device = DeviceAt(set, data->devInst);
  if (device == nullptr) return Fail(kErrorInvalidParameter);
  if (property != kSpdrpHardwareId || device->hardwareIds.empty()) {
    return Fail(kErrorInvalidData);
  }
  const auto needed = static_cast<uint32_t>(device->hardwareIds.size());
  if (regType != nullptr) *regType = kRegMultiSz;
  if (requiredSize != nullptr) *requiredSize = needed;
  if (buffer == nullptr || bufferSize < needed) return Fail(kErrorInsufficientBuffer);
  std::memcpy(buffer, device->hardwareIds.data(), needed);
  return 1;
}

int32_t SetupDiEnumDeviceInterfaces(Proc entry, DevInfoSet value, const Guid* classGuid,
                                    uint32_t index, DeviceInterfaceData* data) {
  if (entry != EntryFor("SetupDiEnumDeviceInterfaces")) {
    return Fail(kErrorInvalidParameter);
  }
  DeviceSet* set = FindSet(value);
  if (set == nullptr) return Fail(kErrorInvalidHandle);
  if (classGuid == nullptr) return Fail(kErrorInvalidParameter);
  if (data == nullptr || data->size != sizeof(DeviceInterfaceData)) {
    return Fail(kErrorInvalidUserBuffer);
  }
  if (!SameGuid(*classGuid, set->guid) || index >= set->devices.size()) {
    return Fail(kErrorNoMoreItems);
  }
  data->interfaceClassGuid = set->guid;
  data->flags = kSpintActive;
  data->reserved = index + 1;
  return 1;
}

int32_t SetupDiGetDeviceInterfaceDetailA(Proc entry, DevInfoSet value, DeviceInterfaceData* data,
                                         void* detail, uint32_t detailSize, uint32_t* requiredSize,
                                         DeviceInfoData* deviceInfo) {
  if (entry != EntryFor("SetupDiGetDeviceInterfaceDetailA")) {
    return Fail(kErrorInvalidParameter);
  }
  DeviceSet* set = FindSet(value);
  if (set == nullptr) return Fail(kErrorInvalidHandle);
  if (data == nullptr || data->size != sizeof(DeviceInterfaceData)) {
    return Fail(kErrorInvalidUserBuffer);
  }
  const DiscoveredDevice* device = DeviceAt(set, data->reserved);
  if (device == nullptr) return Fail(kErrorInvalidParameter);
  const uint32_t needed = DetailSize(*device);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr) {
    return Fail(detailSize == 0 ? kErrorInsufficientBuffer : kErrorInvalidUserBuffer);
  }
  uint32_t sizeField = 0;
  if (detailSize >= sizeof sizeField) std::memcpy(&sizeField, detail, sizeof sizeField);
  if (detailSize < sizeof sizeField || sizeField != kInterfaceDetailSizeField) {
    return Fail(kErrorInvalidUserBuffer);
  }
  if (detailSize < needed) return Fail(kErrorInsufficientBuffer);
  std::memcpy(static_cast<uint8_t*>(detail) + sizeof sizeField, device->path.c_str(),
              device->path.size() + 1);
  if (deviceInfo != nullptr) {
    if (deviceInfo->size != sizeof(DeviceInfoData)) return Fail(kErrorInvalidUserBuffer);
    deviceInfo->classGuid = set->guid;
    deviceInfo->devInst = data->reserved;  // one device element per interface here
    deviceInfo->reserved = 0;
  }
  return 1;
}

}  // namespace linux_backend
