// The set-mode action behind the window's "Set Mode" button, apart from any window: a
// straight sequence over the library's four public operations, one message box at the end.
#pragma once

#include <cstdint>

#include "device/device.h"

// The four public operations the action calls; tests put fakes in their place.
struct DeviceOperations {
  Result (*enumDevices)(DeviceContext* contexts, uint32_t* size);
  Result (*openDevice)(DeviceContext* context);
  Result (*controlDevice)(DeviceContext* context, uint32_t controlCode, const void* inData,
                          uint32_t inLength, void* outBuffer, uint32_t outCapacity,
                          uint32_t* outLength);
  Result (*closeDevice)(DeviceContext* context);
};

// The library's own operations.
const DeviceOperations& LibraryDeviceOperations();

// A message box with no owner window: text, caption and flag word; its answer is not used.
using ShowMessageFn = void (*)(void* user, const char* text, const char* caption, uint32_t flags);

inline constexpr char kMessageNoDongle[] = "No dongle found!";
inline constexpr char kMessageSetFailed[] = "Failed to set communication mode!";
inline constexpr char kMessageSetDone[] =
    "Set communication mode successfully! You need reattach the dongle to enable the mode now.";
inline constexpr char kCaptionError[] = "error";
inline constexpr char kCaptionSuccess[] = "success";

// What one run of the action did, for callers that show more than the box.
struct SetModeOutcome {
  enum Stage { kNoDongle, kControlFailed, kSucceeded } stage;
  Result result;          // of the failing operation, or RESULT_SUCCESS
  DeviceContext context;  // the record the action worked on
};

// Enumerates (room for one record), opens, sends `modeCode` ('A' USB, 'B' HID), closes, and
// shows one message. The token is closed before its message box.
SetModeOutcome RunSetModeAction(const DeviceOperations& ops, char modeCode, ShowMessageFn show,
                                void* user);
