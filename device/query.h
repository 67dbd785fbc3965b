// Read-only queries on the registry for tools that show more than the four operations hand
// out: which kind of token a slot holds and its device path. They change nothing.
#pragma once

#include <cstdint>

#include "device/device.h"

// The kind of the token in slot `slotIndex`: DEVICE_KIND_HID or DEVICE_KIND_USB, and
// DEVICE_KIND_FREE for a free slot or an index out of range.
DeviceKind QueryDeviceKind(uint32_t slotIndex);

// Copies the device path of slot `slotIndex`, NUL included, into `path` of `capacity` bytes.
// RESULT_INVALID_PARAMETER for a null `path`, a free slot or an index out of range;
// RESULT_BUFFER_TOO_SMALL when the path and its NUL do not fit (nothing written).
Result QueryDevicePath(uint32_t slotIndex, char* path, uint32_t capacity);
