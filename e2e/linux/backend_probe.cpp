// Drives the Linux backend in the guest the way the device library does, one request at a
// time, so the backend is proven against the real hidraw and usbfs drivers on its own.
//
//   backend_probe list                      every device of both classes, with hardware IDs
//   backend_probe wait hid|usb SECONDS      until a token of that kind is listed; its path
//   backend_probe hid PATH VALUE [HEX]      control request VALUE as feature reports 128, 1
//   backend_probe usb PATH VALUE [HEX]      the same through the driver's I/O controls
//
// A request prints "reply <hex>" (exit 0) or "error <code> after <ms> ms" (exit 1).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "e2e/linux/guest_token.h"
#include "platform/linux/linux_platform.h"

namespace {

constexpr Guid kHidGuid = {{0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11, 0x88, 0xCB, 0x00, 0x11,
                            0x11, 0x00, 0x00, 0x30}};
constexpr Guid kVendorGuid = {{0xF7, 0x38, 0x16, 0x17, 0xAD, 0x1E, 0x73, 0x48, 0xBA, 0x98, 0xC9,
                               0x66, 0xAB, 0xCF, 0x01, 0x42}};
const char kTokenHardwareId[] = "HID\\VID_0471&PID_485E";

const PlatformOps& ops = LinuxPlatformOps();
const auto g_start = std::chrono::steady_clock::now();

long ElapsedMs() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - g_start)
                               .count());
}

struct Listed {
  std::string path, hardwareId;
};

std::vector<Listed> List(const Guid& guid) {
  const Module setupApi = ops.GetModuleHandleA("SETUPAPI.DLL");
  const Proc enumInterfaces = ops.GetProcAddress(setupApi, "SetupDiEnumDeviceInterfaces");
  const Proc getDetail = ops.GetProcAddress(setupApi, "SetupDiGetDeviceInterfaceDetailA");
  const DevInfoSet set = ops.SetupDiGetClassDevsA(&guid, kDigcfPresent | kDigcfDeviceInterface);
  std::vector<Listed> listed;
  for (uint32_t i = 0; i < 127; ++i) {
    DeviceInterfaceData interface {};
    interface.size = sizeof interface;
    if (!ops.SetupDiEnumDeviceInterfaces(enumInterfaces, set, &guid, i, &interface)) break;
    DeviceInfoData info{};
    info.size = sizeof info;
    ops.SetupDiEnumDeviceInfo(set, i, &info);
    uint8_t ids[1024] = {};
    uint32_t needed = 0;
    ops.SetupDiGetDeviceRegistryPropertyA(set, &info, kSpdrpHardwareId, nullptr, ids,
                                          sizeof ids - 1, &needed);
    uint32_t size = 0;
    ops.SetupDiGetDeviceInterfaceDetailA(getDetail, set, &interface, nullptr, 0, &size, nullptr);
    std::vector<uint8_t> detail(size);
    const uint32_t sizeField = kInterfaceDetailSizeField;
    std::memcpy(detail.data(), &sizeField, 4);
    if (!ops.SetupDiGetDeviceInterfaceDetailA(getDetail, set, &interface, detail.data(), size,
                                              nullptr, nullptr)) {
      continue;
    }
    listed.push_back(
        {reinterpret_cast<const char*>(detail.data() + 4), reinterpret_cast<const char*>(ids)});
  }
  ops.SetupDiDestroyDeviceInfoList(set);
  return listed;
}

using guest::Hex;

std::vector<uint8_t> ParseHex(const char* text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2) {
    bytes.push_back(
        static_cast<uint8_t>(std::strtoul(std::string(text + i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

int Failed() {
  std::printf("error %u after %ld ms\n", ops.GetLastError(), ElapsedMs());
  return 1;
}

int Replied(const uint8_t* reply, uint32_t length) {
  std::printf("reply %s\n", Hex(reply, length).c_str());
  return 0;
}

// Report 128 carries the value and data; report 1 brings the reply. Gets that time out are
// tried again, three in all, under the token's mutex as the library holds it.
int HidRequest(Handle device, const char* path, uint8_t value, const std::vector<uint8_t>& data) {
  const Module hid = ops.LoadLibraryA("hid.dll");
  const Handle mutex = ops.CreateMutexA(std::strlen(path) > 4 ? path + 4 : path);
  if (mutex == 0 || ops.WaitForSingleObject(mutex, kInfinite) != kWaitObject0) return Failed();
  uint8_t report[258] = {0x80, static_cast<uint8_t>(data.size() + 1), value};
  std::memcpy(report + 3, data.data(), data.size());
  int result = 1;
  if (!ops.HidD_SetFeature(ops.GetProcAddress(hid, "HidD_SetFeature"), device, report, 258)) {
    result = Failed();
  } else {
    for (int attempt = 0; attempt < 3; ++attempt) {
      uint8_t reply[258] = {1};
      if (ops.HidD_GetFeature(ops.GetProcAddress(hid, "HidD_GetFeature"), device, reply, 258)) {
        result = Replied(reply + 2, reply[1]);
        break;
      }
      if (ops.GetLastError() != kErrorSemTimeout || attempt == 2) {
        result = Failed();
        break;
      }
    }
  }
  ops.ReleaseMutex(mutex);
  ops.CloseHandle(mutex);
  return result;
}

// The one-shot exchange first (the backend refuses it), then send and up to ten receives.
int UsbRequest(Handle device, uint8_t value, const std::vector<uint8_t>& data) {
  uint8_t frame[8 + 256] = {0x40, 0x01, value, 0, 0, 0, static_cast<uint8_t>(data.size()), 0};
  std::memcpy(frame + 8, data.data(), data.size());
  uint8_t reply[512];
  uint32_t count = 0;
  if (ops.DeviceIoControl(device, 0x220028, frame, static_cast<uint32_t>(8 + data.size()), reply,
                          255, &count) ||
      ops.GetLastError() != kErrorNotSupported) {
    std::printf("one-shot exchange not refused\n");
    return 1;
  }
  if (!ops.DeviceIoControl(device, 0x22000C, frame, static_cast<uint32_t>(8 + data.size()), nullptr,
                           0, &count)) {
    return Failed();
  }
  const uint8_t read[8] = {0xC0, 0x01, 0, 0, 0, 0, 0xFF, 0};
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (ops.DeviceIoControl(device, 0x220010, read, 8, reply, 255, &count)) {
      return Replied(reply, count);
    }
  }
  return Failed();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "list") {
    for (const Listed& d : List(kHidGuid))
      std::printf("hid %s %s\n", d.path.c_str(), d.hardwareId.c_str());
    for (const Listed& d : List(kVendorGuid))
      std::printf("usb %s %s\n", d.path.c_str(), d.hardwareId.c_str());
    return 0;
  }
  if (command == "wait" && argc == 4) {
    const bool hid = std::string(argv[2]) == "hid";
    const long deadline = std::atol(argv[3]) * 1000;
    while (ElapsedMs() < deadline) {
      for (const Listed& d : List(hid ? kHidGuid : kVendorGuid)) {
        if (!hid ||
            strncasecmp(d.hardwareId.c_str(), kTokenHardwareId, sizeof kTokenHardwareId - 1) == 0) {
          std::printf("%s\n", d.path.c_str());
          return 0;
        }
      }
      usleep(50 * 1000);
    }
    return 1;
  }
  if ((command == "hid" || command == "usb") && argc >= 4) {
    std::vector<uint8_t> data = argc > 4 ? ParseHex(argv[4]) : std::vector<uint8_t>(8, 0);
    const Handle device = ops.CreateFileA(argv[2], kGenericRead, kFileShareRead);
    if (device == kInvalidHandle) {
      std::printf("open failed %u %s\n", ops.GetLastError(), LinuxPlatformLastOpenHint());
      return 1;
    }
    const auto value = static_cast<uint8_t>(std::strtoul(argv[3], nullptr, 0));
    const int result = command == "hid" ? HidRequest(device, argv[2], value, data)
                                        : UsbRequest(device, value, data);
    ops.CloseHandle(device);
    return result;
  }
  std::fprintf(stderr,
               "usage: backend_probe list | wait hid|usb SECONDS | hid|usb PATH VALUE [HEX]\n");
  return 2;
}
