// The device library's public operations over the Linux backend, for the guest: what the
// tokenmode tool does, reduced to exit codes, so the guest proves the library itself.
//
//   library_client list          the tokens EnumDevices reports, one line each
//   library_client set hid|usb   enumerate (room for one), open, switch, close
//
// Exit 0 on RESULT_SUCCESS; 2 when not exactly one token is attached; 5 otherwise.
#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "device/registry.h"
#include "platform/linux/linux_platform.h"

int main(int argc, char** argv) {
  InstallPlatform(&LinuxPlatformOps());
  InitRegistry();
  if (argc == 2 && std::strcmp(argv[1], "list") == 0) {
    DeviceContext contexts[8] = {};
    uint32_t size = sizeof contexts;
    const Result result = EnumDevices(contexts, &size);
    if (result != RESULT_SUCCESS) {
      std::printf("EnumDevices: %s\n", ResultName(result));
      return 5;
    }
    for (uint32_t i = 0; i < size / DEVICE_CONTEXT_SIZE; ++i) {
      std::printf("token %u version %08x identifier", contexts[i].slotIndex, contexts[i].version);
      for (uint8_t byte : contexts[i].identifier) std::printf(" %02x", byte);
      std::printf("\n");
    }
    if (size == 0) std::printf("no token (%s)\n", LinuxPlatformLastOpenHint());
    return size == 0 ? 2 : 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "set") == 0) {
    const bool hid = std::strcmp(argv[2], "hid") == 0;
    DeviceContext context = {};
    uint32_t size = sizeof context;
    const Result listed = EnumDevices(&context, &size);
    if (listed != RESULT_SUCCESS || size != DEVICE_CONTEXT_SIZE) {
      std::printf("not exactly one token (%s)\n", ResultName(listed));
      return 2;
    }
    Result result = OpenDevice(&context);
    if (result == RESULT_SUCCESS) {
      uint32_t outLength = 0;
      result = ControlDevice(&context, hid ? CONTROL_HID_MODE : CONTROL_USB_MODE, nullptr, 0,
                             nullptr, 0, &outLength);
      CloseDevice(&context);
    }
    std::printf("%s\n", ResultName(result));
    return result == RESULT_SUCCESS ? 0 : 5;
  }
  std::fprintf(stderr, "usage: library_client list | set hid|usb\n");
  return 2;
}
