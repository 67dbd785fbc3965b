#include "fuzz/fuzz_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

FuzzPlatformState g_state;

// Handles: device files count up from 0x100, mutexes from 0x40000000, both anew for each input;
// they are told apart by range.
constexpr Handle kFirstFile = 0x100;
constexpr Handle kFirstMutex = 0x40000000;
Handle g_nextFile = kFirstFile;
Handle g_nextMutex = kFirstMutex;

int g_module = 0;  // any non-null address stands for a loaded library and its entry points

Handle CreateFileA(const char*, uint32_t, uint32_t) {
  if ((g_state.input->Byte() & 0x0F) == 0x0F) {  // now and then a device file will not open
    g_state.lastError = kErrorFileNotFound;
    return kInvalidHandle;
  }
  ++g_state.openFiles;
  return g_nextFile++;
}

int32_t CloseHandle(Handle handle) {
  if (handle >= kFirstMutex) {
    --g_state.openMutexes;
  } else {
    --g_state.openFiles;
  }
  FuzzCheck(g_state.openFiles >= 0 && g_state.openMutexes >= 0, "a handle closed twice");
  return 1;
}

// The driver: success or failure, a count of any size (larger than the buffer included), and
// as many bytes as the buffer holds.
int32_t DeviceIoControl(Handle, uint32_t, const void*, uint32_t, void* out, uint32_t outSize,
                        uint32_t* bytesReturned) {
  const uint8_t mode = g_state.input->Byte();
  if ((mode & 3) == 0) {
    g_state.lastError = kErrorGenFailure;
    return 0;
  }
  const uint32_t claimed = g_state.input->U32();
  uint32_t written = 0;
  if (out != nullptr && outSize != 0) {
    const uint32_t wanted = g_state.input->U16();
    written = static_cast<uint32_t>(
        g_state.input->Take(static_cast<uint8_t*>(out), wanted < outSize ? wanted : outSize));
  }
  *bytesReturned = (mode & 3) == 1 ? written : claimed;
  return 1;
}

Handle CreateMutexA(const char*) {
  if ((g_state.input->Byte() & 0x1F) == 0x1F) return 0;
  ++g_state.openMutexes;
  return g_nextMutex++;
}

uint32_t WaitForSingleObject(Handle, uint32_t) {
  switch (g_state.input->Byte() & 7) {
    case 5:
      return kWaitAbandoned;
    case 6:
      return kWaitTimeout;
    case 7:
      return kWaitFailed;
    default:
      return kWaitObject0;
  }
}

int32_t ReleaseMutex(Handle) {
  return 1;
}

int32_t GetVersionExA(OsVersionInfo* info) {
  info->platformId = kPlatformIdNt;
  info->majorVersion = g_state.nt4 ? 4 : 10;
  return 1;
}

// The name buffer holds whatever the input gives: names of any length, with or without the
// closing empty name, up to every byte of the buffer.
uint32_t QueryDosDeviceA(const char*, char* target, uint32_t maxChars) {
  FuzzInput& in = *g_state.input;
  const uint8_t mode = in.Byte();
  if (in.Remaining() == 0 || maxChars == 0) return 0;
  size_t filled = 0;
  if ((mode & 1) != 0) {
    // The input repeated to the buffer's last byte: no terminator anywhere.
    const uint8_t* rest = in.Rest();
    const size_t n = in.Remaining();
    for (; filled < maxChars; ++filled) target[filled] = static_cast<char>(rest[filled % n]);
  } else {
    filled = in.Take(reinterpret_cast<uint8_t*>(target), maxChars);
  }
  return static_cast<uint32_t>(filled);
}

uint32_t GetLastError() {
  return g_state.lastError;
}

void* LocalAlloc(uint32_t flags, uint32_t bytes) {
  if (g_state.allocationsLeft == 0) {
    g_state.lastError = kErrorNotEnoughMemory;
    return nullptr;
  }
  if (g_state.allocationsLeft > 0) --g_state.allocationsLeft;
  // Exactly the size asked for, so an overrun meets the address sanitizer; at least one byte.
  void* block =
      (flags & kLocalZeroInit) != 0 ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
  if (block != nullptr) ++g_state.liveAllocations;
  return block;
}

void* LocalFree(void* block) {
  if (block != nullptr) --g_state.liveAllocations;
  free(block);
  return nullptr;
}

Module GetModuleHandleA(const char*) {
  return &g_module;
}
Module LoadLibraryA(const char*) {
  return &g_module;
}
Proc GetProcAddress(Module, const char*) {
  return &g_module;
}

DevInfoSet SetupDiGetClassDevsA(const Guid*, uint32_t) {
  return 1;
}
int32_t SetupDiEnumDeviceInfo(DevInfoSet, uint32_t, DeviceInfoData*) {
  return 0;
}
int32_t SetupDiGetDeviceRegistryPropertyA(DevInfoSet, DeviceInfoData*, uint32_t, uint32_t*,
                                          uint8_t*, uint32_t, uint32_t*) {
  return 0;
}
int32_t SetupDiDestroyDeviceInfoList(DevInfoSet) {
  return 1;
}
int32_t SetupDiEnumDeviceInterfaces(Proc, DevInfoSet, const Guid*, uint32_t, DeviceInterfaceData*) {
  g_state.lastError = kErrorNoMoreItems;
  return 0;
}
int32_t SetupDiGetDeviceInterfaceDetailA(Proc, DevInfoSet, DeviceInterfaceData*, void*, uint32_t,
                                         uint32_t*, DeviceInfoData*) {
  return 0;
}

void HidD_GetHidGuid(Proc, Guid* guid) {
  memset(guid->bytes, 0x11, sizeof guid->bytes);
}

uint8_t HidD_SetFeature(Proc, Handle, void*, uint32_t) {
  if ((g_state.input->Byte() & 7) == 7) {
    g_state.lastError = kErrorGenFailure;
    return 0;
  }
  return 1;
}

// A get that fails (time-out or other error) or fills the report with the input's bytes; the
// count byte says whatever the input says.
uint8_t HidD_GetFeature(Proc, Handle, void* report, uint32_t length) {
  const uint8_t mode = g_state.input->Byte();
  if ((mode & 7) == 6) {
    g_state.lastError = kErrorSemTimeout;
    return 0;
  }
  if ((mode & 7) == 7) {
    g_state.lastError = kErrorGenFailure;
    return 0;
  }
  auto* bytes = static_cast<uint8_t*>(report);
  if (length > 1) g_state.input->Take(bytes + 1, length - 1);  // byte 0 keeps the report ID
  return 1;
}

int32_t MessageBoxA(const char*, const char*, uint32_t) {
  return 1;
}

const PlatformOps kFuzzOps = {
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

uint8_t FuzzInput::Byte() {
  return pos_ < size_ ? data_[pos_++] : 0;
}

uint16_t FuzzInput::U16() {
  return static_cast<uint16_t>(Byte() | Byte() << 8);
}

uint32_t FuzzInput::U32() {
  return uint32_t{U16()} | uint32_t{U16()} << 16;
}

size_t FuzzInput::Take(uint8_t* out, size_t capacity) {
  const size_t n = capacity < Remaining() ? capacity : Remaining();
  if (n != 0) memcpy(out, data_ + pos_, n);
  pos_ += n;
  return n;
}

FuzzPlatformState& InstallFuzzPlatform(FuzzInput* input) {
  g_state = FuzzPlatformState{};
  g_nextFile = kFirstFile;
  g_nextMutex = kFirstMutex;
  g_state.input = input;
  InstallPlatform(&kFuzzOps);
  return g_state;
}

void FuzzCheck(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}
