#include "device/refresh.h"

#include <gtest/gtest.h>

#include <cstring>

#include "device/discovery.h"
#include "tests/library_fixture.h"

namespace {

using Refresh = LibraryTest;

std::vector<DeviceKind> Kinds() {
  std::vector<DeviceKind> kinds;
  for (const DeviceSlot& slot : DeviceRegistry) {
    if (slot.kind != DEVICE_KIND_FREE) kinds.push_back(slot.kind);
  }
  return kinds;
}

TEST_F(Refresh, HidTokensTakeTheLowestSlotsInDiscoveryOrder) {
  machine.AddToken(Usb());
  machine.AddToken(Hid());
  machine.AddToken(Usb());
  machine.AddToken(Hid());
  EnumAll();
  EXPECT_EQ((std::vector<DeviceKind>{1, 1, 2, 2}), Kinds());
  EXPECT_STREQ(machine.PathOf(1).c_str(), DeviceRegistry[0].devicePath);
  EXPECT_STREQ(machine.PathOf(3).c_str(), DeviceRegistry[1].devicePath);
  EXPECT_STREQ(machine.PathOf(0).c_str(), DeviceRegistry[2].devicePath);
}

TEST_F(Refresh, TokensWhoseAnswerToResetCannotBeReadAreNotListed) {
  SimTokenSpec mute = Usb();
  mute.faults.atrUnreadable = true;
  machine.AddToken(mute);
  machine.AddToken(Hid());
  const auto records = EnumAll();
  ASSERT_EQ(1u, records.size());
  EXPECT_STREQ(machine.PathOf(1).c_str(), DeviceRegistry[records[0].slotIndex].devicePath);
}

TEST_F(Refresh, TemporaryMutexesLiveForOneFetchOpenOnesStay) {
  machine.AddToken(Hid());
  machine.AddToken(Hid());
  EnumAll();
  EXPECT_EQ(0, machine.OpenMutexHandles());
  EXPECT_EQ(0u, DeviceRegistry[0].mutex);
  EXPECT_EQ(0u, DeviceRegistry[1].mutex);
  EXPECT_EQ(4u, machine.MutexNamesCreated().size()) << "two refreshes, one mutex a token each";

  auto records = EnumAll();
  ASSERT_EQ(RESULT_SUCCESS, Open(&records[1]));
  const Handle mutex = DeviceRegistry[1].mutex;
  EnumAll();
  EXPECT_EQ(mutex, DeviceRegistry[1].mutex);
  EXPECT_EQ(1, machine.OpenMutexHandles());
  EXPECT_EQ(RESULT_SUCCESS, Close(&records[1]));
}

TEST_F(Refresh, VanishedTokensAreFreedOpenOrNot) {
  machine.AddToken(Hid());
  machine.AddToken(Usb());
  auto records = EnumAll();
  ASSERT_EQ(RESULT_SUCCESS, Open(&records[0]));
  machine.Unplug(0);
  machine.Unplug(1);
  EXPECT_TRUE(EnumAll().empty());
  EXPECT_EQ(1, machine.OpenDeviceHandles()) << "a freed open slot's handle is not closed";
  EXPECT_EQ(RESULT_INVALID_PARAMETER, Close(&records[0]));
}

// A token unplugged while open: the refresh frees its slot but keeps its handle and mutex, so
// that no later opening can get the handle value its stale context holds. That context is
// refused, also once another token has taken the slot, and that token starts clean.
struct VanishedOpenCase {
  const char* name;
  bool usb;
  int openings;
  bool nextTokenTakesTheSlot;
};

// Printed by name: the raw bytes gtest would print include the record's padding.
void PrintTo(const VanishedOpenCase& c, std::ostream* out) { *out << c.name; }

class VanishedOpen : public LibraryTest, public testing::WithParamInterface<VanishedOpenCase> {};

TEST_P(VanishedOpen, StaleContextsNeverReachAnotherToken) {
  const VanishedOpenCase& c = GetParam();
  machine.AddToken(c.usb ? Usb() : Hid());
  DeviceContext first = EnumOne();
  DeviceContext second = first;
  ASSERT_EQ(RESULT_SUCCESS, Open(&first));
  if (c.openings == 2) {
    ASSERT_EQ(RESULT_SUCCESS, Open(&second));
  }
  machine.Unplug(0);
  if (c.nextTokenTakesTheSlot) machine.AddToken(c.usb ? Usb(0x0240) : Hid(0x0240));

  const auto now = EnumAll();
  EXPECT_EQ(1, machine.OpenDeviceHandles()) << "the vanished token's handle is kept";
  EXPECT_EQ(1, machine.OpenMutexHandles());
  if (c.nextTokenTakesTheSlot) {
    ASSERT_EQ(1u, now.size());
    EXPECT_EQ(first.slotIndex, now[0].slotIndex);
    DeviceContext next = now[0];
    ASSERT_EQ(RESULT_SUCCESS, Open(&next));
    EXPECT_EQ(1u, DeviceRegistry[next.slotIndex].openCount) << "no opening carried over";
    EXPECT_NE(first.handle, next.handle);
    machine.ClearLog();
    EXPECT_EQ(RESULT_INVALID_PARAMETER, Control(&first, CONTROL_HID_MODE));
    EXPECT_TRUE(machine.Log().empty());
    EXPECT_EQ(RESULT_INVALID_PARAMETER, Close(&first));
    EXPECT_EQ(1u, DeviceRegistry[next.slotIndex].openCount);
    EXPECT_EQ(RESULT_SUCCESS, Close(&next));
  } else {
    EXPECT_TRUE(now.empty());
    EXPECT_EQ(RESULT_INVALID_PARAMETER, Close(&first));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VanishedOpen,
    testing::Values(VanishedOpenCase{"HidOpenedOnce", false, 1, false},
                    VanishedOpenCase{"HidOpenedTwice", false, 2, false},
                    VanishedOpenCase{"UsbOpenedOnce", true, 1, false},
                    VanishedOpenCase{"HidSlotTakenAgain", false, 1, true},
                    VanishedOpenCase{"UsbSlotTakenAgain", true, 2, true}),
    [](const testing::TestParamInfo<VanishedOpenCase>& param) { return param.param.name; });

TEST_F(Refresh, AnOpenTokenThatStopsAnsweringKeepsItsOldData) {
  machine.AddToken(Usb());
  auto records = EnumAll();
  ASSERT_EQ(RESULT_SUCCESS, Open(&records[0]));
  machine.Faults(0).atrUnreadable = true;
  const auto again = EnumAll();
  ASSERT_EQ(1u, again.size());
  EXPECT_EQ(0, memcmp(records[0].atr, again[0].atr, 17));
  EXPECT_EQ(RESULT_SUCCESS, Close(&records[0]));
  EXPECT_TRUE(EnumAll().empty()) << "closed now, so dropped";
}

TEST_F(Refresh, AFreedSlotIsGivenToTheNextToken) {
  machine.AddToken(Hid());
  const DeviceContext old = EnumOne();
  machine.Unplug(0);
  machine.AddToken(Hid(0x0240));
  const DeviceContext now = EnumOne();
  EXPECT_EQ(old.slotIndex, now.slotIndex) << "a context names its slot by index only";
  EXPECT_EQ(0x00020400u, now.version);
}

TEST_F(Refresh, PathsDifferingInCaseAreOneToken) {
  SimTokenSpec spec = Hid();
  spec.path = "\\\\?\\hid#Token#1";
  machine.AddToken(spec);
  EnumAll();
  DevicePathEntry* entries[3] = {};
  const char* paths[] = {"\\\\?\\hid#token#1", "\\\\?\\HID#TOKEN#1"};
  std::vector<std::vector<uint8_t>> blocks;
  for (int i = 0; i < 2; ++i) {
    blocks.emplace_back(4 + strlen(paths[i]) + 1);
    memcpy(blocks.back().data() + 4, paths[i], strlen(paths[i]) + 1);
    entries[i] = reinterpret_cast<DevicePathEntry*>(blocks.back().data());
  }
  EXPECT_EQ(0, MergeDiscoveredPaths(entries, 2, DEVICE_KIND_HID));
  EXPECT_EQ((std::vector<DeviceKind>{1}), Kinds());
  EXPECT_STREQ(spec.path.c_str(), DeviceRegistry[0].devicePath) << "the first spelling stays";
  // The same path under the other kind is another token: registered, then dropped, since
  // the USB driver does not answer there.
  EXPECT_EQ(0, MergeDiscoveredPaths(entries, 2, DEVICE_KIND_USB));
  EXPECT_EQ((std::vector<DeviceKind>{1}), Kinds());
}

TEST_F(Refresh, OnlyLettersAreTakenCaseBlind) {
  // '@' and '`', '[' and '{' differ in the bit that tells A from a, yet are different
  // characters: these are four tokens.
  for (const char* path :
       {"\\\\?\\hid#t@1", "\\\\?\\hid#t`1", "\\\\?\\hid#t[1", "\\\\?\\hid#t{1"}) {
    SimTokenSpec spec = Hid();
    spec.path = path;
    machine.AddToken(spec);
  }
  EXPECT_EQ(4u, EnumAll().size());
  EXPECT_EQ((std::vector<DeviceKind>{1, 1, 1, 1}), Kinds());
}

TEST_F(Refresh, PathsTooLongForTheSlotAreSkipped) {
  SimTokenSpec longPath = Usb();
  longPath.path = "\\\\?\\usb#" + std::string(300, 'p');
  machine.AddToken(longPath);
  machine.AddToken(Usb());
  const auto records = EnumAll();
  ASSERT_EQ(1u, records.size());
  EXPECT_STREQ(machine.PathOf(1).c_str(), DeviceRegistry[records[0].slotIndex].devicePath);
}

TEST_F(Refresh, AFullRegistryRefusesTheHundredTwentyEighthToken) {
  for (int i = 0; i < 128; ++i) machine.AddToken(i < 100 ? Hid() : Usb());
  const auto records = EnumAll();
  EXPECT_EQ(127u, records.size());

  DevicePathList list = nullptr;
  int32_t count = DISCOVERY_CAPACITY;
  ASSERT_EQ(1, DiscoverDevicePaths(&USB_DRIVER_INTERFACE_GUID, nullptr, &list, &count));
  EXPECT_EQ(-1, MergeDiscoveredPaths(list, count, DEVICE_KIND_USB));
  FreeDevicePathList(list);
}

TEST_F(Refresh, AFailedDiscoveryLeavesItsKindAlone) {
  machine.AddToken(Usb());
  machine.AddToken(Hid());
  auto records = EnumAll();
  ASSERT_EQ(2u, records.size());
  ASSERT_EQ(RESULT_SUCCESS, Open(&records[1]));
  // The USB discovery's pointer array cannot be allocated; the HID one can.
  machine.FailAllocationsAfter(3);
  DeviceContext again[2];
  uint32_t size = sizeof again;
  EXPECT_EQ(RESULT_SUCCESS, Enum(again, &size));
  EXPECT_EQ(184u, size);
  EXPECT_EQ(RESULT_SUCCESS, Close(&records[1]));
}

TEST_F(Refresh, Nt4ListsOnlyUsbTokens) {
  machine.SetOs(2, 4);
  machine.AddToken(Hid());
  machine.AddToken(Usb());
  const auto records = EnumAll();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(DEVICE_KIND_USB, DeviceRegistry[records[0].slotIndex].kind);
}

TEST_F(Refresh, NothingLeaksAcrossRefreshes) {
  machine.AddToken(Hid());
  machine.AddToken(Usb());
  machine.AddOtherHidDevice("HID\\VID_046D&PID_C31C");
  for (int i = 0; i < 3; ++i) EnumAll();
  EXPECT_EQ(0, machine.LiveAllocations());
  EXPECT_EQ(0, machine.LiveDeviceInfoSets());
  EXPECT_EQ(0, machine.OpenDeviceHandles());
  EXPECT_EQ(0, machine.OpenMutexHandles());
}

}  // namespace
