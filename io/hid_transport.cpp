#include "io/hid_transport.h"

#include <cstring>

#include "io/os_version.h"

namespace {

constexpr uint32_t kControlReportLength = 258;
constexpr uint32_t kMaxHidData = 255;
// A busy token lets gets time out; a token that never answers must not hang the tool. A stack
// times a get out after seconds, so this many gets is far more than a working token needs.
constexpr uint32_t kGetAttempts = 10;

// Looked up by the first GetHidInterfaceGuid, kept for the life of the process.
Proc g_getHidGuid = nullptr;
Proc g_getFeature = nullptr;
Proc g_setFeature = nullptr;

}  // namespace

void ForgetHidEntryPoints() {
  g_getHidGuid = nullptr;
  g_getFeature = nullptr;
  g_setFeature = nullptr;
}

void GetHidInterfaceGuid(Guid* guid) {
  memset(guid->bytes, 0, sizeof guid->bytes);
  if (IsNt4()) return;
  const PlatformOps& os = Platform();
  if (g_getHidGuid == nullptr) {
    const Module hid = os.LoadLibraryA("hid.dll");
    if (hid == nullptr) return;
    g_getHidGuid = os.GetProcAddress(hid, "HidD_GetHidGuid");
    g_getFeature = os.GetProcAddress(hid, "HidD_GetFeature");
    g_setFeature = os.GetProcAddress(hid, "HidD_SetFeature");
  }
  // Without all three there is no HID road: the zero GUID finds no HID token.
  if (g_getHidGuid == nullptr || g_getFeature == nullptr || g_setFeature == nullptr) {
    ForgetHidEntryPoints();
    return;
  }
  os.HidD_GetHidGuid(g_getHidGuid, guid);
}

void HidApduReportFraming(uint32_t dataLength, uint8_t* reportId, uint32_t* reportLength) {
  // The smallest of the token's reports that holds the ID, the length byte and the data:
  // steps of 8 bytes up to 64, then of 16 up to 240, and report 1 of 258 bytes.
  const uint32_t l = dataLength;
  if (l + 2 <= 64) {
    *reportId = static_cast<uint8_t>(20 - (l + 1) / 8);
    *reportLength = (l + 9) / 8 * 8;
    return;
  }
  int32_t id = 12 - static_cast<int32_t>((l - 63) / 16);
  uint32_t length = (l + 17) / 16 * 16;
  if (length == 256) length = kControlReportLength;
  if (id <= 0) {
    id = 1;
    length = kControlReportLength;
  }
  *reportId = static_cast<uint8_t>(id);
  *reportLength = length;
}

bool HidSendReport(Handle device, ControlRequest request, const uint8_t* data) {
  const uint32_t l = request.length;
  if (g_setFeature == nullptr || l > kMaxHidData || (l != 0 && data == nullptr)) return false;
  uint8_t report[HID_REPORT_BUFFER_SIZE] = {};
  uint32_t length;
  if (request.request == REQUEST_CONTROL) {
    // Byte 1 counts the value byte and the data: 255 data bytes do not fit it.
    if (l + 1 > kMaxHidData) return false;
    report[0] = HID_CONTROL_REPORT_ID;
    report[1] = static_cast<uint8_t>(l + 1);
    report[2] = static_cast<uint8_t>(request.value);
    if (l != 0) memcpy(report + 3, data, l);
    length = kControlReportLength;
  } else {
    HidApduReportFraming(l, &report[0], &length);
    report[1] = static_cast<uint8_t>(l);
    if (l != 0) memcpy(report + 2, data, l);
  }
  return Platform().HidD_SetFeature(g_setFeature, device, report, length) != 0;
}

bool HidReceiveReport(Handle device, uint8_t* reply, uint32_t* replyLength) {
  if (g_getFeature == nullptr) return false;
  const PlatformOps& os = Platform();
  uint8_t report[HID_REPORT_BUFFER_SIZE] = {};
  report[0] = HID_REPLY_REPORT_ID;
  for (uint32_t attempt = 1;; ++attempt) {
    if (os.HidD_GetFeature(g_getFeature, device, report, HID_REPLY_REPORT_LENGTH) != 0) break;
    if (os.GetLastError() != kErrorSemTimeout || attempt == kGetAttempts) return false;
  }
  const uint32_t count = report[1] < *replyLength ? report[1] : *replyLength;
  memcpy(reply, report + 2, count);
  *replyLength = count;
  return true;
}
