#include "cli/backend.h"

const PlatformOps* NativePlatformOps() {
  return nullptr;
}

const char* NativeOpenHint() {
  return "";
}
