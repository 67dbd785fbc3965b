#include "io/usb_transport.h"

#include <cstring>

bool UsbSendSetup(Handle device, ControlRequest request, const uint8_t* data,
                  uint32_t* bytesWritten) {
  const uint32_t frameLength = 8u + request.length;
  if (frameLength > USB_SEND_FRAME_SIZE) return false;
  if (request.length != 0 && data == nullptr) return false;
  uint8_t frame[USB_SEND_FRAME_SIZE];
  EncodeControlRequest(request, frame);
  if (request.length != 0) memcpy(frame + 8, data, request.length);
  return Platform().DeviceIoControl(device, IOCTL_TOKEN_SEND_SETUP, frame, frameLength, nullptr, 0,
                                    bytesWritten) != 0;
}

bool UsbReceive(Handle device, ControlRequest request, uint8_t* reply, uint32_t* bytesReturned) {
  // The receive buffer holds 512 bytes; a larger request is refused before any driver call.
  if (request.length > USB_RECEIVE_BUFFER_SIZE) return false;
  uint8_t header[8];
  EncodeControlRequest(request, header);
  uint8_t received[USB_RECEIVE_BUFFER_SIZE];
  int32_t ok = 0;
  // The token may not have its reply ready yet: ask again at once, ten calls in all.
  for (uint32_t attempt = 0; attempt < USB_RECEIVE_ATTEMPTS && ok == 0; ++attempt) {
    ok = Platform().DeviceIoControl(device, IOCTL_TOKEN_RECEIVE, header, sizeof header, received,
                                    request.length, bytesReturned);
  }
  if (ok == 0) return false;
  const uint32_t copy = *bytesReturned < request.length ? *bytesReturned : request.length;
  memcpy(reply, received, copy);
  return true;
}
