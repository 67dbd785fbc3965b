#include "app/sim_scenarios.h"

#include <fstream>
#include <sstream>

#include "platform/sim/sim_machine.h"

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

// JSON scenario files are read by the command-line tool's scenario loader; this is the one
// place that hands a file's text to it.
bool LoadScenarioText(const std::string& path, const std::string& /*json*/, SimMachine&,
                      std::string* error) {
  *error = "cannot read " + path + ": JSON scenarios need the scenario loader in this build";
  return false;
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
  std::stringstream text;
  text << file.rdbuf();
  return LoadScenarioText(scenario, text.str(), machine, error);
}
