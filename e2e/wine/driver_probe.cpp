// driverprobe: proves the virtual token drivers under Wine by doing what the device library
// does on Windows -- SetupAPI discovery per interface class with the hardware-ID filter,
// CreateFileA, the maker's four I/O controls, HidD_SetFeature/HidD_GetFeature -- and checking
// the exact bytes each token received through the bus's log. Test-only.
//
//   driverprobe [case...]     cases: usb hid reports unplug two reattach (default: all)
// Prints "ok - ..." or "FAIL - ..." per check and "driverprobe: N passed, M failed".
#include <windows.h>
// clang-format off
#include <setupapi.h>
// clang-format on
extern "C" {  // MinGW's hidsdi.h has no C linkage of its own
#include <hidsdi.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "e2e/wine/bus_client.h"

namespace {

const GUID kVendorInterface = {
    0x171638F7, 0x1EAD, 0x4873, {0xBA, 0x98, 0xC9, 0x66, 0xAB, 0xCF, 0x01, 0x42}};
const char kHidFilter[] = "HID\\Vid_0471&Pid_485e";

const DWORD kSendSetup = 0x22000C, kReceive = 0x220010, kReadAtr = 0x220024, kTransact = 0x220028;

int g_passed, g_failed;

bool Check(bool ok, const std::string& what, const std::string& detail = "") {
  if (ok) {
    g_passed++;
    printf("ok - %s\n", what.c_str());
  } else {
    g_failed++;
    printf("FAIL - %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
  fflush(stdout);
  return ok;
}

using Bytes = std::vector<uint8_t>;

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

GUID HidGuid() {
  GUID guid;
  HidD_GetHidGuid(&guid);
  return guid;
}

struct Found {
  std::string path;
  std::string hardwareId;  // the first one
};

// Discovery as the library makes it: present interfaces of the class, and with a filter
// only devices whose first hardware ID begins with it, in any letter case.
std::vector<Found> Discover(const GUID& guid, const char* filter) {
  std::vector<Found> found;
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return found;
  for (DWORD i = 0; i < 127; i++) {
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &iface)) break;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    SetupDiEnumDeviceInfo(set, i, &device);
    char ids[1024] = {};
    SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                      reinterpret_cast<BYTE*>(ids), sizeof ids - 2, nullptr);
    if (filter && _strnicmp(ids, filter, strlen(filter)) != 0) continue;
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &size, nullptr);
    std::vector<char> block(size + 8);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, size, nullptr, nullptr)) continue;
    found.push_back({detail->DevicePath, ids});
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

// How many device elements and interfaces the present set of a class holds.
std::string SetShape(const GUID& guid) {
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  DWORD devices = 0, interfaces = 0;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  while (SetupDiEnumDeviceInfo(set, devices, &device)) devices++;
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof iface;
  while (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, interfaces, &iface)) interfaces++;
  SetupDiDestroyDeviceInfoList(set);
  return std::to_string(devices) + " devices, " + std::to_string(interfaces) + " interfaces";
}

std::vector<Found> Usb() {
  return Discover(kVendorInterface, nullptr);
}
std::vector<Found> Hid() {
  return Discover(HidGuid(), kHidFilter);
}

// Polls until discovery finds `count` paths; returns the milliseconds it took, or -1.
int WaitCount(const std::function<std::vector<Found>()>& discover, size_t count, int ms = 5000) {
  DWORD start = GetTickCount();
  for (;;) {
    if (discover().size() == count) return static_cast<int>(GetTickCount() - start);
    if (GetTickCount() - start > static_cast<DWORD>(ms)) return -1;
    Sleep(5);
  }
}

HANDLE Open(const std::string& path) {
  // Read access alone and shared use, as the library opens a token.
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

struct Reply {
  bool ok;
  DWORD error;
  Bytes bytes;
};

Reply Ioctl(HANDLE handle, DWORD code, const Bytes& in, DWORD capacity) {
  Bytes out(capacity + 16);
  DWORD count = 0;
  BOOL ok = DeviceIoControl(handle, code, in.empty() ? nullptr : const_cast<uint8_t*>(in.data()),
                            static_cast<DWORD>(in.size()), capacity ? out.data() : nullptr,
                            capacity, &count, nullptr);
  Reply reply = {ok != FALSE, ok ? 0 : GetLastError(), {}};
  if (ok) reply.bytes.assign(out.begin(), out.begin() + count);
  return reply;
}

Bytes Report(uint8_t id, size_t length, const Bytes& body) {
  Bytes report(length, 0);
  report[0] = id;
  for (size_t i = 0; i < body.size() && i + 1 < length; i++) report[i + 1] = body[i];
  return report;
}

bool SetFeature(HANDLE handle, Bytes report, DWORD* error = nullptr) {
  BOOL ok = HidD_SetFeature(handle, report.data(), static_cast<ULONG>(report.size()));
  if (error) *error = ok ? 0 : GetLastError();
  return ok != FALSE;
}

// Gets report 1 (258 bytes) and returns the reply it carries, R bytes from byte 2.
bool GetReply(HANDLE handle, Bytes* reply, DWORD* error = nullptr) {
  Bytes report(258, 0);
  report[0] = 1;
  BOOL ok = HidD_GetFeature(handle, report.data(), 258);
  if (error) *error = ok ? 0 : GetLastError();
  if (ok) reply->assign(report.begin() + 2, report.begin() + 2 + report[1]);
  return ok != FALSE;
}

std::vector<LoggedRequest> TakeLog(uint32_t slot) {
  TokenState state;
  if (!QueryToken(slot, true, &state)) return {};
  return state.log;
}

BusStatus StatusOf(uint32_t slot) {
  TokenState state = {};
  QueryToken(slot, false, &state);
  return state.status;
}

std::string Describe(const std::vector<LoggedRequest>& log) {
  std::string text;
  for (const LoggedRequest& r : log)
    text += std::string("[") + LogOpName(r.op) + (r.result ? " ok " : " refused ") +
            std::to_string(r.capacity) + ": " + Hex(r.bytes) + "] ";
  return text.empty() ? "(nothing)" : text;
}

bool LogIs(uint32_t slot, const std::vector<LoggedRequest>& expected, const std::string& what) {
  std::vector<LoggedRequest> log = TakeLog(slot);
  bool same = log.size() == expected.size();
  for (size_t i = 0; same && i < log.size(); i++)
    same = log[i].op == expected[i].op && log[i].result == expected[i].result &&
           log[i].capacity == expected[i].capacity && log[i].bytes == expected[i].bytes;
  return Check(same, what, "token received " + Describe(log) + " expected " + Describe(expected));
}

void UnplugAll() {
  for (uint32_t slot = 0; slot < BUS_SLOTS; slot++) Unplug(slot);
  WaitCount(Usb, 0);
  WaitCount(Hid, 0);
}

const Bytes kApduHeader = {0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00};
const Bytes kTypeQuery = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
const Bytes kReadApdu = {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00};
const Bytes kAtrRequest = {0x40, 0x01, 0x02, 0x00, 0x00, 0x00, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kReadControl = {0xC0, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00};
const Bytes kTypeReply = {0x05, 0x90, 0x00};

Bytes ExpectedAtr() {
  TokenSpec spec;
  BusPlug plug = MakePlug(0, spec);
  return Bytes(plug.config.atr, plug.config.atr + plug.config.atrLength);
}

// ---- vendor-driver mode ---------------------------------------------------------------------

void CaseUsb() {
  UnplugAll();
  TokenSpec spec;
  spec.mode = TOKEN_MODE_USB;
  Check(Plug(0, spec), "usb: the bus plugs a vendor-mode token");
  int ms = WaitCount(Usb, 1);
  Check(ms >= 0, "usb: discovery of the driver interface finds it", "after " + std::to_string(ms));
  printf("# usb: plug to present %d ms\n", ms);
  Check(Hid().empty(), "usb: the HID discovery does not");
  std::vector<Found> found = Usb();
  if (found.empty()) return;
  printf("# usb: path %s, hardware ID %s\n", found[0].path.c_str(), found[0].hardwareId.c_str());
  HANDLE token = Open(found[0].path);
  if (!Check(token != INVALID_HANDLE_VALUE, "usb: CreateFileA with read access opens it",
             std::to_string(GetLastError())))
    return;
  const Bytes atr = ExpectedAtr();
  const Bytes query = Cat(kApduHeader, kTypeQuery);

  Reply r = Ioctl(token, kReadAtr, {}, 255);
  Check(r.ok && r.bytes == atr, "usb: read-atr answers the answer-to-reset", Hex(r.bytes));
  r = Ioctl(token, kTransact, query, 255);
  Check(r.ok && r.bytes == kTypeReply, "usb: transact answers the device-type query", Hex(r.bytes));
  LogIs(0, {{BUS_LOG_READ_ATR, 1, 255, {}}, {BUS_LOG_TRANSACT, 1, 255, query}},
        "usb: the token got read-atr, then the exact transact bytes");

  r = Ioctl(token, kSendSetup, query, 0);
  Check(r.ok && r.bytes.empty(), "usb: send-setup takes the request, nothing comes back");
  r = Ioctl(token, kReceive, kReadApdu, 255);
  Check(r.ok && r.bytes == kTypeReply, "usb: receive reads the reply", Hex(r.bytes));
  LogIs(0, {{BUS_LOG_SEND_SETUP, 1, 0, query}, {BUS_LOG_RECEIVE, 1, 255, kReadApdu}},
        "usb: the token got the two-step exchange's exact bytes");

  r = Ioctl(token, kTransact, kAtrRequest, 255);
  Check(r.ok && r.bytes == atr, "usb: control request 2 answers the answer-to-reset", Hex(r.bytes));
  TakeLog(0);

  // Refusals, for the library's fallbacks.
  SetFaults(0, BUS_REFUSE_TRANSACT, 0);
  r = Ioctl(token, kTransact, query, 255);
  Check(!r.ok, "usb: a refused transact fails");
  Check(Ioctl(token, kSendSetup, query, 0).ok &&
            Ioctl(token, kReceive, kReadApdu, 255).bytes == kTypeReply,
        "usb: the two-step exchange still answers");
  LogIs(0,
        {{BUS_LOG_TRANSACT, 0, 255, query},
         {BUS_LOG_SEND_SETUP, 1, 0, query},
         {BUS_LOG_RECEIVE, 1, 255, kReadApdu}},
        "usb: the log shows the refused transact and the fallback");
  SetFaults(0, BUS_REFUSE_READ_ATR, 0);
  r = Ioctl(token, kReadAtr, {}, 255);
  Check(!r.ok, "usb: a refused read-atr fails");
  r = Ioctl(token, kTransact, kAtrRequest, 255);
  Check(r.ok && r.bytes == atr, "usb: the answer-to-reset still comes by control request");
  TakeLog(0);

  // Send-setup carries at most 1024 bytes in all.
  Bytes big(1025, 0);
  big[0] = 0x40;
  Check(!Ioctl(token, kSendSetup, big, 0).ok, "usb: send-setup of 1025 bytes is refused");
  TakeLog(0);

  // The mode request: the token stores it and comes back as a HID token.
  SetFaults(0, 0, 150);
  const Bytes toHid = {0x40, 0x01, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA};
  r = Ioctl(token, kTransact, toHid, 255);
  Check(r.ok && r.bytes.empty(), "usb: the mode request is accepted with no reply data",
        Hex(r.bytes));
  BusStatus s = StatusOf(0);
  Check(s.modeRequests == 1 && s.requestedMode == TOKEN_MODE_HID,
        "usb: the token recorded a request for HID mode");
  LogIs(0, {{BUS_LOG_TRANSACT, 1, 255, toHid}}, "usb: the token got the mode byte AA");
  ms = WaitCount(Hid, 1);
  Check(ms >= 0 && Usb().empty(), "usb: after re-attach it is a HID token", std::to_string(ms));
  printf("# usb: mode request to HID present %d ms (150 ms of it the re-attach delay)\n", ms);
  s = StatusOf(0);
  Check(s.mode == TOKEN_MODE_HID && s.plugs == 2, "usb: the bus shows it re-plugged as HID");
  r = Ioctl(token, kTransact, query, 255);
  Check(!r.ok, "usb: the old handle fails after the re-attach", std::to_string(r.error));
  printf("# usb: stale handle error %lu\n", r.error);
  CloseHandle(token);
}

// ---- HID mode -------------------------------------------------------------------------------

HANDLE OpenHid(uint32_t slot, const char* label) {
  TokenSpec spec;
  spec.mode = TOKEN_MODE_HID;
  Check(Plug(slot, spec), std::string(label) + ": the bus plugs a HID token");
  int ms = WaitCount(Hid, 1);
  Check(ms >= 0, std::string(label) + ": HID discovery with the hardware-ID filter finds it");
  printf("# %s: plug to present %d ms\n", label, ms);
  std::vector<Found> found = Hid();
  if (found.empty()) return INVALID_HANDLE_VALUE;
  HANDLE token = Open(found[0].path);
  Check(token != INVALID_HANDLE_VALUE, std::string(label) + ": CreateFileA opens it",
        std::to_string(GetLastError()));
  TakeLog(slot);
  return token;
}

void CaseHid() {
  UnplugAll();
  HANDLE token = OpenHid(1, "hid");
  if (token == INVALID_HANDLE_VALUE) return;
  std::vector<Found> found = Hid();
  printf("# hid: path %s, hardware ID %s\n", found[0].path.c_str(), found[0].hardwareId.c_str());
  printf("# hid: the present HID set holds %s\n", SetShape(HidGuid()).c_str());
  Check(_strnicmp(found[0].hardwareId.c_str(), "HID\\VID_0471&PID_485E", 21) == 0,
        "hid: its first hardware ID begins with HID\\VID_0471&PID_485E", found[0].hardwareId);
  Check(Usb().empty(), "hid: the driver-interface discovery does not find it");
  Check(Discover(HidGuid(), nullptr).size() == 1,
        "hid: it is the only HID device (Wine's own virtual ones are off)");

  const Bytes set = Report(20, 8, Cat({6}, kTypeQuery));
  Bytes reply;
  DWORD error = 0;
  Check(SetFeature(token, set, &error), "hid: set of report 20 (8 bytes) is taken",
        std::to_string(error));
  Check(GetReply(token, &reply, &error) && reply == kTypeReply,
        "hid: get of report 1 (258 bytes) answers the device-type query", Hex(reply));
  LogIs(1, {{BUS_LOG_SET_FEATURE, 1, 8, set}, {BUS_LOG_GET_FEATURE, 1, 258, {1}}},
        "hid: the token got the exact 8-byte report, then a 258-byte get of report 1");

  // The HID class driver checks every report against the descriptor before the token.
  struct {
    uint8_t id;
    size_t length;
    const char* what;
  } const wrong[] = {
      {20, 7, "report 20 with 7 bytes"},
      {19, 8, "report 19 with 8 bytes"},
      {21, 8, "undeclared report 21"},
      {1, 256, "report 1 with 256 bytes"},
  };
  for (const auto& w : wrong) {
    bool ok = SetFeature(token, Report(w.id, w.length, Cat({6}, kTypeQuery)), &error);
    Check(!ok, std::string("hid: a set of ") + w.what + " is refused",
          ok ? "accepted" : std::to_string(error));
    printf("# hid: %s -> error %lu\n", w.what, error);
  }
  LogIs(1, {}, "hid: no refused set reached the token");
  // Wine passes a longer buffer on, cut to the report's length: the token still gets 8 bytes.
  Check(SetFeature(token, Report(20, 16, Cat({6}, kTypeQuery)), &error) &&
            GetReply(token, &reply, &error),
        "hid: a 16-byte set of report 20 is cut to 8 bytes by Wine's HID class driver");
  LogIs(1, {{BUS_LOG_SET_FEATURE, 1, 8, set}, {BUS_LOG_GET_FEATURE, 1, 258, {1}}},
        "hid: the token got the report at its own length");

  // Mode request through report 128; the token comes back in vendor-driver mode.
  SetFaults(1, 0, 150);
  Bytes toUsb = Report(128, 258, {0x02, 0x07, 0x00});
  Check(SetFeature(token, toUsb, &error), "hid: the mode request (report 128) is taken");
  Check(GetReply(token, &reply, &error) && reply.empty(), "hid: its reply has no data", Hex(reply));
  BusStatus s = StatusOf(1);
  Check(s.modeRequests == 1 && s.requestedMode == TOKEN_MODE_USB,
        "hid: the token recorded a request for USB mode");
  LogIs(1, {{BUS_LOG_SET_FEATURE, 1, 258, toUsb}, {BUS_LOG_GET_FEATURE, 1, 258, {1}}},
        "hid: the token got 80 02 07 00 and zeros up to 258 bytes");
  int ms = WaitCount(Usb, 1);
  Check(ms >= 0 && Hid().empty(), "hid: after re-attach it is a vendor-mode token");
  printf("# hid: mode request to vendor-mode present %d ms (150 ms of it the delay)\n", ms);
  Check(!GetReply(token, &reply, &error), "hid: the old handle fails after the re-attach");
  printf("# hid: stale handle error %lu\n", error);
  CloseHandle(token);
}

// Every report the token has, at exactly its length, passes the HID class driver.
void CaseReports() {
  UnplugAll();
  HANDLE token = OpenHid(2, "reports");
  if (token == INVALID_HANDLE_VALUE) return;
  std::string refused;
  for (uint32_t id = 1; id <= 128; id++) {
    uint32_t length = TokenHidReportLength(id);
    if (!length) continue;
    // The longest APDU the report holds, so the ID is the one the framing picks for it.
    uint8_t dataLength = static_cast<uint8_t>(length - 2 < 255 ? length - 2 : 255);
    Bytes report = id == 128 ? Report(128, length, {0x09, 0x02})
                             : Report(id, length, Cat({dataLength}, kTypeQuery));
    DWORD error = 0;
    Bytes reply;
    if (!SetFeature(token, report, &error) || !GetReply(token, &reply, &error))
      refused += " " + std::to_string(id) + "(" + std::to_string(error) + ")";
  }
  Check(refused.empty(), "reports: sets of IDs 1 to 20 and 128 at their lengths pass", refused);
  std::vector<LoggedRequest> log = TakeLog(2);
  bool exact = log.size() == 42;
  for (size_t i = 0; exact && i < log.size(); i += 2)
    exact = log[i].op == BUS_LOG_SET_FEATURE && log[i].bytes.size() == log[i].capacity &&
            log[i].capacity == TokenHidReportLength(log[i].bytes[0]);
  Check(exact, "reports: the token got each at its full length", Describe(log));

  // A get with no set before it: the token counts a torn pair.
  uint32_t before = StatusOf(2).unpairedReads;
  Bytes reply;
  GetReply(token, &reply);
  Check(StatusOf(2).unpairedReads == before + 1, "reports: a get out of its pair is counted");
  CloseHandle(token);
}

// ---- unplug, two tokens, the harness's re-attach ---------------------------------------------

void CaseUnplug() {
  UnplugAll();
  TokenSpec spec;
  spec.mode = TOKEN_MODE_USB;
  Plug(3, spec);
  WaitCount(Usb, 1);
  std::vector<Found> found = Usb();
  if (!Check(found.size() == 1, "unplug: a vendor-mode token is present")) return;
  HANDLE token = Open(found[0].path);
  Check(Unplug(3), "unplug: the bus unplugs it");
  int ms = WaitCount(Usb, 0);
  Check(ms >= 0, "unplug: discovery no longer finds it");
  printf("# unplug: unplug to absent %d ms\n", ms);
  DWORD start = GetTickCount();
  Reply r = Ioctl(token, kTransact, Cat(kApduHeader, kTypeQuery), 255);
  Check(!r.ok && GetTickCount() - start < 1000, "unplug: I/O on the open handle fails at once",
        std::to_string(r.error));
  printf("# unplug: stale vendor handle error %lu\n", r.error);
  CloseHandle(token);
  HANDLE again = Open(found[0].path);
  Check(again == INVALID_HANDLE_VALUE, "unplug: the path no longer opens",
        std::to_string(GetLastError()));
  printf("# unplug: reopen error %lu\n", GetLastError());
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);

  HANDLE hid = OpenHid(3, "unplug");
  if (hid == INVALID_HANDLE_VALUE) return;
  Unplug(3);
  Check(WaitCount(Hid, 0) >= 0, "unplug: the HID token vanishes from discovery");
  DWORD error = 0;
  Bytes reply;
  bool ok = SetFeature(hid, Report(20, 8, Cat({6}, kTypeQuery)), &error);
  Check(!ok, "unplug: a set on the open HID handle fails", std::to_string(error));
  printf("# unplug: stale HID handle error %lu\n", error);
  CloseHandle(hid);
}

void CaseTwo() {
  UnplugAll();
  TokenSpec usb;
  usb.mode = TOKEN_MODE_USB;
  TokenSpec hid;
  hid.identifier = {9, 9, 9, 9};
  Plug(0, usb);
  Plug(1, hid);
  Plug(2, hid);
  Check(WaitCount(Usb, 1) >= 0 && WaitCount(Hid, 2) >= 0,
        "two: one vendor-mode and two HID tokens are found side by side");
  std::vector<Found> found = Hid();
  Check(found.size() == 2 && found[0].path != found[1].path, "two: the HID paths differ");
  Unplug(1);
  Check(WaitCount(Hid, 1) >= 0 && Usb().size() == 1, "two: unplugging one leaves the others");
  UnplugAll();
}

void CaseReattach() {
  UnplugAll();
  HANDLE token = OpenHid(0, "reattach");
  if (token == INVALID_HANDLE_VALUE) return;
  Bytes reply;
  SetFeature(token, Report(128, 258, {0x02, 0x07, 0x00}));
  GetReply(token, &reply);
  CloseHandle(token);
  Sleep(300);
  Check(Hid().size() == 1, "reattach: with no delay set the token stays until the harness acts");
  Check(Reattach(0), "reattach: the harness re-attaches it");
  Check(WaitCount(Usb, 1) >= 0 && WaitCount(Hid, 0) >= 0,
        "reattach: it comes back in vendor-driver mode");
  // And back: a mode request for HID over the driver, then the harness re-attaches.
  std::vector<Found> found = Usb();
  if (found.empty()) return;
  token = Open(found[0].path);
  Reply r = Ioctl(token, kTransact, {0x40, 0x01, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0xAA}, 255);
  CloseHandle(token);
  Check(r.ok && Reattach(0) && WaitCount(Hid, 1) >= 0 && Usb().empty(),
        "reattach: and back to HID mode");
  BusStatus s = StatusOf(0);
  Check(s.plugs == 3 && s.modeRequests == 2, "reattach: the bus counted three plugs, two requests");
  UnplugAll();
}

// One of several processes on one HID token: `rounds` set/get pairs of the device-type query,
// each pair inside the token's named mutex when `locked`, as the library keeps them. The
// mutex has the library's name for the token (its device path without the leading \\?\,
// at most 56 characters), so the product programs and this probe keep out of each other's
// pairs too.
int Hammer(int rounds, bool locked) {
  std::vector<Found> found = Hid();
  if (found.size() != 1) return Check(false, "hammer: one HID token", std::to_string(found.size()));
  HANDLE token = Open(found[0].path);
  const std::string mutexName = found[0].path.substr(4, 56);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, mutexName.c_str());
  int wrong = 0;
  for (int i = 0; i < rounds; i++) {
    if (locked) WaitForSingleObject(mutex, INFINITE);
    Bytes reply;
    if (!SetFeature(token, Report(20, 8, Cat({6}, kTypeQuery))) || !GetReply(token, &reply) ||
        reply != kTypeReply)
      wrong++;
    if (locked) ReleaseMutex(mutex);
  }
  CloseHandle(mutex);
  CloseHandle(token);
  Check(!locked || wrong == 0, "hammer: every pair got its own reply",
        std::to_string(wrong) + " of " + std::to_string(rounds) + " wrong");
  printf("driverprobe: %d passed, %d failed\n", g_passed, g_failed);
  return g_failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  //   driverprobe hammer <rounds> [--locked]: see Hammer; the token must be plugged already.
  if (argc >= 3 && strcmp(argv[1], "hammer") == 0)
    return Hammer(atoi(argv[2]), argc > 3 && strcmp(argv[3], "--locked") == 0);
  struct {
    const char* name;
    void (*run)();
  } const cases[] = {{"usb", CaseUsb},       {"hid", CaseHid}, {"reports", CaseReports},
                     {"unplug", CaseUnplug}, {"two", CaseTwo}, {"reattach", CaseReattach}};
  for (const auto& c : cases) {
    bool chosen = argc == 1;
    for (int i = 1; i < argc; i++) chosen = chosen || strcmp(argv[i], c.name) == 0;
    if (chosen) c.run();
  }
  UnplugAll();
  printf("driverprobe: %d passed, %d failed\n", g_passed, g_failed);
  return g_failed ? 1 : 0;
}
