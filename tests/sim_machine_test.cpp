// The simulated machine behaves as the Windows calls it stands in for, faults included.
#include "platform/sim/sim_machine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/allocation_counter.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kSendSetup = 0x22000C;
constexpr uint32_t kReceive = 0x220010;
constexpr uint32_t kReadAtr = 0x220024;
constexpr uint32_t kTransact = 0x220028;
constexpr Guid kHidGuid = {{0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11, 0x88, 0xCB, 0x00, 0x11,
                            0x11, 0x00, 0x00, 0x30}};
constexpr Guid kUsbGuid = {{0xF7, 0x38, 0x16, 0x17, 0xAD, 0x1E, 0x73, 0x48, 0xBA, 0x98, 0xC9, 0x66,
                            0xAB, 0xCF, 0x01, 0x42}};
const Bytes kModeToUsb = {0x40, 1, 7, 0, 0, 0, 1, 0, 0x00};
const Bytes kModeToHid = {0x40, 1, 7, 0, 0, 0, 1, 0, 0xAA};
const Bytes kTypeQuery = {0x40, 0, 0, 0, 0, 0, 6, 0, 0x80, 0xCA, 0x07, 0, 1, 0};

SimTokenSpec Spec(SimMode mode) {
  SimTokenSpec spec;
  spec.mode = mode;
  return spec;
}

class Sim : public ::testing::Test {
 protected:
  Sim() { machine.Install(); }

  const PlatformOps& os() { return Platform(); }

  Handle Open(int token, uint32_t share = kFileShareRead | kFileShareWrite) {
    return os().CreateFileA(machine.PathOf(token).c_str(), kGenericRead, share);
  }

  // One driver call; the bytes it returned, or nothing with ok false.
  Bytes Ioctl(Handle h, uint32_t code, const Bytes& in, bool* ok = nullptr, uint32_t cap = 255) {
    uint8_t out[512];
    uint32_t returned = 0;
    const int32_t result =
        os().DeviceIoControl(h, code, in.empty() ? nullptr : in.data(),
                             static_cast<uint32_t>(in.size()), out, cap, &returned);
    if (ok != nullptr) *ok = result != 0;
    return result != 0 ? Bytes(out, out + returned) : Bytes{};
  }

  Proc Lookup(const char* name) {
    const bool hid = std::strncmp(name, "HidD", 4) == 0;
    Module module = hid ? os().LoadLibraryA("hid.dll") : os().GetModuleHandleA("SETUPAPI.DLL");
    return os().GetProcAddress(module, name);
  }

  uint8_t SetFeature(Handle h, Bytes report) {
    return os().HidD_SetFeature(Lookup("HidD_SetFeature"), h, report.data(),
                                static_cast<uint32_t>(report.size()));
  }
  // The reply bytes of a get of report 1, or nothing with ok false.
  Bytes GetFeature(Handle h, bool* ok = nullptr) {
    Bytes report(258, 0);
    report[0] = 1;
    const uint8_t result = os().HidD_GetFeature(Lookup("HidD_GetFeature"), h, report.data(), 258);
    if (ok != nullptr) *ok = result != 0;
    if (!result) return {};
    return Bytes(report.begin() + 2, report.begin() + 2 + report[1]);
  }

  static Bytes ControlReport(uint8_t value, const Bytes& data) {
    Bytes report(258, 0);
    report[0] = 0x80;
    report[1] = static_cast<uint8_t>(data.size() + 1);
    report[2] = value;
    std::copy(data.begin(), data.end(), report.begin() + 3);
    return report;
  }

  // The device paths of an interface class, as discovery would walk them.
  std::vector<std::string> InterfacePaths(const Guid& guid) {
    std::vector<std::string> paths;
    const DevInfoSet set = os().SetupDiGetClassDevsA(&guid, 0x12);
    for (uint32_t i = 0;; ++i) {
      DeviceInterfaceData data{};
      data.size = 28;
      if (!os().SetupDiEnumDeviceInterfaces(Lookup("SetupDiEnumDeviceInterfaces"), set, &guid, i,
                                            &data)) {
        EXPECT_EQ(os().GetLastError(), kErrorNoMoreItems);
        break;
      }
      const Proc detail = Lookup("SetupDiGetDeviceInterfaceDetailA");
      uint32_t required = 0;
      EXPECT_FALSE(os().SetupDiGetDeviceInterfaceDetailA(detail, set, &data, nullptr, 0, &required,
                                                         nullptr));
      EXPECT_EQ(os().GetLastError(), kErrorInsufficientBuffer);
      std::vector<uint8_t> block(required);
      const uint32_t five = 5;
      std::memcpy(block.data(), &five, 4);
      EXPECT_TRUE(os().SetupDiGetDeviceInterfaceDetailA(detail, set, &data, block.data(), required,
                                                        nullptr, nullptr));
      const std::string path(reinterpret_cast<const char*>(block.data()) + 4);
      EXPECT_EQ(required, 4 + path.size() + 1);
      paths.push_back(path);
    }
    os().SetupDiDestroyDeviceInfoList(set);
    return paths;
  }

  SimMachine machine;
};

TEST_F(Sim, PathsAreThoseWindowsGives) {
  const int hid = machine.AddToken(Spec(SimMode::kHid));
  const int usb = machine.AddToken(Spec(SimMode::kUsb));
  const int hid2 = machine.AddToken(Spec(SimMode::kHid));
  const std::regex hidPath(
      R"(\\\\\?\\hid#vid_0471&pid_485e#7&[0-9a-f]{8}&0&[0-9]{4}#\{4d1e55b2-f16f-11cf-88cb-001111000030\})");
  const std::regex usbPath(
      R"(\\\\\?\\usb#vid_0471&pid_485f#[^#\\]+#\{171638f7-1ead-4873-ba98-c966abcf0142\})");
  EXPECT_TRUE(std::regex_match(machine.PathOf(hid), hidPath)) << machine.PathOf(hid);
  EXPECT_TRUE(std::regex_match(machine.PathOf(hid2), hidPath)) << machine.PathOf(hid2);
  EXPECT_NE(machine.PathOf(hid), machine.PathOf(hid2));
  EXPECT_TRUE(std::regex_match(machine.PathOf(usb), usbPath)) << machine.PathOf(usb);

  SimTokenSpec named = Spec(SimMode::kUsb);
  named.path = "\\\\?\\usb#custom";
  EXPECT_EQ(machine.PathOf(machine.AddToken(named)), "\\\\?\\usb#custom");
}

TEST_F(Sim, InterfaceSetsHoldPresentDevicesOfTheClassInAttachOrder) {
  const int hid = machine.AddToken(Spec(SimMode::kHid));
  machine.AddOtherHidDevice("HID\\VID_046D&PID_C31C&REV_6400");
  const int usb = machine.AddToken(Spec(SimMode::kUsb));
  const int hid2 = machine.AddToken(Spec(SimMode::kHid));

  const auto hidPaths = InterfacePaths(kHidGuid);
  ASSERT_EQ(hidPaths.size(), 3u);
  EXPECT_EQ(hidPaths[0], machine.PathOf(hid));
  EXPECT_NE(hidPaths[1].find("vid_046d&pid_c31c"), std::string::npos);
  EXPECT_EQ(hidPaths[2], machine.PathOf(hid2));
  EXPECT_EQ(InterfacePaths(kUsbGuid), std::vector<std::string>{machine.PathOf(usb)});
  EXPECT_TRUE(InterfacePaths(Guid{}).empty());
  EXPECT_EQ(machine.SetupDiGetClassDevsCalls(), 3);
  EXPECT_EQ(machine.LiveDeviceInfoSets(), 0);

  machine.Unplug(hid);
  EXPECT_EQ(InterfacePaths(kHidGuid).size(), 2u);
}

TEST_F(Sim, SetupApiServesEverySetAPollingProgramMakes) {
  const int hid = machine.AddToken(Spec(SimMode::kHid));
  // Each scan makes a set; the records of the 65537th must still be taken.
  for (int i = 0; i < 65536; ++i) {
    os().SetupDiDestroyDeviceInfoList(os().SetupDiGetClassDevsA(&kHidGuid, 0x12));
  }
  EXPECT_EQ(InterfacePaths(kHidGuid), std::vector<std::string>{machine.PathOf(hid)});
}

TEST_F(Sim, SetupApiRefusesMalformedCalls) {
  machine.AddToken(Spec(SimMode::kHid));
  EXPECT_EQ(os().SetupDiGetClassDevsA(&kHidGuid, 0x02), static_cast<DevInfoSet>(-1));
  const DevInfoSet set = os().SetupDiGetClassDevsA(&kHidGuid, 0x12);
  EXPECT_EQ(machine.LiveDeviceInfoSets(), 1);

  DeviceInterfaceData data{};
  data.size = 32;  // the 64-bit record
  const Proc enumerate = Lookup("SetupDiEnumDeviceInterfaces");
  EXPECT_FALSE(os().SetupDiEnumDeviceInterfaces(enumerate, set, &kHidGuid, 0, &data));
  EXPECT_EQ(os().GetLastError(), 1784u);
  data.size = 28;
  EXPECT_FALSE(
      os().SetupDiEnumDeviceInterfaces(Lookup("HidD_GetFeature"), set, &kHidGuid, 0, &data));
  EXPECT_EQ(machine.BadEntryCalls(), 1);
  ASSERT_TRUE(os().SetupDiEnumDeviceInterfaces(enumerate, set, &kHidGuid, 0, &data));
  EXPECT_FALSE(os().SetupDiEnumDeviceInterfaces(enumerate, set, &kHidGuid, 1, &data));
  EXPECT_EQ(os().GetLastError(), kErrorNoMoreItems);

  ASSERT_TRUE(os().SetupDiEnumDeviceInterfaces(enumerate, set, &kHidGuid, 0, &data));
  const Proc detail = Lookup("SetupDiGetDeviceInterfaceDetailA");
  uint32_t required = 0;
  os().SetupDiGetDeviceInterfaceDetailA(detail, set, &data, nullptr, 0, &required, nullptr);
  std::vector<uint8_t> block(required, 0);
  EXPECT_FALSE(os().SetupDiGetDeviceInterfaceDetailA(detail, set, &data, block.data(), required,
                                                     nullptr, nullptr));
  EXPECT_EQ(os().GetLastError(), 1784u);  // size field not 5
  block[0] = 5;
  EXPECT_FALSE(os().SetupDiGetDeviceInterfaceDetailA(detail, set, &data, block.data(), required - 1,
                                                     nullptr, nullptr));
  EXPECT_EQ(os().GetLastError(), kErrorInsufficientBuffer);

  EXPECT_TRUE(os().SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(machine.LiveDeviceInfoSets(), 0);
  EXPECT_FALSE(os().SetupDiEnumDeviceInterfaces(enumerate, set, &kHidGuid, 0, &data));
}

TEST_F(Sim, HardwareIdsAreAMultiStringReadWithTheSizeProtocol) {
  machine.AddToken(Spec(SimMode::kHid));
  machine.AddOtherHidDevice("HID\\VID_046D&PID_C31C&REV_6400");
  SimTokenSpec without = Spec(SimMode::kHid);
  without.hardwareId = "-";
  machine.AddToken(without);
  SimTokenSpec longId = Spec(SimMode::kHid);
  longId.hardwareId = "HID\\VID_0471&PID_485E" + std::string(1100, 'x');
  machine.AddToken(longId);

  const std::string tokenIds("HID\\VID_0471&PID_485E&REV_0100\0HID\\VID_0471&PID_485E\0\0", 54);
  const struct {
    std::string ids;  // empty: no property
  } expected[] = {{tokenIds},
                  {std::string("HID\\VID_046D&PID_C31C&REV_6400\0\0", 32)},
                  {""},
                  {longId.hardwareId + std::string(2, '\0')}};

  const DevInfoSet set = os().SetupDiGetClassDevsA(&kHidGuid, 0x12);
  for (uint32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    DeviceInfoData data{};
    data.size = 28;
    ASSERT_TRUE(os().SetupDiEnumDeviceInfo(set, i, &data));
    std::vector<uint8_t> buffer(1024, 0);
    uint32_t required = 0;
    uint32_t type = 0;
    const int32_t ok = os().SetupDiGetDeviceRegistryPropertyA(set, &data, 1, &type, buffer.data(),
                                                              1024, &required);
    const std::string& ids = expected[i].ids;
    if (ids.empty()) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(os().GetLastError(), kErrorInvalidData);
      continue;
    }
    if (ids.size() > 1024) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(os().GetLastError(), kErrorInsufficientBuffer);
      EXPECT_EQ(required, ids.size());
      buffer.assign(required, 0);
      ASSERT_TRUE(os().SetupDiGetDeviceRegistryPropertyA(set, &data, 1, &type, buffer.data(),
                                                         required, &required));
    } else {
      ASSERT_TRUE(ok);
    }
    EXPECT_EQ(type, 7u);  // REG_MULTI_SZ
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(ids.size())), ids);
  }
  DeviceInfoData data{};
  data.size = 28;
  EXPECT_FALSE(os().SetupDiEnumDeviceInfo(set, 4, &data));
  EXPECT_EQ(os().GetLastError(), kErrorNoMoreItems);
  os().SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Sim, EntryPointsAreLookedUpInTheirOwnLibrary) {
  Module setupapi = os().GetModuleHandleA("SetupAPI.dll");
  ASSERT_NE(setupapi, nullptr);
  EXPECT_EQ(os().GetModuleHandleA("hid.dll"), nullptr);  // not loaded yet
  EXPECT_EQ(os().GetProcAddress(setupapi, "HidD_GetHidGuid"), nullptr);
  Module hid = os().LoadLibraryA("hid.dll");
  ASSERT_NE(hid, nullptr);
  std::vector<Proc> procs = {os().GetProcAddress(setupapi, "SetupDiEnumDeviceInterfaces"),
                             os().GetProcAddress(setupapi, "SetupDiGetDeviceInterfaceDetailA"),
                             os().GetProcAddress(hid, "HidD_GetHidGuid"),
                             os().GetProcAddress(hid, "HidD_GetFeature"),
                             os().GetProcAddress(hid, "HidD_SetFeature")};
  for (size_t i = 0; i < procs.size(); ++i) {
    EXPECT_NE(procs[i], nullptr);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(procs[i], procs[j]);
  }
  EXPECT_EQ(os().GetProcAddress(hid, "hidd_getfeature"), nullptr);  // names are exact
  EXPECT_EQ(machine.LoadLibraryCalls(), 1);
  EXPECT_EQ(machine.GetProcAddressCalls(), 7);

  Guid guid{};
  os().HidD_GetHidGuid(procs[2], &guid);
  EXPECT_EQ(std::memcmp(guid.bytes, kHidGuid.bytes, 16), 0);

  machine.FailProcLookup("HidD_SetFeature");
  EXPECT_EQ(os().GetProcAddress(hid, "HidD_SetFeature"), nullptr);
  machine.FailLoadLibrary(true);
  EXPECT_EQ(os().LoadLibraryA("hid.dll"), nullptr);
}

TEST_F(Sim, VersionAndDosNames) {
  OsVersionInfo info{};
  info.size = 156;  // OSVERSIONINFOEXA is refused here
  EXPECT_FALSE(os().GetVersionExA(&info));
  machine.SetOs(2, 4);
  info.size = 148;
  ASSERT_TRUE(os().GetVersionExA(&info));
  EXPECT_EQ(info.platformId, 2u);
  EXPECT_EQ(info.majorVersion, 4u);

  machine.AddToken(Spec(SimMode::kHid));
  const int usb0 = machine.AddToken(Spec(SimMode::kUsb));
  const int usb1 = machine.AddToken(Spec(SimMode::kUsb));
  EXPECT_EQ(machine.PathOf(usb0), "\\\\.\\DRAVEL20");
  EXPECT_EQ(machine.PathOf(usb1), "\\\\.\\DRAVEL21");

  std::vector<char> buffer(32768, 'x');
  const uint32_t stored = os().QueryDosDeviceA(nullptr, buffer.data(), 32768);
  ASSERT_GT(stored, 0u);
  std::vector<std::string> names;
  for (const char* name = buffer.data(); *name != '\0'; name += std::strlen(name) + 1) {
    names.emplace_back(name);
  }
  EXPECT_EQ(names, machine.DosNames());
  EXPECT_EQ(std::count(names.begin(), names.end(), "DRAVEL20"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "DRAVEL21"), 1);
  EXPECT_EQ(stored, static_cast<uint32_t>(buffer.data() + stored - buffer.data()));
  EXPECT_EQ(buffer[stored - 1], '\0');
  EXPECT_EQ(buffer[stored - 2], '\0');

  EXPECT_EQ(os().QueryDosDeviceA(nullptr, buffer.data(), stored), stored);
  EXPECT_EQ(os().QueryDosDeviceA(nullptr, buffer.data(), stored - 1), 0u);
  EXPECT_EQ(os().GetLastError(), kErrorInsufficientBuffer);
  machine.FailDosDeviceQuery(true);
  EXPECT_EQ(os().QueryDosDeviceA(nullptr, buffer.data(), 32768), 0u);

  // The DOS path opens the driver's device, as does its interface path elsewhere.
  const Handle h = Open(usb0);
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_EQ(Ioctl(h, kReadAtr, {}).size(), 17u);
}

TEST_F(Sim, DeviceFilesShareLikeWindows) {
  const int token = machine.AddToken(Spec(SimMode::kHid));
  constexpr uint32_t kShared = kFileShareRead | kFileShareWrite;
  const struct {
    uint32_t firstShare;
    uint32_t secondShare;
    bool secondOpens;
  } cases[] = {
      {kShared, kShared, true}, {kFileShareRead, kFileShareRead, true}, {kShared, 0, false},
      {0, kShared, false},      {kFileShareWrite, kShared, false},  // the first does not let others
                                                                    // read
  };
  for (const auto& c : cases) {
    const Handle first = Open(token, c.firstShare);
    ASSERT_NE(first, kInvalidHandle);
    const Handle second = Open(token, c.secondShare);
    EXPECT_EQ(second != kInvalidHandle, c.secondOpens) << c.firstShare << " " << c.secondShare;
    if (second == kInvalidHandle) {
      EXPECT_EQ(os().GetLastError(), kErrorSharingViolation);
    } else {
      EXPECT_NE(second, first);
      os().CloseHandle(second);
    }
    os().CloseHandle(first);
  }
  EXPECT_EQ(machine.OpenDeviceHandles(), 0);

  EXPECT_EQ(os().CreateFileA("\\\\?\\hid#nothing", kGenericRead, kShared), kInvalidHandle);
  EXPECT_EQ(os().GetLastError(), kErrorFileNotFound);
  std::string upper = machine.PathOf(token);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const Handle h = os().CreateFileA(upper.c_str(), kGenericRead, kShared);
  EXPECT_NE(h, kInvalidHandle);
  EXPECT_NE(h, 0u);
  EXPECT_TRUE(os().CloseHandle(h));
  EXPECT_FALSE(os().CloseHandle(h));
  EXPECT_EQ(os().GetLastError(), 6u);

  machine.Faults(token).unopenable = true;
  EXPECT_EQ(Open(token), kInvalidHandle);
  EXPECT_EQ(os().GetLastError(), kErrorAccessDenied);
}

TEST_F(Sim, UnpluggedTokensLeaveStaleHandles) {
  const int usb = machine.AddToken(Spec(SimMode::kUsb));
  const int hid = machine.AddToken(Spec(SimMode::kHid));
  const Handle hu = Open(usb);
  const Handle hh = Open(hid);
  const std::string usbPath = machine.PathOf(usb);
  machine.Unplug(usb);
  machine.Unplug(hid);
  EXPECT_FALSE(machine.IsPresent(usb));

  bool ok = true;
  Ioctl(hu, kTransact, kModeToHid, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(os().GetLastError(), kErrorDeviceNotConnected);
  EXPECT_FALSE(SetFeature(hh, ControlReport(7, {0x00})));
  EXPECT_EQ(os().GetLastError(), kErrorDeviceNotConnected);
  GetFeature(hh, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(os().GetLastError(), kErrorDeviceNotConnected);
  EXPECT_EQ(machine.TokenModel(usb).requests, 0u);

  EXPECT_TRUE(os().CloseHandle(hu));
  EXPECT_TRUE(os().CloseHandle(hh));
  EXPECT_EQ(machine.OpenDeviceHandles(), 0);
  EXPECT_EQ(os().CreateFileA(usbPath.c_str(), kGenericRead, kFileShareRead), kInvalidHandle);
  EXPECT_TRUE(InterfacePaths(kUsbGuid).empty());
}

TEST_F(Sim, UsbDriverServesItsFourControls) {
  SimTokenSpec spec = Spec(SimMode::kUsb);
  spec.modeReply = {0x01, 0x02};
  const int token = machine.AddToken(spec);
  const Handle h = Open(token);
  const Bytes atr = {0x3B, 0x0F, 0x80, 0x02, 0x30, 0x01, 0x00, 0x00, 0x01, 1, 2, 3, 4, 5, 6, 7, 8};
  const Bytes atrRequest = {0x40, 1, 2, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};

  EXPECT_EQ(Ioctl(h, kReadAtr, {}), atr);
  EXPECT_EQ(Ioctl(h, kReadAtr, {}, nullptr, 4), Bytes(atr.begin(), atr.begin() + 4));
  EXPECT_EQ(Ioctl(h, kTransact, atrRequest), atr);
  EXPECT_EQ(Ioctl(h, kTransact, kTypeQuery), (Bytes{0x05, 0x90, 0x00}));

  // The two-step exchange: send, then read with a device-to-host header.
  bool ok = false;
  EXPECT_TRUE(Ioctl(h, kSendSetup, kModeToHid, &ok).empty());
  EXPECT_TRUE(ok);
  EXPECT_EQ(Ioctl(h, kReceive, {0xC0, 1, 0, 0, 0, 0, 0xFF, 0}), (Bytes{0x01, 0x02}));
  EXPECT_EQ(machine.TokenModel(token).requestedMode, TOKEN_MODE_HID);
  EXPECT_TRUE(Ioctl(h, kReceive, {0xC0, 1, 0, 0, 0, 0, 0xFF, 0}, &ok).empty());
  EXPECT_TRUE(ok);
  EXPECT_EQ(machine.TokenModel(token).unpairedReads, 1u);

  const struct {
    const char* name;
    uint32_t code;
    Bytes in;
    uint32_t error;
  } refused[] = {
      {"frame longer than its header says", kSendSetup, {0x40, 1, 7, 0, 0, 0, 1, 0, 0xAA, 0}, 87},
      {"frame shorter than a header", kTransact, {0x40, 1, 7, 0}, 87},
      {"receive with a host-to-device header", kReceive, {0x40, 1, 0, 0, 0, 0, 0xFF, 0}, 87},
      {"request the token stalls", kTransact, {0x40, 1, 9, 0, 0, 0, 1, 0, 0}, kErrorGenFailure},
      {"unknown code", 0x220014, {}, 87},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.name);
    Ioctl(h, r.code, r.in, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(os().GetLastError(), r.error);
  }
}

TEST_F(Sim, UsbDriverFaults) {
  const int token = machine.AddToken(Spec(SimMode::kUsb));
  const Handle h = Open(token);
  bool ok = true;

  machine.Faults(token).refuseTransact = true;
  Ioctl(h, kTransact, kTypeQuery, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(os().GetLastError(), kErrorNotSupported);
  EXPECT_EQ(machine.TokenModel(token).requests, 0u);  // the token never saw it

  machine.Faults(token).receiveFailures = 2;
  ASSERT_TRUE((Ioctl(h, kSendSetup, kTypeQuery, &ok), ok));
  const Bytes read = {0xC0, 0, 0, 0, 0, 0, 0xFF, 0};
  for (int i = 0; i < 2; ++i) {
    Ioctl(h, kReceive, read, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(os().GetLastError(), kErrorGenFailure);
  }
  EXPECT_EQ(Ioctl(h, kReceive, read), (Bytes{0x05, 0x90, 0x00}));  // the reply waited

  machine.Faults(token).refuseReadAtr = true;
  Ioctl(h, kReadAtr, {}, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(os().GetLastError(), kErrorNotSupported);

  machine.Faults(token).refuseReadAtr = false;
  machine.Faults(token).atrUnreadable = true;
  Ioctl(h, kReadAtr, {}, &ok);
  EXPECT_FALSE(ok);
  ASSERT_TRUE((Ioctl(h, kSendSetup, {0x40, 1, 2, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0}, &ok),
               !ok));  // nor does the token give it on request
  machine.Faults(token).atrUnreadable = false;
  EXPECT_EQ(Ioctl(h, kReadAtr, {}).size(), 17u);
}

TEST_F(Sim, DriverCallsOnlyReachTheirOwnKindOfDevice) {
  const int hid = machine.AddToken(Spec(SimMode::kHid));
  const int usb = machine.AddToken(Spec(SimMode::kUsb));
  machine.AddOtherHidDevice("HID\\VID_046D&PID_C31C&REV_6400");
  const Handle hh = Open(hid);
  const Handle hu = Open(usb);
  const Handle keyboard = os().CreateFileA(InterfacePaths(kHidGuid)[1].c_str(), kGenericRead,
                                           kFileShareRead | kFileShareWrite);
  ASSERT_NE(keyboard, kInvalidHandle);
  bool ok = true;
  Ioctl(hh, kTransact, kTypeQuery, &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(SetFeature(hu, ControlReport(7, {0xAA})));
  EXPECT_FALSE(SetFeature(keyboard, ControlReport(7, {0xAA})));
  GetFeature(keyboard, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(os().WaitForSingleObject(hh, kInfinite), kWaitFailed);
  EXPECT_EQ(machine.TokenModel(hid).requests + machine.TokenModel(usb).requests, 0u);
}

TEST_F(Sim, HidClassDriverTakesOnlyTheTokensReportLengths) {
  const int token = machine.AddToken(Spec(SimMode::kHid));
  const Handle h = Open(token);
  Bytes apdu(16, 0);  // report 19 carries up to 14 data bytes
  apdu[0] = 19;
  apdu[1] = 6;
  const Bytes query = {0x80, 0xCA, 0x07, 0, 1, 0};
  std::copy(query.begin(), query.end(), apdu.begin() + 2);

  Bytes tooLong = apdu;
  tooLong.push_back(0);
  EXPECT_FALSE(SetFeature(h, tooLong));
  EXPECT_EQ(os().GetLastError(), kErrorInvalidParameter);
  EXPECT_EQ(machine.TokenModel(token).requests, 0u);  // refused before the token

  ASSERT_TRUE(SetFeature(h, apdu));
  machine.Faults(token).getTimeouts = 3;
  bool ok = true;
  for (int i = 0; i < 3; ++i) {
    GetFeature(h, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(os().GetLastError(), kErrorSemTimeout);
  }
  EXPECT_EQ(GetFeature(h), (Bytes{0x05, 0x90, 0x00}));

  Bytes shortGet(257, 0);
  shortGet[0] = 1;
  EXPECT_FALSE(os().HidD_GetFeature(Lookup("HidD_GetFeature"), h, shortGet.data(), 257));
  EXPECT_EQ(os().GetLastError(), kErrorInvalidParameter);

  machine.Faults(token).getsNeverAnswer = true;
  ASSERT_TRUE(SetFeature(h, apdu));
  for (int i = 0; i < 5; ++i) {
    GetFeature(h, &ok);
    EXPECT_FALSE(ok);
  }
}

TEST_F(Sim, ExchangeLogShowsEveryByte) {
  const int usb = machine.AddToken(Spec(SimMode::kUsb));
  const int hid = machine.AddToken(Spec(SimMode::kHid));
  const Handle hu = Open(usb);
  const Handle hh = Open(hid);
  machine.Faults(usb).refuseTransact = true;
  bool ok = true;
  Ioctl(hu, kTransact, kModeToHid, &ok);
  Ioctl(hu, kSendSetup, kModeToHid);
  Ioctl(hu, kReceive, {0xC0, 1, 0, 0, 0, 0, 0xFF, 0});
  const Bytes set = ControlReport(7, {0x00});
  SetFeature(hh, set);
  GetFeature(hh);

  const std::vector<SimExchange>& log = machine.Log();
  ASSERT_EQ(log.size(), 5u);
  const struct {
    const char* operation;
    int token;
    Bytes sent;
    bool ok;
    Bytes returned;
  } expected[] = {
      {"transact", usb, kModeToHid, false, {}},
      {"send-setup", usb, kModeToHid, true, {}},
      {"receive", usb, {0xC0, 1, 0, 0, 0, 0, 0xFF, 0}, true, {}},
      {"set-feature", hid, set, true, {}},
      {"get-feature", hid, {1, 0}, true, {1, 0}},  // ID 1, R = 0: the empty mode reply
  };
  for (size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(expected[i].operation);
    EXPECT_EQ(log[i].operation, expected[i].operation);
    EXPECT_EQ(log[i].path, machine.PathOf(expected[i].token));
    EXPECT_EQ(log[i].sent, expected[i].sent);
    EXPECT_EQ(log[i].ok, expected[i].ok);
    EXPECT_EQ(log[i].returned, expected[i].returned);
  }
  machine.ClearLog();
  machine.SetLogging(false);
  Ioctl(hu, kReadAtr, {});
  EXPECT_TRUE(machine.Log().empty());
}

TEST_F(Sim, RequestPathAllocatesNothingWithLoggingOff) {
  const int usb = machine.AddToken(Spec(SimMode::kUsb));
  const int hid = machine.AddToken(Spec(SimMode::kHid));
  const Handle hu = Open(usb);
  const Handle hh = Open(hid);
  const Handle mutex = os().CreateMutexA("tokenmode-test");
  const Proc set = Lookup("HidD_SetFeature");
  const Proc get = Lookup("HidD_GetFeature");
  machine.SetLogging(false);
  uint8_t report[258] = {0x80, 0x09, 0x02};
  uint8_t out[255];
  uint32_t returned = 0;

  const AllocationCounts before = CountAllocations();
  for (int i = 0; i < 100; ++i) {
    os().DeviceIoControl(hu, kTransact, kTypeQuery.data(), 14, out, 255, &returned);
    os().WaitForSingleObject(mutex, kInfinite);
    os().HidD_SetFeature(set, hh, report, 258);
    report[0] = 1;
    os().HidD_GetFeature(get, hh, report, 258);
    report[0] = 0x80;
    report[1] = 0x09;
    report[2] = 0x02;
    os().ReleaseMutex(mutex);
  }
  EXPECT_EQ(CountAllocations().news - before.news, 0u);
  EXPECT_EQ(CountAllocations().mallocs - before.mallocs, 0u);
  EXPECT_EQ(machine.TokenModel(hid).requests, 100u);
  EXPECT_EQ(machine.TokenModel(usb).requests, 100u);
}

TEST_F(Sim, TransferLatencyCostsWallTime) {
  const int token = machine.AddToken(Spec(SimMode::kUsb));
  const Handle h = Open(token);
  machine.SetTransferLatencyMicros(3000);
  const auto start = std::chrono::steady_clock::now();
  Ioctl(h, kTransact, kTypeQuery);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(3000));
}

TEST_F(Sim, MutexesAreSharedByNameAndOwnedRecursively) {
  const Handle a = os().CreateMutexA("tokenmode-path");
  ASSERT_NE(a, 0u);
  EXPECT_EQ(os().GetLastError(), 0u);
  const Handle b = os().CreateMutexA("tokenmode-path");
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(os().GetLastError(), 183u);  // ERROR_ALREADY_EXISTS: the same object
  EXPECT_EQ(machine.OpenMutexHandles(), 2);

  EXPECT_EQ(os().WaitForSingleObject(a, kInfinite), kWaitObject0);
  EXPECT_EQ(os().WaitForSingleObject(b, kInfinite), kWaitObject0);
  EXPECT_TRUE(machine.MutexHeld("tokenmode-path"));
  EXPECT_TRUE(os().ReleaseMutex(b));
  EXPECT_TRUE(machine.MutexHeld("tokenmode-path"));
  EXPECT_TRUE(os().ReleaseMutex(a));
  EXPECT_FALSE(machine.MutexHeld("tokenmode-path"));
  EXPECT_FALSE(os().ReleaseMutex(a));
  EXPECT_EQ(os().GetLastError(), 288u);

  EXPECT_EQ(os().CreateMutexA("a\\b"), 0u);  // only Global\ and Local\ may hold a backslash
  EXPECT_EQ(os().GetLastError(), 3u);
  const Handle global = os().CreateMutexA("Global\\tokenmode");
  EXPECT_NE(global, 0u);
  machine.FailMutexCreation(true);
  EXPECT_EQ(os().CreateMutexA("other"), 0u);
  EXPECT_EQ(machine.MutexNamesCreated(),
            (std::vector<std::string>{"tokenmode-path", "tokenmode-path", "a\\b",
                                      "Global\\tokenmode", "other"}));

  EXPECT_TRUE(os().CloseHandle(a));
  EXPECT_TRUE(os().CloseHandle(b));
  EXPECT_TRUE(os().CloseHandle(global));
  EXPECT_EQ(machine.OpenMutexHandles(), 0);
}

TEST_F(Sim, MutexWaitOutcomesCanBeForced) {
  const struct {
    SimWait outcome;
    uint32_t result;
    bool owned;
  } cases[] = {{SimWait::kAcquire, kWaitObject0, true},
               {SimWait::kAbandoned, kWaitAbandoned, true},
               {SimWait::kTimeout, kWaitTimeout, false},
               {SimWait::kFailed, kWaitFailed, false}};
  for (const auto& c : cases) {
    machine.SetNextWait("m", c.outcome);
    const Handle h = os().CreateMutexA("m");
    EXPECT_EQ(os().WaitForSingleObject(h, kInfinite), c.result);
    EXPECT_EQ(machine.MutexHeld("m"), c.owned);
    EXPECT_EQ(os().ReleaseMutex(h) != 0, c.owned);
    EXPECT_EQ(os().WaitForSingleObject(h, kInfinite), kWaitObject0);  // only once
    os().ReleaseMutex(h);
    os().CloseHandle(h);
  }
}

TEST_F(Sim, LocalAllocCountsBlocksAndFailsOnRequest) {
  auto* zeroed = static_cast<uint8_t*>(os().LocalAlloc(kLocalZeroInit, 64));
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(std::count(zeroed, zeroed + 64, 0), 64);
  EXPECT_EQ(machine.LiveAllocations(), 1);

  machine.FailAllocationsAfter(2);
  void* first = os().LocalAlloc(kLocalZeroInit, 8);
  void* second = os().LocalAlloc(kLocalZeroInit, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(os().LocalAlloc(kLocalZeroInit, 8), nullptr);
  EXPECT_EQ(os().GetLastError(), kErrorNotEnoughMemory);
  void* fourth = os().LocalAlloc(kLocalZeroInit, 8);
  EXPECT_NE(fourth, nullptr);  // the failure was one-shot
  EXPECT_EQ(machine.LiveAllocations(), 4);

  for (void* block : {static_cast<void*>(zeroed), first, second, fourth}) {
    EXPECT_EQ(os().LocalFree(block), nullptr);
  }
  EXPECT_EQ(os().LocalFree(nullptr), nullptr);
  EXPECT_EQ(machine.LiveAllocations(), 0);
  EXPECT_DEATH(os().LocalFree(first), "not a live block");
}

TEST_F(Sim, AcceptedModeSwitchReattachesInTheNewModeWithANewPath) {
  SimTokenSpec spec = Spec(SimMode::kHid);
  spec.replugAfterMs = 0;
  const int token = machine.AddToken(spec);
  const std::string hidPath = machine.PathOf(token);
  const Handle h = Open(token);
  ASSERT_TRUE(SetFeature(h, ControlReport(7, {0x00})));
  EXPECT_EQ(GetFeature(h), Bytes{});

  // The re-attach is due now; the next platform call runs it.
  EXPECT_EQ(InterfacePaths(kHidGuid), std::vector<std::string>{});
  EXPECT_EQ(machine.ModeOf(token), SimMode::kUsb);
  EXPECT_EQ(InterfacePaths(kUsbGuid), std::vector<std::string>{machine.PathOf(token)});
  EXPECT_NE(machine.PathOf(token), hidPath);
  EXPECT_FALSE(SetFeature(h, ControlReport(7, {0xAA})));
  EXPECT_EQ(os().GetLastError(), kErrorDeviceNotConnected);
  EXPECT_TRUE(os().CloseHandle(h));

  const Handle usb = Open(token);
  EXPECT_EQ(Ioctl(usb, kTransact, kTypeQuery), (Bytes{0x05, 0x90, 0x00}));
}

TEST_F(Sim, ReattachWaitsForItsTime) {
  using std::chrono::milliseconds;
  SimTokenSpec spec = Spec(SimMode::kUsb);
  spec.replugAfterMs = 300;
  const int token = machine.AddToken(spec);
  const std::string usbPath = machine.PathOf(token);
  const Handle h = Open(token);
  Ioctl(h, kTransact, kModeToUsb);
  std::this_thread::sleep_for(milliseconds(100));
  Ioctl(h, kTransact, kModeToHid);  // the last switch before the re-attach wins
  machine.RunDueEvents();
  EXPECT_EQ(machine.PathOf(token), usbPath);
  EXPECT_TRUE(machine.IsPresent(token));

  std::this_thread::sleep_for(milliseconds(230));  // past the first switch's time only
  machine.RunDueEvents();
  EXPECT_EQ(machine.ModeOf(token), SimMode::kHid);
  EXPECT_NE(machine.PathOf(token), usbPath);
  const std::string hidPath = machine.PathOf(token);
  std::this_thread::sleep_for(milliseconds(200));
  machine.RunDueEvents();
  EXPECT_EQ(machine.PathOf(token), hidPath);  // re-attached once, not once per switch

  machine.Reattach(token);  // with no switch requested the token keeps its mode
  EXPECT_EQ(machine.ModeOf(token), SimMode::kHid);
  EXPECT_TRUE(machine.IsPresent(token));
}

TEST_F(Sim, MessageBoxesAreRecorded) {
  EXPECT_EQ(os().MessageBoxA("No dongle found!", "Error", kMbIconError), 1);
  ASSERT_EQ(machine.MessageBoxes().size(), 1u);
  EXPECT_EQ(machine.MessageBoxes()[0].text, "No dongle found!");
  EXPECT_EQ(machine.MessageBoxes()[0].caption, "Error");
  EXPECT_EQ(machine.MessageBoxes()[0].flags, kMbIconError);
}

TEST(SimInstall, DestroyedMachineLeavesNoBackend) {
  {
    SimMachine machine;
    machine.Install();
    EXPECT_EQ(Platform().MessageBoxA("x", "y", 0), 1);
  }
  EXPECT_DEATH(Platform(), "");
}

}  // namespace
