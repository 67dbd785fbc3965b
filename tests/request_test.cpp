#include <gtest/gtest.h>

#include <cstring>

#include "io/io.h"
#include "tests/library_fixture.h"

namespace {

class Request : public LibraryTest {
 protected:
  // The slot of the one attached token, opened; the log starts empty afterwards.
  DeviceSlot* OpenTokenSlot(const SimTokenSpec& spec) {
    context_ = OpenToken(spec);
    return &DeviceRegistry[context_.slotIndex];
  }
  void TearDown() override {
    if (context_.handle != kInvalidHandle) Close(&context_);
    LibraryTest::TearDown();
  }

  DeviceContext context_{};
  uint8_t reply_[256] = {};
  uint32_t replyLength_ = 255;
};

struct ValueCase {
  int32_t code;
  std::vector<uint8_t> data;
  bool dataPointer;
  std::string frame;  // the one-shot input
};
// Printed by its frame: the raw bytes gtest would print include the record's padding.
void PrintTo(const ValueCase& c, std::ostream* out) { *out << c.frame; }

class ControlValues : public Request, public testing::WithParamInterface<ValueCase> {};

TEST_P(ControlValues, HeaderAndDataOfTheOneShotFrame) {
  const ValueCase& c = GetParam();
  DeviceSlot* slot = OpenTokenSlot(Usb());
  const uint8_t* data = c.dataPointer ? c.data.data() : nullptr;
  // The token refuses values it does not know; the frame went out all the same.
  SendControlRequest(slot, c.code, data, static_cast<uint32_t>(c.data.size()), reply_,
                     &replyLength_);
  ASSERT_FALSE(machine.Log().empty());
  EXPECT_EQ("transact", machine.Log()[0].operation);
  EXPECT_EQ(c.frame, Hex(machine.Log()[0].sent));
}

const std::string kFiller = " 00 00 00 00 00 00 00 00";
INSTANTIATE_TEST_SUITE_P(
    Codes, ControlValues,
    testing::Values(ValueCase{2, {}, false, "40 01 02 00 00 00 08 00" + kFiller},
                    ValueCase{4, {1, 2, 3}, true, "40 01 06 00 00 00 03 00 01 02 03"},
                    ValueCase{4, {}, false, "40 01 04 00 00 00 08 00" + kFiller},
                    ValueCase{4, {}, true, "40 01 04 00 00 00 08 00" + kFiller},
                    ValueCase{8, {9}, true, "40 01 05 00 00 00 01 00 09"},
                    ValueCase{5, {9}, true, "40 01 05 00 00 00 01 00 09"},
                    ValueCase{6, {9}, true, "40 01 06 00 00 00 01 00 09"},
                    ValueCase{7, {0xAA}, true, "40 01 07 00 00 00 01 00 AA"},
                    ValueCase{0x10107, {0}, true, "40 01 07 01 00 00 01 00 00"}));

TEST_F(Request, ApduOfTwoHundredFiftyFiveBytesInOneShot) {
  DeviceSlot* slot = OpenTokenSlot(Usb());
  std::vector<uint8_t> apdu(255, 0x11);
  ASSERT_EQ(0, SendApduRequest(slot, apdu.data(), 255, reply_, &replyLength_));
  const auto& sent = machine.Log().at(0).sent;
  ASSERT_EQ(263u, sent.size());
  EXPECT_EQ("40 00 00 00 00 00 FF 00 11", Hex(sent.data(), 9));
  // The token does not know this command.
  EXPECT_EQ(2u, replyLength_);
}

TEST_F(Request, RefusedOneShotFallsBackToTheTwoStepExchange) {
  SimTokenSpec spec = Usb();
  spec.faults.refuseTransact = true;
  DeviceSlot* slot = OpenTokenSlot(spec);
  const uint8_t query[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
  ASSERT_EQ(0, SendApduRequest(slot, query, 6, reply_, &replyLength_));
  EXPECT_EQ((std::vector<std::string>{"40 00 00 00 00 00 06 00 80 CA 07 00 01 00"}),
            Sent("send-setup"));
  EXPECT_EQ((std::vector<std::string>{"C0 00 00 00 00 00 FF 00"}), Sent("receive"));
  EXPECT_EQ(3u, replyLength_);
  EXPECT_EQ("05 90 00", Hex(reply_, replyLength_));

  machine.ClearLog();
  const uint8_t mode = 0xAA;
  ASSERT_EQ(0, SendControlRequest(slot, 7, &mode, 1, reply_, &replyLength_));
  EXPECT_EQ((std::vector<std::string>{"C0 01 00 00 00 00 FF 00"}), Sent("receive"));
  EXPECT_EQ(0u, replyLength_);
}

TEST_F(Request, ReceiveAttemptsAreBounded) {
  SimTokenSpec spec = Usb();
  spec.faults.refuseTransact = true;
  DeviceSlot* slot = OpenTokenSlot(spec);
  const uint8_t query[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};

  machine.Faults(0).receiveFailures = 9;
  ASSERT_EQ(0, SendApduRequest(slot, query, 6, reply_, &replyLength_));
  EXPECT_EQ(10u, Sent("receive").size()) << "the tenth attempt succeeds";

  machine.ClearLog();
  machine.Faults(0).receiveFailures = 10;
  EXPECT_EQ(-1, SendApduRequest(slot, query, 6, reply_, &replyLength_));
  EXPECT_EQ(10u, Sent("receive").size());
}

TEST_F(Request, FailedTwoStepSendReceivesNothing) {
  SimTokenSpec spec = Usb();
  spec.faults.refuseTransact = true;
  DeviceSlot* slot = OpenTokenSlot(spec);
  const uint8_t badMode = 0x55;  // the token refuses this mode byte
  EXPECT_EQ(-1, SendControlRequest(slot, 7, &badMode, 1, reply_, &replyLength_));
  EXPECT_EQ(1u, Sent("send-setup").size());
  EXPECT_TRUE(Sent("receive").empty());
}

TEST_F(Request, HidRoadFramesReportsUnderTheMutex) {
  DeviceSlot* slot = OpenTokenSlot(Hid());
  const uint8_t apdu[] = {0xD0, 0xD1, 0xD2, 0xD3, 0xD4};
  ASSERT_EQ(0, SendApduRequest(slot, apdu, 5, reply_, &replyLength_));
  EXPECT_EQ((std::vector<std::string>{"14 05 D0 D1 D2 D3 D4 00"}), Sent("set-feature"));
  EXPECT_EQ(1u, Sent("get-feature").size());
  EXPECT_EQ("6E 00", Hex(reply_, replyLength_)) << "an unknown class";

  machine.ClearLog();
  const uint8_t mode = 0x00;
  replyLength_ = 255;
  ASSERT_EQ(0, SendControlRequest(slot, 7, &mode, 1, reply_, &replyLength_));
  const auto& report = machine.Log().at(0).sent;
  ASSERT_EQ(258u, report.size());
  EXPECT_EQ("80 02 07 00", Hex(report.data(), 4));
  EXPECT_TRUE(std::all_of(report.begin() + 4, report.end(), [](uint8_t b) { return b == 0; }));
  char name[MUTEX_NAME_CAPACITY];
  MakeMutexName(slot->devicePath, name);
  EXPECT_FALSE(machine.MutexHeld(name)) << "released after the reply";
}

TEST_F(Request, HidMutexOutcomes) {
  DeviceSlot* slot = OpenTokenSlot(Hid());
  char name[MUTEX_NAME_CAPACITY];
  MakeMutexName(slot->devicePath, name);
  const uint8_t apdu[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};

  machine.SetNextWait(name, SimWait::kAbandoned);
  EXPECT_EQ(0, SendApduRequest(slot, apdu, 6, reply_, &replyLength_));
  EXPECT_FALSE(machine.MutexHeld(name));

  for (SimWait outcome : {SimWait::kTimeout, SimWait::kFailed}) {
    machine.ClearLog();
    machine.SetNextWait(name, outcome);
    EXPECT_EQ(-1, SendApduRequest(slot, apdu, 6, reply_, &replyLength_));
    EXPECT_TRUE(machine.Log().empty());
  }

  const Handle mutex = slot->mutex;
  slot->mutex = 0;
  EXPECT_EQ(-1, SendApduRequest(slot, apdu, 6, reply_, &replyLength_));
  EXPECT_TRUE(machine.Log().empty()) << "no mutex: nothing sent";
  slot->kind = 7;  // any kind but USB takes the HID road
  slot->mutex = mutex;
  replyLength_ = 255;
  EXPECT_EQ(0, SendApduRequest(slot, apdu, 6, reply_, &replyLength_));
  EXPECT_EQ(1u, Sent("set-feature").size());
  slot->kind = DEVICE_KIND_HID;
}

TEST_F(Request, UsbRoadNeverWaitsOnTheMutex) {
  DeviceSlot* slot = OpenTokenSlot(Usb());
  char name[MUTEX_NAME_CAPACITY];
  MakeMutexName(slot->devicePath, name);
  machine.SetNextWait(name, SimWait::kFailed);
  const uint8_t apdu[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
  EXPECT_EQ(0, SendApduRequest(slot, apdu, 6, reply_, &replyLength_));
}

TEST_F(Request, ArgumentsTheHeaderCannotCarryAreRefusedUnsent) {
  DeviceSlot* slot = OpenTokenSlot(Usb());
  std::vector<uint8_t> data(256, 1);
  EXPECT_EQ(-1, SendControlRequest(slot, 7, data.data(), 256, reply_, &replyLength_));
  EXPECT_EQ(-1, SendControlRequest(slot, 7, nullptr, 1, reply_, &replyLength_));
  EXPECT_EQ(-1, SendApduRequest(slot, data.data(), 256, reply_, &replyLength_));
  EXPECT_EQ(-1, SendApduRequest(slot, data.data(), 0, reply_, &replyLength_));
  EXPECT_EQ(-1, SendApduRequest(slot, nullptr, 5, reply_, &replyLength_));
  EXPECT_TRUE(machine.Log().empty());
}

TEST_F(Request, AnswerToResetRoads) {
  machine.AddToken(Usb());
  SimTokenSpec refusing = Usb();
  refusing.faults.refuseReadAtr = true;
  machine.AddToken(refusing);
  machine.AddToken(Hid());
  const auto records = EnumAll();
  ASSERT_EQ(3u, records.size());

  for (uint32_t i = 0; i < 3; ++i) {
    DeviceSlot* slot = &DeviceRegistry[i];
    char name[MUTEX_NAME_CAPACITY];
    MakeMutexName(slot->devicePath, name);
    slot->mutex = Platform().CreateMutexA(name);
    slot->handle = 0x4242;  // lent out and put back
    machine.ClearLog();
    uint8_t atr[256];
    uint8_t length = 255;
    ASSERT_EQ(0, ReadAnswerToReset(slot, atr, &length)) << i;
    EXPECT_EQ(17, length);
    EXPECT_EQ(0x3B, atr[0]);
    EXPECT_EQ(0x4242u, slot->handle);
    Platform().CloseHandle(slot->mutex);
    slot->mutex = 0;
    slot->handle = kInvalidHandle;
    std::vector<std::string> operations;
    for (const SimExchange& exchange : machine.Log()) operations.push_back(exchange.operation);
    // HID tokens take the lowest slots.
    const std::vector<std::vector<std::string>> expected = {
        {"set-feature", "get-feature"}, {"read-atr"}, {"read-atr", "transact"}};
    EXPECT_EQ(expected[i], operations) << i;
  }
  EXPECT_EQ(0, machine.OpenDeviceHandles()) << "every temporary handle closed";
}

TEST_F(Request, AnswerToResetOfAVanishedPathLeavesEverythingAlone) {
  machine.AddToken(Hid());
  EnumOne();
  DeviceSlot* slot = &DeviceRegistry[0];
  machine.Unplug(0);
  uint8_t atr[256];
  uint8_t length = 255;
  EXPECT_EQ(-1, ReadAnswerToReset(slot, atr, &length));
  EXPECT_EQ(255, length);
  EXPECT_EQ(kInvalidHandle, slot->handle);
}

TEST_F(Request, FailedFallbackStillRestoresTheHandle) {
  SimTokenSpec spec = Hid();
  machine.AddToken(spec);
  EnumOne();
  DeviceSlot* slot = &DeviceRegistry[0];
  machine.Faults(0).atrUnreadable = true;
  char name[MUTEX_NAME_CAPACITY];
  MakeMutexName(slot->devicePath, name);
  slot->mutex = Platform().CreateMutexA(name);
  uint8_t atr[256];
  uint8_t length = 255;
  EXPECT_EQ(-1, ReadAnswerToReset(slot, atr, &length));
  EXPECT_EQ(kInvalidHandle, slot->handle);
  EXPECT_EQ(0, machine.OpenDeviceHandles());
  Platform().CloseHandle(slot->mutex);
  slot->mutex = 0;
}

}  // namespace
