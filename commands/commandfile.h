// The command exchange: vendor requests and APDUs on an opened context, token status words
// turned into result codes.
#pragma once

#include <cstdint>

#include "device/device.h"

Result RequestWithReply(DeviceContext* context, int32_t code, const uint8_t* data,
                        uint32_t dataLength, uint8_t* reply, uint32_t replyCapacity,
                        uint32_t* replyLength);
Result TransmitApdu(DeviceContext* context, const uint8_t* apdu, uint32_t apduLength,
                    uint8_t* reply, uint32_t* replyLength);
Result RunApdu(DeviceContext* context, const uint8_t* apdu);
Result QueryDeviceType(DeviceContext* context, uint8_t* deviceType);
