#include "device/discovery.h"

#include <cstring>

#include "device/ascii.h"
#include "io/os_version.h"

const Guid USB_DRIVER_INTERFACE_GUID = {{0xF7, 0x38, 0x16, 0x17, 0xAD, 0x1E, 0x73, 0x48, 0xBA, 0x98,
                                         0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};
const char DOS_NAME_PREFIX[] = "DRAVEL2";
const char HID_HARDWARE_ID_FILTER[] = "HID\\Vid_0471&Pid_485e";

namespace {

constexpr char kDosPathPrefix[] = "\\\\.\\";  // "\\.\"
constexpr uint32_t kDosPathPrefixLength = 4;
constexpr uint32_t kDeviceRecordSize = 28;

// Looked up by the first interface scan, kept for the life of the process.
Proc g_enumDeviceInterfaces = nullptr;
Proc g_getDeviceInterfaceDetail = nullptr;

DevicePathList AllocateList(int32_t capacity) {
  const uint32_t bytes = (static_cast<uint32_t>(capacity) + 1) * sizeof(DevicePathEntry*);
  return static_cast<DevicePathList>(Platform().LocalAlloc(kLocalZeroInit, bytes));
}

// Whether the device element's first hardware ID begins with `filter`, in any letter case.
bool HardwareIdMatches(DevInfoSet set, DeviceInfoData* element, const char* filter) {
  const PlatformOps& os = Platform();
  uint32_t size = HARDWARE_ID_BUFFER_SIZE;
  auto* buffer = static_cast<uint8_t*>(os.LocalAlloc(kLocalZeroInit, size));
  if (buffer == nullptr) return false;
  for (;;) {
    uint32_t required = 0;
    if (os.SetupDiGetDeviceRegistryPropertyA(set, element, kSpdrpHardwareId, nullptr, buffer, size,
                                             &required) != 0) {
      break;
    }
    if (os.GetLastError() != kErrorInsufficientBuffer || required <= size) {
      memset(buffer, 0, size);  // unreadable: compared as zeros, so no non-empty filter matches
      break;
    }
    os.LocalFree(buffer);
    size = required;
    buffer = static_cast<uint8_t*>(os.LocalAlloc(kLocalZeroInit, size));
    if (buffer == nullptr) return false;
  }
  // Bytes past the buffer compare as zeros, as they would in a zero-filled larger one.
  const size_t filterLength = strlen(filter);
  bool matches = true;
  for (size_t i = 0; i < filterLength && matches; ++i) {
    const char c = i < size ? static_cast<char>(buffer[i]) : '\0';
    matches = c == filter[i] || AsciiLower(c) == AsciiLower(filter[i]);
  }
  os.LocalFree(buffer);
  return matches;
}

void FreeEntries(DevicePathList list) {
  for (DevicePathEntry** entry = list; *entry != nullptr; ++entry) Platform().LocalFree(*entry);
}

}  // namespace

void ForgetSetupApiEntryPoints() {
  g_enumDeviceInterfaces = nullptr;
  g_getDeviceInterfaceDetail = nullptr;
}

const char* DosNamePrefixForGuid(const Guid* guid) {
  if (guid == nullptr) return nullptr;
  return memcmp(guid->bytes, USB_DRIVER_INTERFACE_GUID.bytes, sizeof guid->bytes) == 0
             ? DOS_NAME_PREFIX
             : nullptr;
}

int32_t DiscoverDevicePaths(const Guid* guid, const char* hardwareIdFilter, DevicePathList* list,
                            int32_t* count) {
  if (IsNt4()) return DiscoverByDosName(guid, list, count);
  return DiscoverByInterface(guid, hardwareIdFilter, list, count);
}

int32_t DiscoverByInterface(const Guid* guid, const char* hardwareIdFilter, DevicePathList* list,
                            int32_t* count) {
  const PlatformOps& os = Platform();
  const int32_t capacity = *count;
  *count = 0;
  // The scan may store up to 127 entries whatever the capacity; a smaller one cannot be honoured.
  if (capacity < DISCOVERY_CAPACITY) return 0;
  DevicePathList paths = AllocateList(capacity);
  if (paths == nullptr) return 0;

  if (g_enumDeviceInterfaces == nullptr || g_getDeviceInterfaceDetail == nullptr) {
    const Module setupApi = os.GetModuleHandleA("SETUPAPI.DLL");
    g_enumDeviceInterfaces = os.GetProcAddress(setupApi, "SetupDiEnumDeviceInterfaces");
    g_getDeviceInterfaceDetail = os.GetProcAddress(setupApi, "SetupDiGetDeviceInterfaceDetailA");
    if (g_enumDeviceInterfaces == nullptr || g_getDeviceInterfaceDetail == nullptr) {
      os.LocalFree(paths);
      return 0;
    }
  }

  const DevInfoSet set = os.SetupDiGetClassDevsA(guid, kDigcfPresent | kDigcfDeviceInterface);
  int32_t found = 0;
  bool failed = false;
  for (uint32_t index = 0; index < INTERFACE_SCAN_BOUND; ++index) {
    DeviceInterfaceData iface{};
    iface.size = kDeviceRecordSize;
    if (os.SetupDiEnumDeviceInterfaces(g_enumDeviceInterfaces, set, guid, index, &iface) == 0) {
      break;  // no more interfaces (error 259), or any other failure
    }
    uint32_t required = 0;
    os.SetupDiGetDeviceInterfaceDetailA(g_getDeviceInterfaceDetail, set, &iface, nullptr, 0,
                                        &required, nullptr);
    const uint32_t blockSize = required;
    auto* entry = static_cast<DevicePathEntry*>(
        blockSize > sizeof(uint32_t) ? os.LocalAlloc(kLocalZeroInit, blockSize) : nullptr);
    if (entry == nullptr) {
      failed = true;
      break;
    }
    paths[found] = entry;
    entry->sizeField = kInterfaceDetailSizeField;
    // The detail names the device element behind this very interface: element i of the set
    // need not be the device of interface i (a device with several interfaces, or a set that
    // still lists unplugged devices).
    DeviceInfoData element{};
    element.size = kDeviceRecordSize;
    if (os.SetupDiGetDeviceInterfaceDetailA(g_getDeviceInterfaceDetail, set, &iface, entry,
                                            blockSize, &required, &element) == 0) {
      failed = true;
      break;
    }
    // A filtered-out interface still uses up its index.
    if (hardwareIdFilter != nullptr && !HardwareIdMatches(set, &element, hardwareIdFilter)) {
      os.LocalFree(entry);
      paths[found] = nullptr;
      continue;
    }
    // The path must end within its block, whatever the platform wrote.
    reinterpret_cast<char*>(entry)[blockSize - 1] = '\0';
    ++found;
  }
  os.SetupDiDestroyDeviceInfoList(set);

  if (failed) {
    // No scan could be made: reporting an empty scan instead would unregister every token
    // of this kind, open ones included.
    FreeEntries(paths);
    os.LocalFree(paths);
    return 0;
  }
  *list = paths;
  *count = found;
  return 1;
}

int32_t DiscoverByDosName(const Guid* guid, DevicePathList* list, int32_t* count) {
  const PlatformOps& os = Platform();
  const int32_t capacity = *count;
  *count = 0;
  const char* prefix = DosNamePrefixForGuid(guid);
  if (prefix == nullptr) return 0;
  const size_t prefixLength = strlen(prefix);

  DevicePathList paths = capacity >= 0 ? AllocateList(capacity) : nullptr;
  *list = paths;
  if (paths == nullptr) return 0;
  auto* names = static_cast<char*>(os.LocalAlloc(kLocalZeroInit, DOS_NAME_BUFFER_SIZE));
  if (names == nullptr || os.QueryDosDeviceA(nullptr, names, DOS_NAME_BUFFER_SIZE) == 0) {
    if (names != nullptr) os.LocalFree(names);
    os.LocalFree(paths);
    *list = nullptr;
    return 0;
  }

  int32_t found = 0;
  bool failed = false;
  size_t cursor = 0;
  while (cursor < DOS_NAME_BUFFER_SIZE && names[cursor] != '\0') {
    const char* name = names + cursor;
    const size_t nameLength = strnlen(name, DOS_NAME_BUFFER_SIZE - cursor);
    cursor += nameLength + 1;
    if (nameLength < prefixLength || !PrefixEqualsIgnoringAsciiCase(name, prefix, prefixLength)) {
      continue;
    }
    if (found == capacity) break;  // the array holds `capacity` entries and the closing null
    const uint32_t block = static_cast<uint32_t>(nameLength) + 9;
    auto* entry = static_cast<DevicePathEntry*>(os.LocalAlloc(kLocalZeroInit, block));
    if (entry == nullptr) {
      failed = true;
      break;
    }
    entry->sizeField = static_cast<uint32_t>(nameLength) + kDosPathPrefixLength;
    char* path = reinterpret_cast<char*>(entry) + sizeof(uint32_t);
    memcpy(path, kDosPathPrefix, kDosPathPrefixLength);
    memcpy(path + kDosPathPrefixLength, name, nameLength);
    path[kDosPathPrefixLength + nameLength] = '\0';
    paths[found++] = entry;
  }
  os.LocalFree(names);
  if (failed) {
    FreeEntries(paths);
    os.LocalFree(paths);
    *list = nullptr;
    return 0;
  }
  *count = found;
  return 1;
}

int32_t FreeDevicePathList(DevicePathList list) {
  if (list == nullptr) return 0;
  FreeEntries(list);
  Platform().LocalFree(list);
  return 1;
}
