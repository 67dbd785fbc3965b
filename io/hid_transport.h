// HID feature reports: one set carries a request, one get of report 1 reads its reply.
#pragma once

#include <cstdint>

#include "io/io.h"
#include "platform/platform.h"

inline constexpr uint32_t HID_REPORT_BUFFER_SIZE = 512;
inline constexpr uint32_t HID_REPLY_REPORT_LENGTH = 258;
inline constexpr uint8_t HID_CONTROL_REPORT_ID = 0x80;
inline constexpr uint8_t HID_REPLY_REPORT_ID = 1;

// Writes the HID device-interface class GUID: all zero on NT 4.0; elsewhere loads the HID
// library and looks its three entry points up on the first call.
void GetHidInterfaceGuid(Guid* guid);

// The report ID and length that carry an APDU of `dataLength` bytes (0 to 255).
void HidApduReportFraming(uint32_t dataLength, uint8_t* reportId, uint32_t* reportLength);

// Frames the request and its `request.length` data bytes into one report and sets it.
bool HidSendReport(Handle device, ControlRequest request, const uint8_t* data);

// Gets report 1 and delivers min(R, *replyLength) reply bytes; *replyLength becomes that.
bool HidReceiveReport(Handle device, uint8_t* reply, uint32_t* replyLength);

// Forgets the HID entry points (tests, and a newly installed platform).
void ForgetHidEntryPoints();
