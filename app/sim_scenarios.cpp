#include "app/sim_scenarios.h"

#include <fstream>

#include "platform/sim/sim_machine.h"
#ifdef TOKENMODE_SCENARIO_LOADER
#include "platform/sim/scenario.h"
#endif

namespace {

SimTokenSpec Token(SimMode mode, uint8_t deviceType, std::vector<uint8_t> identifier) {
  SimTokenSpec spec;
  spec.mode = mode;
  spec.version = 0x0230;
  spec.deviceType = deviceType;
  spec.identifier = std::move(identifier);
  return spec;
}

struct NamedScenario {
  const char* name;
  std::vector<SimTokenSpec> tokens;
};

std::vector<NamedScenario> BuiltInScenarios() {
  const std::vector<uint8_t> first = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<uint8_t> second = {8, 7, 6, 5, 4, 3, 2, 1};
  return {
      {"none", {}},
      {"one-hid-token", {Token(SimMode::kHid, 0x05, first)}},
      {"one-usb-token", {Token(SimMode::kUsb, 0x05, first)}},
      {"refusing-token", {Token(SimMode::kHid, 0xC0, first)}},
      {"two-tokens", {Token(SimMode::kHid, 0x05, first), Token(SimMode::kHid, 0x05, second)}},
  };
}

// JSON scenario files go to the command-line tool's scenario loader, where the build has it.
bool LoadScenarioFromFile(const std::string& path, SimMachine& machine, std::string* error) {
#ifdef TOKENMODE_SCENARIO_LOADER
  return LoadScenarioFile(path, machine, error);
#else
  (void)machine;
  *error = "cannot read " + path + ": this build has no JSON scenario loader";
  return false;
#endif
}

}  // namespace

bool SetUpScenario(const std::string& scenario, SimMachine& machine, std::string* error) {
  for (const NamedScenario& named : BuiltInScenarios()) {
    if (scenario != named.name) continue;
    for (const SimTokenSpec& spec : named.tokens) machine.AddToken(spec);
    return true;
  }
  std::ifstream file(scenario);
  if (!file) {
    *error = "no built-in scenario and no file named '" + scenario + "'";
    return false;
  }
  return LoadScenarioFromFile(scenario, machine, error);
}
