#include "platform/platform.h"

#include <cstdlib>

namespace {
const PlatformOps* g_ops = nullptr;
}

void InstallPlatform(const PlatformOps* ops) {
  g_ops = ops;
}

const PlatformOps& Platform() {
  if (g_ops == nullptr) std::abort();  // a program must install a backend before any call
  return *g_ops;
}
