// The simulated machine's public face: what a test attaches, unplugs, breaks and reads back.
#include "platform/sim/sim_machine.h"

#include <cstdio>
#include <cstdlib>

#include "platform/sim/sim_internal.h"

namespace sim {

bool EqualsIgnoreCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a;
    char y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "simulated machine: %s\n", what);
  std::abort();
}

std::string Hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// "HID\VID_046D&PID_C31C&REV_6400" -> "vid_046d&pid_c31c", the middle part of its path.
std::string PathPartOf(const std::string& hardwareId) {
  std::string part = hardwareId.substr(hardwareId.find('\\') + 1);
  const size_t rev = part.find("&REV");
  if (rev != std::string::npos) part.resize(rev);
  for (char& c : part) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '\\' || c == '#') c = '_';
  }
  return part.empty() ? "other" : part;
}

std::string MultiSz(const std::string& first, const std::string& second = "") {
  std::string ids = first;
  ids.push_back('\0');
  if (!second.empty()) {
    ids += second;
    ids.push_back('\0');
  }
  ids.push_back('\0');
  return ids;
}

}  // namespace

std::string Impl::PathOf(const Device& device) const {
  if (device.explicitPath || device.deviceClass != DeviceClass::kUsbToken || !IsNt4()) {
    return device.path;
  }
  return "\\\\.\\" + device.dosName;  // NT 4.0 reaches the driver through its DOS name
}

void Impl::Attach(int token, SimMode mode) {
  TokenEntry& entry = tokens[static_cast<size_t>(token)];
  Device device;
  device.token = token;
  ++attachCount;
  // The path a test gave holds for the mode it gave; another mode gets its own path.
  device.explicitPath = !entry.spec.path.empty() && mode == entry.spec.mode;
  if (mode == SimMode::kHid) {
    device.deviceClass = DeviceClass::kHidToken;
    device.path = "\\\\?\\hid#vid_0471&pid_485e#7&" + Hex8(0x2f1a3c00u + attachCount * 0x1f3u) +
                  "&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    if (entry.spec.hardwareId.empty()) {
      device.hardwareIds = MultiSz("HID\\VID_0471&PID_485E&REV_0100", "HID\\VID_0471&PID_485E");
    } else if (entry.spec.hardwareId != "-") {
      device.hardwareIds = MultiSz(entry.spec.hardwareId);
    }
  } else {
    device.deviceClass = DeviceClass::kUsbToken;
    char serial[16];
    std::snprintf(serial, sizeof serial, "TM%06d", token);
    device.path = std::string("\\\\?\\usb#vid_0471&pid_485f#") + serial +
                  "#{171638f7-1ead-4873-ba98-c966abcf0142}";
    device.hardwareIds = MultiSz("USB\\VID_0471&PID_485F&REV_0100", "USB\\VID_0471&PID_485F");
    // The driver names its devices DRAVEL20, DRAVEL21, ...: the lowest number not in use.
    for (int n = 0;; ++n) {
      const std::string name = "DRAVEL2" + std::to_string(n);
      bool used = false;
      for (const Device& other : devices) {
        if (other.present && other.dosName == name) used = true;
      }
      if (!used) {
        device.dosName = name;
        break;
      }
    }
  }
  if (device.explicitPath) {
    device.path = entry.spec.path;
    if (device.path.rfind("\\\\.\\", 0) == 0 && device.deviceClass == DeviceClass::kUsbToken) {
      device.dosName = device.path.substr(4);
    }
  }
  for (const Device& other : devices) {
    if (other.present && EqualsIgnoreCase(PathOf(other).c_str(), PathOf(device).c_str())) {
      Fail("two present devices with one path");
    }
  }
  entry.mode = mode;
  entry.device = static_cast<int>(devices.size());
  devices.push_back(std::move(device));
}

void Impl::Unplug(int token) {
  TokenEntry& entry = tokens[static_cast<size_t>(token)];
  if (entry.device >= 0) devices[static_cast<size_t>(entry.device)].present = false;
}

void Impl::Reattach(int token) {
  Unplug(token);
  TokenEntry& entry = tokens[static_cast<size_t>(token)];
  TokenReattach(&entry.model);
  Attach(token, entry.model.mode == TOKEN_MODE_USB ? SimMode::kUsb : SimMode::kHid);
}

void Impl::RunDueEvents() {
  if (events.empty()) return;
  const Clock::time_point now = Clock::now();
  for (size_t i = 0; i < events.size();) {
    if (events[i].due <= now) {
      const int token = events[i].token;
      events.erase(events.begin() + static_cast<std::ptrdiff_t>(i));
      Reattach(token);
    } else {
      ++i;
    }
  }
}

void Impl::NoteModeRequests(int token, uint32_t before) {
  const TokenEntry& entry = tokens[static_cast<size_t>(token)];
  if (entry.model.modeRequests == before || entry.spec.replugAfterMs < 0) return;
  for (const ReattachEvent& event : events) {
    if (event.token == token) return;  // one re-attach takes every switch stored before it
  }
  events.push_back({Clock::now() + std::chrono::milliseconds(entry.spec.replugAfterMs), token});
}

void Impl::SyncFaults(TokenEntry& entry) {
  entry.model.config.atrLength = entry.spec.faults.atrUnreadable ? 0 : entry.atrLength;
}

void Impl::Delay() const {
  if (latencyMicros == 0) return;
  const Clock::time_point end = Clock::now() + std::chrono::microseconds(latencyMicros);
  while (Clock::now() < end) {
  }
}

void Impl::Record(const char* operation, const Device& device, const void* sent,
                  uint32_t sentLength, bool ok, const void* returned, uint32_t returnedLength) {
  if (!logging) return;
  SimExchange exchange;
  exchange.operation = operation;
  exchange.path = PathOf(device);
  const auto* s = static_cast<const uint8_t*>(sent);
  const auto* r = static_cast<const uint8_t*>(returned);
  if (s != nullptr) exchange.sent.assign(s, s + sentLength);
  exchange.ok = ok;
  if (ok && r != nullptr) exchange.returned.assign(r, r + returnedLength);
  log.push_back(std::move(exchange));
}

}  // namespace sim

using sim::Impl;

SimMachine::SimMachine() : impl_(new Impl) {
  impl_->owner = this;
  impl_->events.reserve(64);
  impl_->handles.reserve(256);
}

SimMachine::~SimMachine() {
  sim::UninstallIfCurrent(this);
  for (auto& [block, size] : impl_->blocks) std::free(block);
  delete impl_;
}

void SimMachine::SetOs(uint32_t platformId, uint32_t majorVersion) {
  impl_->platformId = platformId;
  impl_->majorVersion = majorVersion;
}

int SimMachine::AddToken(const SimTokenSpec& spec) {
  sim::TokenEntry entry;
  entry.spec = spec;
  TokenConfig config{};
  if (!spec.atr.empty()) {
    config.atrLength = static_cast<uint8_t>(spec.atr.size() < 255 ? spec.atr.size() : 255);
    for (uint32_t i = 0; i < config.atrLength; ++i) config.atr[i] = spec.atr[i];
  } else {
    const uint32_t idLength = spec.identifier.size() < 8 ? spec.identifier.size() : 8;
    config.atrLength = static_cast<uint8_t>(
        TokenBuildAtr(spec.version, spec.identifier.data(), idLength, config.atr));
  }
  config.deviceType = spec.deviceType;
  config.deviceTypeStatus = spec.deviceTypeStatus;
  config.modeReplyLength =
      static_cast<uint8_t>(spec.modeReply.size() < 255 ? spec.modeReply.size() : 255);
  for (uint32_t i = 0; i < config.modeReplyLength; ++i) config.modeReply[i] = spec.modeReply[i];
  TokenInit(&entry.model, &config, spec.mode == SimMode::kUsb ? TOKEN_MODE_USB : TOKEN_MODE_HID);
  entry.atrLength = config.atrLength;
  impl_->tokens.push_back(std::move(entry));
  const int id = static_cast<int>(impl_->tokens.size()) - 1;
  impl_->Attach(id, spec.mode);
  return id;
}

void SimMachine::AddOtherHidDevice(const std::string& hardwareId) {
  sim::Device device;
  ++impl_->attachCount;
  device.deviceClass = sim::DeviceClass::kOtherHid;
  device.path = "\\\\?\\hid#" + sim::PathPartOf(hardwareId) + "#7&" +
                sim::Hex8(0x1c4e7700u + impl_->attachCount * 0x1f3u) +
                "&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  if (hardwareId != "-") device.hardwareIds = sim::MultiSz(hardwareId);
  impl_->devices.push_back(std::move(device));
}

void SimMachine::Unplug(int token) {
  impl_->Unplug(token);
}
void SimMachine::Reattach(int token) {
  impl_->Reattach(token);
}

bool SimMachine::IsPresent(int token) const {
  const int device = impl_->tokens.at(static_cast<size_t>(token)).device;
  return impl_->devices[static_cast<size_t>(device)].present;
}

std::string SimMachine::PathOf(int token) const {
  const int device = impl_->tokens.at(static_cast<size_t>(token)).device;
  return impl_->PathOf(impl_->devices[static_cast<size_t>(device)]);
}

SimMode SimMachine::ModeOf(int token) const {
  return impl_->tokens.at(static_cast<size_t>(token)).mode;
}
Token& SimMachine::TokenModel(int token) {
  return impl_->tokens.at(static_cast<size_t>(token)).model;
}
SimFaults& SimMachine::Faults(int token) {
  return impl_->tokens.at(static_cast<size_t>(token)).spec.faults;
}
int SimMachine::TokenCount() const {
  return static_cast<int>(impl_->tokens.size());
}

void SimMachine::FailAllocationsAfter(int successes) {
  impl_->allocationsBeforeFailure = successes;
}
void SimMachine::FailMutexCreation(bool fail) {
  impl_->failMutexCreation = fail;
}
void SimMachine::KeepStaleDeviceElements(bool keep) {
  impl_->staleDeviceElements = keep;
}
void SimMachine::AddDosName(const std::string& name) {
  impl_->extraDosNames.push_back(name);
}
void SimMachine::FailDosDeviceQuery(bool fail) {
  impl_->failDosQuery = fail;
}
void SimMachine::FailLoadLibrary(bool fail) {
  impl_->failLoadLibrary = fail;
}
void SimMachine::FailProcLookup(const std::string& name) {
  impl_->failedProcs.insert(name);
}
void SimMachine::SetTransferLatencyMicros(uint32_t micros) {
  impl_->latencyMicros = micros;
}

void SimMachine::SetNextWait(const std::string& mutexName, SimWait outcome) {
  for (sim::MutexObject& mutex : impl_->mutexes) {
    if (mutex.name == mutexName) {
      mutex.hasNextWait = true;
      mutex.nextWait = outcome;
      return;
    }
  }
  sim::MutexObject mutex;  // told before the library creates it
  mutex.name = mutexName;
  mutex.hasNextWait = true;
  mutex.nextWait = outcome;
  impl_->mutexes.push_back(std::move(mutex));
}

const std::vector<SimExchange>& SimMachine::Log() const {
  return impl_->log;
}
void SimMachine::ClearLog() {
  impl_->log.clear();
}
void SimMachine::SetLogging(bool on) {
  impl_->logging = on;
}
const std::vector<SimMessageBox>& SimMachine::MessageBoxes() const {
  return impl_->messageBoxes;
}

std::vector<std::string> SimMachine::DosNames() const {
  std::vector<std::string> names = {"COM1", "LPT1", "PhysicalDrive0", "C:", "NUL"};
  for (const sim::Device& device : impl_->devices) {
    if (device.present && !device.dosName.empty()) names.push_back(device.dosName);
  }
  names.insert(names.end(), impl_->extraDosNames.begin(), impl_->extraDosNames.end());
  return names;
}

int SimMachine::OpenDeviceHandles() const {
  return impl_->openDeviceHandles;
}
int SimMachine::OpenMutexHandles() const {
  return impl_->openMutexHandles;
}
int SimMachine::LiveAllocations() const {
  return static_cast<int>(impl_->blocks.size());
}
int SimMachine::LoadLibraryCalls() const {
  return impl_->loadLibraryCalls;
}
int SimMachine::GetProcAddressCalls() const {
  return impl_->getProcAddressCalls;
}
int SimMachine::SetupDiGetClassDevsCalls() const {
  return impl_->classDevsCalls;
}
int SimMachine::LiveDeviceInfoSets() const {
  return static_cast<int>(impl_->sets.size());
}
int SimMachine::BadEntryCalls() const {
  return impl_->badEntryCalls;
}
std::vector<std::string> SimMachine::MutexNamesCreated() const {
  return impl_->mutexNamesCreated;
}

bool SimMachine::MutexHeld(const std::string& name) const {
  for (const sim::MutexObject& mutex : impl_->mutexes) {
    if (mutex.name == name) return mutex.ownerCount > 0;
  }
  return false;
}

void SimMachine::RunDueEvents() {
  impl_->RunDueEvents();
}
