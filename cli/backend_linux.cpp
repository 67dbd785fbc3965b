#include "cli/backend.h"
#include "platform/linux/linux_platform.h"

const PlatformOps* NativePlatformOps() {
  return &LinuxPlatformOps();
}

const char* NativeOpenHint() {
  return LinuxPlatformLastOpenHint();
}
