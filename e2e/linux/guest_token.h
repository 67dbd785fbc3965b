// What the guest's virtual tokens share: the token they play and the log of what reached
// them, which the guest's checks read back.
#pragma once

#include <cstdint>
#include <string>

#include "token/token.h"

namespace guest {

inline constexpr uint16_t kVendorId = 0x0471;
inline constexpr uint16_t kHidProductId = 0x485E;
inline constexpr uint16_t kUsbProductId = 0x485D;
inline constexpr uint16_t kTokenVersion = 0x0230;  // may switch modes (device type 0)

// A token of version 0230, identifier 01..08, device type 05, in `mode`.
void InitGuestToken(Token* token, uint8_t mode);

std::string Hex(const uint8_t* bytes, uint32_t length);

// The report descriptor both HID personalities declare: a vendor-defined collection with
// feature reports 1 to 20 and 128, each as long as the token's report without its ID byte.
// `out` needs 512 bytes; returns the length.
uint32_t BuildReportDescriptor(uint8_t* out);

// Appends one line to the log file given with --log (nothing without one); flushed at once,
// since the checks read it while the program runs.
void OpenLog(const char* path);
void Log(const std::string& line);

}  // namespace guest
