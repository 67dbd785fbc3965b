// The whole operations measured against the transport floor and counted in instructions:
// the set-mode action on each road, and EnumDevices with the registry full.
#pragma once

#include <cstdint>
#include <vector>

#include "bench/bench_machine.h"

struct Scenario {
  const char* name;  // "set-mode hid", "EnumDevices 127 usb"
  enum Kind { kSetMode, kEnumDevices } kind;
  Road road;
  int tokens;
};

inline constexpr Scenario kScenarios[] = {
    {"set-mode one-shot", Scenario::kSetMode, Road::kOneShot, 1},
    {"set-mode two-step", Scenario::kSetMode, Road::kTwoStep, 1},
    {"set-mode hid", Scenario::kSetMode, Road::kHid, 1},
    {"EnumDevices 127 usb", Scenario::kEnumDevices, Road::kOneShot, 127},
    {"EnumDevices 127 hid", Scenario::kEnumDevices, Road::kHid, 127},
};

// The control transfers one run of the scenario makes.
uint32_t ScenarioTransfers(const Scenario& scenario);

// A machine with the scenario's tokens attached, and what one run needs.
class ScenarioRunner {
 public:
  ScenarioRunner(const Scenario& scenario, uint32_t transferLatencyMicros);
  // One run; false when it failed.
  bool Run();

  const Scenario& scenario;
  BenchMachine machine;

 private:
  std::vector<DeviceContext> records_;
};
