#include "platform/trace.h"

#include <map>
#include <string>

namespace {

const PlatformOps* g_inner = nullptr;
std::FILE* g_out = nullptr;
std::map<Handle, std::string> g_paths;  // device files opened through this wrapper
// Writing a line may change the OS's last error (the C library's own calls), so a traced call
// keeps the error it ended with for the library's GetLastError that follows it.
bool g_errorSaved = false;
uint32_t g_savedError = 0;

// The inner backend for a call that is about to run; any saved error is stale from then on.
const PlatformOps& Inner() {
  g_errorSaved = false;
  return *g_inner;
}

void SaveError() {
  g_savedError = g_inner->GetLastError();
  g_errorSaved = true;
}

const char* PathOf(Handle handle) {
  auto it = g_paths.find(handle);
  return it == g_paths.end() ? "?" : it->second.c_str();
}

void WriteHex(const void* bytes, uint32_t count) {
  if (bytes == nullptr || count == 0) {
    std::fputc('-', g_out);
    return;
  }
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (uint32_t i = 0; i < count; ++i) std::fprintf(g_out, "%02X", p[i]);
}

void WriteLine(const char* operation, Handle handle, const void* sent, uint32_t sentCount, bool ok,
               const void* returned, uint32_t returnedCount) {
  if (g_out == nullptr) return;
  std::fprintf(g_out, "%s %s ", operation, PathOf(handle));
  WriteHex(sent, sentCount);
  if (ok) {
    std::fputs(" -> ok ", g_out);
    WriteHex(returned, returnedCount);
  } else {
    std::fputs(" -> fail", g_out);
  }
  std::fputc('\n', g_out);
  std::fflush(g_out);  // a trace must survive a crash or a kill
}

const char* IoControlName(uint32_t code, char (&buffer)[24]) {
  switch (code) {
    case 0x220028:
      return "transact";
    case 0x22000C:
      return "send-setup";
    case 0x220010:
      return "receive";
    case 0x220024:
      return "read-atr";
    default:
      std::snprintf(buffer, sizeof buffer, "ioctl-%08X", static_cast<unsigned>(code));
      return buffer;
  }
}

Handle TraceCreateFileA(const char* path, uint32_t access, uint32_t shareMode) {
  Handle handle = Inner().CreateFileA(path, access, shareMode);
  if (handle != kInvalidHandle && path != nullptr) g_paths[handle] = path;
  return handle;
}

int32_t TraceCloseHandle(Handle handle) {
  g_paths.erase(handle);
  return Inner().CloseHandle(handle);
}

int32_t TraceDeviceIoControl(Handle device, uint32_t code, const void* in, uint32_t inSize,
                             void* out, uint32_t outSize, uint32_t* bytesReturned) {
  uint32_t count = 0;
  uint32_t* countOut = bytesReturned != nullptr ? bytesReturned : &count;
  int32_t ok = Inner().DeviceIoControl(device, code, in, inSize, out, outSize, countOut);
  SaveError();
  uint32_t returned = *countOut < outSize ? *countOut : outSize;
  char name[24];
  WriteLine(IoControlName(code, name), device, in, inSize, ok != 0, out, returned);
  return ok;
}

uint8_t TraceHidD_SetFeature(Proc entry, Handle device, void* report, uint32_t length) {
  uint8_t ok = Inner().HidD_SetFeature(entry, device, report, length);
  SaveError();
  WriteLine("set-feature", device, report, length, ok != 0, nullptr, 0);
  return ok;
}

uint8_t TraceHidD_GetFeature(Proc entry, Handle device, void* report, uint32_t length) {
  uint8_t reportId = (report != nullptr && length > 0) ? *static_cast<uint8_t*>(report) : 0;
  uint8_t ok = Inner().HidD_GetFeature(entry, device, report, length);
  SaveError();
  WriteLine("get-feature", device, &reportId, report != nullptr && length > 0 ? 1 : 0, ok != 0,
            report, length);
  return ok;
}

// Calls that are no exchange with a token pass straight through.
Handle TraceCreateMutexA(const char* name) {
  return Inner().CreateMutexA(name);
}
uint32_t TraceWaitForSingleObject(Handle handle, uint32_t milliseconds) {
  return Inner().WaitForSingleObject(handle, milliseconds);
}
int32_t TraceReleaseMutex(Handle mutex) {
  return Inner().ReleaseMutex(mutex);
}
int32_t TraceGetVersionExA(OsVersionInfo* info) {
  return Inner().GetVersionExA(info);
}
uint32_t TraceQueryDosDeviceA(const char* deviceName, char* targetPath, uint32_t maxChars) {
  return Inner().QueryDosDeviceA(deviceName, targetPath, maxChars);
}
uint32_t TraceGetLastError() {
  return g_errorSaved ? g_savedError : g_inner->GetLastError();
}
void* TraceLocalAlloc(uint32_t flags, uint32_t bytes) {
  return Inner().LocalAlloc(flags, bytes);
}
void* TraceLocalFree(void* block) {
  return Inner().LocalFree(block);
}
Module TraceGetModuleHandleA(const char* name) {
  return Inner().GetModuleHandleA(name);
}
Module TraceLoadLibraryA(const char* name) {
  return Inner().LoadLibraryA(name);
}
Proc TraceGetProcAddress(Module module, const char* name) {
  return Inner().GetProcAddress(module, name);
}
DevInfoSet TraceSetupDiGetClassDevsA(const Guid* classGuid, uint32_t flags) {
  return Inner().SetupDiGetClassDevsA(classGuid, flags);
}
int32_t TraceSetupDiEnumDeviceInfo(DevInfoSet set, uint32_t index, DeviceInfoData* data) {
  return Inner().SetupDiEnumDeviceInfo(set, index, data);
}
int32_t TraceSetupDiGetDeviceRegistryPropertyA(DevInfoSet set, DeviceInfoData* data,
                                               uint32_t property, uint32_t* regType,
                                               uint8_t* buffer, uint32_t bufferSize,
                                               uint32_t* requiredSize) {
  return Inner().SetupDiGetDeviceRegistryPropertyA(set, data, property, regType, buffer, bufferSize,
                                                   requiredSize);
}
int32_t TraceSetupDiDestroyDeviceInfoList(DevInfoSet set) {
  return Inner().SetupDiDestroyDeviceInfoList(set);
}
int32_t TraceSetupDiEnumDeviceInterfaces(Proc entry, DevInfoSet set, const Guid* classGuid,
                                         uint32_t index, DeviceInterfaceData* data) {
  return Inner().SetupDiEnumDeviceInterfaces(entry, set, classGuid, index, data);
}
int32_t TraceSetupDiGetDeviceInterfaceDetailA(Proc entry, DevInfoSet set, DeviceInterfaceData* data,
                                              void* detail, uint32_t detailSize,
                                              uint32_t* requiredSize, DeviceInfoData* deviceInfo) {
  return Inner().SetupDiGetDeviceInterfaceDetailA(entry, set, data, detail, detailSize,
                                                  requiredSize, deviceInfo);
}
void TraceHidD_GetHidGuid(Proc entry, Guid* guid) {
  Inner().HidD_GetHidGuid(entry, guid);
}
int32_t TraceMessageBoxA(const char* text, const char* caption, uint32_t flags) {
  return Inner().MessageBoxA(text, caption, flags);
}

const PlatformOps kTraceOps = {
    TraceCreateFileA,
    TraceCloseHandle,
    TraceDeviceIoControl,
    TraceCreateMutexA,
    TraceWaitForSingleObject,
    TraceReleaseMutex,
    TraceGetVersionExA,
    TraceQueryDosDeviceA,
    TraceGetLastError,
    TraceLocalAlloc,
    TraceLocalFree,
    TraceGetModuleHandleA,
    TraceLoadLibraryA,
    TraceGetProcAddress,
    TraceSetupDiGetClassDevsA,
    TraceSetupDiEnumDeviceInfo,
    TraceSetupDiGetDeviceRegistryPropertyA,
    TraceSetupDiDestroyDeviceInfoList,
    TraceSetupDiEnumDeviceInterfaces,
    TraceSetupDiGetDeviceInterfaceDetailA,
    TraceHidD_GetHidGuid,
    TraceHidD_SetFeature,
    TraceHidD_GetFeature,
    TraceMessageBoxA,
};

}  // namespace

const PlatformOps& TracePlatformOps(const PlatformOps& inner, std::FILE* out) {
  g_inner = &inner;
  g_out = out;
  g_paths.clear();
  return kTraceOps;
}
