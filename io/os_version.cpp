#include "io/os_version.h"

#include "platform/platform.h"

namespace {
constexpr uint32_t kVersionInfoSize = 148;
constexpr uint32_t kNt4Major = 4;
}  // namespace

bool IsNt4() {
  OsVersionInfo info{};
  info.size = kVersionInfoSize;
  Platform().GetVersionExA(&info);
  return info.platformId == kPlatformIdNt && info.majorVersion == kNt4Major;
}
