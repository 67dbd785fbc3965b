#include "io/io.h"

void EncodeControlRequest(const ControlRequest& request, uint8_t out[8]) {
  out[0] = request.requestType;
  out[1] = request.request;
  out[2] = static_cast<uint8_t>(request.value);
  out[3] = static_cast<uint8_t>(request.value >> 8);
  out[4] = static_cast<uint8_t>(request.index);
  out[5] = static_cast<uint8_t>(request.index >> 8);
  out[6] = static_cast<uint8_t>(request.length);
  out[7] = static_cast<uint8_t>(request.length >> 8);
}
