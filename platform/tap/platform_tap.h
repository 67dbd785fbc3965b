// A pass-through backend over the one installed: counts every call by operation and can run
// hooks around each, so the tests and the benchmarks see how the library uses the platform
// (control transfers made, allocations asked for) without changing what it gets.
#pragma once

#include <cstdint>

// Every operation of PlatformOps, in its order.
// clang-format off
#define TOKENMODE_PLATFORM_CALLS(X) \
  X(CreateFileA) \
  X(CloseHandle) \
  X(DeviceIoControl) \
  X(CreateMutexA) \
  X(WaitForSingleObject) \
  X(ReleaseMutex) \
  X(GetVersionExA) \
  X(QueryDosDeviceA) \
  X(GetLastError) \
  X(LocalAlloc) \
  X(LocalFree) \
  X(GetModuleHandleA) \
  X(LoadLibraryA) \
  X(GetProcAddress) \
  X(SetupDiGetClassDevsA) \
  X(SetupDiEnumDeviceInfo) \
  X(SetupDiGetDeviceRegistryPropertyA) \
  X(SetupDiDestroyDeviceInfoList) \
  X(SetupDiEnumDeviceInterfaces) \
  X(SetupDiGetDeviceInterfaceDetailA) \
  X(HidD_GetHidGuid) \
  X(HidD_SetFeature) \
  X(HidD_GetFeature) \
  X(MessageBoxA)
// clang-format on

enum PlatformCall : int {
#define TOKENMODE_CALL_ENUM(name) kCall##name,
  TOKENMODE_PLATFORM_CALLS(TOKENMODE_CALL_ENUM)
#undef TOKENMODE_CALL_ENUM
      kPlatformCallCount
};

// Puts the tap in front of the backend installed now; counts start at zero.
void InstallPlatformTap();
// Puts the backend back as it was.
void RemovePlatformTap();

uint64_t TapCount(PlatformCall call);
// Control transfers on the bus: each driver I/O control and each feature set or get.
uint64_t TapTransfers();
void ResetTapCounts();

// Run just before and just after every call passed through; null for none.
using TapHook = void (*)();
void SetTapHooks(TapHook before, TapHook after);
