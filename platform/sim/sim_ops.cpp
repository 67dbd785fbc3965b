// The platform operations as the simulated machine serves them: each one behaves as the Win32
// call it is named after, failures and last-error values included.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sim/sim_internal.h"
#include "platform/sim/sim_machine.h"

namespace {

using sim::Device;
using sim::DeviceClass;
using sim::HandleEntry;
using sim::Impl;

SimMachine* g_machine = nullptr;

constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kFileReadData = 1;
constexpr uint32_t kFileWriteData = 2;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kSpintActive = 1;
constexpr uint32_t kDeviceIoControlPending = 0;  // no overlapped I/O here
constexpr DevInfoSet kInvalidSet = static_cast<DevInfoSet>(-1);

// Device setup classes, reported by SetupDiEnumDeviceInfo.
constexpr Guid kHidSetupClass = {{0xA0, 0x17, 0x5A, 0x74, 0xD3, 0x74, 0xD0, 0x11, 0xB6, 0xFE, 0x00,
                                  0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
constexpr Guid kUsbSetupClass = {{0x60, 0x9E, 0xFC, 0x36, 0x65, 0xC4, 0xCF, 0x11, 0x80, 0x56, 0x44,
                                  0x45, 0x53, 0x54, 0x00, 0x00}};

// Modules and entry points: distinct addresses that stand for them.
char g_exeModule, g_kernelModule, g_setupapiModule, g_hidModule;
enum ProcIndex {
  kProcEnumInterfaces,
  kProcInterfaceDetail,
  kProcGetHidGuid,
  kProcGetFeature,
  kProcSetFeature,
  kProcCount
};
constexpr const char* kProcNames[kProcCount] = {
    "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA", "HidD_GetHidGuid",
    "HidD_GetFeature", "HidD_SetFeature"};
char g_procs[kProcCount];

Proc ProcOf(ProcIndex index) {
  return &g_procs[index];
}

bool IsName(const char* name, const char* dll, const char* bare) {
  return sim::EqualsIgnoreCase(name, dll) || sim::EqualsIgnoreCase(name, bare);
}

bool SameGuid(const Guid& a, const Guid& b) {
  return std::memcmp(a.bytes, b.bytes, 16) == 0;
}

bool ReadsData(uint32_t access) {
  return (access & (kGenericRead | kGenericAll | kFileReadData)) != 0;
}
bool WritesData(uint32_t access) {
  return (access & (kGenericWrite | kGenericAll | kFileWriteData)) != 0;
}

// Windows lets a new open share a file when each side's share mode allows the other's access.
bool SharingConflict(const HandleEntry& open, uint32_t access, uint32_t share) {
  return (ReadsData(access) && !(open.share & kFileShareRead)) ||
         (WritesData(access) && !(open.share & kFileShareWrite)) ||
         (ReadsData(open.access) && !(share & kFileShareRead)) ||
         (WritesData(open.access) && !(share & kFileShareWrite));
}

void Busy(Impl& m) {
  m.Delay();
}

}  // namespace

namespace sim {
void UninstallIfCurrent(const SimMachine* machine) {
  if (g_machine != machine) return;
  g_machine = nullptr;
  InstallPlatform(nullptr);
}
}  // namespace sim

struct SimOps {
  static Impl& M() {
    if (g_machine == nullptr) {
      std::fprintf(stderr, "simulated machine: a platform call with no machine installed\n");
      std::abort();
    }
    Impl& m = *g_machine->impl_;
    m.RunDueEvents();
    return m;
  }

  static int32_t Fail(Impl& m, uint32_t error) {
    m.lastError = error;
    return 0;
  }

  static HandleEntry* HandleAt(Impl& m, Handle handle) {
    if (handle < sim::kHandleBase || (handle - sim::kHandleBase) % 4 != 0) return nullptr;
    const uint32_t index = (handle - sim::kHandleBase) / 4;
    if (index >= m.handles.size() || m.handles[index].kind == HandleEntry::kClosed) return nullptr;
    return &m.handles[index];
  }

  static Handle NewHandle(Impl& m, HandleEntry entry) {
    m.handles.push_back(entry);
    return sim::kHandleBase + 4 * static_cast<uint32_t>(m.handles.size() - 1);
  }

  static bool MatchesPath(const Device& device, const char* path) {
    if (sim::EqualsIgnoreCase(device.path.c_str(), path)) return true;
    return !device.dosName.empty() && std::strncmp(path, "\\\\.\\", 4) == 0 &&
           sim::EqualsIgnoreCase(device.dosName.c_str(), path + 4);
  }

  // Device files.

  static Handle CreateFileA(const char* path, uint32_t access, uint32_t shareMode) {
    Impl& m = M();
    if (path == nullptr) return Fail(m, SimError::kPathNotFound), kInvalidHandle;
    for (size_t i = 0; i < m.devices.size(); ++i) {
      Device& device = m.devices[i];
      if (!device.present || !MatchesPath(device, path)) continue;
      if (device.token >= 0 && m.tokens[static_cast<size_t>(device.token)].spec.faults.unopenable) {
        return Fail(m, kErrorAccessDenied), kInvalidHandle;
      }
      for (uint32_t open : device.openHandles) {
        if (SharingConflict(m.handles[open], access, shareMode)) {
          return Fail(m, kErrorSharingViolation), kInvalidHandle;
        }
      }
      const Handle handle =
          NewHandle(m, {HandleEntry::kDevice, static_cast<int>(i), access, shareMode});
      device.openHandles.push_back((handle - sim::kHandleBase) / 4);
      ++m.openDeviceHandles;
      m.lastError = 0;
      return handle;
    }
    return Fail(m, kErrorFileNotFound), kInvalidHandle;
  }

  static int32_t CloseHandle(Handle handle) {
    Impl& m = M();
    HandleEntry* entry = HandleAt(m, handle);
    if (entry == nullptr) return Fail(m, SimError::kInvalidHandle);
    const uint32_t index = (handle - sim::kHandleBase) / 4;
    if (entry->kind == HandleEntry::kDevice) {
      std::vector<uint32_t>& open = m.devices[static_cast<size_t>(entry->object)].openHandles;
      for (size_t i = 0; i < open.size(); ++i) {
        if (open[i] == index) {
          open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
          break;
        }
      }
      --m.openDeviceHandles;
    } else {
      --m.mutexes[static_cast<size_t>(entry->object)].handles;
      --m.openMutexHandles;
    }
    entry->kind = HandleEntry::kClosed;
    m.lastError = 0;
    return 1;
  }

  // The maker's USB driver: the header and its data in, the reply out.
  static bool ValidFrame(const uint8_t* in, uint32_t inSize) {
    if (in == nullptr || inSize < 8 || inSize > sim::kMaxIoctlInput) return false;
    return inSize == 8u + (in[6] | (in[7] << 8));
  }

  static int32_t DeviceIoControl(Handle handle, uint32_t code, const void* inBuffer,
                                 uint32_t inSize, void* outBuffer, uint32_t outSize,
                                 uint32_t* bytesReturned) {
    Impl& m = M();
    HandleEntry* entry = HandleAt(m, handle);
    if (entry == nullptr || entry->kind != HandleEntry::kDevice) {
      return Fail(m, SimError::kInvalidHandle);
    }
    Device& device = m.devices[static_cast<size_t>(entry->object)];
    if (device.deviceClass != DeviceClass::kUsbToken) return Fail(m, SimError::kInvalidFunction);
    // Without an overlapped structure Windows needs somewhere to put the count.
    if (bytesReturned == nullptr) return Fail(m, kErrorInvalidParameter);
    *bytesReturned = kDeviceIoControlPending;
    const char* operation = code == sim::kIoctlSendSetup  ? "send-setup"
                            : code == sim::kIoctlReceive  ? "receive"
                            : code == sim::kIoctlReadAtr  ? "read-atr"
                            : code == sim::kIoctlTransact ? "transact"
                                                          : nullptr;
    if (operation == nullptr) return Fail(m, kErrorInvalidParameter);
    const auto* in = static_cast<const uint8_t*>(inBuffer);
    auto* out = static_cast<uint8_t*>(outBuffer);
    uint32_t error = 0;
    uint32_t count = 0;
    if (!device.present) {
      error = kErrorDeviceNotConnected;
    } else if (out == nullptr && outSize != 0) {
      error = SimError::kInvalidUserBuffer;
    } else {
      Busy(m);
      sim::TokenEntry& token = m.tokens[static_cast<size_t>(device.token)];
      m.SyncFaults(token);
      SimFaults& faults = token.spec.faults;
      const uint32_t modeRequestsBefore = token.model.modeRequests;
      switch (code) {
        case sim::kIoctlSendSetup:
          if (!ValidFrame(in, inSize)) {
            error = kErrorInvalidParameter;
          } else if (!TokenRequest(&token.model, in, in + 8, inSize - 8)) {
            error = kErrorGenFailure;  // the token stalled the request
          }
          break;
        case sim::kIoctlReceive:
          if (in == nullptr || inSize != 8 || (in[0] & 0x80) == 0) {
            error = kErrorInvalidParameter;  // a read needs a device-to-host header
          } else if (faults.receiveFailures > 0) {
            --faults.receiveFailures;
            error = kErrorGenFailure;
          } else {
            const uint32_t asked = static_cast<uint32_t>(in[6] | (in[7] << 8));
            count = TokenReadReply(&token.model, out, asked < outSize ? asked : outSize);
          }
          break;
        case sim::kIoctlReadAtr:
          if (faults.refuseReadAtr) {
            error = kErrorNotSupported;
          } else if (token.model.config.atrLength == 0) {
            error = kErrorGenFailure;
          } else {
            count = token.model.config.atrLength < outSize ? token.model.config.atrLength : outSize;
            for (uint32_t i = 0; i < count; ++i) out[i] = token.model.config.atr[i];
          }
          break;
        default:  // transact
          if (faults.refuseTransact) {
            error = kErrorNotSupported;
          } else if (!ValidFrame(in, inSize)) {
            error = kErrorInvalidParameter;
          } else if (!TokenRequest(&token.model, in, in + 8, inSize - 8)) {
            error = kErrorGenFailure;
          } else {
            count = TokenReadReply(&token.model, out, outSize);
          }
          break;
      }
      m.NoteModeRequests(device.token, modeRequestsBefore);
    }
    m.Record(operation, device, in, in != nullptr ? inSize : 0, error == 0, out, count);
    if (error != 0) return Fail(m, error);
    *bytesReturned = count;
    m.lastError = 0;
    return 1;
  }

  // The HID class driver: feature reports of exactly the token's lengths.

  static bool CheckEntry(Impl& m, Proc entry, ProcIndex expected) {
    if (entry == ProcOf(expected)) return true;
    ++m.badEntryCalls;
    m.lastError = kErrorInvalidParameter;
    return false;
  }

  // The HID token behind a handle, or 0 with the error set.
  static Device* HidTokenDevice(Impl& m, Handle handle) {
    HandleEntry* entry = HandleAt(m, handle);
    if (entry == nullptr || entry->kind != HandleEntry::kDevice) {
      m.lastError = SimError::kInvalidHandle;
      return nullptr;
    }
    Device& device = m.devices[static_cast<size_t>(entry->object)];
    if (device.deviceClass == DeviceClass::kUsbToken) {
      m.lastError = SimError::kInvalidFunction;  // no HID class driver on that device
      return nullptr;
    }
    if (device.deviceClass == DeviceClass::kOtherHid) {
      // Its report descriptor has none of the token's reports.
      m.lastError = device.present ? kErrorInvalidParameter : kErrorDeviceNotConnected;
      return nullptr;
    }
    return &device;
  }

  static uint8_t HidD_SetFeature(Proc entry, Handle handle, void* reportBuffer, uint32_t length) {
    Impl& m = M();
    if (!CheckEntry(m, entry, kProcSetFeature)) return 0;
    Device* device = HidTokenDevice(m, handle);
    if (device == nullptr) return 0;
    const auto* report = static_cast<const uint8_t*>(reportBuffer);
    uint32_t error = 0;
    if (!device->present) {
      error = kErrorDeviceNotConnected;
    } else if (report == nullptr || length == 0 || length != TokenHidReportLength(report[0])) {
      error = kErrorInvalidParameter;  // the class driver refuses it; the token sees nothing
    } else {
      Busy(m);
      sim::TokenEntry& token = m.tokens[static_cast<size_t>(device->token)];
      m.SyncFaults(token);
      const uint32_t modeRequestsBefore = token.model.modeRequests;
      if (!TokenHidSetFeature(&token.model, report, length)) error = kErrorGenFailure;
      m.NoteModeRequests(device->token, modeRequestsBefore);
    }
    m.Record("set-feature", *device, report, report != nullptr ? length : 0, error == 0, nullptr,
             0);
    if (error != 0) return static_cast<uint8_t>(Fail(m, error));
    m.lastError = 0;
    return 1;
  }

  static uint8_t HidD_GetFeature(Proc entry, Handle handle, void* reportBuffer, uint32_t length) {
    Impl& m = M();
    if (!CheckEntry(m, entry, kProcGetFeature)) return 0;
    Device* device = HidTokenDevice(m, handle);
    if (device == nullptr) return 0;
    auto* report = static_cast<uint8_t*>(reportBuffer);
    // The log shows what the host asked for (ID and byte 1) and the report it got back.
    uint8_t asked[2] = {0, 0};
    if (report != nullptr && length >= 2) {
      asked[0] = report[0];
      asked[1] = report[1];
    }
    uint32_t error = 0;
    if (!device->present) {
      error = kErrorDeviceNotConnected;
    } else if (report == nullptr || length == 0 || length != TokenHidReportLength(report[0])) {
      error = kErrorInvalidParameter;
    } else {
      Busy(m);
      sim::TokenEntry& token = m.tokens[static_cast<size_t>(device->token)];
      SimFaults& faults = token.spec.faults;
      if (faults.getsNeverAnswer) {
        error = kErrorSemTimeout;
      } else if (faults.getTimeouts > 0) {
        --faults.getTimeouts;
        error = kErrorSemTimeout;
      } else if (!TokenHidGetFeature(&token.model, report, length)) {
        error = kErrorGenFailure;  // a report the token does not answer gets
      }
    }
    m.Record("get-feature", *device, asked, report != nullptr && length >= 2 ? 2 : 0, error == 0,
             report, error == 0 ? 2u + report[1] : 0u);
    if (error != 0) return static_cast<uint8_t>(Fail(m, error));
    m.lastError = 0;
    return 1;
  }

  static void HidD_GetHidGuid(Proc entry, Guid* guid) {
    Impl& m = M();
    if (!CheckEntry(m, entry, kProcGetHidGuid) || guid == nullptr) return;
    *guid = sim::kHidClassGuid;
  }

  // Named mutexes.

  static Handle CreateMutexA(const char* name) {
    Impl& m = M();
    m.mutexNamesCreated.push_back(name != nullptr ? name : "");
    if (m.failMutexCreation) return static_cast<Handle>(Fail(m, kErrorAccessDenied));
    if (name != nullptr) {
      const char* rest = name;
      if (std::strncmp(rest, "Global\\", 7) == 0) rest += 7;
      if (std::strncmp(rest, "Local\\", 6) == 0) rest += 6;
      if (std::strchr(rest, '\\') != nullptr) {
        return static_cast<Handle>(Fail(m, SimError::kPathNotFound));
      }
    }
    int object = -1;
    for (size_t i = 0; name != nullptr && i < m.mutexes.size(); ++i) {
      if (m.mutexes[i].name == name) object = static_cast<int>(i);
    }
    bool existed = false;
    if (object < 0) {
      sim::MutexObject mutex;
      if (name != nullptr) mutex.name = name;
      m.mutexes.push_back(std::move(mutex));
      object = static_cast<int>(m.mutexes.size()) - 1;
    } else {
      existed = m.mutexes[static_cast<size_t>(object)].handles > 0;
    }
    ++m.mutexes[static_cast<size_t>(object)].handles;
    ++m.openMutexHandles;
    const Handle handle = NewHandle(m, {HandleEntry::kMutex, object, 0, 0});
    m.lastError = existed ? SimError::kAlreadyExists : 0;
    return handle;
  }

  static uint32_t WaitForSingleObject(Handle handle, uint32_t /*milliseconds*/) {
    Impl& m = M();
    HandleEntry* entry = HandleAt(m, handle);
    if (entry == nullptr || entry->kind != HandleEntry::kMutex) {
      m.lastError = SimError::kInvalidHandle;
      return kWaitFailed;
    }
    sim::MutexObject& mutex = m.mutexes[static_cast<size_t>(entry->object)];
    SimWait outcome = SimWait::kAcquire;
    if (mutex.hasNextWait) {
      mutex.hasNextWait = false;
      outcome = mutex.nextWait;
    }
    m.lastError = 0;
    switch (outcome) {
      case SimWait::kAcquire:
        ++mutex.ownerCount;
        return kWaitObject0;
      case SimWait::kAbandoned:
        ++mutex.ownerCount;
        return kWaitAbandoned;
      case SimWait::kTimeout:
        return kWaitTimeout;
      case SimWait::kFailed:
        m.lastError = SimError::kInvalidHandle;
        return kWaitFailed;
    }
    return kWaitFailed;
  }

  static int32_t ReleaseMutex(Handle handle) {
    Impl& m = M();
    HandleEntry* entry = HandleAt(m, handle);
    if (entry == nullptr || entry->kind != HandleEntry::kMutex) {
      return Fail(m, SimError::kInvalidHandle);
    }
    sim::MutexObject& mutex = m.mutexes[static_cast<size_t>(entry->object)];
    if (mutex.ownerCount == 0) return Fail(m, SimError::kNotOwner);
    --mutex.ownerCount;
    m.lastError = 0;
    return 1;
  }

  // System.

  static int32_t GetVersionExA(OsVersionInfo* info) {
    Impl& m = M();
    if (info == nullptr) return Fail(m, kErrorInvalidParameter);
    if (info->size != sizeof(OsVersionInfo)) return Fail(m, kErrorInsufficientBuffer);
    info->majorVersion = m.majorVersion;
    info->minorVersion = 0;
    info->buildNumber = m.IsNt4() ? 1381 : 19045;
    info->platformId = m.platformId;
    std::memset(info->csdVersion, 0, sizeof info->csdVersion);
    m.lastError = 0;
    return 1;
  }

  static uint32_t QueryDosDeviceA(const char* deviceName, char* targetPath, uint32_t maxChars) {
    Impl& m = M();
    if (m.failDosQuery) return static_cast<uint32_t>(Fail(m, kErrorAccessDenied));
    if (targetPath == nullptr) return static_cast<uint32_t>(Fail(m, kErrorInvalidParameter));
    const std::vector<std::string> names = g_machine->DosNames();
    std::string text;
    if (deviceName == nullptr) {
      for (const std::string& name : names) text += name + '\0';
    } else {
      for (const std::string& name : names) {
        if (sim::EqualsIgnoreCase(name.c_str(), deviceName)) text = "\\Device\\" + name + '\0';
      }
      if (text.empty()) return static_cast<uint32_t>(Fail(m, kErrorFileNotFound));
    }
    text += '\0';  // closes the list
    if (text.size() > maxChars) return static_cast<uint32_t>(Fail(m, kErrorInsufficientBuffer));
    std::memcpy(targetPath, text.data(), text.size());
    m.lastError = 0;
    return static_cast<uint32_t>(text.size());
  }

  static uint32_t GetLastError() { return M().lastError; }

  static void* LocalAlloc(uint32_t flags, uint32_t bytes) {
    Impl& m = M();
    if (flags != 0 && flags != kLocalZeroInit) return Fail(m, kErrorInvalidParameter), nullptr;
    if (m.allocationsBeforeFailure == 0) {
      m.allocationsBeforeFailure = -1;  // one failure, then the heap recovers
      return Fail(m, kErrorNotEnoughMemory), nullptr;
    }
    if (m.allocationsBeforeFailure > 0) --m.allocationsBeforeFailure;
    void* block = std::malloc(bytes != 0 ? bytes : 1);
    if (block == nullptr) return Fail(m, kErrorNotEnoughMemory), nullptr;
    if (flags == kLocalZeroInit) std::memset(block, 0, bytes);
    m.blocks[block] = bytes;
    m.lastError = 0;
    return block;
  }

  static void* LocalFree(void* block) {
    Impl& m = M();
    if (block == nullptr) return nullptr;
    auto found = m.blocks.find(block);
    if (found == m.blocks.end()) {
      std::fprintf(stderr,
                   "simulated machine: LocalFree of %p, which is not a live block "
                   "(freed twice, or never allocated here)\n",
                   block);
      std::abort();
    }
    std::free(block);
    m.blocks.erase(found);
    m.lastError = 0;
    return nullptr;
  }

  // Run-time lookup of library entry points.

  static Module GetModuleHandleA(const char* name) {
    Impl& m = M();
    if (name == nullptr) return &g_exeModule;
    if (IsName(name, "setupapi.dll", "setupapi")) return &g_setupapiModule;
    if (IsName(name, "kernel32.dll", "kernel32")) return &g_kernelModule;
    if (IsName(name, "hid.dll", "hid") && m.hidLoaded) return &g_hidModule;
    return Fail(m, SimError::kModNotFound), nullptr;
  }

  static Module LoadLibraryA(const char* name) {
    Impl& m = M();
    ++m.loadLibraryCalls;
    if (name == nullptr) return Fail(m, kErrorInvalidParameter), nullptr;
    if (IsName(name, "setupapi.dll", "setupapi")) return &g_setupapiModule;
    if (IsName(name, "kernel32.dll", "kernel32")) return &g_kernelModule;
    if (IsName(name, "hid.dll", "hid") && !m.failLoadLibrary) {
      m.hidLoaded = true;
      m.lastError = 0;
      return &g_hidModule;
    }
    return Fail(m, SimError::kModNotFound), nullptr;
  }

  static Proc GetProcAddress(Module module, const char* name) {
    Impl& m = M();
    ++m.getProcAddressCalls;
    for (int i = 0; name != nullptr && i < kProcCount; ++i) {
      if (std::strcmp(name, kProcNames[i]) != 0) continue;  // export names are case-sensitive
      const Module home = i <= kProcInterfaceDetail ? Module{&g_setupapiModule} : &g_hidModule;
      if (module != home || (home == &g_hidModule && !m.hidLoaded)) break;
      if (m.failedProcs.count(name) != 0) break;
      m.lastError = 0;
      return ProcOf(static_cast<ProcIndex>(i));
    }
    return Fail(m, SimError::kProcNotFound), nullptr;
  }

  // SetupAPI.

  static sim::InfoSet* SetAt(Impl& m, DevInfoSet set) {
    auto found = m.sets.find(set);
    if (found == m.sets.end()) {
      m.lastError = SimError::kInvalidHandle;
      return nullptr;
    }
    return &found->second;
  }

  // Records handed out carry the set's serial and the member index, so a record from another
  // set, or one the caller made up, is refused as Windows refuses it.
  static uint32_t Tag(const sim::InfoSet& set, uint32_t index) {
    return (set.serial << 16) | (index + 1);
  }
  // Device elements carry this bit in their tag; interfaces do not.
  static constexpr uint32_t kElementTag = 0x8000;

  static const Device* ElementOf(Impl& m, const sim::InfoSet& set, uint32_t tag) {
    const std::vector<int>& list = (tag & kElementTag) != 0 ? set.elements : set.devices;
    const uint32_t index = (tag & 0x7FFF) - 1;
    if ((tag >> 16) != (set.serial & 0xFFFF) || (tag & 0x7FFF) == 0 || index >= list.size()) {
      m.lastError = kErrorInvalidParameter;
      return nullptr;
    }
    return &m.devices[static_cast<size_t>(list[index])];
  }

  static DevInfoSet SetupDiGetClassDevsA(const Guid* classGuid, uint32_t flags) {
    Impl& m = M();
    ++m.classDevsCalls;
    if (classGuid == nullptr || flags != (kDigcfPresent | kDigcfDeviceInterface)) {
      return Fail(m, kErrorInvalidParameter), kInvalidSet;
    }
    sim::InfoSet set;
    set.guid = *classGuid;
    set.serial = m.nextSetSerial++;
    const bool hid = SameGuid(*classGuid, sim::kHidClassGuid);
    const bool usb = SameGuid(*classGuid, sim::kUsbDriverGuid);
    for (size_t i = 0; i < m.devices.size(); ++i) {
      const Device& device = m.devices[i];
      if (!device.present) continue;
      const bool isUsb = device.deviceClass == DeviceClass::kUsbToken;
      if ((hid && !isUsb) || (usb && isUsb)) set.devices.push_back(static_cast<int>(i));
    }
    // Wine keeps the elements of unplugged devices in a set of present ones.
    if (m.staleDeviceElements) {
      for (size_t i = 0; i < m.devices.size(); ++i) {
        const Device& device = m.devices[i];
        const bool isUsb = device.deviceClass == DeviceClass::kUsbToken;
        if (!device.present && ((hid && !isUsb) || (usb && isUsb))) {
          set.elements.push_back(static_cast<int>(i));
        }
      }
    }
    set.elements.insert(set.elements.end(), set.devices.begin(), set.devices.end());
    const DevInfoSet handle = 0x5E700000u + set.serial * 0x10u;
    m.sets[handle] = std::move(set);
    m.lastError = 0;
    return handle;
  }

  static int32_t SetupDiEnumDeviceInfo(DevInfoSet setHandle, uint32_t index, DeviceInfoData* data) {
    Impl& m = M();
    sim::InfoSet* set = SetAt(m, setHandle);
    if (set == nullptr) return 0;
    if (data == nullptr || data->size != sizeof(DeviceInfoData)) {
      return Fail(m, SimError::kInvalidUserBuffer);
    }
    if (index >= set->elements.size()) return Fail(m, kErrorNoMoreItems);
    const Device& device = m.devices[static_cast<size_t>(set->elements[index])];
    data->classGuid =
        device.deviceClass == DeviceClass::kUsbToken ? kUsbSetupClass : kHidSetupClass;
    data->devInst = static_cast<uint32_t>(set->devices[index]) + 1;
    data->reserved = Tag(*set, index) | kElementTag;
    m.lastError = 0;
    return 1;
  }

  static int32_t SetupDiGetDeviceRegistryPropertyA(DevInfoSet setHandle, DeviceInfoData* data,
                                                   uint32_t property, uint32_t* regType,
                                                   uint8_t* buffer, uint32_t bufferSize,
                                                   uint32_t* requiredSize) {
    Impl& m = M();
    sim::InfoSet* set = SetAt(m, setHandle);
    if (set == nullptr) return 0;
    if (data == nullptr || data->size != sizeof(DeviceInfoData)) {
      return Fail(m, SimError::kInvalidUserBuffer);
    }
    const Device* device = ElementOf(m, *set, data->reserved);
    if (device == nullptr) return 0;
    if (property != kSpdrpHardwareId || device->hardwareIds.empty()) {
      return Fail(m, kErrorInvalidData);  // the device has no such property
    }
    const uint32_t needed = static_cast<uint32_t>(device->hardwareIds.size());
    if (regType != nullptr) *regType = kRegMultiSz;
    if (requiredSize != nullptr) *requiredSize = needed;
    if (buffer == nullptr && bufferSize != 0) return Fail(m, SimError::kInvalidUserBuffer);
    if (bufferSize < needed) return Fail(m, kErrorInsufficientBuffer);
    std::memcpy(buffer, device->hardwareIds.data(), needed);
    m.lastError = 0;
    return 1;
  }

  static int32_t SetupDiDestroyDeviceInfoList(DevInfoSet set) {
    Impl& m = M();
    if (m.sets.erase(set) == 0) return Fail(m, SimError::kInvalidHandle);
    m.lastError = 0;
    return 1;
  }

  static int32_t SetupDiEnumDeviceInterfaces(Proc entry, DevInfoSet setHandle,
                                             const Guid* classGuid, uint32_t index,
                                             DeviceInterfaceData* data) {
    Impl& m = M();
    if (!CheckEntry(m, entry, kProcEnumInterfaces)) return 0;
    sim::InfoSet* set = SetAt(m, setHandle);
    if (set == nullptr) return 0;
    if (data == nullptr || data->size != sizeof(DeviceInterfaceData)) {
      return Fail(m, SimError::kInvalidUserBuffer);
    }
    if (classGuid == nullptr) return Fail(m, kErrorInvalidParameter);
    if (!SameGuid(*classGuid, set->guid) || index >= set->devices.size()) {
      return Fail(m, kErrorNoMoreItems);
    }
    data->interfaceClassGuid = set->guid;
    data->flags = kSpintActive;
    data->reserved = Tag(*set, index);
    m.lastError = 0;
    return 1;
  }

  static int32_t SetupDiGetDeviceInterfaceDetailA(Proc entry, DevInfoSet setHandle,
                                                  DeviceInterfaceData* data, void* detail,
                                                  uint32_t detailSize, uint32_t* requiredSize,
                                                  DeviceInfoData* deviceInfo) {
    Impl& m = M();
    if (!CheckEntry(m, entry, kProcInterfaceDetail)) return 0;
    sim::InfoSet* set = SetAt(m, setHandle);
    if (set == nullptr) return 0;
    if (data == nullptr || data->size != sizeof(DeviceInterfaceData)) {
      return Fail(m, SimError::kInvalidUserBuffer);
    }
    const Device* device = ElementOf(m, *set, data->reserved);
    if (device == nullptr) return 0;
    // The record: its size field, then the path and its NUL.
    const uint32_t needed = 4 + static_cast<uint32_t>(device->path.size()) + 1;
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr) {
      return Fail(m, detailSize == 0 ? kErrorInsufficientBuffer : SimError::kInvalidUserBuffer);
    }
    uint32_t sizeField = 0;
    if (detailSize >= 4) std::memcpy(&sizeField, detail, 4);
    if (sizeField != kInterfaceDetailSizeField) return Fail(m, SimError::kInvalidUserBuffer);
    if (detailSize < needed) return Fail(m, kErrorInsufficientBuffer);
    std::memcpy(static_cast<uint8_t*>(detail) + 4, device->path.c_str(), device->path.size() + 1);
    if (deviceInfo != nullptr) {
      if (deviceInfo->size != sizeof(DeviceInfoData)) return Fail(m, SimError::kInvalidUserBuffer);
      const int id = set->devices[(data->reserved & 0x7FFF) - 1];
      for (uint32_t i = 0; i < set->elements.size(); ++i) {
        if (set->elements[i] != id) continue;
        deviceInfo->classGuid =
            device->deviceClass == DeviceClass::kUsbToken ? kUsbSetupClass : kHidSetupClass;
        deviceInfo->devInst = static_cast<uint32_t>(id) + 1;
        deviceInfo->reserved = Tag(*set, i) | kElementTag;
      }
    }
    m.lastError = 0;
    return 1;
  }

  static int32_t MessageBoxA(const char* text, const char* caption, uint32_t flags) {
    Impl& m = M();
    m.messageBoxes.push_back(
        {text != nullptr ? text : "", caption != nullptr ? caption : "", flags});
    return 1;  // IDOK
  }

  static constexpr PlatformOps kOps = {
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
};

void SimMachine::Install() {
  g_machine = this;
  InstallPlatform(&SimOps::kOps);
}
