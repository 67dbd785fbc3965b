#include "device/device.h"

const char* ResultName(Result result) {
  switch (result) {
    case RESULT_SUCCESS:
      return "RESULT_SUCCESS";
    case RESULT_INVALID_PARAMETER:
      return "RESULT_INVALID_PARAMETER";
    case RESULT_COMM_ERROR:
      return "RESULT_COMM_ERROR";
    case RESULT_OPEN_FAILED:
      return "RESULT_OPEN_FAILED";
    case RESULT_BUFFER_TOO_SMALL:
      return "RESULT_BUFFER_TOO_SMALL";
    case RESULT_MODE_NOT_SUPPORTED:
      return "RESULT_MODE_NOT_SUPPORTED";
    case RESULT_FUNCTION_NOT_SUPPORTED:
      return "RESULT_FUNCTION_NOT_SUPPORTED";
    default:
      return "status word";
  }
}
