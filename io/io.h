// The request layer: the one road by which the library talks to a token. Every request
// travels as an 8-byte ControlRequest header (a USB setup packet) and its data; the
// transport follows from the slot's kind.
#pragma once

#include <cstdint>

struct DeviceSlot;

struct ControlRequest {
  uint8_t requestType;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;
};
static_assert(sizeof(ControlRequest) == 8);

inline constexpr uint8_t REQUEST_TYPE_VENDOR_OUT = 0x40;
inline constexpr uint8_t REQUEST_TYPE_VENDOR_IN = 0xC0;
inline constexpr uint8_t REQUEST_APDU = 0;
inline constexpr uint8_t REQUEST_CONTROL = 1;

// The header's eight bytes on the wire, 16-bit fields little-endian on every host.
void EncodeControlRequest(const ControlRequest& request, uint8_t out[8]);

// A vendor control request (value derived from `code`) with 0 to 255 data bytes; the reply
// lands in `reply` (capacity in *replyLength, callers pass 255) and its length in
// *replyLength. 0 on success, -1 on failure.
int32_t SendControlRequest(DeviceSlot* slot, int32_t code, const uint8_t* data, uint32_t dataLength,
                           uint8_t* reply, uint32_t* replyLength);

// A command APDU of 1 to 255 bytes and its reply, as above.
int32_t SendApduRequest(DeviceSlot* slot, const uint8_t* apdu, uint32_t apduLength, uint8_t* reply,
                        uint32_t* replyLength);

// The token's answer-to-reset through a temporary handle of its own; `atr` holds at least
// 255 bytes, *atrLength goes in as the capacity and comes back as the count.
int32_t ReadAnswerToReset(DeviceSlot* slot, uint8_t* atr, uint8_t* atrLength);
