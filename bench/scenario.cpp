#include "bench/scenario.h"

#include "app/set_mode_action.h"

uint32_t ScenarioTransfers(const Scenario& scenario) {
  if (scenario.kind == Scenario::kSetMode) return SetModeTransfers(scenario.road);
  return static_cast<uint32_t>(scenario.tokens) * AnswerToResetTransfers(scenario.road);
}

ScenarioRunner::ScenarioRunner(const Scenario& s, uint32_t transferLatencyMicros)
    : scenario(s), machine(transferLatencyMicros), records_(static_cast<size_t>(s.tokens)) {
  machine.AddTokens(s.road, s.tokens);
}

bool ScenarioRunner::Run() {
  if (scenario.kind == Scenario::kSetMode) {
    // Away from the token's mode; it answers on as before until it is attached again.
    const char mode = scenario.road == Road::kHid ? 'A' : 'B';
    return RunSetModeAction(LibraryDeviceOperations(), mode, &NoMessage, nullptr).stage ==
           SetModeOutcome::kSucceeded;
  }
  uint32_t size = static_cast<uint32_t>(records_.size()) * DEVICE_CONTEXT_SIZE;
  const uint32_t expected = size;
  return EnumDevices(records_.data(), &size) == RESULT_SUCCESS && size == expected;
}
