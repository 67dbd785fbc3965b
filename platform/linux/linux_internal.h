// Shared by the files of the Linux backend; not for the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace linux_backend {

// Windows error values the backend reports beyond those platform.h names.
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorModNotFound = 126;
inline constexpr uint32_t kErrorProcNotFound = 127;
inline constexpr uint32_t kErrorNotOwner = 288;
inline constexpr uint32_t kErrorInvalidUserBuffer = 1784;

void SetLastError(uint32_t error);
uint32_t LastError();
// Records `error` and returns 0, the failure result of most operations.
inline int32_t Fail(uint32_t error) {
  SetLastError(error);
  return 0;
}

// The configured roots (see LinuxPlatformSetRoots).
std::string SysRoot();
std::string DevRoot();

// The Windows error for an errno of a device call.
uint32_t ErrorFromErrno(int err);
// The error of a failed feature-report transfer that took `took`.
uint32_t FeatureFailure(int err, std::chrono::milliseconds took);

// The entry points GetProcAddress hands out; the seam passes them back on each call.
Proc EntryFor(const char* name);

// Operations of the table, defined in the backend's files.
Handle CreateFileA(const char* path, uint32_t access, uint32_t shareMode);
int32_t CloseHandle(Handle handle);
int32_t DeviceIoControl(Handle device, uint32_t code, const void* in, uint32_t inSize, void* out,
                        uint32_t outSize, uint32_t* bytesReturned);
uint8_t HidD_SetFeature(Proc entry, Handle device, void* report, uint32_t length);
uint8_t HidD_GetFeature(Proc entry, Handle device, void* report, uint32_t length);
Handle CreateMutexA(const char* name);
uint32_t WaitForSingleObject(Handle handle, uint32_t milliseconds);
int32_t ReleaseMutex(Handle mutex);
DevInfoSet SetupDiGetClassDevsA(const Guid* classGuid, uint32_t flags);
int32_t SetupDiEnumDeviceInfo(DevInfoSet set, uint32_t index, DeviceInfoData* data);
int32_t SetupDiGetDeviceRegistryPropertyA(DevInfoSet set, DeviceInfoData* data, uint32_t property,
                                          uint32_t* regType, uint8_t* buffer, uint32_t bufferSize,
                                          uint32_t* requiredSize);
int32_t SetupDiDestroyDeviceInfoList(DevInfoSet set);
int32_t SetupDiEnumDeviceInterfaces(Proc entry, DevInfoSet set, const Guid* classGuid,
                                    uint32_t index, DeviceInterfaceData* data);
int32_t SetupDiGetDeviceInterfaceDetailA(Proc entry, DevInfoSet set, DeviceInterfaceData* data,
                                         void* detail, uint32_t detailSize, uint32_t* requiredSize,
                                         DeviceInfoData* deviceInfo);

}  // namespace linux_backend
