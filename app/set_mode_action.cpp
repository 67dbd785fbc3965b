#include "app/set_mode_action.h"

const DeviceOperations& LibraryDeviceOperations() {
  static const DeviceOperations ops{&EnumDevices, &OpenDevice, &ControlDevice, &CloseDevice};
  return ops;
}

SetModeOutcome RunSetModeAction(const DeviceOperations& ops, char modeCode, ShowMessageFn show,
                                void* user) {
  SetModeOutcome outcome{SetModeOutcome::kNoDongle, RESULT_SUCCESS, {}};
  DeviceContext& context = outcome.context;

  // Room for exactly one record: with two tokens or more the list does not fit.
  uint32_t size = DEVICE_CONTEXT_SIZE;
  outcome.result = ops.enumDevices(&context, &size);
  if (outcome.result != RESULT_SUCCESS || size == 0) {
    show(user, kMessageNoDongle, kCaptionError, kMbIconError);
    return outcome;
  }
  outcome.result = ops.openDevice(&context);
  if (outcome.result != RESULT_SUCCESS) {
    show(user, kMessageNoDongle, kCaptionError, kMbIconError);
    return outcome;
  }

  uint32_t replyLength = 0;  // filled on success, never read
  const uint32_t controlCode = static_cast<unsigned char>(modeCode);
  outcome.result = ops.controlDevice(&context, controlCode, nullptr, 0, nullptr, 0, &replyLength);
  ops.closeDevice(&context);  // closed before the box, whatever the control gave
  if (outcome.result != RESULT_SUCCESS) {
    outcome.stage = SetModeOutcome::kControlFailed;
    show(user, kMessageSetFailed, kCaptionError, kMbIconError);
    return outcome;
  }
  outcome.stage = SetModeOutcome::kSucceeded;
  show(user, kMessageSetDone, kCaptionSuccess, kMbIconInformation);
  return outcome;
}
