#include "cli/backend.h"
#include "platform/win32/win32_platform.h"

const PlatformOps* NativePlatformOps() {
  return &Win32PlatformOps();
}

const char* NativeOpenHint() {
  return "";
}
