#include <gtest/gtest.h>

#include "tests/library_fixture.h"

namespace {

class ModeControl : public LibraryTest {
 protected:
  std::vector<std::string> Transacts() { return Sent("transact"); }
};

struct GateCase {
  uint16_t version;
  uint8_t replyByte;  // the token's device-type byte
  Result result;
};

class Gates : public ModeControl, public testing::WithParamInterface<GateCase> {};

TEST_P(Gates, ModeRequestOnlyWhereTypeAndVersionAllowIt) {
  const GateCase& c = GetParam();
  DeviceContext context = OpenToken(Usb(c.version, c.replyByte));
  uint32_t outLength = 99;
  EXPECT_EQ(c.result, Control(&context, CONTROL_USB_MODE, nullptr, 0, &outLength));
  const auto sent = Transacts();
  const std::string query = c.version == 0x0200 ? "40 00 00 00 00 00 06 00 80 CA 06 00 01 00"
                                                : "40 00 00 00 00 00 06 00 80 CA 07 00 01 00";
  if (c.result == RESULT_SUCCESS) {
    EXPECT_EQ((std::vector<std::string>{query, "40 01 07 00 00 00 01 00 00"}), sent);
    EXPECT_EQ(0u, outLength);
  } else {
    EXPECT_EQ((std::vector<std::string>{query}), sent);
    EXPECT_EQ(99u, outLength);
  }
  Close(&context);
}

INSTANTIATE_TEST_SUITE_P(
    TypesAndVersions, Gates,
    testing::Values(GateCase{0x0230, 0x05, RESULT_SUCCESS},  // type 0 from 0x0230
                    GateCase{0x022F, 0x05, RESULT_FUNCTION_NOT_SUPPORTED},
                    GateCase{0x0205, 0x85, RESULT_SUCCESS},  // type 1 from 0x0205
                    GateCase{0x0204, 0x85, RESULT_FUNCTION_NOT_SUPPORTED},
                    GateCase{0x0999, 0xC3, RESULT_FUNCTION_NOT_SUPPORTED},  // type 2
                    GateCase{0x0999, 0x4F, RESULT_FUNCTION_NOT_SUPPORTED},
                    GateCase{0x0200, 0x00, RESULT_FUNCTION_NOT_SUPPORTED},  // 0x0200 never
                    GateCase{0x0200, 0x01, RESULT_FUNCTION_NOT_SUPPORTED}));

TEST_F(ModeControl, HidModeByteOnBothTransports) {
  DeviceContext usb = OpenToken(Usb(0x0205, 0x85));
  EXPECT_EQ(RESULT_SUCCESS, Control(&usb, CONTROL_HID_MODE));
  EXPECT_EQ("40 01 07 00 00 00 01 00 AA", Transacts().at(1));
  Close(&usb);
  machine.Unplug(0);

  DeviceContext hid = OpenToken(Hid(0x0230, 0x05));
  EXPECT_EQ(RESULT_SUCCESS, Control(&hid, CONTROL_HID_MODE));
  const auto reports = Sent("set-feature");
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ("14 06 80 CA 07 00 01 00", reports[0]);
  EXPECT_EQ("80 02 07 AA", reports[1].substr(0, 11));
  Close(&hid);
}

TEST_F(ModeControl, QueryFailuresStopTheSwitch) {
  SimTokenSpec spec = Usb();
  spec.deviceTypeStatus = 0x6D00;
  DeviceContext context = OpenToken(spec);
  EXPECT_EQ(0x6D00u, Control(&context, CONTROL_USB_MODE));
  EXPECT_EQ(1u, Transacts().size());

  machine.Faults(0).refuseTransact = true;
  machine.Faults(0).receiveFailures = 10;
  EXPECT_EQ(RESULT_COMM_ERROR, Control(&context, CONTROL_USB_MODE));
  Close(&context);
}

TEST_F(ModeControl, ReplyDataToTheModeRequest) {
  SimTokenSpec spec = Usb();
  spec.modeReply = {0xAB, 0xCD};
  DeviceContext context = OpenToken(spec);
  uint32_t outLength = 99;
  EXPECT_EQ(RESULT_BUFFER_TOO_SMALL, Control(&context, CONTROL_USB_MODE, nullptr, 0, &outLength));
  EXPECT_EQ(99u, outLength);
  uint8_t out[16] = {};
  EXPECT_EQ(RESULT_SUCCESS, Control(&context, CONTROL_USB_MODE, out, 16, &outLength));
  EXPECT_EQ(2u, outLength);
  EXPECT_EQ("AB CD", Hex(out, 2));
  EXPECT_EQ(RESULT_SUCCESS, Control(&context, CONTROL_USB_MODE, out, 16, nullptr));
  Close(&context);
}

TEST_F(ModeControl, RefusedBeforeAnythingIsSent) {
  DeviceContext context = OpenToken(Usb());
  DeviceContext enumerated = context;
  enumerated.handle = kInvalidHandle;
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Control(&enumerated, CONTROL_USB_MODE));
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Control(nullptr, CONTROL_USB_MODE));
  for (uint32_t code : {0x00u, 0x40u, 0x43u, 0x61u, 0xFFFFFFFFu}) {
    EXPECT_EQ(RESULT_INVALID_PARAMETER, Control(&context, code)) << code;
  }
  EXPECT_TRUE(machine.Log().empty());
  Close(&context);
}

}  // namespace
