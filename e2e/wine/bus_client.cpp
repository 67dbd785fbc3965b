#include "e2e/wine/bus_client.h"

#include <newdev.h>
#include <setupapi.h>

#include <cstring>

namespace {

const char kBusHardwareId[] = "root\\tokenbus\0";  // a list: ends with an empty string
const char kBusInstance[] = "ROOT\\TOKENBUS\\0000";
// The "System" setup class.
const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string LastError(const char* what) {
  return std::string(what) + " failed, error " + std::to_string(GetLastError());
}

HANDLE OpenBus() {
  return CreateFileA(TOKENBUS_DOS_NAME, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

std::string InstallBus(const char* infPath) {
  char fullPath[MAX_PATH];
  if (!GetFullPathNameA(infPath, MAX_PATH, fullPath, nullptr)) return LastError("GetFullPathName");

  HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return LastError("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  std::string failure;
  if (!SetupDiCreateDeviceInfoA(set, kBusInstance, &kSystemClass, nullptr, nullptr, 0, &device)) {
    // Already registered in this prefix: the driver update below brings it back.
    if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS)
      failure = LastError("SetupDiCreateDeviceInfo");
  } else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(kBusHardwareId),
                                                sizeof kBusHardwareId)) {
    failure = LastError("SetupDiSetDeviceRegistryProperty");
  } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
    failure = LastError("DIF_REGISTERDEVICE");
  }
  SetupDiDestroyDeviceInfoList(set);
  if (!failure.empty()) return failure;

  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, kBusHardwareId, fullPath, INSTALLFLAG_FORCE,
                                          &reboot))
    return LastError("UpdateDriverForPlugAndPlayDevices");
  // Wine answers TRUE even when nothing matched: the control device opening is the proof.
  for (int i = 0; i < 100; i++) {
    HANDLE bus = OpenBus();
    if (bus != INVALID_HANDLE_VALUE) {
      CloseHandle(bus);
      return "";
    }
    Sleep(50);
  }
  return "the bus did not start (no \\\\.\\TokenBus after 5 s)";
}

std::string RemoveBus() {
  HDEVINFO set = SetupDiGetClassDevsA(&kSystemClass, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return LastError("SetupDiGetClassDevs");
  std::string failure = "no bus device";
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); i++) {
    char id[256];
    if (!SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr)) continue;
    if (lstrcmpiA(id, kBusInstance) != 0) continue;
    failure = SetupDiCallClassInstaller(DIF_REMOVE, set, &device) ? "" : LastError("DIF_REMOVE");
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return failure;
}

bool BusCall(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
             DWORD* returned) {
  HANDLE bus = OpenBus();
  if (bus == INVALID_HANDLE_VALUE) return false;
  DWORD count = 0;
  BOOL ok =
      DeviceIoControl(bus, code, const_cast<void*>(in), inLength, out, outLength, &count, nullptr);
  DWORD error = GetLastError();
  CloseHandle(bus);
  if (returned) *returned = count;
  SetLastError(error);
  return ok != FALSE;
}

BusPlug MakePlug(uint32_t slot, const TokenSpec& spec) {
  BusPlug plug = {};
  plug.faults.slot = slot;
  plug.faults.refuse = spec.refuse;
  plug.faults.reattachDelay = spec.reattachDelay;
  plug.faults.pullDelay = spec.pullDelay;
  plug.mode = spec.mode;
  TokenConfig& config = plug.config;
  if (!spec.atr.empty()) {
    config.atrLength = static_cast<uint8_t>(spec.atr.size());
    memcpy(config.atr, spec.atr.data(), spec.atr.size());
  } else if (!spec.noAtr) {
    config.atrLength = static_cast<uint8_t>(
        TokenBuildAtr(spec.version, spec.identifier.data(),
                      static_cast<uint32_t>(spec.identifier.size()), config.atr));
  }
  config.deviceType = spec.deviceType;
  config.deviceTypeStatus = spec.deviceTypeStatus;
  config.modeReplyLength = static_cast<uint8_t>(spec.modeReply.size());
  if (!spec.modeReply.empty())
    memcpy(config.modeReply, spec.modeReply.data(), spec.modeReply.size());
  return plug;
}

bool Plug(uint32_t slot, const TokenSpec& spec) {
  BusPlug plug = MakePlug(slot, spec);
  return BusCall(IOCTL_TOKENBUS_PLUG, &plug, sizeof plug);
}

bool Unplug(uint32_t slot) {
  BusSlot ask = {slot, 0};
  return BusCall(IOCTL_TOKENBUS_UNPLUG, &ask, sizeof ask);
}

bool Reattach(uint32_t slot) {
  BusSlot ask = {slot, 0};
  return BusCall(IOCTL_TOKENBUS_REATTACH, &ask, sizeof ask);
}

bool SetFaults(uint32_t slot, uint32_t refuse, uint32_t reattachDelay, uint32_t pullDelay) {
  BusFaults faults = {slot, refuse, reattachDelay, pullDelay};
  return BusCall(IOCTL_TOKENBUS_CONFIGURE, &faults, sizeof faults);
}

bool QueryToken(uint32_t slot, bool clearLog, TokenState* state) {
  std::vector<uint8_t> out(sizeof(BusStatus) + BUS_LOG_BYTES);
  BusSlot ask = {slot, clearLog ? 1u : 0u};
  DWORD count = 0;
  if (!BusCall(IOCTL_TOKENBUS_QUERY, &ask, sizeof ask, out.data(), static_cast<DWORD>(out.size()),
               &count) ||
      count < sizeof(BusStatus))
    return false;
  memcpy(&state->status, out.data(), sizeof(BusStatus));
  state->log.clear();
  size_t at = sizeof(BusStatus);
  size_t end = at + state->status.logLength;
  while (at + sizeof(BusLogEntry) <= end) {
    BusLogEntry entry;
    memcpy(&entry, out.data() + at, sizeof entry);
    at += sizeof entry;
    if (at + entry.length > end) break;
    LoggedRequest request = {entry.op, entry.result, entry.capacity,
                             std::vector<uint8_t>(out.data() + at, out.data() + at + entry.length)};
    state->log.push_back(request);
    at += entry.length;
  }
  return true;
}

const char* LogOpName(uint8_t op) {
  switch (op) {
    case BUS_LOG_SEND_SETUP:
      return "send-setup";
    case BUS_LOG_RECEIVE:
      return "receive";
    case BUS_LOG_READ_ATR:
      return "read-atr";
    case BUS_LOG_TRANSACT:
      return "transact";
    case BUS_LOG_SET_FEATURE:
      return "set-feature";
    case BUS_LOG_GET_FEATURE:
      return "get-feature";
  }
  return "?";
}

std::string Hex(const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < length; i++) {
    if (i) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
  bytes->clear();
  int high = -1;
  for (char c : text) {
    int value;
    if (c >= '0' && c <= '9')
      value = c - '0';
    else if (c >= 'a' && c <= 'f')
      value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      value = c - 'A' + 10;
    else if (c == ' ' || c == ':')
      continue;
    else
      return false;
    if (high < 0) {
      high = value;
    } else {
      bytes->push_back(static_cast<uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  return high < 0;
}
