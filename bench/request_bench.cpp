// One request on an opened token, per transport road: the request layer alone, and the
// command exchange and mode switch above it.
#include <benchmark/benchmark.h>

#include "bench/bench_machine.h"
#include "commands/commandfile.h"
#include "io/io.h"
#include "platform/tap/platform_tap.h"

namespace {

// Runs `request` once per iteration on one opened token of `road`; it returns whether the
// request succeeded. Reports the control transfers each iteration made.
template <typename Request>
void MeasureRequest(benchmark::State& state, Road road, Request request) {
  BenchMachine machine;
  machine.AddTokens(road, 1);
  DeviceContext context{};
  if (!machine.OpenFirst(&context)) {
    state.SkipWithError("the token did not open");
    return;
  }
  DeviceSlot* slot = BenchMachine::SlotOf(context);
  InstallPlatformTap();
  bool ok = true;
  for (auto _ : state) {
    ok &= request(&context, slot);
  }
  state.counters["transfers"] =
      benchmark::Counter(static_cast<double>(TapTransfers()), benchmark::Counter::kAvgIterations);
  RemovePlatformTap();
  CloseDevice(&context);
  if (!ok) state.SkipWithError("a request failed");
  state.SetLabel(RoadName(road));
}

void BM_SendApduRequest(benchmark::State& state, Road road) {
  MeasureRequest(state, road, [](DeviceContext*, DeviceSlot* slot) {
    uint8_t reply[256];
    uint32_t length = 255;
    const int32_t result = SendApduRequest(slot, kTypeQuery, sizeof kTypeQuery, reply, &length);
    benchmark::DoNotOptimize(reply);
    return result == 0;
  });
}

void BM_SendControlRequest(benchmark::State& state, Road road) {
  // Request 2, the answer-to-reset read, as every enumeration sends it.
  MeasureRequest(state, road, [](DeviceContext*, DeviceSlot* slot) {
    uint8_t reply[256];
    uint32_t length = 255;
    const int32_t result = SendControlRequest(slot, 2, nullptr, 0, reply, &length);
    benchmark::DoNotOptimize(reply);
    return result == 0;
  });
}

void BM_QueryDeviceType(benchmark::State& state, Road road) {
  MeasureRequest(state, road, [](DeviceContext* context, DeviceSlot*) {
    uint8_t type = 0;
    const Result result = QueryDeviceType(context, &type);
    benchmark::DoNotOptimize(type);
    return result == RESULT_SUCCESS;
  });
}

// The mode switch of an opened token: the device-type query and the mode request.
void BM_ControlDevice(benchmark::State& state, Road road) {
  MeasureRequest(state, road, [](DeviceContext* context, DeviceSlot*) {
    uint32_t length = 0;
    return ControlDevice(context, CONTROL_HID_MODE, nullptr, 0, nullptr, 0, &length) ==
           RESULT_SUCCESS;
  });
}

BENCHMARK_CAPTURE(BM_SendApduRequest, one_shot, Road::kOneShot);
BENCHMARK_CAPTURE(BM_SendApduRequest, two_step, Road::kTwoStep);
BENCHMARK_CAPTURE(BM_SendApduRequest, hid, Road::kHid);
BENCHMARK_CAPTURE(BM_SendControlRequest, one_shot, Road::kOneShot);
BENCHMARK_CAPTURE(BM_SendControlRequest, two_step, Road::kTwoStep);
BENCHMARK_CAPTURE(BM_SendControlRequest, hid, Road::kHid);
BENCHMARK_CAPTURE(BM_QueryDeviceType, one_shot, Road::kOneShot);
BENCHMARK_CAPTURE(BM_QueryDeviceType, two_step, Road::kTwoStep);
BENCHMARK_CAPTURE(BM_QueryDeviceType, hid, Road::kHid);
BENCHMARK_CAPTURE(BM_ControlDevice, one_shot, Road::kOneShot);
BENCHMARK_CAPTURE(BM_ControlDevice, two_step, Road::kTwoStep);
BENCHMARK_CAPTURE(BM_ControlDevice, hid, Road::kHid);

}  // namespace
