#include "app/set_mode_action.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A fake of the library's four operations that records every call, and of the message box.
struct Fake {
  int tokens = 1;
  Result openResult = RESULT_SUCCESS;
  Result controlResult = RESULT_SUCCESS;
  std::vector<std::string> calls;
  uint32_t sizeIn = 0;
  uint32_t controlCode = 0;
  bool controlArgsEmpty = false;
  uint32_t* replyLengthWord = nullptr;
  DeviceContext* enumerated = nullptr;
  std::vector<DeviceContext*> contextsSeen;
};
Fake* g_fake = nullptr;

Result FakeEnum(DeviceContext* contexts, uint32_t* size) {
  g_fake->calls.push_back("enum");
  g_fake->sizeIn = *size;
  g_fake->enumerated = contexts;
  const uint32_t needed = g_fake->tokens * DEVICE_CONTEXT_SIZE;
  const uint32_t room = *size;
  *size = needed;
  if (needed > room) return RESULT_BUFFER_TOO_SMALL;
  if (needed != 0) contexts[0].slotIndex = 7;
  return RESULT_SUCCESS;
}
Result FakeOpen(DeviceContext* context) {
  g_fake->calls.push_back("open");
  g_fake->contextsSeen.push_back(context);
  return g_fake->openResult;
}
Result FakeControl(DeviceContext* context, uint32_t code, const void* in, uint32_t inLength,
                   void* out, uint32_t outCapacity, uint32_t* outLength) {
  g_fake->calls.push_back("control");
  g_fake->contextsSeen.push_back(context);
  g_fake->controlCode = code;
  g_fake->controlArgsEmpty = in == nullptr && inLength == 0 && out == nullptr && outCapacity == 0;
  g_fake->replyLengthWord = outLength;
  if (outLength != nullptr) *outLength = 12345;  // ignored by the action
  return g_fake->controlResult;
}
Result FakeClose(DeviceContext* context) {
  g_fake->calls.push_back("close");
  g_fake->contextsSeen.push_back(context);
  return RESULT_INVALID_PARAMETER;  // its result is not looked at
}

void RecordBox(void* user, const char* text, const char* caption, uint32_t flags) {
  static_cast<Fake*>(user)->calls.push_back(std::string("box:") + text + "|" + caption + "|" +
                                            std::to_string(flags));
}

const DeviceOperations kFakeOps{&FakeEnum, &FakeOpen, &FakeControl, &FakeClose};

const std::string kNoDongle = "box:No dongle found!|error|16";
const std::string kFailed = "box:Failed to set communication mode!|error|16";
const std::string kDone =
    "box:Set communication mode successfully! You need reattach the dongle to enable the mode "
    "now.|success|64";

struct Case {
  const char* name;
  int tokens;
  Result open;
  Result control;
  std::vector<std::string> calls;
  SetModeOutcome::Stage stage;
};
// Printed by name: the raw bytes gtest would print include the record's padding.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class SetModeAction : public testing::TestWithParam<Case> {};

TEST_P(SetModeAction, CallsInOrderAndShowsOneBox) {
  const Case& c = GetParam();
  Fake fake;
  fake.tokens = c.tokens;
  fake.openResult = c.open;
  fake.controlResult = c.control;
  g_fake = &fake;
  const SetModeOutcome outcome = RunSetModeAction(kFakeOps, 'B', &RecordBox, &fake);
  EXPECT_EQ(c.calls, fake.calls);
  EXPECT_EQ(c.stage, outcome.stage);
  EXPECT_EQ(DEVICE_CONTEXT_SIZE, fake.sizeIn);
  // Every operation gets the one record that EnumDevices filled.
  for (DeviceContext* context : fake.contextsSeen) EXPECT_EQ(fake.enumerated, context);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, SetModeAction,
                         testing::Values(Case{"NoToken",
                                              0,
                                              RESULT_SUCCESS,
                                              RESULT_SUCCESS,
                                              {"enum", kNoDongle},
                                              SetModeOutcome::kNoDongle},
                                         Case{"TwoTokens",
                                              2,
                                              RESULT_SUCCESS,
                                              RESULT_SUCCESS,
                                              {"enum", kNoDongle},
                                              SetModeOutcome::kNoDongle},
                                         Case{"OpenFails",
                                              1,
                                              RESULT_OPEN_FAILED,
                                              RESULT_SUCCESS,
                                              {"enum", "open", kNoDongle},
                                              SetModeOutcome::kNoDongle},
                                         Case{"ControlRefused",
                                              1,
                                              RESULT_SUCCESS,
                                              RESULT_FUNCTION_NOT_SUPPORTED,
                                              {"enum", "open", "control", "close", kFailed},
                                              SetModeOutcome::kControlFailed},
                                         Case{"ReplyDataToTheModeRequest",
                                              1,
                                              RESULT_SUCCESS,
                                              RESULT_BUFFER_TOO_SMALL,
                                              {"enum", "open", "control", "close", kFailed},
                                              SetModeOutcome::kControlFailed},
                                         Case{"Success",
                                              1,
                                              RESULT_SUCCESS,
                                              RESULT_SUCCESS,
                                              {"enum", "open", "control", "close", kDone},
                                              SetModeOutcome::kSucceeded}),
                         [](const testing::TestParamInfo<Case>& param) {
                           return param.param.name;
                         });

TEST(SetModeAction, SendsTheModeCodeWidenedWithNoDataAndAReplyLengthWord) {
  for (const auto& [mode, code] : {std::pair{'B', 0x42u}, std::pair{'A', 0x41u}}) {
    Fake fake;
    g_fake = &fake;
    RunSetModeAction(kFakeOps, mode, &RecordBox, &fake);
    EXPECT_EQ(code, fake.controlCode);
    EXPECT_TRUE(fake.controlArgsEmpty);
    EXPECT_NE(nullptr, fake.replyLengthWord);
  }
}

}  // namespace
