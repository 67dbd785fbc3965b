#include "platform/tap/platform_tap.h"

#include <type_traits>
#include <utility>

#include "platform/platform.h"

// A new platform operation must be added to the list, or the tap would leave it null.
static_assert(sizeof(PlatformOps) == kPlatformCallCount * sizeof(void (*)()));

namespace {

const PlatformOps* g_inner = nullptr;
PlatformOps g_tap{};
uint64_t g_counts[kPlatformCallCount] = {};
TapHook g_before = nullptr;
TapHook g_after = nullptr;

template <auto Field, PlatformCall Call,
          typename Fn = std::remove_reference_t<decltype(std::declval<PlatformOps&>().*Field)>>
struct PassThrough;

template <auto Field, PlatformCall Call, typename R, typename... Args>
struct PassThrough<Field, Call, R (*)(Args...)> {
  static R Run(Args... args) {
    ++g_counts[Call];
    if (g_before != nullptr) g_before();
    if constexpr (std::is_void_v<R>) {
      (g_inner->*Field)(args...);
      if (g_after != nullptr) g_after();
    } else {
      R result = (g_inner->*Field)(args...);
      if (g_after != nullptr) g_after();
      return result;
    }
  }
};

}  // namespace

void InstallPlatformTap() {
  if (g_inner == nullptr) g_inner = &Platform();
#define TOKENMODE_TAP_FIELD(name) g_tap.name = &PassThrough<&PlatformOps::name, kCall##name>::Run;
  TOKENMODE_PLATFORM_CALLS(TOKENMODE_TAP_FIELD)
#undef TOKENMODE_TAP_FIELD
  ResetTapCounts();
  InstallPlatform(&g_tap);
}

void RemovePlatformTap() {
  if (g_inner == nullptr) return;
  InstallPlatform(g_inner);
  g_inner = nullptr;
}

uint64_t TapCount(PlatformCall call) {
  return g_counts[call];
}

uint64_t TapTransfers() {
  return g_counts[kCallDeviceIoControl] + g_counts[kCallHidD_SetFeature] +
         g_counts[kCallHidD_GetFeature];
}

void ResetTapCounts() {
  for (uint64_t& count : g_counts) count = 0;
}

void SetTapHooks(TapHook before, TapHook after) {
  g_before = before;
  g_after = after;
}
