// The simulated machine's state, shared by its public face (sim_machine.cpp) and the platform
// operations it serves (sim_ops.cpp). Not for use outside platform/sim.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_machine.h"
#include "token/token.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// Interface class GUIDs in memory layout.
inline constexpr Guid kHidClassGuid = {{0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11, 0x88, 0xCB,
                                        0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
inline constexpr Guid kUsbDriverGuid = {{0xF7, 0x38, 0x16, 0x17, 0xAD, 0x1E, 0x73, 0x48, 0xBA, 0x98,
                                         0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};

inline constexpr uint32_t kIoctlSendSetup = 0x22000C;
inline constexpr uint32_t kIoctlReceive = 0x220010;
inline constexpr uint32_t kIoctlReadAtr = 0x220024;
inline constexpr uint32_t kIoctlTransact = 0x220028;
inline constexpr uint32_t kMaxIoctlInput = 1024;

enum class DeviceClass { kHidToken, kUsbToken, kOtherHid };

// One attachment of a device. A re-attached token gets a new record; handles opened on the
// old one stay bound to it and go stale with it.
struct Device {
  DeviceClass deviceClass = DeviceClass::kOtherHid;
  int token = -1;           // -1: not a token
  std::string path;         // its device-interface path, or the path a test gave
  std::string dosName;      // tokens on the USB driver: the DOS device name it creates
  std::string hardwareIds;  // REG_MULTI_SZ, closing NUL included; empty: no such property
  bool explicitPath = false;
  bool present = true;
  std::vector<uint32_t> openHandles;  // indexes into Impl::handles
};

struct TokenEntry {
  SimTokenSpec spec;
  Token model{};
  uint8_t atrLength = 0;  // the model's own, hidden while the atrUnreadable fault is on
  int device = -1;        // its present (or last) attachment
  SimMode mode = SimMode::kHid;
};

struct HandleEntry {
  enum Kind : uint8_t { kClosed, kDevice, kMutex };
  Kind kind = kClosed;
  int object = -1;  // index of the device or the mutex
  uint32_t access = 0;
  uint32_t share = 0;
};

struct MutexObject {
  std::string name;
  int handles = 0;
  uint32_t ownerCount = 0;  // recursive ownership, as Windows mutexes count it
  bool hasNextWait = false;
  SimWait nextWait = SimWait::kAcquire;
};

struct InfoSet {
  Guid guid{};
  std::vector<int> devices;   // snapshot taken at creation, in attach order
  std::vector<int> elements;  // the device elements: the devices, after stale ones if kept
  uint32_t serial = 0;        // tags the records handed out, so a stray record is caught
};

struct ReattachEvent {
  Clock::time_point due;
  int token;
};

struct Impl {
  SimMachine* owner = nullptr;
  uint32_t platformId = kPlatformIdNt;
  uint32_t majorVersion = 10;

  std::deque<TokenEntry> tokens;  // a deque keeps references stable as tokens are added
  std::deque<Device> devices;
  std::vector<HandleEntry> handles;  // handle value = kHandleBase + 4 * index, never reused
  std::deque<MutexObject> mutexes;
  std::map<DevInfoSet, InfoSet> sets;
  uint32_t nextSetSerial = 1;
  std::unordered_map<void*, uint32_t> blocks;  // LocalAlloc blocks and their sizes
  std::vector<ReattachEvent> events;

  std::vector<SimExchange> log;
  bool logging = true;
  std::vector<SimMessageBox> messageBoxes;
  std::vector<std::string> mutexNamesCreated;

  uint32_t lastError = 0;
  int allocationsBeforeFailure = -1;
  bool failMutexCreation = false;
  bool failDosQuery = false;
  bool staleDeviceElements = false;
  std::vector<std::string> extraDosNames;  // names no device stands behind
  bool failLoadLibrary = false;
  std::set<std::string> failedProcs;
  uint32_t latencyMicros = 0;
  bool hidLoaded = false;

  int openDeviceHandles = 0;
  int openMutexHandles = 0;
  int loadLibraryCalls = 0;
  int getProcAddressCalls = 0;
  int classDevsCalls = 0;
  int badEntryCalls = 0;
  uint32_t attachCount = 0;

  bool IsNt4() const { return platformId == kPlatformIdNt && majorVersion == 4; }
  std::string PathOf(const Device& device) const;
  void Attach(int token, SimMode mode);
  void Unplug(int token);
  void Reattach(int token);
  void RunDueEvents();
  void NoteModeRequests(int token, uint32_t before);
  void SyncFaults(TokenEntry& entry);
  void Delay() const;
  void Record(const char* operation, const Device& device, const void* sent, uint32_t sentLength,
              bool ok, const void* returned, uint32_t returnedLength);
};

inline constexpr uint32_t kHandleBase = 0x40;

bool EqualsIgnoreCase(const char* a, const char* b);
// The destructor's half of Install: the platform is left without a backend.
void UninstallIfCurrent(const SimMachine* machine);

}  // namespace sim
