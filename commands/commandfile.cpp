#include "commands/commandfile.h"

#include <cstring>

#include "device/registry.h"
#include "io/io.h"

namespace {

constexpr uint32_t kMinApdu = 5;
constexpr uint32_t kMaxApdu = 255;
constexpr uint32_t kExchangeCapacity = 255;
constexpr uint32_t kExchangeBufferSize = 256;
constexpr uint32_t kApduReplyBufferSize = 400;
constexpr uint32_t kVersion20000 = 0x00020000;
constexpr Result kStatusSuccess = 0x9000;

// Opened by OpenDevice and its slot not closed since.
DeviceSlot* OpenedSlot(const DeviceContext* context) {
  if (!IsContextValid(context)) return nullptr;
  DeviceSlot* slot = &DeviceRegistry[context->slotIndex];
  if (context->handle != slot->handle || slot->handle == kInvalidHandle) return nullptr;
  return slot;
}

// The status word in the reply's last two bytes. A reply too short to hold one is a broken
// exchange, not a status.
Result StatusWord(const uint8_t* reply, uint32_t length) {
  if (length < 2) return RESULT_COMM_ERROR;
  return Result{reply[length - 2]} << 8 | reply[length - 1];
}

}  // namespace

Result RequestWithReply(DeviceContext* context, int32_t code, const uint8_t* data,
                        uint32_t dataLength, uint8_t* reply, uint32_t replyCapacity,
                        uint32_t* replyLength) {
  DeviceSlot* slot = OpenedSlot(context);
  if (slot == nullptr) return RESULT_INVALID_PARAMETER;
  uint8_t received[kExchangeBufferSize];
  uint32_t length = kExchangeCapacity;
  if (SendControlRequest(slot, code, data, dataLength, received, &length) != 0) {
    return RESULT_COMM_ERROR;
  }
  if (length == 0) return RESULT_SUCCESS;
  if (length > replyCapacity) {
    if (replyLength == nullptr) return RESULT_SUCCESS;  // the caller wants no reply
    *replyLength = length;
    return RESULT_BUFFER_TOO_SMALL;
  }
  if (reply == nullptr) return RESULT_INVALID_PARAMETER;
  memcpy(reply, received, length);
  if (replyLength != nullptr) *replyLength = length;
  return RESULT_SUCCESS;
}

Result TransmitApdu(DeviceContext* context, const uint8_t* apdu, uint32_t apduLength,
                    uint8_t* reply, uint32_t* replyLength) {
  DeviceSlot* slot = OpenedSlot(context);
  if (slot == nullptr) return RESULT_INVALID_PARAMETER;
  if (apdu == nullptr || apduLength < kMinApdu || apduLength > kMaxApdu || reply == nullptr ||
      replyLength == nullptr) {
    return RESULT_INVALID_PARAMETER;
  }
  uint8_t received[kExchangeBufferSize];
  uint32_t length = kExchangeCapacity;
  if (SendApduRequest(slot, apdu, apduLength, received, &length) != 0) return RESULT_COMM_ERROR;
  if (length > *replyLength) {
    *replyLength = length;
    return RESULT_BUFFER_TOO_SMALL;
  }
  *replyLength = length;
  memcpy(reply, received, length);
  return RESULT_SUCCESS;
}

Result RunApdu(DeviceContext* context, const uint8_t* apdu) {
  if (apdu == nullptr) return RESULT_INVALID_PARAMETER;
  uint8_t reply[kApduReplyBufferSize];
  uint32_t length = sizeof reply;
  const Result sent = TransmitApdu(context, apdu, kMinApdu + apdu[4], reply, &length);
  if (sent != RESULT_SUCCESS) return sent;
  const Result status = StatusWord(reply, length);
  return status == kStatusSuccess ? RESULT_SUCCESS : status;
}

Result QueryDeviceType(DeviceContext* context, uint8_t* deviceType) {
  if (context == nullptr || context->version < kVersion20000) return RESULT_INVALID_PARAMETER;
  if (deviceType == nullptr) return RESULT_BUFFER_TOO_SMALL;
  static constexpr uint8_t kQueryVersion20000[] = {0x80, 0xCA, 0x06, 0x00, 0x01, 0x00};
  static constexpr uint8_t kQueryLater[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
  const bool first = context->version == kVersion20000;
  uint8_t reply[kApduReplyBufferSize];
  uint32_t length = sizeof reply;
  const Result sent = TransmitApdu(context, first ? kQueryVersion20000 : kQueryLater,
                                   sizeof kQueryLater, reply, &length);
  if (sent != RESULT_SUCCESS) return sent;
  const Result status = StatusWord(reply, length);
  if (status != kStatusSuccess) return status;

  uint8_t type = reply[0];
  if (!first) {
    type &= 0xF0;
    if (type == 0x80)
      type = 1;
    else if (type == 0xC0)
      type = 2;
  }
  *deviceType = type;
  return RESULT_SUCCESS;
}
