#include "bench/bench_machine.h"

#include "device/discovery.h"
#include "device/registry.h"
#include "io/hid_transport.h"

const char* RoadName(Road road) {
  switch (road) {
    case Road::kOneShot:
      return "one-shot";
    case Road::kTwoStep:
      return "two-step";
    case Road::kHid:
      return "hid";
  }
  return "?";
}

BenchMachine::BenchMachine(uint32_t transferLatencyMicros) {
  sim.Install();
  sim.SetLogging(false);
  sim.SetTransferLatencyMicros(transferLatencyMicros);
  InitRegistry();
  ForgetSetupApiEntryPoints();
  ForgetHidEntryPoints();
}

void BenchMachine::AddTokens(Road road, int count) {
  for (int i = 0; i < count; ++i) {
    SimTokenSpec spec;
    spec.mode = road == Road::kHid ? SimMode::kHid : SimMode::kUsb;
    spec.faults.refuseTransact = road == Road::kTwoStep;
    spec.identifier = {1, 2, 3, 4, 5, 6, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    sim.AddToken(spec);
  }
}

bool BenchMachine::OpenFirst(DeviceContext* context) {
  uint32_t size = DEVICE_CONTEXT_SIZE;
  return EnumDevices(context, &size) == RESULT_SUCCESS && size == DEVICE_CONTEXT_SIZE &&
         OpenDevice(context) == RESULT_SUCCESS;
}

DeviceSlot* BenchMachine::SlotOf(const DeviceContext& context) {
  return &DeviceRegistry[context.slotIndex];
}

uint32_t AnswerToResetTransfers(Road road) {
  return road == Road::kHid ? 2 : 1;
}

uint32_t SetModeTransfers(Road road) {
  switch (road) {
    case Road::kOneShot:
      return 1 + 1 + 1;
    case Road::kTwoStep:
      return 1 + 3 + 3;  // refused one-shot, send, receive
    case Road::kHid:
      return 2 + 2 + 2;
  }
  return 0;
}

void NoMessage(void*, const char*, const char*, uint32_t) {}
