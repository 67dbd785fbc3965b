#include "device/discovery.h"

#include <gtest/gtest.h>

#include <cstring>

#include "io/hid_transport.h"
#include "tests/library_fixture.h"

namespace {

class Discovery : public LibraryTest {
 protected:
  // Runs a discovery; returns its paths, or nothing when it made no scan.
  int32_t Discover(const Guid* guid, const char* filter, std::vector<std::string>* paths,
                   std::vector<uint32_t>* sizeFields = nullptr) {
    DevicePathList list = nullptr;
    int32_t count = DISCOVERY_CAPACITY;
    const int32_t result = DiscoverDevicePaths(guid, filter, &list, &count);
    paths->clear();
    if (result != 0) {
      for (int32_t i = 0; i < count; ++i) {
        paths->push_back(list[i]->path);
        if (sizeFields != nullptr) sizeFields->push_back(list[i]->sizeField);
      }
      EXPECT_EQ(nullptr, list[count]);
      EXPECT_EQ(1, FreeDevicePathList(list));
    } else {
      EXPECT_EQ(0, count);
      EXPECT_EQ(nullptr, list);
    }
    EXPECT_EQ(0, machine.LiveAllocations());
    EXPECT_EQ(0, machine.LiveDeviceInfoSets());
    return result;
  }
  Guid HidGuid() {
    Guid guid;
    GetHidInterfaceGuid(&guid);
    return guid;
  }
  SimTokenSpec HidWithId(const std::string& hardwareId) {
    SimTokenSpec spec = Hid();
    spec.hardwareId = hardwareId;
    return spec;
  }
};

TEST_F(Discovery, InterfaceScanFindsEachKindInOrder) {
  machine.AddToken(Hid());
  machine.AddToken(Usb());
  machine.AddOtherHidDevice("HID\\VID_046D&PID_C31C&REV_6400");
  machine.AddToken(Hid());
  std::vector<std::string> paths;
  std::vector<uint32_t> sizes;
  const Guid hid = HidGuid();
  ASSERT_EQ(1, Discover(&hid, HID_HARDWARE_ID_FILTER, &paths, &sizes));
  EXPECT_EQ((std::vector<std::string>{machine.PathOf(0), machine.PathOf(2)}), paths);
  EXPECT_EQ((std::vector<uint32_t>{5, 5}), sizes);
  ASSERT_EQ(1, Discover(&USB_DRIVER_INTERFACE_GUID, nullptr, &paths));
  EXPECT_EQ((std::vector<std::string>{machine.PathOf(1)}), paths);
  ASSERT_EQ(1, Discover(&hid, nullptr, &paths));
  EXPECT_EQ(3u, paths.size()) << "no filter: every HID device";
}

TEST_F(Discovery, FilterComparesTheFirstHardwareIdsBeginningInAnyCase) {
  struct Case {
    std::string hardwareId;
    bool matches;
  };
  const Case cases[] = {
      {"HID\\VID_0471&PID_485E&REV_0100", true},
      {"hid\\vid_0471&pid_485e", true},
      {"HID\\Vid_0471&Pid_485", false},  // shorter than the filter
      {"HID\\Vid_0471&Pid_485f", false},
      {"HID/Vid_0471&Pid_485e", false},
      {"-", false},                                               // no hardware-ID property
      {"HID\\VID_0471&PID_485E" + std::string(1200, 'x'), true},  // read into a larger buffer
  };
  for (const Case& c : cases) machine.AddToken(HidWithId(c.hardwareId));
  std::vector<std::string> paths;
  const Guid hid = HidGuid();
  ASSERT_EQ(1, Discover(&hid, HID_HARDWARE_ID_FILTER, &paths));
  std::vector<std::string> expected;
  for (size_t i = 0; i < std::size(cases); ++i) {
    if (cases[i].matches) expected.push_back(machine.PathOf(static_cast<int>(i)));
  }
  EXPECT_EQ(expected, paths);

  ASSERT_EQ(1, Discover(&hid, "", &paths));
  EXPECT_EQ(std::size(cases), paths.size()) << "an empty filter matches every interface";
}

TEST_F(Discovery, OnlyOneHundredTwentySevenIndexesAreLookedAt) {
  for (int i = 0; i < 3; ++i) machine.AddOtherHidDevice("HID\\VID_1234&PID_0001");
  for (int i = 0; i < 127; ++i) machine.AddToken(Hid());
  std::vector<std::string> paths;
  const Guid hid = HidGuid();
  ASSERT_EQ(1, Discover(&hid, HID_HARDWARE_ID_FILTER, &paths));
  EXPECT_EQ(124u, paths.size()) << "filtered-out interfaces use up their indexes";
  ASSERT_EQ(1, Discover(&hid, nullptr, &paths));
  EXPECT_EQ(127u, paths.size());
}

TEST_F(Discovery, EntryPointsAreLookedUpOnce) {
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) Discover(&USB_DRIVER_INTERFACE_GUID, nullptr, &paths);
  EXPECT_EQ(2, machine.GetProcAddressCalls());
  EXPECT_EQ(0, machine.BadEntryCalls());
}

TEST_F(Discovery, AFailedDetailRecordMeansNoScanWasMade) {
  machine.AddToken(Usb());
  machine.AddToken(Usb());
  std::vector<std::string> paths;
  // The array, then the first entry, then the second entry's block fails.
  machine.FailAllocationsAfter(2);
  EXPECT_EQ(0, Discover(&USB_DRIVER_INTERFACE_GUID, nullptr, &paths));
  machine.FailAllocationsAfter(0);
  EXPECT_EQ(0, Discover(&USB_DRIVER_INTERFACE_GUID, nullptr, &paths));
  ASSERT_EQ(1, Discover(&USB_DRIVER_INTERFACE_GUID, nullptr, &paths));
  EXPECT_EQ(2u, paths.size());
}

TEST_F(Discovery, Nt4ScansDosNamesAndIgnoresTheFilter) {
  machine.SetOs(2, 4);
  machine.AddToken(Usb());
  machine.AddToken(Hid());  // never found on NT 4.0
  std::vector<std::string> paths;
  std::vector<uint32_t> sizes;
  ASSERT_EQ(1, Discover(&USB_DRIVER_INTERFACE_GUID, "no such id", &paths, &sizes));
  ASSERT_EQ(1u, paths.size());
  EXPECT_EQ(machine.PathOf(0), paths[0]);
  EXPECT_EQ("\\\\.\\DRAVEL2", paths[0].substr(0, 11));
  EXPECT_EQ(paths[0].size(), sizes[0]);
  EXPECT_EQ(0, machine.SetupDiGetClassDevsCalls());

  const Guid zero{};
  EXPECT_EQ(0, Discover(&zero, HID_HARDWARE_ID_FILTER, &paths));
  EXPECT_EQ(0, machine.LoadLibraryCalls());

  machine.FailDosDeviceQuery(true);
  EXPECT_EQ(0, Discover(&USB_DRIVER_INTERFACE_GUID, nullptr, &paths));
}

TEST_F(Discovery, DosNamesMatchTheirPrefixInAnyCase) {
  machine.SetOs(2, 4);
  machine.AddDosName("COM1");
  machine.AddDosName("DRAVEL20");
  machine.AddDosName("dravel2x");
  machine.AddDosName("DRAVEL");
  std::vector<std::string> paths;
  std::vector<uint32_t> sizes;
  ASSERT_EQ(1, Discover(&USB_DRIVER_INTERFACE_GUID, nullptr, &paths, &sizes));
  EXPECT_EQ((std::vector<std::string>{"\\\\.\\DRAVEL20", "\\\\.\\dravel2x"}), paths);
  EXPECT_EQ((std::vector<uint32_t>{12, 12}), sizes);
}

TEST_F(Discovery, DosScanStopsAtItsCapacity) {
  machine.SetOs(2, 4);
  for (int i = 0; i < 130; ++i) machine.AddDosName("DRAVEL2_" + std::to_string(i));
  std::vector<std::string> paths;
  ASSERT_EQ(1, Discover(&USB_DRIVER_INTERFACE_GUID, nullptr, &paths));
  EXPECT_EQ(127u, paths.size());
}

TEST_F(Discovery, ScansOnOtherPlatformsUseInterfaces) {
  machine.AddToken(Usb());
  for (const auto& [platform, major] : {std::pair{2u, 5u}, std::pair{1u, 4u}, std::pair{2u, 10u}}) {
    machine.SetOs(platform, major);
    std::vector<std::string> paths;
    ASSERT_EQ(1, Discover(&USB_DRIVER_INTERFACE_GUID, nullptr, &paths));
    EXPECT_EQ(1u, paths.size());
  }
}

TEST(FreeDevicePathList, NullAndEmptyLists) {
  SimMachine machine;
  machine.Install();
  EXPECT_EQ(0, FreeDevicePathList(nullptr));
  auto list = static_cast<DevicePathList>(Platform().LocalAlloc(kLocalZeroInit, 8));
  EXPECT_EQ(1, FreeDevicePathList(list));
  EXPECT_EQ(0, machine.LiveAllocations());
}

}  // namespace

namespace {

// A set may list device elements that expose no present interface (Wine keeps unplugged
// devices in it): the filter must read the hardware ID of the interface's own device.
TEST_F(Discovery, FilterReadsTheDeviceOfEachInterface) {
  machine.KeepStaleDeviceElements(true);
  machine.AddToken(Hid());
  machine.AddOtherHidDevice("HID\\VID_046D&PID_C31C&REV_6400");
  machine.Unplug(0);
  const int token = machine.AddToken(Hid());
  std::vector<std::string> paths;
  const Guid hid = HidGuid();
  ASSERT_EQ(1, Discover(&hid, HID_HARDWARE_ID_FILTER, &paths));
  EXPECT_EQ((std::vector<std::string>{machine.PathOf(token)}), paths);
}

}  // namespace
