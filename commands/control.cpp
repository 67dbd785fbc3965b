#include "commands/commandfile.h"
#include "device/registry.h"

namespace {

constexpr int32_t MODE_SWITCH_REQUEST = 7;
constexpr uint8_t MODE_BYTE_USB = 0x00;
constexpr uint8_t MODE_BYTE_HID = 0xAA;
constexpr uint32_t kLeastVersionType0 = 0x00020300;
constexpr uint32_t kLeastVersionType1 = 0x00020005;

Result SwitchMode(DeviceContext* context, uint32_t controlCode, void* outBuffer,
                  uint32_t outCapacity, uint32_t* replyLength) {
  uint8_t deviceType = 0;
  const Result queried = QueryDeviceType(context, &deviceType);
  if (queried != RESULT_SUCCESS) return queried;
  // Which tokens may switch, by type and version; any other type never.
  if (deviceType == 0) {
    if (context->version < kLeastVersionType0) return RESULT_FUNCTION_NOT_SUPPORTED;
  } else if (deviceType == 1) {
    if (context->version < kLeastVersionType1) return RESULT_FUNCTION_NOT_SUPPORTED;
  } else {
    return RESULT_FUNCTION_NOT_SUPPORTED;
  }
  const uint8_t modeByte = controlCode == CONTROL_USB_MODE ? MODE_BYTE_USB : MODE_BYTE_HID;
  return RequestWithReply(context, MODE_SWITCH_REQUEST, &modeByte, 1,
                          static_cast<uint8_t*>(outBuffer), outCapacity, replyLength);
}

}  // namespace

Result ControlDevice(DeviceContext* context, uint32_t controlCode, const void* inData,
                     uint32_t inLength, void* outBuffer, uint32_t outCapacity,
                     uint32_t* outLength) {
  (void)inData;  // the mode switch takes no input; further commands would
  (void)inLength;
  uint32_t replyLength = 0;
  if (!IsOpenContextValid(context)) return RESULT_INVALID_PARAMETER;

  Result result;
  switch (controlCode) {
    case CONTROL_USB_MODE:
    case CONTROL_HID_MODE:
      result = SwitchMode(context, controlCode, outBuffer, outCapacity, &replyLength);
      break;
    default:
      // No further token command is built into this tool: every other code is unknown here.
      return RESULT_INVALID_PARAMETER;
  }
  if (result == RESULT_SUCCESS && outLength != nullptr) *outLength = replyLength;
  return result;
}
