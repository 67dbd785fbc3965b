#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/args.h"

namespace {

using Args = std::vector<std::string>;

TEST(CliArgs, HelpAndVersionWinOverEverythingElse) {
  for (const Args& args : {Args{"--help"}, Args{"-h"}, Args{"help"}, Args{"set", "usb", "-h"},
                           Args{"--simulate", "help"}, Args{"--version", "--help"}}) {
    CliOptions options;
    std::string error;
    ASSERT_TRUE(ParseArgs(args, &options, &error)) << args[0] << ": " << error;
    EXPECT_EQ(options.command, Command::kHelp) << args[0];
  }
  CliOptions options;
  std::string error;
  ASSERT_TRUE(ParseArgs({"--version"}, &options, &error));
  EXPECT_EQ(options.command, Command::kVersion);
}

TEST(CliArgs, SetTakesItsOptionsBeforeOrAfterTheCommand) {
  CliOptions options;
  std::string error;
  ASSERT_TRUE(ParseArgs({"--json", "set", "usb", "--simulate=s.json", "--wait", "--token",
                         "0a0B0c0D0e0F1011", "--trace=t.txt"},
                        &options, &error))
      << error;
  EXPECT_EQ(options.command, Command::kSet);
  EXPECT_EQ(options.mode, TargetMode::kUsb);
  EXPECT_TRUE(options.json);
  EXPECT_TRUE(options.simulate);
  EXPECT_EQ(options.scenarioPath, "s.json");
  EXPECT_EQ(options.tracePath, "t.txt");
  EXPECT_TRUE(options.wait);
  EXPECT_EQ(options.waitSeconds, 60u);
  ASSERT_TRUE(options.token.given);
  ASSERT_TRUE(options.token.byIdentifier);
  const uint8_t expected[8] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11};
  EXPECT_EQ(0, memcmp(options.token.identifier, expected, 8));
}

TEST(CliArgs, TokenByIndexWaitWithSecondsAndTheBuiltInMachine) {
  CliOptions options;
  std::string error;
  ASSERT_TRUE(ParseArgs({"--simulate", "set", "hid", "--token=12", "--wait=5"}, &options, &error))
      << error;
  EXPECT_EQ(options.mode, TargetMode::kHid);
  EXPECT_TRUE(options.simulate);
  EXPECT_EQ(options.scenarioPath, "");
  EXPECT_FALSE(options.token.byIdentifier);
  EXPECT_EQ(options.token.index, 12u);
  EXPECT_EQ(options.waitSeconds, 5u);

  ASSERT_TRUE(ParseArgs({"list", "--json"}, &options, &error)) << error;
  EXPECT_EQ(options.command, Command::kList);
  EXPECT_FALSE(options.simulate);
  EXPECT_TRUE(options.json);
}

TEST(CliArgs, UsageErrorsSayWhatIsWrong) {
  struct Case {
    Args args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"--simulate"}, "no command given"},
      {{"switch"}, "unknown command switch"},
      {{"set"}, "set needs a mode"},
      {{"set", "HID"}, "set HID: the mode is hid or usb"},
      {{"set", "hid", "usb"}, "set takes one mode"},
      {{"list", "all"}, "list takes no argument"},
      {{"list", "--token=1"}, "list does not take --token"},
      {{"list", "--wait"}, "list does not take --wait"},
      {{"set", "usb", "--token=127"}, "--token=127: expected an identifier of 16 hex digits"},
      {{"set", "usb", "--token=0102030405060G08"}, "--token=0102030405060G08"},
      {{"set", "usb", "--token=010203040506070"}, "--token=010203040506070"},
      {{"set", "usb", "--token=-1"}, "--token=-1"},
      {{"set", "usb", "--token"}, "--token needs a value"},
      {{"set", "usb", "--wait=soon"}, "--wait=soon: expected a number of seconds"},
      {{"set", "usb", "--wait=86401"}, "--wait=86401"},
      {{"set", "usb", "--wait=99999999999"}, "--wait=99999999999"},
      {{"set", "usb", "--wait="}, "--wait=: expected"},
      {{"--simulate=", "list"}, "--simulate= needs a scenario file"},
      {{"--trace=", "list"}, "--trace needs a file name"},
      {{"--jason", "list"}, "unknown option --jason"},
      {{"--json=yes", "list"}, "unknown option --json=yes"},
      {{"-x", "list"}, "unknown option -x"},
  };
  for (const Case& c : cases) {
    CliOptions options;
    std::string error;
    std::string shown;
    for (const std::string& arg : c.args) shown += arg + " ";
    EXPECT_FALSE(ParseArgs(c.args, &options, &error)) << shown;
    EXPECT_NE(error.find(c.message), std::string::npos) << shown << "-> " << error;
  }
}

TEST(CliArgs, UsageNamesEveryOption) {
  for (const char* option :
       {"--simulate[=SCENARIO.json]", "--trace=FILE", "list [--json]",
        "set hid|usb [--token=ID] [--wait[=SECONDS]] [--json]", "--help, -h, help", "--version",
        "--token=ID", "--wait[=SECONDS]", "--json"}) {
    EXPECT_NE(std::string(kUsage).find(option), std::string::npos) << option;
  }
}

}  // namespace
