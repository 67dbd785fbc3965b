// EnumDevices with 1, 16 and 127 tokens attached: discovery, the registry merge and one
// answer-to-reset read per token, every call.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/bench_machine.h"
#include "platform/tap/platform_tap.h"

namespace {

void BM_EnumDevices(benchmark::State& state, Road road) {
  const int tokens = static_cast<int>(state.range(0));
  BenchMachine machine;
  machine.AddTokens(road, tokens);
  std::vector<DeviceContext> records(static_cast<size_t>(tokens));
  InstallPlatformTap();
  // Every call re-reads every token's answer-to-reset; a call that does not is a failed scan.
  const uint64_t transfers = static_cast<uint64_t>(tokens) * AnswerToResetTransfers(road);
  bool ok = true;
  for (auto _ : state) {
    const uint64_t before = TapTransfers();
    uint32_t size = static_cast<uint32_t>(records.size()) * DEVICE_CONTEXT_SIZE;
    ok &= EnumDevices(records.data(), &size) == RESULT_SUCCESS &&
          size == static_cast<uint32_t>(tokens) * DEVICE_CONTEXT_SIZE;
    benchmark::DoNotOptimize(records.data());
    ok &= TapTransfers() - before == transfers;
  }
  state.counters["transfers"] =
      benchmark::Counter(static_cast<double>(TapTransfers()), benchmark::Counter::kAvgIterations);
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(TapCount(kCallLocalAlloc)),
                                                benchmark::Counter::kAvgIterations);
  RemovePlatformTap();
  if (!ok) state.SkipWithError("a token was not listed or not read");
  state.SetLabel(RoadName(road));
}

// Tokens of one kind: the registry holds 127 slots, and each kind's scan stops at 127.
BENCHMARK_CAPTURE(BM_EnumDevices, hid, Road::kHid)->Arg(1)->Arg(16)->Arg(127);
BENCHMARK_CAPTURE(BM_EnumDevices, usb, Road::kOneShot)->Arg(1)->Arg(16)->Arg(127);

}  // namespace
