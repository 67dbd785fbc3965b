// The one interface through which the device library reaches the operating system.
//
// Every OS service the library uses is one operation of PlatformOps, with the arguments,
// results and error values of the Windows call it is named after, narrowed to what the
// library passes. A program installs one backend at start-up (win32/, sim/, linux/);
// the library calls Platform().Operation(...). Handles cross the seam as 32-bit values,
// as on 32-bit Windows; records have their 32-bit Windows layout on every host.
#pragma once

#include <cstdint>

using Handle = uint32_t;                               // a device file or a mutex
inline constexpr Handle kInvalidHandle = 0xFFFFFFFFu;  // INVALID_HANDLE_VALUE

using DevInfoSet = uintptr_t;  // a SetupAPI device information set
using Module = void*;          // a loaded library
using Proc = void*;            // an entry point looked up at run time

// Access, share and wait values.
inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kFileShareRead = 1;
inline constexpr uint32_t kFileShareWrite = 2;
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitAbandoned = 0x80;
inline constexpr uint32_t kWaitTimeout = 0x102;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

// Error values that GetLastError reports and the library tells apart.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorSemTimeout = 121;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;

inline constexpr uint32_t kLocalZeroInit = 0x40;  // LPTR: a fixed, zero-filled block
inline constexpr uint32_t kDigcfPresent = 0x02;
inline constexpr uint32_t kDigcfDeviceInterface = 0x10;
inline constexpr uint32_t kSpdrpHardwareId = 1;
inline constexpr uint32_t kPlatformIdNt = 2;  // VER_PLATFORM_WIN32_NT
inline constexpr uint32_t kMbIconError = 0x10;
inline constexpr uint32_t kMbIconInformation = 0x40;

// A GUID in its in-memory layout (a 32-bit, two 16-bit fields little-endian, eight bytes).
struct Guid {
  uint8_t bytes[16];
};

// OSVERSIONINFOA.
struct OsVersionInfo {
  uint32_t size;  // 148
  uint32_t majorVersion;
  uint32_t minorVersion;
  uint32_t buildNumber;
  uint32_t platformId;
  char csdVersion[128];
};
static_assert(sizeof(OsVersionInfo) == 148);

// SP_DEVICE_INTERFACE_DATA of 32-bit Windows.
struct DeviceInterfaceData {
  uint32_t size;  // 28
  Guid interfaceClassGuid;
  uint32_t flags;
  uint32_t reserved;
};
static_assert(sizeof(DeviceInterfaceData) == 28);

// SP_DEVINFO_DATA of 32-bit Windows.
struct DeviceInfoData {
  uint32_t size;  // 28
  Guid classGuid;
  uint32_t devInst;
  uint32_t reserved;
};
static_assert(sizeof(DeviceInfoData) == 28);

// SP_DEVICE_INTERFACE_DETAIL_DATA_A: a size field that must read 5 (32-bit Windows), then
// the device path; the block is as long as the platform asks for.
inline constexpr uint32_t kInterfaceDetailSizeField = 5;

struct PlatformOps {
  // Device files. CreateFileA opens an existing file with the access and share mode given
  // (no security attributes, no flags, no template); kInvalidHandle on failure.
  Handle (*CreateFileA)(const char* path, uint32_t access, uint32_t shareMode);
  int32_t (*CloseHandle)(Handle handle);  // a device file or a mutex; nonzero on success
  // Blocks until the driver completes the request; nonzero on success, the count of bytes
  // written to `out` in *bytesReturned.
  int32_t (*DeviceIoControl)(Handle device, uint32_t code, const void* in, uint32_t inSize,
                             void* out, uint32_t outSize, uint32_t* bytesReturned);

  // Named mutexes, not initially owned, no security attributes: creates the mutex or opens
  // the one of that name that another process holds; 0 on failure.
  Handle (*CreateMutexA)(const char* name);
  uint32_t (*WaitForSingleObject)(Handle handle, uint32_t milliseconds);
  int32_t (*ReleaseMutex)(Handle mutex);

  // System.
  int32_t (*GetVersionExA)(OsVersionInfo* info);
  // With a null name: every DOS device name, each NUL-terminated, closed by an empty name;
  // the characters stored, or 0 on failure (among others when the names do not fit).
  uint32_t (*QueryDosDeviceA)(const char* deviceName, char* targetPath, uint32_t maxChars);
  uint32_t (*GetLastError)();
  void* (*LocalAlloc)(uint32_t flags, uint32_t bytes);  // null on failure
  void* (*LocalFree)(void* block);                      // null on success

  // Run-time lookup of library entry points.
  Module (*GetModuleHandleA)(const char* name);  // an already-loaded library, or null
  Module (*LoadLibraryA)(const char* name);
  Proc (*GetProcAddress)(Module module, const char* name);

  // SetupAPI, imported at load time.
  DevInfoSet (*SetupDiGetClassDevsA)(const Guid* classGuid, uint32_t flags);
  int32_t (*SetupDiEnumDeviceInfo)(DevInfoSet set, uint32_t index, DeviceInfoData* data);
  int32_t (*SetupDiGetDeviceRegistryPropertyA)(DevInfoSet set, DeviceInfoData* data,
                                               uint32_t property, uint32_t* regType,
                                               uint8_t* buffer, uint32_t bufferSize,
                                               uint32_t* requiredSize);
  int32_t (*SetupDiDestroyDeviceInfoList)(DevInfoSet set);

  // SetupAPI entry points the library looks up at run time; each call passes the entry
  // point it got from GetProcAddress.
  int32_t (*SetupDiEnumDeviceInterfaces)(Proc entry, DevInfoSet set, const Guid* classGuid,
                                         uint32_t index, DeviceInterfaceData* data);
  // `deviceInfo` (optional) receives the device element that exposes the interface.
  int32_t (*SetupDiGetDeviceInterfaceDetailA)(Proc entry, DevInfoSet set, DeviceInterfaceData* data,
                                              void* detail, uint32_t detailSize,
                                              uint32_t* requiredSize, DeviceInfoData* deviceInfo);

  // The HID class library, loaded at run time; called through the entry points looked up.
  void (*HidD_GetHidGuid)(Proc entry, Guid* guid);
  uint8_t (*HidD_SetFeature)(Proc entry, Handle device, void* report, uint32_t length);
  uint8_t (*HidD_GetFeature)(Proc entry, Handle device, void* report, uint32_t length);

  // A message box with no owner window; its answer.
  int32_t (*MessageBoxA)(const char* text, const char* caption, uint32_t flags);
};

// Installs the backend every later call goes to; the ops must outlive their use.
void InstallPlatform(const PlatformOps* ops);
// The installed backend. Calling it before InstallPlatform is a programming error.
const PlatformOps& Platform();
