#include <gtest/gtest.h>

#include <cstring>

#include "tests/library_fixture.h"

namespace {

using Registry = LibraryTest;

TEST_F(Registry, EnumerationSizeProtocol) {
  uint32_t size = 0;
  EXPECT_EQ(RESULT_INVALID_PARAMETER, EnumDevices(nullptr, nullptr));
  EXPECT_EQ(0, machine.SetupDiGetClassDevsCalls()) << "a null size discovers nothing";

  // No token: success, 0 bytes, a null record array accepted.
  EXPECT_EQ(RESULT_SUCCESS, Enum(nullptr, &size));
  EXPECT_EQ(0u, size);

  machine.AddToken(Hid());
  // One token, no room for records, or room but no array.
  size = 0;
  EXPECT_EQ(RESULT_BUFFER_TOO_SMALL, Enum(nullptr, &size));
  EXPECT_EQ(92u, size);
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Enum(nullptr, &size));
  EXPECT_EQ(92u, size);

  // Two tokens and room for one: nothing written.
  machine.AddToken(Usb());
  DeviceContext records[2];
  memset(records, 0xCC, sizeof records);
  size = 92;
  EXPECT_EQ(RESULT_BUFFER_TOO_SMALL, Enum(records, &size));
  EXPECT_EQ(184u, size);
  EXPECT_EQ(0xCCCCCCCCu, records[0].slotIndex);

  size = 184;
  ASSERT_EQ(RESULT_SUCCESS, Enum(records, &size));
  EXPECT_EQ(0u, records[0].slotIndex);
  EXPECT_EQ(1u, records[1].slotIndex);
  for (const DeviceContext& record : records) {
    EXPECT_EQ(kInvalidHandle, record.handle);
    EXPECT_EQ(2u, record.reserved1);
    EXPECT_EQ(4u, record.modeMask);
    EXPECT_EQ(24000u, record.reserved2);
    EXPECT_EQ(0x00020300u, record.version);
    EXPECT_EQ(17u, record.atrLength);
    const uint8_t identifier[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(0, memcmp(identifier, record.identifier, 8));
  }
}

TEST_F(Registry, HundredTwentySevenTokensFitTheirRecords) {
  for (int i = 0; i < 127; ++i) machine.AddToken(i % 2 ? Usb() : Hid());
  std::vector<DeviceContext> records(127);
  uint32_t size = 11684;
  ASSERT_EQ(RESULT_SUCCESS, Enum(records.data(), &size));
  EXPECT_EQ(11684u, size);
  for (uint32_t i = 0; i < 127; ++i) EXPECT_EQ(i, records[i].slotIndex);
}

TEST_F(Registry, VersionGateForOpening) {
  machine.AddToken(Hid(0x01FF));
  DeviceContext old = EnumOne();
  EXPECT_EQ(0x00010F0Fu, old.version);
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Open(&old));
  EXPECT_EQ(0, machine.OpenDeviceHandles());

  machine.TokenModel(0).config.atr[3] = 0x02;  // the version's high byte: 0x02FF
  machine.TokenModel(0).config.atr[4] = 0x00;  // 0x0200
  DeviceContext gated = EnumOne();
  EXPECT_EQ(0x00020000u, gated.version);
  EXPECT_EQ(RESULT_SUCCESS, Open(&gated));
  EXPECT_EQ(RESULT_SUCCESS, Close(&gated));
}

TEST_F(Registry, ShortIdentifiersArePaddedWithZeros) {
  SimTokenSpec seven = Hid();
  seven.identifier = {};
  SimTokenSpec twelve = Usb();
  twelve.identifier = {9, 8, 7, 6, 5};
  machine.AddToken(seven);
  machine.AddToken(twelve);
  const auto records = EnumAll();
  ASSERT_EQ(2u, records.size());
  const uint8_t zeros[8] = {};
  EXPECT_EQ(0, memcmp(zeros, records[0].identifier, 8));
  const uint8_t five[8] = {9, 8, 7, 6, 5, 0, 0, 0};
  EXPECT_EQ(0, memcmp(five, records[1].identifier, 8));
}

TEST_F(Registry, ALongAnswerRunsIntoTheIdentifierWhichTheParseOverwrites) {
  // 3B 8F, a chain of 46 TD bytes announcing the next, a last TD, fifteen historical bytes.
  SimTokenSpec spec = Hid();
  spec.atr = {0x3B, 0x8F};
  spec.atr.insert(spec.atr.end(), 46, 0x80);
  spec.atr.push_back(0x00);
  for (uint8_t i = 1; i <= 15; ++i) spec.atr.push_back(i);
  ASSERT_EQ(64u, spec.atr.size());
  machine.AddToken(spec);
  const DeviceContext record = EnumOne();
  EXPECT_EQ(64u, record.atrLength);
  EXPECT_EQ(0, memcmp(spec.atr.data(), record.atr, 56));
  // Historical bytes 8 to 15 hold 8 to 15; K = 15.
  const uint8_t identifier[] = {8, 9, 10, 11, 12, 13, 14, 15};
  EXPECT_EQ(0, memcmp(identifier, record.identifier, 8));
}

TEST_F(Registry, SharedOpeningsCountAndTheLastClosingClosesEverything) {
  machine.AddToken(Hid());
  DeviceContext first = EnumOne();
  DeviceContext second = first;
  ASSERT_EQ(RESULT_SUCCESS, Open(&first));
  ASSERT_EQ(RESULT_SUCCESS, Open(&second));
  EXPECT_EQ(first.handle, second.handle);
  EXPECT_EQ(2u, DeviceRegistry[0].openCount);
  EXPECT_EQ(1, machine.OpenDeviceHandles());
  EXPECT_EQ(1, machine.OpenMutexHandles());
  EXPECT_NE(0u, DeviceRegistry[0].mutex);

  const Handle handle = first.handle;
  EXPECT_EQ(RESULT_SUCCESS, Close(&first));
  EXPECT_EQ(handle, first.handle) << "an inner closing leaves the context as it was";
  EXPECT_EQ(1, machine.OpenDeviceHandles());
  EXPECT_EQ(RESULT_SUCCESS, Close(&second));
  EXPECT_EQ(kInvalidHandle, second.handle);
  EXPECT_EQ(kInvalidHandle, DeviceRegistry[0].handle);
  EXPECT_EQ(0u, DeviceRegistry[0].mutex);
  EXPECT_EQ(0, machine.OpenDeviceHandles());
  EXPECT_EQ(0, machine.OpenMutexHandles());

  // The first context still holds the old handle; the slot is closed now.
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Close(&first));
}

TEST_F(Registry, ExclusiveOpeningsConflict) {
  machine.AddToken(Hid());
  DeviceContext shared = EnumOne();
  DeviceContext exclusive = shared;
  ASSERT_EQ(RESULT_SUCCESS, Open(&shared));
  EXPECT_EQ(RESULT_OPEN_FAILED, OpenSlot(&exclusive, 0, 4, nullptr));
  EXPECT_EQ(1u, DeviceRegistry[0].openCount);
  ASSERT_EQ(RESULT_SUCCESS, Close(&shared));

  uint32_t granted = 0;
  ASSERT_EQ(RESULT_SUCCESS, OpenSlot(&exclusive, 0, 4, &granted));
  EXPECT_EQ(4u, granted);
  DeviceContext another = EnumOne();
  EXPECT_EQ(RESULT_OPEN_FAILED, Open(&another));
  EXPECT_EQ(RESULT_OPEN_FAILED, OpenSlot(&another, 0, 4, nullptr));
  EXPECT_EQ(RESULT_SUCCESS, Close(&exclusive));
}

TEST_F(Registry, RefusedContexts) {
  machine.AddToken(Hid());
  DeviceContext context = EnumOne();
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Close(&context)) << "never opened";
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Open(nullptr));
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Close(nullptr));

  DeviceContext outOfRange = context;
  outOfRange.slotIndex = 127;
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Open(&outOfRange));
  DeviceContext freeSlot = context;
  freeSlot.slotIndex = 5;
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Open(&freeSlot));
  DeviceContext noAtr = context;
  noAtr.atrLength = 0;
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Open(&noAtr));

  DeviceContext noMode = context;
  noMode.modeMask = 3;
  EXPECT_EQ(RESULT_MODE_NOT_SUPPORTED, Open(&noMode));
  uint32_t granted = 0;
  EXPECT_EQ(RESULT_MODE_NOT_SUPPORTED, OpenSlot(&noMode, 1, 8, &granted));
  EXPECT_EQ(4u, granted);
  EXPECT_EQ(0, machine.OpenDeviceHandles());
}

TEST_F(Registry, UnpluggedTokens) {
  machine.AddToken(Hid());
  DeviceContext context = EnumOne();
  machine.Unplug(0);
  EXPECT_EQ(RESULT_OPEN_FAILED, Open(&context));
  EXPECT_EQ(DEVICE_KIND_HID, DeviceRegistry[0].kind) << "registered until the next refresh";

  machine.Reattach(0);
  context = EnumOne();
  ASSERT_EQ(RESULT_SUCCESS, Open(&context));
  machine.Unplug(0);
  uint32_t size = 0;
  EXPECT_EQ(RESULT_SUCCESS, Enum(nullptr, &size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Close(&context));
}

TEST(MutexName, DropsFourCharactersAndKeepsFiftySix) {
  char name[MUTEX_NAME_CAPACITY];
  MakeMutexName("\\\\.\\DRAVEL20", name);
  EXPECT_STREQ("DRAVEL20", name);
  MakeMutexName("abc", name);
  EXPECT_STREQ("", name);
  const std::string path = "\\\\?\\" + std::string(60, 'x') + "tail";
  MakeMutexName(path.c_str(), name);
  EXPECT_EQ(std::string(56, 'x'), name);
}

TEST(SpreadVersion, HexDigitsIntoBytes) {
  EXPECT_EQ(0x01020304u, SpreadVersion(0x1234));
  EXPECT_EQ(0x00020000u, SpreadVersion(0x0200));
  EXPECT_EQ(0x00010F0Fu, SpreadVersion(0x01FF));
  EXPECT_EQ(0x0F0F0F0Fu, SpreadVersion(0xFFFF));
}

}  // namespace
