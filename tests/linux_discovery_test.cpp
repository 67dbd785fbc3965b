// Discovery on fake sysfs trees, seen through the SetupAPI calls the library makes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/linux_platform.h"
#include "tests/linux_test_util.h"

namespace {

using linux_test::Link;
using linux_test::TempDir;
using linux_test::WriteFile;

constexpr Guid kHidGuid = {{0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11, 0x88, 0xCB, 0x00, 0x11,
                            0x11, 0x00, 0x00, 0x30}};
constexpr Guid kVendorGuid = {{0xF7, 0x38, 0x16, 0x17, 0xAD, 0x1E, 0x73, 0x48, 0xBA, 0x98, 0xC9,
                               0x66, 0xAB, 0xCF, 0x01, 0x42}};

const PlatformOps& Ops() {
  return LinuxPlatformOps();
}

// A USB device directory under sys/devices with its attributes and one interface.
void AddUsbDevice(const std::string& root, const std::string& name, const std::string& vendor,
                  const std::string& product, const std::string& revision, int bus, int dev,
                  const std::string& interfaceClass) {
  const std::string dir = "sys/devices/pci0000:00/usb" + std::to_string(bus) + "/" + name;
  WriteFile(root, dir + "/idVendor", vendor);
  WriteFile(root, dir + "/idProduct", product);
  WriteFile(root, dir + "/bcdDevice", revision);
  WriteFile(root, dir + "/busnum", std::to_string(bus));
  WriteFile(root, dir + "/devnum", std::to_string(dev));
  WriteFile(root, dir + "/" + name + ":1.0/bInterfaceClass", interfaceClass);
  Link(root, "sys/bus/usb/devices/" + name,
       "../../../devices/pci0000:00/usb" + std::to_string(bus) + "/" + name);
}

// A hidraw node whose HID device lives at sys/devices/<hidDir> (under a USB interface or not).
void AddHidraw(const std::string& root, const std::string& hidDir, const std::string& node,
               const std::string& hidId) {
  WriteFile(root, "sys/devices/" + hidDir + "/uevent",
            "DRIVER=hid-generic\nHID_ID=" + hidId + "\nHID_NAME=test");
  Link(root, "sys/devices/" + hidDir + "/hidraw/" + node + "/device", "../..");
  Link(root, "sys/class/hidraw/" + node, "../../devices/" + hidDir + "/hidraw/" + node);
}

// The machine of most tests: a token in HID mode on USB (bcdDevice 0230), a token made with
// uhid (no USB parent), a keyboard, a token in vendor mode on bus 1 and one on bus 2, a
// device of another vendor with a vendor interface.
void BuildMachine(const std::string& root) {
  AddUsbDevice(root, "1-1", "0471", "485e", "0230", 1, 2, "03");
  AddHidraw(root, "pci0000:00/usb1/1-1/1-1:1.0/0003:0471:485E.0001", "hidraw0",
            "0003:00000471:0000485E");
  AddHidraw(root, "virtual/misc/uhid/0003:0471:485E.0003", "hidraw10", "0003:00000471:0000485E");
  AddHidraw(root, "virtual/misc/uhid/0003:046D:C31C.0002", "hidraw2", "0003:0000046D:0000C31C");
  AddUsbDevice(root, "2-4", "0471", "485d", "0100", 2, 5, "ff");
  AddUsbDevice(root, "1-3", "0471", "485d", "0101", 1, 12, "ff");
  AddUsbDevice(root, "1-2", "1234", "5678", "0100", 1, 3, "ff");
}

struct Found {
  std::string path;
  std::vector<std::string> hardwareIds;
};

std::vector<std::string> SplitMultiSz(const std::vector<uint8_t>& buffer) {
  std::vector<std::string> ids;
  const char* at = reinterpret_cast<const char*>(buffer.data());
  while (*at != '\0') {
    ids.emplace_back(at);
    at += ids.back().size() + 1;
  }
  return ids;
}

// Walks a class the way the library does: interfaces by index, the hardware-ID property
// with the size protocol, the detail record with its size query.
std::vector<Found> Discover(const Guid& guid) {
  const PlatformOps& ops = Ops();
  const Proc enumInterfaces =
      ops.GetProcAddress(ops.GetModuleHandleA("SETUPAPI.DLL"), "SetupDiEnumDeviceInterfaces");
  const Proc getDetail =
      ops.GetProcAddress(ops.GetModuleHandleA("SETUPAPI.DLL"), "SetupDiGetDeviceInterfaceDetailA");
  const DevInfoSet set = ops.SetupDiGetClassDevsA(&guid, kDigcfPresent | kDigcfDeviceInterface);
  std::vector<Found> found;
  for (uint32_t i = 0;; ++i) {
    DeviceInterfaceData interface {};
    interface.size = sizeof interface;
    if (!ops.SetupDiEnumDeviceInterfaces(enumInterfaces, set, &guid, i, &interface)) {
      EXPECT_EQ(ops.GetLastError(), kErrorNoMoreItems);
      break;
    }
    DeviceInfoData info{};
    info.size = sizeof info;
    EXPECT_TRUE(ops.SetupDiEnumDeviceInfo(set, i, &info));
    uint32_t needed = 0;
    std::vector<uint8_t> ids(4);
    EXPECT_FALSE(ops.SetupDiGetDeviceRegistryPropertyA(set, &info, kSpdrpHardwareId, nullptr,
                                                       ids.data(), 4, &needed));
    EXPECT_EQ(ops.GetLastError(), kErrorInsufficientBuffer);
    ids.assign(needed, 0xEE);
    EXPECT_TRUE(ops.SetupDiGetDeviceRegistryPropertyA(set, &info, kSpdrpHardwareId, nullptr,
                                                      ids.data(), needed, &needed));
    uint32_t detailSize = 0;
    EXPECT_FALSE(ops.SetupDiGetDeviceInterfaceDetailA(getDetail, set, &interface, nullptr, 0,
                                                      &detailSize, nullptr));
    EXPECT_EQ(ops.GetLastError(), kErrorInsufficientBuffer);
    std::vector<uint8_t> detail(detailSize, 0xEE);
    const uint32_t sizeField = kInterfaceDetailSizeField;
    std::memcpy(detail.data(), &sizeField, 4);
    EXPECT_TRUE(ops.SetupDiGetDeviceInterfaceDetailA(getDetail, set, &interface, detail.data(),
                                                     detailSize, nullptr, nullptr));
    EXPECT_EQ(detail.back(), 0) << "the path's NUL ends the record";
    found.push_back({reinterpret_cast<const char*>(detail.data() + 4), SplitMultiSz(ids)});
  }
  EXPECT_TRUE(ops.SetupDiDestroyDeviceInfoList(set));
  return found;
}

class LinuxDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildMachine(root_.path());
    LinuxPlatformSetRoots(root_.path().c_str(), "/devroot");
  }
  void TearDown() override { LinuxPlatformSetRoots("", "/dev"); }
  TempDir root_;
};

TEST_F(LinuxDiscoveryTest, HidClassListsEveryHidrawNodeWithWindowsHardwareIds) {
  const std::vector<Found> found = Discover(kHidGuid);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].path, "/devroot/hidraw0");
  EXPECT_EQ(found[0].hardwareIds, (std::vector<std::string>{"HID\\VID_0471&PID_485E&REV_0230",
                                                            "HID\\VID_0471&PID_485E"}));
  EXPECT_EQ(found[1].path, "/devroot/hidraw2");  // the keyboard: the library filters it out
  EXPECT_EQ(found[1].hardwareIds[0], "HID\\VID_046D&PID_C31C&REV_0000");
  EXPECT_EQ(found[2].path, "/devroot/hidraw10");  // node numbers in numeric order
  EXPECT_EQ(found[2].hardwareIds[0], "HID\\VID_0471&PID_485E&REV_0000");  // no USB parent
}

TEST_F(LinuxDiscoveryTest, VendorClassListsTheVendorsDevicesWithAVendorInterface) {
  const std::vector<Found> found = Discover(kVendorGuid);
  ASSERT_EQ(found.size(), 2u);  // not the HID-mode token, not the other vendor's device
  EXPECT_EQ(found[0].path, "/devroot/bus/usb/001/012");
  EXPECT_EQ(found[0].hardwareIds[0], "USB\\VID_0471&PID_485D&REV_0101");
  EXPECT_EQ(found[1].path, "/devroot/bus/usb/002/005");
}

TEST_F(LinuxDiscoveryTest, OtherClassGivesAnEmptySet) {
  const Guid other = {{1, 2, 3}};
  EXPECT_TRUE(Discover(other).empty());
}

TEST_F(LinuxDiscoveryTest, MalformedEntriesAreSkipped) {
  WriteFile(root_.path(), "sys/class/hidraw/hidraw5/device/uevent", "HID_ID=garbage");
  WriteFile(root_.path(), "sys/bus/usb/devices/3-1/idVendor", "0471");  // no bus or device number
  WriteFile(root_.path(), "sys/bus/usb/devices/3-1/3-1:1.0/bInterfaceClass", "ff");
  EXPECT_EQ(Discover(kHidGuid).size(), 3u);
  EXPECT_EQ(Discover(kVendorGuid).size(), 2u);
}

TEST(LinuxDiscoveryEmpty, MissingSysfsGivesEmptySets) {
  LinuxPlatformSetRoots("/nonexistent-root", nullptr);
  EXPECT_TRUE(Discover(kHidGuid).empty());
  EXPECT_TRUE(Discover(kVendorGuid).empty());
  LinuxPlatformSetRoots("", nullptr);
}

TEST_F(LinuxDiscoveryTest, SizeProtocolsRefuseWrongRecords) {
  const PlatformOps& ops = Ops();
  const Proc enumInterfaces =
      ops.GetProcAddress(ops.GetModuleHandleA("SETUPAPI.DLL"), "SetupDiEnumDeviceInterfaces");
  const Proc getDetail =
      ops.GetProcAddress(ops.GetModuleHandleA("SETUPAPI.DLL"), "SetupDiGetDeviceInterfaceDetailA");
  const DevInfoSet set = ops.SetupDiGetClassDevsA(&kHidGuid, 0x12);
  DeviceInterfaceData interface {};
  interface.size = 32;  // not the 32-bit record
  EXPECT_FALSE(ops.SetupDiEnumDeviceInterfaces(enumInterfaces, set, &kHidGuid, 0, &interface));
  interface.size = sizeof interface;
  ASSERT_TRUE(ops.SetupDiEnumDeviceInterfaces(enumInterfaces, set, &kHidGuid, 0, &interface));

  // "/devroot/hidraw0": size field, 16 characters, NUL.
  uint32_t needed = 0;
  EXPECT_FALSE(ops.SetupDiGetDeviceInterfaceDetailA(getDetail, set, &interface, nullptr, 0, &needed,
                                                    nullptr));
  EXPECT_EQ(needed, 4u + 16u + 1u);
  std::vector<uint8_t> detail(needed, 0);
  EXPECT_FALSE(ops.SetupDiGetDeviceInterfaceDetailA(getDetail, set, &interface, detail.data(),
                                                    needed, nullptr, nullptr));
  EXPECT_EQ(ops.GetLastError(), 1784u) << "a size field other than 5 is refused";
  detail[0] = 5;
  EXPECT_FALSE(ops.SetupDiGetDeviceInterfaceDetailA(getDetail, set, &interface, detail.data(),
                                                    needed - 1, nullptr, nullptr));
  EXPECT_EQ(ops.GetLastError(), kErrorInsufficientBuffer);
  EXPECT_FALSE(ops.SetupDiGetDeviceInterfaceDetailA(enumInterfaces, set, &interface, detail.data(),
                                                    needed, nullptr, nullptr))
      << "the wrong entry point is refused";

  DeviceInfoData info{};
  info.size = sizeof info;
  ASSERT_TRUE(ops.SetupDiEnumDeviceInfo(set, 0, &info));
  uint32_t regType = 0;
  EXPECT_FALSE(
      ops.SetupDiGetDeviceRegistryPropertyA(set, &info, 12, &regType, nullptr, 0, &needed));
  EXPECT_EQ(ops.GetLastError(), kErrorInvalidData) << "a property the device does not have";
  EXPECT_FALSE(ops.SetupDiGetDeviceRegistryPropertyA(set, &info, kSpdrpHardwareId, &regType,
                                                     nullptr, 0, &needed));
  EXPECT_EQ(ops.GetLastError(), kErrorInsufficientBuffer);
  EXPECT_EQ(needed, std::strlen("HID\\VID_0471&PID_485E&REV_0230") + 1 +
                        std::strlen("HID\\VID_0471&PID_485E") + 1 + 1);
  EXPECT_EQ(regType, 7u);  // REG_MULTI_SZ
  EXPECT_FALSE(ops.SetupDiEnumDeviceInfo(set, 3, &info));
  EXPECT_EQ(ops.GetLastError(), kErrorNoMoreItems);

  EXPECT_TRUE(ops.SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(ops.SetupDiDestroyDeviceInfoList(set)) << "a destroyed set is not used again";
  EXPECT_FALSE(ops.SetupDiEnumDeviceInterfaces(enumInterfaces, set, &kHidGuid, 0, &interface));
}

TEST(LinuxSystem, AnswersAsWindows10WithTheLibrariesTheLibraryLooksUp) {
  const PlatformOps& ops = Ops();
  OsVersionInfo version{};
  version.size = sizeof version;
  ASSERT_TRUE(ops.GetVersionExA(&version));
  EXPECT_EQ(version.platformId, kPlatformIdNt);
  EXPECT_EQ(version.majorVersion, 10u);

  const Module setupApi = ops.GetModuleHandleA("SETUPAPI.DLL");
  const Module hid = ops.LoadLibraryA("hid.dll");
  ASSERT_NE(setupApi, nullptr);
  ASSERT_NE(hid, nullptr);
  struct Case {
    Module module;
    const char* name;
    bool found;
  };
  const Case cases[] = {
      {setupApi, "SetupDiEnumDeviceInterfaces", true},
      {setupApi, "SetupDiGetDeviceInterfaceDetailA", true},
      {hid, "HidD_GetHidGuid", true},
      {hid, "HidD_GetFeature", true},
      {hid, "HidD_SetFeature", true},
      {hid, "SetupDiEnumDeviceInterfaces", false},
      {setupApi, "HidD_GetFeature", false},
      {hid, "HidD_GetAttributes", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ops.GetProcAddress(c.module, c.name) != nullptr, c.found) << c.name;
  }
  EXPECT_EQ(ops.LoadLibraryA("user32.dll"), nullptr);

  Guid guid{};
  ops.HidD_GetHidGuid(ops.GetProcAddress(hid, "HidD_GetHidGuid"), &guid);
  EXPECT_EQ(std::memcmp(guid.bytes, kHidGuid.bytes, 16), 0);

  char names[64];
  EXPECT_EQ(ops.QueryDosDeviceA(nullptr, names, sizeof names), 0u);
  void* block = ops.LocalAlloc(kLocalZeroInit, 100);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(block)[99], 0);
  EXPECT_EQ(ops.LocalFree(block), nullptr);
}

}  // namespace
