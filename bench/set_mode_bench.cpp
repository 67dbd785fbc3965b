// The whole set-mode action, as the window's button runs it: enumerate, open, switch, close.
#include <benchmark/benchmark.h>

#include "app/set_mode_action.h"
#include "bench/bench_machine.h"
#include "platform/tap/platform_tap.h"

namespace {

void BM_SetModeAction(benchmark::State& state, Road road) {
  BenchMachine machine;
  machine.AddTokens(road, 1);
  // Away from the mode the token is in. The token stores the mode for its next attach and
  // answers on as before, so every iteration does the same work.
  const char mode = road == Road::kHid ? 'A' : 'B';
  InstallPlatformTap();
  bool ok = true;
  for (auto _ : state) {
    const uint64_t before = TapTransfers();
    const SetModeOutcome outcome =
        RunSetModeAction(LibraryDeviceOperations(), mode, &NoMessage, nullptr);
    ok &= outcome.stage == SetModeOutcome::kSucceeded &&
          TapTransfers() - before == SetModeTransfers(road);
  }
  state.counters["transfers"] =
      benchmark::Counter(static_cast<double>(TapTransfers()), benchmark::Counter::kAvgIterations);
  RemovePlatformTap();
  if (!ok) state.SkipWithError("the action failed");
  state.SetLabel(RoadName(road));
}

BENCHMARK_CAPTURE(BM_SetModeAction, one_shot, Road::kOneShot);
BENCHMARK_CAPTURE(BM_SetModeAction, two_step, Road::kTwoStep);
BENCHMARK_CAPTURE(BM_SetModeAction, hid, Road::kHid);

}  // namespace
