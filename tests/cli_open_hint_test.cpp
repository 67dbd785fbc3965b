// The tool passes on the backend's word on why no token could be opened (on Linux: no
// permission, and the udev rule that grants it), after "No dongle found!".
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "cli/commands.h"
#include "device/discovery.h"
#include "device/registry.h"
#include "io/hid_transport.h"
#include "platform/sim/sim_machine.h"

namespace {

const char* PermissionHint() {
  return "no permission to open /dev/hidraw0: install the rule";
}
const char* NoHint() {
  return "";
}

std::string ReadAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) text += buffer;
  return text;
}

struct HintCase {
  const char* name;
  Command command;
  const char* (*hint)();
  bool shown;
};

// Printed by name: the raw bytes gtest would print include the record's padding.
void PrintTo(const HintCase& c, std::ostream* out) {
  *out << c.name;
}

class OpenHint : public testing::TestWithParam<HintCase> {};

TEST_P(OpenHint, FollowsNoDongleFound) {
  const HintCase& c = GetParam();
  SimMachine machine;
  machine.Install();
  InitRegistry();
  ForgetSetupApiEntryPoints();
  ForgetHidEntryPoints();
  SimTokenSpec spec;
  spec.faults.unopenable = true;  // attached, but its device file cannot be opened
  machine.AddToken(spec);

  CliOptions options;
  options.command = c.command;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_NE(nullptr, out);
  ASSERT_NE(nullptr, err);
  const Console console{out, err, false, c.hint};
  const int exitCode =
      c.command == Command::kList ? RunList(options, console) : RunSet(options, console);
  EXPECT_EQ(kExitNoToken, exitCode);
  const std::string text = ReadAll(err);
  EXPECT_NE(std::string::npos, text.find("No dongle found!")) << text;
  const size_t hint = text.find("tokenmode: no permission to open /dev/hidraw0");
  EXPECT_EQ(c.shown, hint != std::string::npos) << text;
  if (c.shown) {
    EXPECT_LT(text.find("No dongle found!"), hint);
  }
  std::fclose(out);
  std::fclose(err);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, OpenHint,
    testing::Values(HintCase{"ListWithHint", Command::kList, &PermissionHint, true},
                    HintCase{"SetWithHint", Command::kSet, &PermissionHint, true},
                    HintCase{"ListEmptyHint", Command::kList, &NoHint, false},
                    HintCase{"SetNoBackendHint", Command::kSet, nullptr, false}),
    [](const testing::TestParamInfo<HintCase>& param) { return param.param.name; });

}  // namespace
