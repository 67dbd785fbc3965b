// A fault soak on the simulated machine: thousands of random sequences of enumerate, open,
// control and close on several tokens of both kinds, with faults injected at random points.
// After every step the registry's invariants hold and the machine holds exactly the handles
// and mutexes of the open slots, and those a refresh left to tokens that vanished while open
// (kept so that no later opening can reuse a stale context's handle); at the end of a
// sequence, with every context closed and every token unplugged, nothing else is left.
//
// TOKENMODE_SOAK_SEED (default 1) and TOKENMODE_SOAK_SEQUENCES (default 5000) choose the run;
// sequence i uses seed + i, and a failure prints the seed that replays it alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "device/discovery.h"
#include "device/registry.h"
#include "io/hid_transport.h"
#include "tests/library_fixture.h"

namespace {

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// Versions and device-type bytes around the mode switch's gates.
constexpr uint16_t kVersions[] = {0x0200, 0x0205, 0x022F, 0x0230, 0x0240};
constexpr uint8_t kDeviceTypes[] = {0x05, 0x85, 0x00, 0xC3};

class Soak {
 public:
  explicit Soak(uint64_t seed) : seed_(seed), random_(seed) {}

  // Runs one sequence; false with `failure` set when a check broke.
  bool Run(std::string* failure);

  std::map<std::string, int> steps;
  std::map<std::string, int> faults;

 private:
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(random_() % n); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }

  void AddTokens();
  std::string Step();
  std::string Operation();
  std::string Fault();
  std::string Check(const char* when);
  std::string Finish();
  std::string MutexNameOf(int token);
  Result Enumerate(DeviceContext* contexts, uint32_t* size);

  uint64_t seed_;
  std::mt19937_64 random_;
  SimMachine machine_;
  int tokens_ = 0;
  std::vector<DeviceContext> listed_;  // the last enumeration's records
  std::vector<DeviceContext> opened_;  // contexts whose opening succeeded, not yet closed
  int vanishedHandles_ = 0;            // left open with slots freed while open
  int vanishedMutexes_ = 0;
};

// EnumDevices, counting the handle and mutex of every open slot its refresh frees.
Result Soak::Enumerate(DeviceContext* contexts, uint32_t* size) {
  struct Open {
    uint32_t index;
    Handle handle;
    Handle mutex;
  };
  std::vector<Open> before;
  for (uint32_t i = 0; i < MAX_DEVICE_SLOTS; ++i) {
    const DeviceSlot& slot = DeviceRegistry[i];
    if (slot.kind != DEVICE_KIND_FREE && slot.handle != kInvalidHandle) {
      before.push_back({i, slot.handle, slot.mutex});
    }
  }
  const Result result = EnumDevices(contexts, size);
  for (const Open& open : before) {
    const DeviceSlot& slot = DeviceRegistry[open.index];
    if (slot.kind != DEVICE_KIND_FREE && slot.handle == open.handle) continue;
    ++vanishedHandles_;
    vanishedMutexes_ += open.mutex != 0;
  }
  return result;
}

void Soak::AddTokens() {
  if (OneIn(8)) {
    machine_.SetOs(kPlatformIdNt, 4);  // only the USB driver's tokens are found there
    ++faults["nt4"];
  }
  tokens_ = 2 + static_cast<int>(Below(3));
  for (int i = 0; i < tokens_; ++i) {
    SimTokenSpec spec;
    spec.mode = OneIn(2) ? SimMode::kHid : SimMode::kUsb;
    spec.version = kVersions[Below(std::size(kVersions))];
    spec.deviceType = kDeviceTypes[Below(std::size(kDeviceTypes))];
    spec.identifier = {static_cast<uint8_t>(i), 2, 3, 4, 5, 6, 7, 8};
    machine_.AddToken(spec);
  }
  if (OneIn(3)) machine_.AddOtherHidDevice("HID\\Vid_046d&Pid_c077");
}

std::string Soak::MutexNameOf(int token) {
  char name[MUTEX_NAME_CAPACITY];
  MakeMutexName(machine_.PathOf(token).c_str(), name);
  return name;
}

std::string Soak::Operation() {
  switch (Below(8)) {
    case 0:
    case 1: {
      uint32_t size = 0;
      Result result = Enumerate(nullptr, &size);
      listed_.assign(size / DEVICE_CONTEXT_SIZE, DeviceContext{});
      if (result == RESULT_BUFFER_TOO_SMALL) result = Enumerate(listed_.data(), &size);
      if (result == RESULT_SUCCESS) listed_.resize(size / DEVICE_CONTEXT_SIZE);
      ++steps["enumerate"];
      return "enumerate";
    }
    case 2:
    case 3: {
      if (listed_.empty()) return "open (nothing listed)";
      DeviceContext context = listed_[Below(static_cast<uint32_t>(listed_.size()))];
      const Result result = OpenDevice(&context);
      if (result == RESULT_SUCCESS) opened_.push_back(context);
      ++steps["open"];
      return "open slot " + std::to_string(context.slotIndex) + " -> " + ResultName(result);
    }
    case 4:
    case 5: {
      if (opened_.empty()) return "control (nothing open)";
      DeviceContext& context = opened_[Below(static_cast<uint32_t>(opened_.size()))];
      const uint32_t code = OneIn(2) ? CONTROL_USB_MODE : CONTROL_HID_MODE;
      uint8_t out[4];
      uint32_t outLength = 0;
      const Result result = ControlDevice(&context, code, nullptr, 0, out, sizeof out, &outLength);
      ++steps[result == RESULT_SUCCESS ? "control (mode switch accepted)" : "control"];
      return "control slot " + std::to_string(context.slotIndex) + " -> " + ResultName(result);
    }
    default: {
      if (opened_.empty()) return "close (nothing open)";
      const size_t index = Below(static_cast<uint32_t>(opened_.size()));
      DeviceContext context = opened_[index];
      opened_.erase(opened_.begin() + static_cast<std::ptrdiff_t>(index));
      const Result result = CloseDevice(&context);
      ++steps["close"];
      return "close slot " + std::to_string(context.slotIndex) + " -> " + ResultName(result);
    }
  }
}

std::string Soak::Fault() {
  const int token = static_cast<int>(Below(static_cast<uint32_t>(tokens_)));
  SimFaults& f = machine_.Faults(token);
  const std::string on = " token " + std::to_string(token);
  std::string name;
  switch (Below(13)) {
    case 0:
      machine_.Unplug(token);
      name = "unplug";
      break;
    case 1: {
      const SimMode before = machine_.ModeOf(token);
      machine_.Reattach(token);
      name = machine_.ModeOf(token) != before ? "reattach, mode switched" : "reattach";
      break;
    }
    case 2:
      f.refuseTransact = !f.refuseTransact;
      name = "refuse one-shot exchange";
      break;
    case 3:
      f.refuseReadAtr = !f.refuseReadAtr;
      name = "refuse answer-to-reset read";
      break;
    case 4:
      f.receiveFailures = 1 + Below(12);
      name = "receive failures";
      break;
    case 5:
      f.getTimeouts = 1 + Below(12);
      name = "get time-outs";
      break;
    case 6:
      f.getsNeverAnswer = !f.getsNeverAnswer;
      name = "gets never answer";
      break;
    case 7:
      f.atrUnreadable = !f.atrUnreadable;
      name = "answer-to-reset unreadable";
      break;
    case 8:
      f.unopenable = !f.unopenable;
      name = "device file unopenable";
      break;
    case 9:
      machine_.FailAllocationsAfter(static_cast<int>(Below(6)));
      name = "failing allocation";
      break;
    case 10: {
      static constexpr SimWait kWaits[] = {SimWait::kAbandoned, SimWait::kTimeout,
                                           SimWait::kFailed};
      machine_.SetNextWait(MutexNameOf(token), kWaits[Below(3)]);
      name = "abandoned or failed mutex wait";
      break;
    }
    case 11:
      machine_.FailMutexCreation(OneIn(2));
      name = "failing mutex creation";
      break;
    default: {
      // Another holder of the token's mutex goes away without releasing it.
      machine_.SetNextWait(MutexNameOf(token), SimWait::kAbandoned);
      name = "abandoned or failed mutex wait";
      break;
    }
  }
  ++faults[name];
  return "fault: " + name + on;
}

std::string Soak::Step() {
  return OneIn(3) ? Fault() : Operation();
}

// The library's holdings between operations: the registry's invariants, one device handle and
// at most one mutex per open slot and nothing else, no mutex owned, no block or set kept.
std::string Soak::Check(const char* when) {
  const testing::AssertionResult invariants = RegistryInvariantsHold();
  if (!invariants) return std::string(when) + ": " + invariants.message();
  int handles = vanishedHandles_;
  int mutexes = vanishedMutexes_;
  for (const DeviceSlot& slot : DeviceRegistry) {
    if (slot.kind == DEVICE_KIND_FREE) continue;
    handles += slot.handle != kInvalidHandle;
    mutexes += slot.mutex != 0;
  }
  char text[200];
  if (machine_.OpenDeviceHandles() != handles || machine_.OpenMutexHandles() != mutexes) {
    snprintf(text, sizeof text,
             "%s: machine holds %d device and %d mutex handles, open slots %d and %d", when,
             machine_.OpenDeviceHandles(), machine_.OpenMutexHandles(), handles, mutexes);
    return text;
  }
  if (machine_.LiveAllocations() != 0 || machine_.LiveDeviceInfoSets() != 0) {
    snprintf(text, sizeof text, "%s: %d blocks and %d device information sets left", when,
             machine_.LiveAllocations(), machine_.LiveDeviceInfoSets());
    return text;
  }
  for (int token = 0; token < tokens_; ++token) {
    if (machine_.MutexHeld(MutexNameOf(token))) {
      return std::string(when) + ": token " + std::to_string(token) + "'s mutex still owned";
    }
  }
  return "";
}

std::string Soak::Finish() {
  machine_.FailAllocationsAfter(-1);
  machine_.FailMutexCreation(false);
  for (DeviceContext& context : opened_) CloseDevice(&context);
  opened_.clear();
  for (int token = 0; token < tokens_; ++token) machine_.Unplug(token);
  uint32_t size = 0;
  const Result result = Enumerate(nullptr, &size);
  if (result != RESULT_SUCCESS || size != 0) return "end: tokens still listed after unplugging all";
  const std::string broken = Check("end");
  if (!broken.empty()) return broken;
  if (machine_.OpenDeviceHandles() != vanishedHandles_ ||
      machine_.OpenMutexHandles() != vanishedMutexes_) {
    return "end: handles left open";
  }
  return "";
}

bool Soak::Run(std::string* failure) {
  machine_.Install();
  machine_.SetLogging(false);
  InitRegistry();
  ForgetSetupApiEntryPoints();
  ForgetHidEntryPoints();
  AddTokens();
  const int count = 10 + static_cast<int>(Below(40));
  std::string trail;
  for (int step = 1; step <= count; ++step) {
    const std::string what = Step();
    trail += "\n  " + std::to_string(step) + ". " + what;
    const std::string broken = Check(what.c_str());
    if (!broken.empty()) {
      *failure = "step " + std::to_string(step) + " of seed " + std::to_string(seed_) + ": " +
                 broken + "\nsteps so far:" + trail;
      return false;
    }
  }
  const std::string broken = Finish();
  if (!broken.empty()) {
    *failure = "seed " + std::to_string(seed_) + ": " + broken + "\nsteps:" + trail;
    return false;
  }
  return true;
}

TEST(FaultSoak, RegistryIntactAndNothingLeftAfterRandomFaults) {
  const uint64_t seed = EnvNumber("TOKENMODE_SOAK_SEED", 1);
  const uint64_t sequences = EnvNumber("TOKENMODE_SOAK_SEQUENCES", 5000);
  std::map<std::string, int> steps;
  std::map<std::string, int> faults;
  for (uint64_t i = 0; i < sequences; ++i) {
    Soak soak(seed + i);
    std::string failure;
    const bool ok = soak.Run(&failure);
    for (const auto& [name, n] : soak.steps) steps[name] += n;
    for (const auto& [name, n] : soak.faults) faults[name] += n;
    ASSERT_TRUE(ok) << failure << "\nreplay: TOKENMODE_SOAK_SEED=" << seed + i
                    << " TOKENMODE_SOAK_SEQUENCES=1";
  }
  int totalSteps = 0;
  int totalFaults = 0;
  for (const auto& [name, n] : steps) totalSteps += n;
  for (const auto& [name, n] : faults) totalFaults += n;
  printf("soak: seed %llu, %llu sequences, %d operations, %d faults injected\n",
         static_cast<unsigned long long>(seed), static_cast<unsigned long long>(sequences),
         totalSteps, totalFaults);
  for (const auto& [name, n] : steps) printf("  operation %-34s %7d\n", name.c_str(), n);
  for (const auto& [name, n] : faults) printf("  fault     %-34s %7d\n", name.c_str(), n);
}

}  // namespace
