#include <cstring>

#include "device/slot.h"
#include "io/hid_transport.h"
#include "io/io.h"
#include "io/usb_transport.h"

namespace {

constexpr uint32_t kMaxRequestData = 255;
constexpr uint32_t kFillerLength = 8;
constexpr uint32_t kReplyReadLength = 255;
constexpr uint32_t kOneShotFrameSize = 8 + 256;
constexpr int32_t kCodeAnswerToReset = 2;
// A control request without data still carries eight bytes; their content means nothing.
constexpr uint8_t kFiller[kFillerLength] = {};

uint16_t ValueForCode(int32_t code, const uint8_t* data, uint32_t dataLength) {
  switch (code) {
    case 2:
      return 2;
    case 4:
      return data != nullptr && dataLength != 0 ? 6 : 4;
    case 8:
      return 5;
    default:
      return static_cast<uint16_t>(code);
  }
}

// Sends `request` and its `request.length` payload bytes on the slot's transport and reads
// the reply into `reply`; *replyLength: in, the capacity; out, the reply bytes delivered.
int32_t Exchange(DeviceSlot* slot, ControlRequest request, const uint8_t* payload, uint8_t* reply,
                 uint32_t* replyLength) {
  const uint32_t capacity = *replyLength;
  if (slot->kind == DEVICE_KIND_USB) {
    // One-shot exchange first; a driver that refuses it gets the two-step exchange.
    uint8_t frame[kOneShotFrameSize];
    EncodeControlRequest(request, frame);
    memcpy(frame + 8, payload, request.length);
    uint32_t returned = 0;
    if (Platform().DeviceIoControl(slot->handle, IOCTL_TOKEN_TRANSACT, frame, 8u + request.length,
                                   reply, capacity, &returned) != 0) {
      *replyLength = returned < capacity ? returned : capacity;
      return 0;
    }
    uint32_t written = 0;
    if (!UsbSendSetup(slot->handle, request, payload, &written)) return -1;
    // The driver is asked for 255 bytes whatever the capacity; what does not fit is dropped.
    const ControlRequest read{REQUEST_TYPE_VENDOR_IN, request.request, 0, 0, kReplyReadLength};
    uint8_t received[kReplyReadLength];
    uint32_t count = 0;
    if (!UsbReceive(slot->handle, read, received, &count)) return -1;
    uint32_t delivered = count < kReplyReadLength ? count : kReplyReadLength;
    if (delivered > capacity) delivered = capacity;
    memcpy(reply, received, delivered);
    *replyLength = delivered;
    return 0;
  }

  // HID, and any other kind: the set and its get are one unit under the token's mutex, shared
  // with every process that uses the token.
  if (slot->mutex == 0) return -1;
  const uint32_t wait = Platform().WaitForSingleObject(slot->mutex, kInfinite);
  if (wait != kWaitObject0 && wait != kWaitAbandoned) return -1;
  const bool ok = HidSendReport(slot->handle, request, payload) &&
                  HidReceiveReport(slot->handle, reply, replyLength);
  Platform().ReleaseMutex(slot->mutex);
  return ok ? 0 : -1;
}

}  // namespace

int32_t SendControlRequest(DeviceSlot* slot, int32_t code, const uint8_t* data, uint32_t dataLength,
                           uint8_t* reply, uint32_t* replyLength) {
  if (slot == nullptr || reply == nullptr || replyLength == nullptr) return -1;
  // The header's length holds one byte; data must be there when a length is given.
  if (dataLength > kMaxRequestData || (dataLength != 0 && data == nullptr)) return -1;
  const uint32_t n = dataLength != 0 ? dataLength : kFillerLength;
  const ControlRequest request{REQUEST_TYPE_VENDOR_OUT, REQUEST_CONTROL,
                               ValueForCode(code, data, dataLength), 0, static_cast<uint16_t>(n)};
  return Exchange(slot, request, dataLength != 0 ? data : kFiller, reply, replyLength);
}

int32_t SendApduRequest(DeviceSlot* slot, const uint8_t* apdu, uint32_t apduLength, uint8_t* reply,
                        uint32_t* replyLength) {
  if (slot == nullptr || reply == nullptr || replyLength == nullptr) return -1;
  if (apdu == nullptr || apduLength == 0 || apduLength > kMaxRequestData) return -1;
  const ControlRequest request{REQUEST_TYPE_VENDOR_OUT, REQUEST_APDU, 0, 0,
                               static_cast<uint16_t>(apduLength)};
  return Exchange(slot, request, apdu, reply, replyLength);
}

int32_t ReadAnswerToReset(DeviceSlot* slot, uint8_t* atr, uint8_t* atrLength) {
  const uint32_t capacity = *atrLength;
  Handle temporary;
  if (!OpenDevicePath(slot->devicePath, kFileShareRead, &temporary)) return -1;

  if (slot->kind == DEVICE_KIND_USB) {
    uint32_t returned = 0;
    if (Platform().DeviceIoControl(temporary, IOCTL_TOKEN_READ_ATR, nullptr, 0, atr, capacity,
                                   &returned) != 0) {
      *atrLength = static_cast<uint8_t>(returned < capacity ? returned : capacity);
      CloseDeviceHandle(temporary);
      return 0;
    }
  }

  // Control request 2 on the temporary handle, lent to the slot for this one request.
  const Handle kept = slot->handle;
  slot->handle = temporary;
  uint32_t count = capacity;
  const int32_t result = SendControlRequest(slot, kCodeAnswerToReset, nullptr, 0, atr, &count);
  *atrLength = static_cast<uint8_t>(count);
  slot->handle = kept;
  CloseDeviceHandle(temporary);
  return result;
}
