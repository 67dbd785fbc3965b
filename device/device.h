// The device library's public header: the record a caller gets for each attached token,
// the result codes, and the four operations (enumerate, open, control, close).
//
// A caller enumerates, opens one record, controls it and closes it. Every operation returns
// a result code and never throws; output goes into caller-owned buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

using Result = uint32_t;
inline constexpr Result RESULT_SUCCESS = 0;
inline constexpr Result RESULT_INVALID_PARAMETER = 2;
inline constexpr Result RESULT_COMM_ERROR = 3;
inline constexpr Result RESULT_OPEN_FAILED = 5;
inline constexpr Result RESULT_BUFFER_TOO_SMALL = 17;
inline constexpr Result RESULT_MODE_NOT_SUPPORTED = 20;
inline constexpr Result RESULT_FUNCTION_NOT_SUPPORTED = 0x6A81;
// Any other token status word SW1 SW2 comes back as SW1 * 256 + SW2.

// The name of a result code ("RESULT_COMM_ERROR"), or "status word" for a token's own.
const char* ResultName(Result result);

using DeviceKind = int32_t;
inline constexpr DeviceKind DEVICE_KIND_FREE = -1;
inline constexpr DeviceKind DEVICE_KIND_HID = 1;  // feature reports through the HID class
inline constexpr DeviceKind DEVICE_KIND_USB = 2;  // the maker's USB driver

inline constexpr uint32_t DEVICE_CONTEXT_SIZE = 92;

// One attached token as EnumDevices lists it, plus the handle its opening gave it.
struct DeviceContext {
  uint32_t slotIndex;  // the token's registry slot
  uint32_t version;    // its 16-bit version, the four hex digits spread into four bytes
  Handle handle;       // -1 until OpenDevice
  uint32_t reserved1;  // 2
  uint32_t modeMask;   // 4; OpenDevice asks for these modes
  uint32_t reserved2;  // 24000
  uint8_t atr[56];     // the answer-to-reset (one of 57 to 64 bytes runs on into identifier)
  uint8_t identifier[8];
  uint32_t atrLength;  // 0 to 64
};
static_assert(sizeof(DeviceContext) == DEVICE_CONTEXT_SIZE);
static_assert(offsetof(DeviceContext, slotIndex) == 0);
static_assert(offsetof(DeviceContext, version) == 4);
static_assert(offsetof(DeviceContext, handle) == 8);
static_assert(offsetof(DeviceContext, reserved1) == 12);
static_assert(offsetof(DeviceContext, modeMask) == 16);
static_assert(offsetof(DeviceContext, reserved2) == 20);
static_assert(offsetof(DeviceContext, atr) == 24);
static_assert(offsetof(DeviceContext, identifier) == 80);
static_assert(offsetof(DeviceContext, atrLength) == 88);

// Refreshes the registry from discovery and writes one record per attached token, in slot
// order. *size: in, the bytes of room at `contexts` (may be null when 0); out, the bytes
// needed, 92 per token. Too little room: RESULT_BUFFER_TOO_SMALL, nothing written.
Result EnumDevices(DeviceContext* contexts, uint32_t* size);

// Opens the token a record names, for shared use, and puts the handle into the record.
Result OpenDevice(DeviceContext* context);

// Undoes one opening; the last one closes the device file and the token's mutex.
Result CloseDevice(DeviceContext* context);

inline constexpr uint32_t CONTROL_USB_MODE = 0x41;  // 'A'
inline constexpr uint32_t CONTROL_HID_MODE = 0x42;  // 'B'

// Sends a control code to an opened token. For the mode codes: reads the device type,
// checks it and the version, and sends the mode request; the new mode is taken once the
// token is detached and attached again. *outLength (optional) receives the reply length.
Result ControlDevice(DeviceContext* context, uint32_t controlCode, const void* inData,
                     uint32_t inLength, void* outBuffer, uint32_t outCapacity, uint32_t* outLength);
