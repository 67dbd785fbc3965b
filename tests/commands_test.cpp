#include <gtest/gtest.h>

#include <cstring>

#include "commands/commandfile.h"
#include "io/usb_transport.h"
#include "tests/library_fixture.h"

namespace {

// A USB token whose one-shot replies the test scripts: the driver call goes to the simulated
// machine (so the request is logged), then the reply is replaced.
std::vector<uint8_t> g_scriptedReply;
PlatformOps g_scriptedOps;
const PlatformOps* g_simOps = nullptr;

int32_t ScriptedIoControl(Handle device, uint32_t code, const void* in, uint32_t inSize, void* out,
                          uint32_t outSize, uint32_t* returned) {
  const int32_t ok = g_simOps->DeviceIoControl(device, code, in, inSize, out, outSize, returned);
  if (ok == 0 || code != IOCTL_TOKEN_TRANSACT) return ok;
  const size_t copy = std::min<size_t>(outSize, g_scriptedReply.size());
  if (copy != 0) memcpy(out, g_scriptedReply.data(), copy);
  *returned = static_cast<uint32_t>(g_scriptedReply.size());
  return ok;
}

class Commands : public LibraryTest {
 protected:
  void Script(std::vector<uint8_t> reply) {
    if (&Platform() != &g_scriptedOps) {
      g_simOps = &Platform();
      g_scriptedOps = *g_simOps;
    }
    g_scriptedOps.DeviceIoControl = &ScriptedIoControl;
    g_scriptedReply = std::move(reply);
    InstallPlatform(&g_scriptedOps);
  }
};

const uint8_t kQuery[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};

TEST_F(Commands, TransmitApduLengthsAndSizeProtocol) {
  DeviceContext context = OpenToken(Usb());
  std::vector<uint8_t> apdu(256, 0);
  uint8_t reply[8];
  uint32_t length = sizeof reply;
  EXPECT_EQ(RESULT_INVALID_PARAMETER, TransmitApdu(&context, apdu.data(), 4, reply, &length));
  EXPECT_EQ(RESULT_INVALID_PARAMETER, TransmitApdu(&context, apdu.data(), 256, reply, &length));
  EXPECT_EQ(RESULT_INVALID_PARAMETER, TransmitApdu(&context, nullptr, 5, reply, &length));
  EXPECT_EQ(RESULT_INVALID_PARAMETER, TransmitApdu(&context, apdu.data(), 5, nullptr, &length));
  EXPECT_EQ(RESULT_INVALID_PARAMETER, TransmitApdu(&context, apdu.data(), 5, reply, nullptr));
  EXPECT_TRUE(machine.Log().empty());
  EXPECT_EQ(RESULT_SUCCESS, TransmitApdu(&context, apdu.data(), 5, reply, &length));
  EXPECT_EQ(RESULT_SUCCESS, TransmitApdu(&context, apdu.data(), 255, reply, &length));
  EXPECT_EQ(2u, machine.Log().size());

  Script({0x01, 0x02, 0x90, 0x00});
  memset(reply, 0xEE, sizeof reply);
  length = 3;
  EXPECT_EQ(RESULT_BUFFER_TOO_SMALL, TransmitApdu(&context, kQuery, 6, reply, &length));
  EXPECT_EQ(4u, length);
  EXPECT_EQ(0xEE, reply[0]);
  EXPECT_EQ(RESULT_SUCCESS, TransmitApdu(&context, kQuery, 6, reply, &length));
  EXPECT_EQ("01 02 90 00", Hex(reply, length));
}

TEST_F(Commands, RunApduTurnsStatusWordsIntoResults) {
  DeviceContext context = OpenToken(Usb());
  const std::pair<std::vector<uint8_t>, Result> cases[] = {
      {{0x90, 0x00}, RESULT_SUCCESS}, {{0x01, 0x02, 0x90, 0x00}, RESULT_SUCCESS},
      {{0x6A, 0x82}, 0x6A82},         {{0x90, 0x01}, 0x9001},
      {{0x90}, RESULT_COMM_ERROR},  // no room for a status word
      {{}, RESULT_COMM_ERROR},
  };
  for (const auto& [reply, result] : cases) {
    Script(reply);
    EXPECT_EQ(result, RunApdu(&context, kQuery)) << Hex(reply);
  }
}

TEST_F(Commands, RunApduTakesItsLengthFromP3) {
  DeviceContext context = OpenToken(Usb());
  std::vector<uint8_t> apdu(300, 0);
  apdu[4] = 250;
  RunApdu(&context, apdu.data());
  ASSERT_EQ(1u, machine.Log().size());
  EXPECT_EQ(8u + 255u, machine.Log()[0].sent.size());
  apdu[4] = 251;
  EXPECT_EQ(RESULT_INVALID_PARAMETER, RunApdu(&context, apdu.data()));
  EXPECT_EQ(1u, machine.Log().size());
}

TEST_F(Commands, RequestWithReplySizeProtocol) {
  SimTokenSpec spec = Usb();
  spec.modeReply = {0x11};
  DeviceContext context = OpenToken(spec);
  const uint8_t mode = 0xAA;
  uint32_t length = 99;
  uint8_t reply[4] = {};

  EXPECT_EQ(RESULT_BUFFER_TOO_SMALL, RequestWithReply(&context, 7, &mode, 1, nullptr, 0, &length));
  EXPECT_EQ(1u, length);
  EXPECT_EQ(RESULT_SUCCESS, RequestWithReply(&context, 7, &mode, 1, nullptr, 0, nullptr));
  EXPECT_EQ(RESULT_INVALID_PARAMETER, RequestWithReply(&context, 7, &mode, 1, nullptr, 4, &length));
  EXPECT_EQ(RESULT_SUCCESS, RequestWithReply(&context, 7, &mode, 1, reply, 4, &length));
  EXPECT_EQ(1u, length);
  EXPECT_EQ(0x11, reply[0]);

  machine.TokenModel(0).config.modeReplyLength = 0;
  length = 99;
  EXPECT_EQ(RESULT_SUCCESS, RequestWithReply(&context, 7, &mode, 1, reply, 4, &length));
  EXPECT_EQ(99u, length) << "an empty reply writes nothing";

  const uint8_t refused = 0x55;
  EXPECT_EQ(RESULT_COMM_ERROR, RequestWithReply(&context, 7, &refused, 1, reply, 4, &length));
}

TEST_F(Commands, ContextsNotOpenedOrClosedSinceAreRefusedUnsent) {
  machine.AddToken(Usb());
  DeviceContext enumerated = EnumOne();
  DeviceContext opened = enumerated;
  ASSERT_EQ(RESULT_SUCCESS, Open(&opened));
  DeviceContext stale = opened;
  ASSERT_EQ(RESULT_SUCCESS, Close(&opened));
  machine.ClearLog();
  uint8_t reply[8];
  uint32_t length = 8;
  const uint8_t mode = 0;
  for (DeviceContext* context : {&enumerated, &stale}) {
    EXPECT_EQ(RESULT_INVALID_PARAMETER, TransmitApdu(context, kQuery, 6, reply, &length));
    EXPECT_EQ(RESULT_INVALID_PARAMETER, RequestWithReply(context, 7, &mode, 1, reply, 8, &length));
  }
  EXPECT_EQ(RESULT_INVALID_PARAMETER, RequestWithReply(nullptr, 7, &mode, 1, reply, 8, &length));
  EXPECT_TRUE(machine.Log().empty());
}

struct TypeCase {
  uint16_t version;
  uint8_t replyByte;
  uint8_t deviceType;
  const char* query;
};

class DeviceTypes : public Commands, public testing::WithParamInterface<TypeCase> {};

TEST_P(DeviceTypes, QueryAndMapping) {
  const TypeCase& c = GetParam();
  DeviceContext context = OpenToken(Hid(c.version, c.replyByte));
  uint8_t type = 0xEE;
  ASSERT_EQ(RESULT_SUCCESS, QueryDeviceType(&context, &type));
  EXPECT_EQ(c.deviceType, type);
  ASSERT_FALSE(Sent("set-feature").empty());
  EXPECT_EQ(std::string("14 06 ") + c.query, Hex(machine.Log()[0].sent));
}

INSTANTIATE_TEST_SUITE_P(Mapping, DeviceTypes,
                         testing::Values(TypeCase{0x0200, 0x85, 0x85, "80 CA 06 00 01 00"},
                                         TypeCase{0x0205, 0x85, 1, "80 CA 07 00 01 00"},
                                         TypeCase{0x0205, 0xC1, 2, "80 CA 07 00 01 00"},
                                         TypeCase{0x0205, 0x07, 0, "80 CA 07 00 01 00"},
                                         TypeCase{0x0205, 0x4F, 0x40, "80 CA 07 00 01 00"},
                                         TypeCase{0x0205, 0x93, 0x90, "80 CA 07 00 01 00"}));

TEST_F(Commands, DeviceTypeRefusals) {
  DeviceContext context = OpenToken(Usb());
  uint8_t type = 0xEE;
  EXPECT_EQ(RESULT_BUFFER_TOO_SMALL, QueryDeviceType(&context, nullptr));
  DeviceContext old = context;
  old.version = 0x00010F0F;
  EXPECT_EQ(RESULT_INVALID_PARAMETER, QueryDeviceType(&old, nullptr));
  EXPECT_TRUE(machine.Log().empty());

  machine.TokenModel(0).config.deviceTypeStatus = 0x6D00;
  EXPECT_EQ(0x6D00u, QueryDeviceType(&context, &type));
  EXPECT_EQ(0xEE, type);

  Script({0x90, 0x00});
  EXPECT_EQ(RESULT_SUCCESS, QueryDeviceType(&context, &type));
  EXPECT_EQ(0x90, type) << "the first reply byte is SW1";
}

}  // namespace
