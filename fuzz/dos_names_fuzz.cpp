// The DOS-name walk on NT 4.0 over a name buffer of any content: names of any length, with or
// without the closing empty name, filling the buffer to its last byte; allocations that fail.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "device/discovery.h"
#include "fuzz/fuzz_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  FuzzPlatformState& state = InstallFuzzPlatform(&input);
  state.nt4 = true;
  const uint8_t failAfter = input.Byte();
  state.allocationsLeft = failAfter < 0xF0 ? -1 : failAfter - 0xF0;

  DevicePathList list = nullptr;
  int32_t count = DISCOVERY_CAPACITY;
  if (DiscoverDevicePaths(&USB_DRIVER_INTERFACE_GUID, nullptr, &list, &count) != 0) {
    FuzzCheck(list != nullptr, "a scan gives a list");
    FuzzCheck(count >= 0 && count <= DISCOVERY_CAPACITY, "no more entries than the capacity");
    for (int32_t i = 0; i < count; ++i) {
      const char* path = list[i]->path;
      FuzzCheck(strncmp(path, "\\\\.\\", 4) == 0, "a DOS path begins with \\\\.\\");
      FuzzCheck(strncasecmp(path + 4, DOS_NAME_PREFIX, strlen(DOS_NAME_PREFIX)) == 0,
                "only the driver's names are listed");
    }
    FuzzCheck(list[count] == nullptr, "the list ends with a null");
    FreeDevicePathList(list);
  } else {
    FuzzCheck(count == 0, "a failed scan counts nothing");
  }
  FuzzCheck(state.liveAllocations == 0, "every allocation of the scan is freed");
  return 0;
}
