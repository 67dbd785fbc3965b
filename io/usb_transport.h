// The maker's USB driver, reached through four device I/O controls.
#pragma once

#include <cstdint>

#include "io/io.h"
#include "platform/platform.h"

// CTL_CODE(FILE_DEVICE_UNKNOWN, n, METHOD_BUFFERED, FILE_ANY_ACCESS).
inline constexpr uint32_t IOCTL_TOKEN_SEND_SETUP = 0x22000C;  // header + data in, no output
inline constexpr uint32_t IOCTL_TOKEN_RECEIVE = 0x220010;     // header in, reply out
inline constexpr uint32_t IOCTL_TOKEN_READ_ATR = 0x220024;    // no input, answer-to-reset out
inline constexpr uint32_t IOCTL_TOKEN_TRANSACT = 0x220028;    // header + data in, reply out

inline constexpr uint32_t USB_SEND_FRAME_SIZE = 1024;
inline constexpr uint32_t USB_RECEIVE_BUFFER_SIZE = 512;
inline constexpr uint32_t USB_RECEIVE_ATTEMPTS = 10;

// Sends the header and its `length` data bytes. False without a driver call when they do not
// fit the 1024-byte frame.
bool UsbSendSetup(Handle device, ControlRequest request, const uint8_t* data,
                  uint32_t* bytesWritten);

// Reads the reply to the request sent before, up to `length` bytes, trying ten times at once.
// Copies min(driver's count, length) into `reply`; *bytesReturned keeps the driver's count.
bool UsbReceive(Handle device, ControlRequest request, uint8_t* reply, uint32_t* bytesReturned);
