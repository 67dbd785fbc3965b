#include "platform/win32/win32_platform.h"

#include <windows.h>
// windows.h first: the SetupAPI and HID headers build on its types.
#include <hidsdi.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdint>

// Handles are 32-bit values at the seam; that holds only for a 32-bit build.
static_assert(sizeof(void*) == 4, "the Windows backend is built for 32-bit Windows only");
static_assert(sizeof(HANDLE) == sizeof(Handle));
static_assert(sizeof(HDEVINFO) == sizeof(DevInfoSet));

// The seam's records are the Windows records, byte for byte.
static_assert(sizeof(GUID) == sizeof(Guid));
static_assert(sizeof(OSVERSIONINFOA) == sizeof(OsVersionInfo));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == sizeof(DeviceInterfaceData));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVINFO_DATA) == sizeof(DeviceInfoData));
static_assert(sizeof(SP_DEVINFO_DATA) == 28);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == offsetof(DeviceInterfaceData, flags));
static_assert(offsetof(SP_DEVINFO_DATA, DevInst) == offsetof(DeviceInfoData, devInst));
static_assert(offsetof(OSVERSIONINFOA, dwPlatformId) == offsetof(OsVersionInfo, platformId));
// The detail record's size field reads 5 on 32-bit Windows: a DWORD and one character.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == kInterfaceDetailSizeField);
static_assert(INFINITE == kInfinite && WAIT_ABANDONED == kWaitAbandoned &&
              WAIT_TIMEOUT == kWaitTimeout && WAIT_FAILED == kWaitFailed);
static_assert(GENERIC_READ == kGenericRead && LPTR == kLocalZeroInit);
static_assert(DIGCF_PRESENT == kDigcfPresent && DIGCF_DEVICEINTERFACE == kDigcfDeviceInterface);
static_assert(ERROR_INSUFFICIENT_BUFFER == kErrorInsufficientBuffer &&
              ERROR_NO_MORE_ITEMS == kErrorNoMoreItems && ERROR_SEM_TIMEOUT == kErrorSemTimeout);

namespace {

// The entry points looked up at run time, as the Windows headers declare them.
using EnumDeviceInterfacesFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                             PSP_DEVICE_INTERFACE_DATA);
using GetDeviceInterfaceDetailFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                 PSP_DEVINFO_DATA);
using HidGetHidGuidFn = void(WINAPI*)(LPGUID);
using HidFeatureFn = BOOLEAN(WINAPI*)(HANDLE, PVOID, ULONG);

HANDLE ToWin(Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}
Handle FromWin(HANDLE handle) {
  return static_cast<Handle>(reinterpret_cast<uintptr_t>(handle));
}
HDEVINFO ToWinSet(DevInfoSet set) {
  return reinterpret_cast<HDEVINFO>(set);
}

template <typename Fn>
Fn EntryAs(Proc entry) {
  return reinterpret_cast<Fn>(entry);
}

Handle Win32CreateFile(const char* path, uint32_t access, uint32_t shareMode) {
  return FromWin(::CreateFileA(path, access, shareMode, nullptr, OPEN_EXISTING, 0, nullptr));
}

int32_t Win32CloseHandle(Handle handle) {
  return ::CloseHandle(ToWin(handle));
}

int32_t Win32DeviceIoControl(Handle device, uint32_t code, const void* in, uint32_t inSize,
                             void* out, uint32_t outSize, uint32_t* bytesReturned) {
  DWORD returned = 0;
  // The in-buffer is only read; the API's parameter is not const.
  BOOL ok = ::DeviceIoControl(ToWin(device), code, const_cast<void*>(in), inSize, out, outSize,
                              &returned, nullptr);
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return ok;
}

Handle Win32CreateMutex(const char* name) {
  return FromWin(::CreateMutexA(nullptr, FALSE, name));
}

uint32_t Win32WaitForSingleObject(Handle handle, uint32_t milliseconds) {
  return ::WaitForSingleObject(ToWin(handle), milliseconds);
}

int32_t Win32ReleaseMutex(Handle mutex) {
  return ::ReleaseMutex(ToWin(mutex));
}

int32_t Win32GetVersionEx(OsVersionInfo* info) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info));
#pragma GCC diagnostic pop
}

uint32_t Win32QueryDosDevice(const char* deviceName, char* targetPath, uint32_t maxChars) {
  return ::QueryDosDeviceA(deviceName, targetPath, maxChars);
}

uint32_t Win32GetLastError() {
  return ::GetLastError();
}

void* Win32LocalAlloc(uint32_t flags, uint32_t bytes) {
  return ::LocalAlloc(flags, bytes);
}
void* Win32LocalFree(void* block) {
  return ::LocalFree(block);
}

Module Win32GetModuleHandle(const char* name) {
  return ::GetModuleHandleA(name);
}
Module Win32LoadLibrary(const char* name) {
  return ::LoadLibraryA(name);
}
Proc Win32GetProcAddress(Module module, const char* name) {
  return reinterpret_cast<Proc>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

DevInfoSet Win32SetupDiGetClassDevs(const Guid* classGuid, uint32_t flags) {
  HDEVINFO set =
      ::SetupDiGetClassDevsA(reinterpret_cast<const GUID*>(classGuid), nullptr, nullptr, flags);
  return reinterpret_cast<DevInfoSet>(set);
}

int32_t Win32SetupDiEnumDeviceInfo(DevInfoSet set, uint32_t index, DeviceInfoData* data) {
  return ::SetupDiEnumDeviceInfo(ToWinSet(set), index, reinterpret_cast<SP_DEVINFO_DATA*>(data));
}

int32_t Win32SetupDiGetDeviceRegistryProperty(DevInfoSet set, DeviceInfoData* data,
                                              uint32_t property, uint32_t* regType, uint8_t* buffer,
                                              uint32_t bufferSize, uint32_t* requiredSize) {
  DWORD type = 0;
  DWORD required = 0;
  BOOL ok =
      ::SetupDiGetDeviceRegistryPropertyA(ToWinSet(set), reinterpret_cast<SP_DEVINFO_DATA*>(data),
                                          property, &type, buffer, bufferSize, &required);
  DWORD error = ::GetLastError();  // the copies below must not hide the call's error
  if (regType != nullptr) *regType = type;
  if (requiredSize != nullptr) *requiredSize = required;
  ::SetLastError(error);
  return ok;
}

int32_t Win32SetupDiDestroyDeviceInfoList(DevInfoSet set) {
  return ::SetupDiDestroyDeviceInfoList(ToWinSet(set));
}

int32_t Win32SetupDiEnumDeviceInterfaces(Proc entry, DevInfoSet set, const Guid* classGuid,
                                         uint32_t index, DeviceInterfaceData* data) {
  return EntryAs<EnumDeviceInterfacesFn>(entry)(ToWinSet(set), nullptr,
                                                reinterpret_cast<const GUID*>(classGuid), index,
                                                reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(data));
}

int32_t Win32SetupDiGetDeviceInterfaceDetail(Proc entry, DevInfoSet set, DeviceInterfaceData* data,
                                             void* detail, uint32_t detailSize,
                                             uint32_t* requiredSize, DeviceInfoData* deviceInfo) {
  DWORD required = 0;
  BOOL ok = EntryAs<GetDeviceInterfaceDetailFn>(entry)(
      ToWinSet(set), reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(data),
      static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail), detailSize, &required,
      reinterpret_cast<SP_DEVINFO_DATA*>(deviceInfo));
  DWORD error = ::GetLastError();
  if (requiredSize != nullptr) *requiredSize = required;
  ::SetLastError(error);
  return ok;
}

void Win32HidGetHidGuid(Proc entry, Guid* guid) {
  EntryAs<HidGetHidGuidFn>(entry)(reinterpret_cast<GUID*>(guid));
}

uint8_t Win32HidSetFeature(Proc entry, Handle device, void* report, uint32_t length) {
  return EntryAs<HidFeatureFn>(entry)(ToWin(device), report, length);
}

uint8_t Win32HidGetFeature(Proc entry, Handle device, void* report, uint32_t length) {
  return EntryAs<HidFeatureFn>(entry)(ToWin(device), report, length);
}

int32_t Win32MessageBox(const char* text, const char* caption, uint32_t flags) {
  return ::MessageBoxA(nullptr, text, caption, flags);
}

constexpr PlatformOps kWin32Ops = {
    .CreateFileA = Win32CreateFile,
    .CloseHandle = Win32CloseHandle,
    .DeviceIoControl = Win32DeviceIoControl,
    .CreateMutexA = Win32CreateMutex,
    .WaitForSingleObject = Win32WaitForSingleObject,
    .ReleaseMutex = Win32ReleaseMutex,
    .GetVersionExA = Win32GetVersionEx,
    .QueryDosDeviceA = Win32QueryDosDevice,
    .GetLastError = Win32GetLastError,
    .LocalAlloc = Win32LocalAlloc,
    .LocalFree = Win32LocalFree,
    .GetModuleHandleA = Win32GetModuleHandle,
    .LoadLibraryA = Win32LoadLibrary,
    .GetProcAddress = Win32GetProcAddress,
    .SetupDiGetClassDevsA = Win32SetupDiGetClassDevs,
    .SetupDiEnumDeviceInfo = Win32SetupDiEnumDeviceInfo,
    .SetupDiGetDeviceRegistryPropertyA = Win32SetupDiGetDeviceRegistryProperty,
    .SetupDiDestroyDeviceInfoList = Win32SetupDiDestroyDeviceInfoList,
    .SetupDiEnumDeviceInterfaces = Win32SetupDiEnumDeviceInterfaces,
    .SetupDiGetDeviceInterfaceDetailA = Win32SetupDiGetDeviceInterfaceDetail,
    .HidD_GetHidGuid = Win32HidGetHidGuid,
    .HidD_SetFeature = Win32HidSetFeature,
    .HidD_GetFeature = Win32HidGetFeature,
    .MessageBoxA = Win32MessageBox,
};

}  // namespace

const PlatformOps& Win32PlatformOps() {
  return kWin32Ops;
}
