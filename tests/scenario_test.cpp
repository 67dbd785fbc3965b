#include "platform/sim/scenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

TEST(Scenario, BadDocumentsNameTheFieldAndLeaveTheMachineAlone) {
  struct Case {
    const char* json;
    const char* message;
  };
  const Case cases[] = {
      {"", "not valid JSON"},
      {"{\"tokens\": [", "not valid JSON"},
      {"[1]", "scenario: expected an object, got [1]"},
      {"{\"token\": []}", "token: unknown field (known: description, os, tokens, otherHidDevices)"},
      {"{\"description\": 3}", "description: expected a string, got 3"},
      {"{\"os\": 10}", "os: expected an object, got 10"},
      {"{\"os\": {\"minor\": 0}}", "os.minor: unknown field"},
      {"{\"os\": {\"major\": -4}}",
       "os.major: expected a whole number from 0 to 4294967295, got -4"},
      {"{\"os\": {\"major\": 4.5}}", "os.major: expected a whole number"},
      {"{\"os\": {\"platformId\": \"2\"}}", "os.platformId: expected a whole number"},
      {"{\"os\": {\"major\": 4294967296}}", "os.major: expected a whole number"},
      {"{\"tokens\": {}}", "tokens: expected an array, got {}"},
      {"{\"tokens\": [3]}", "tokens[0]: expected an object, got 3"},
      {"{\"tokens\": [{}]}", "tokens[0].mode: missing"},
      {"{\"tokens\": [{\"mode\": \"HID\"}]}",
       "tokens[0].mode: expected \"hid\" or \"usb\", got \"HID\""},
      {"{\"tokens\": [{\"mode\": \"hid\", \"colour\": \"red\"}]}",
       "tokens[0].colour: unknown field"},
      {"{\"tokens\": [{\"mode\": \"hid\"}, {\"mode\": \"usb\", \"deviceType\": \"1G\"}]}",
       "tokens[1].deviceType: expected a hex byte, got \"1G\""},
      {"{\"tokens\": [{\"mode\": \"hid\", \"deviceType\": \"0505\"}]}",
       "tokens[0].deviceType: expected a hex byte"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"deviceType\": 5}]}",
       "tokens[0].deviceType: expected a hex byte, got 5"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"version\": \"230\"}]}",
       "tokens[0].version: expected 4 hex digits, got \"230\""},
      {"{\"tokens\": [{\"mode\": \"hid\", \"version\": \"0x0230\"}]}", "tokens[0].version"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"identifier\": \"010203040506070809\"}]}",
       "tokens[0].identifier: expected up to 16 hex digits"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"atr\": \"\"}]}", "tokens[0].atr: expected 1 to 255"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"atr\": \"3B0\"}]}", "tokens[0].atr: expected 1 to 255"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"deviceTypeStatus\": \"90\"}]}",
       "tokens[0].deviceTypeStatus: expected a status word of 4 hex digits"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"modeReply\": \"zz\"}]}", "tokens[0].modeReply"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"path\": 1}]}", "tokens[0].path: expected a string"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"hardwareId\": null}]}",
       "tokens[0].hardwareId: expected a string, got null"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"replugAfterMs\": -1}]}",
       "tokens[0].replugAfterMs: expected a whole number from 0 to 3600000, got -1"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"replugAfterMs\": 3600001}]}",
       "tokens[0].replugAfterMs"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"faults\": []}]}",
       "tokens[0].faults: expected an object, got []"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"faults\": {\"refuseTransact\": 1}}]}",
       "tokens[0].faults.refuseTransact: expected true or false, got 1"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"faults\": {\"getTimeouts\": true}}]}",
       "tokens[0].faults.getTimeouts: expected a whole number"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"faults\": {\"explode\": true}}]}",
       "tokens[0].faults.explode: unknown field"},
      {"{\"tokens\": [{\"mode\": \"hid\", \"path\": \"a\"}, {\"mode\": \"usb\", \"path\": \"a\"}]}",
       "tokens[1].path: the same as tokens[0].path"},
      {"{\"otherHidDevices\": [{}]}", "otherHidDevices[0].hardwareId: missing"},
      {"{\"otherHidDevices\": [{\"hardwareId\": \"x\", \"name\": \"y\"}]}",
       "otherHidDevices[0].name: unknown field"},
      {"{\"otherHidDevices\": \"HID\\\\VID_1\"}", "otherHidDevices: expected an array"},
  };
  for (const Case& c : cases) {
    SimMachine machine;
    std::string error;
    EXPECT_FALSE(LoadScenario(c.json, machine, &error)) << c.json;
    EXPECT_EQ(error.find(c.message), 0u) << c.json << "\n  gave: " << error;
    EXPECT_EQ(machine.TokenCount(), 0) << c.json;
  }
}

TEST(Scenario, TooManyTokensIsRefusedWithoutBuildingThem) {
  std::string json = "{\"tokens\": [";
  for (int i = 0; i < 257; ++i) json += std::string(i ? "," : "") + "{\"mode\": \"usb\"}";
  json += "]}";
  SimMachine machine;
  std::string error;
  EXPECT_FALSE(LoadScenario(json, machine, &error));
  EXPECT_EQ(error, "tokens: at most 256 tokens");
}

TEST(Scenario, FieldsReachTheMachine) {
  SimMachine machine;
  std::string error;
  ASSERT_TRUE(LoadScenario(R"({
    "os": {"platformId": 2, "major": 4},
    "tokens": [
      {"mode": "usb", "path": "\\\\.\\Token7", "version": "02 05", "identifier": "aa bb",
       "deviceType": "85", "deviceTypeStatus": "6d00", "modeReply": "01 02 03",
       "replugAfterMs": 20,
       "faults": {"refuseTransact": true, "refuseReadAtr": true, "receiveFailures": 3,
                  "getTimeouts": 2, "atrUnreadable": true, "unopenable": true}},
      {"mode": "hid", "atr": "3B 02 01 02"}
    ],
    "otherHidDevices": [{"hardwareId": "HID\\VID_046D&PID_C077"}]
  })",
                           machine, &error))
      << error;
  ASSERT_EQ(machine.TokenCount(), 2);
  EXPECT_EQ(machine.ModeOf(0), SimMode::kUsb);
  EXPECT_EQ(machine.ModeOf(1), SimMode::kHid);
  EXPECT_EQ(machine.PathOf(0), "\\\\.\\Token7");
  const SimFaults& faults = machine.Faults(0);
  EXPECT_TRUE(faults.refuseTransact);
  EXPECT_TRUE(faults.refuseReadAtr);
  EXPECT_EQ(faults.receiveFailures, 3u);
  EXPECT_EQ(faults.getTimeouts, 2u);
  EXPECT_TRUE(faults.atrUnreadable);
  EXPECT_TRUE(faults.unopenable);
  EXPECT_FALSE(machine.Faults(1).refuseTransact);

  const TokenConfig& usb = machine.TokenModel(0).config;
  EXPECT_EQ(usb.deviceType, 0x85);
  EXPECT_EQ(usb.deviceTypeStatus, 0x6D00);
  ASSERT_EQ(usb.modeReplyLength, 3);
  EXPECT_EQ(usb.modeReply[2], 0x03);
  const TokenConfig& hid = machine.TokenModel(1).config;
  ASSERT_EQ(hid.atrLength, 4);
  EXPECT_EQ(hid.atr[1], 0x02);
}

TEST(Scenario, TheBuiltInMachineHasOneHidTokenThatComesBack) {
  SimMachine machine;
  std::string error;
  ASSERT_TRUE(LoadScenario(kDefaultScenario, machine, &error)) << error;
  ASSERT_EQ(machine.TokenCount(), 1);
  EXPECT_EQ(machine.ModeOf(0), SimMode::kHid);
  EXPECT_EQ(machine.TokenModel(0).config.deviceType, 0x05);
}

TEST(Scenario, FileErrorsNameTheFile) {
  SimMachine machine;
  std::string error;
  EXPECT_FALSE(LoadScenarioFile("/nonexistent/scenario.json", machine, &error));
  EXPECT_EQ(error.find("/nonexistent/scenario.json: cannot read"), 0u) << error;

  std::string path = ::testing::TempDir() + "scenario_test.json";
  std::FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("{\"tokens\": [{\"mode\": \"usb\", \"version\": \"1\"}]}", file);
  std::fclose(file);
  EXPECT_FALSE(LoadScenarioFile(path, machine, &error));
  EXPECT_EQ(error, path + ": tokens[0].version: expected 4 hex digits, got \"1\"");
}

}  // namespace
