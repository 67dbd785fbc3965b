// The operating-system facts the library asks for, answered as a Windows 10 machine would,
// and the table that joins the backend's files.
#include "platform/linux/linux_platform.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/linux/linux_internal.h"

namespace linux_backend {
namespace {

thread_local uint32_t t_lastError = 0;

std::mutex g_rootsLock;
std::string g_sysRoot;
std::string g_devRoot = "/dev";

// Loaded "modules" and their entry points are addresses of these markers.
char g_setupApiModule, g_hidModule;
const char* const kEntryNames[] = {"SetupDiEnumDeviceInterfaces",
                                   "SetupDiGetDeviceInterfaceDetailA", "HidD_GetHidGuid",
                                   "HidD_GetFeature", "HidD_SetFeature"};
char g_entries[sizeof kEntryNames / sizeof kEntryNames[0]];

// {4D1E55B2-F16F-11CF-88CB-001111000030}
constexpr Guid kHidClassGuid = {{0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11, 0x88, 0xCB, 0x00,
                                 0x11, 0x11, 0x00, 0x00, 0x30}};

int32_t GetVersionExA(OsVersionInfo* info) {
  if (info == nullptr || info->size != sizeof(OsVersionInfo)) {
    return Fail(kErrorInsufficientBuffer);
  }
  *info = OsVersionInfo{};
  info->size = sizeof(OsVersionInfo);
  info->majorVersion = 10;  // not NT 4.0: the library enumerates device interfaces
  info->buildNumber = 19045;
  info->platformId = kPlatformIdNt;
  return 1;
}

// No DOS device names here; only the NT 4.0 road asks for them.
uint32_t QueryDosDeviceA(const char*, char*, uint32_t) {
  return Fail(kErrorNotSupported);
}

uint32_t GetLastError() {
  return t_lastError;
}

void* LocalAlloc(uint32_t /*flags*/, uint32_t bytes) {
  void* block = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (block == nullptr) SetLastError(kErrorNotEnoughMemory);
  return block;
}

void* LocalFree(void* block) {
  std::free(block);
  return nullptr;
}

Module GetModuleHandleA(const char* name) {
  if (name != nullptr && strcasecmp(name, "SETUPAPI.DLL") == 0) return &g_setupApiModule;
  SetLastError(kErrorModNotFound);
  return nullptr;
}

Module LoadLibraryA(const char* name) {
  if (name != nullptr && strcasecmp(name, "hid.dll") == 0) return &g_hidModule;
  SetLastError(kErrorModNotFound);
  return nullptr;
}

Proc GetProcAddress(Module module, const char* name) {
  const bool setupApi = module == &g_setupApiModule;
  if ((setupApi || module == &g_hidModule) && name != nullptr) {
    Proc entry = EntryFor(name);
    // The first two names live in SetupAPI, the rest in the HID library.
    if (entry != nullptr && setupApi == (entry < static_cast<void*>(&g_entries[2]))) return entry;
  }
  SetLastError(kErrorProcNotFound);
  return nullptr;
}

void HidD_GetHidGuid(Proc entry, Guid* guid) {
  if (entry == EntryFor("HidD_GetHidGuid") && guid != nullptr) *guid = kHidClassGuid;
}

int32_t MessageBoxA(const char* text, const char* caption, uint32_t /*flags*/) {
  std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  return 1;  // IDOK
}

const PlatformOps kOps = {
    CreateFileA,
    CloseHandle,
    DeviceIoControl,
    CreateMutexA,
    WaitForSingleObject,
    ReleaseMutex,
    GetVersionExA,
    QueryDosDeviceA,
    GetLastError,
    LocalAlloc,
    LocalFree,
    GetModuleHandleA,
    LoadLibraryA,
    GetProcAddress,
    SetupDiGetClassDevsA,
    SetupDiEnumDeviceInfo,
    SetupDiGetDeviceRegistryPropertyA,
    SetupDiDestroyDeviceInfoList,
    SetupDiEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailA,
    HidD_GetHidGuid,
    HidD_SetFeature,
    HidD_GetFeature,
    MessageBoxA,
};

}  // namespace

void SetLastError(uint32_t error) {
  t_lastError = error;
}
uint32_t LastError() {
  return t_lastError;
}

Proc EntryFor(const char* name) {
  for (size_t i = 0; i < sizeof kEntryNames / sizeof kEntryNames[0]; ++i) {
    if (std::strcmp(name, kEntryNames[i]) == 0) return &g_entries[i];
  }
  return nullptr;
}

std::string SysRoot() {
  std::lock_guard<std::mutex> guard(g_rootsLock);
  return g_sysRoot;
}

std::string DevRoot() {
  std::lock_guard<std::mutex> guard(g_rootsLock);
  return g_devRoot;
}

}  // namespace linux_backend

const PlatformOps& LinuxPlatformOps() {
  return linux_backend::kOps;
}

void LinuxPlatformSetRoots(const char* sysRoot, const char* devRoot) {
  std::lock_guard<std::mutex> guard(linux_backend::g_rootsLock);
  if (sysRoot != nullptr) linux_backend::g_sysRoot = sysRoot;
  if (devRoot != nullptr) linux_backend::g_devRoot = devRoot;
}
