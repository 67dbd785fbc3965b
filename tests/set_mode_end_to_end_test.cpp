#include <gtest/gtest.h>

#include "app/set_mode_action.h"
#include "tests/library_fixture.h"

namespace {

struct Boxes {
  std::vector<std::string> shown;
  int openHandlesAtBox = -1;
  SimMachine* machine = nullptr;
};

void Show(void* user, const char* text, const char* caption, uint32_t flags) {
  auto* boxes = static_cast<Boxes*>(user);
  boxes->shown.push_back(std::string(caption) + ": " + text + " " + std::to_string(flags));
  boxes->openHandlesAtBox = boxes->machine->OpenDeviceHandles();
}

const std::string kDone =
    "success: Set communication mode successfully! You need reattach the dongle to enable the "
    "mode now. 64";
const std::string kFailed = "error: Failed to set communication mode! 16";
const std::string kNoDongle = "error: No dongle found! 16";

class SetModeEndToEnd : public LibraryTest {
 protected:
  std::string Run(char mode) {
    Boxes boxes;
    boxes.machine = &machine;
    RunSetModeAction(LibraryDeviceOperations(), mode, &Show, &boxes);
    EXPECT_TRUE(RegistryInvariantsHold());
    EXPECT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(0, boxes.openHandlesAtBox) << "the token is closed before its box";
    EXPECT_EQ(0, machine.OpenMutexHandles());
    EXPECT_EQ(0, machine.LiveAllocations());
    return boxes.shown.empty() ? "" : boxes.shown[0];
  }
  // The exchanges after enumeration: the device-type query and the mode request.
  std::vector<std::string> Wire() {
    std::vector<std::string> wire;
    for (const SimExchange& e : machine.Log()) {
      if (e.operation != "read-atr") wire.push_back(e.operation + " " + Hex(e.sent));
    }
    return wire;
  }
};

TEST_F(SetModeEndToEnd, UsbTokenOneShot) {
  machine.AddToken(Usb(0x0230, 0x05));
  EXPECT_EQ(kDone, Run('B'));
  EXPECT_EQ((std::vector<std::string>{
                "transact 40 00 00 00 00 00 06 00 80 CA 07 00 01 00",
                "transact 40 01 07 00 00 00 01 00 AA",
            }),
            Wire());
  EXPECT_EQ(TOKEN_MODE_HID, machine.TokenModel(0).requestedMode);
}

TEST_F(SetModeEndToEnd, UsbTokenTwoStepWithAnswerToResetFallback) {
  SimTokenSpec spec = Usb(0x0205, 0x85);
  spec.faults.refuseTransact = true;
  spec.faults.refuseReadAtr = true;
  machine.AddToken(spec);
  EXPECT_EQ(kDone, Run('A'));
  EXPECT_EQ((std::vector<std::string>{
                "transact 40 01 02 00 00 00 08 00 00 00 00 00 00 00 00 00",
                "send-setup 40 01 02 00 00 00 08 00 00 00 00 00 00 00 00 00",
                "receive C0 01 00 00 00 00 FF 00",
                "transact 40 00 00 00 00 00 06 00 80 CA 07 00 01 00",
                "send-setup 40 00 00 00 00 00 06 00 80 CA 07 00 01 00",
                "receive C0 00 00 00 00 00 FF 00",
                "transact 40 01 07 00 00 00 01 00 00",
                "send-setup 40 01 07 00 00 00 01 00 00",
                "receive C0 01 00 00 00 00 FF 00",
            }),
            Wire());
  EXPECT_EQ(TOKEN_MODE_USB, machine.TokenModel(0).requestedMode);
}

TEST_F(SetModeEndToEnd, HidTokenReports) {
  machine.AddToken(Hid(0x0230, 0x05));
  EXPECT_EQ(kDone, Run('A'));
  const auto wire = Wire();
  ASSERT_EQ(6u, wire.size());
  EXPECT_EQ("set-feature 80 09 02", wire[0].substr(0, 20)) << "the answer-to-reset";
  EXPECT_EQ("set-feature 14 06 80 CA 07 00 01 00", wire[2]);
  EXPECT_EQ("set-feature 80 02 07 00 00", wire[4].substr(0, 26));
  EXPECT_EQ(std::string("get-feature"), wire[5].substr(0, 11));
  EXPECT_EQ(0u, machine.TokenModel(0).unpairedReads);
}

TEST_F(SetModeEndToEnd, RefusalsAndFailures) {
  struct Case {
    const char* name;
    SimTokenSpec spec;
    std::string box;
  };
  SimTokenSpec statusWord = Usb();
  statusWord.deviceTypeStatus = 0x6D00;
  SimTokenSpec replyData = Hid();
  replyData.modeReply = {1, 2};
  SimTokenSpec neverAnswers = Hid();
  SimTokenSpec receivesFail = Usb();
  receivesFail.faults.refuseTransact = true;
  const Case cases[] = {
      {"type 0 below 0x0230", Usb(0x022F, 0x05), kFailed},
      {"type 1 below 0x0205", Hid(0x0204, 0x85), kFailed},
      {"type 2", Usb(0x0300, 0xC0), kFailed},
      {"version 0x0200", Hid(0x0200, 0x00), kFailed},
      {"status word", statusWord, kFailed},
      {"reply data", replyData, kFailed},
      {"version 0x01FF", Hid(0x01FF, 0x05), kNoDongle},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int token = machine.AddToken(c.spec);
    EXPECT_EQ(c.box, Run('B'));
    machine.Unplug(token);
    EnumAll();
  }
}

TEST_F(SetModeEndToEnd, HidTimeoutsAndUsbReceiveFailuresAtAndPastTheirBounds) {
  machine.AddToken(Hid());
  machine.Faults(0).getTimeouts = 9;  // the tenth get of the first exchange answers
  EXPECT_EQ(kDone, Run('B'));
  machine.Faults(0).getsNeverAnswer = true;
  EXPECT_EQ(kNoDongle, Run('B')) << "no answer-to-reset: not listed";
  machine.Unplug(0);

  SimTokenSpec spec = Usb();
  spec.faults.refuseTransact = true;
  const int usb = machine.AddToken(spec);
  machine.Faults(usb).receiveFailures = 9;
  EXPECT_EQ(kDone, Run('B'));
  // The query's ten receives fail.
  machine.Faults(usb).receiveFailures = 10;
  EXPECT_EQ(kFailed, Run('B'));
}

TEST_F(SetModeEndToEnd, NoTokenTwoTokensAndUnplugs) {
  EXPECT_EQ(kNoDongle, Run('B'));
  machine.AddToken(Hid());
  machine.AddToken(Usb());
  machine.ClearLog();
  EXPECT_EQ(kNoDongle, Run('B'));
  EXPECT_TRUE(Wire().size() == 2) << "only the two answer-to-reset fetches of the HID token";
  machine.Unplug(1);
  machine.Faults(0).unopenable = true;
  EXPECT_EQ(kNoDongle, Run('B'));
}

TEST_F(SetModeEndToEnd, AbandonedMutexDoesNotStopTheSwitch) {
  machine.AddToken(Hid());
  DeviceContext context = EnumOne();
  char name[MUTEX_NAME_CAPACITY];
  MakeMutexName(DeviceRegistry[context.slotIndex].devicePath, name);
  machine.SetNextWait(name, SimWait::kAbandoned);
  EXPECT_EQ(kDone, Run('B'));
  EXPECT_FALSE(machine.MutexHeld(name));
}

TEST_F(SetModeEndToEnd, TheHundredTwentyEighthTokenIsNotListed) {
  for (int i = 0; i < 128; ++i) machine.AddToken(Usb());
  EXPECT_EQ(127u, EnumAll().size());
  EXPECT_EQ(kNoDongle, Run('B'));
}

}  // namespace
