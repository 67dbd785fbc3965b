// The HID reply report: a get of report 1 that returns any bytes, any count byte, time-outs
// and failures, into a reply buffer of any capacity up to the exchange's 255 bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_platform.h"
#include "io/hid_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  InstallFuzzPlatform(&input);
  ForgetHidEntryPoints();
  Guid guid;
  GetHidInterfaceGuid(&guid);  // looks the stub's entry points up

  const uint32_t capacity = input.Byte();
  // An exact-size reply buffer, so a copy past the capacity is caught.
  const auto reply = std::make_unique<uint8_t[]>(capacity + 1u);
  uint32_t length = capacity;
  if (HidReceiveReport(7, reply.get(), &length)) {
    FuzzCheck(length <= capacity, "the reply fits the capacity");
  } else {
    FuzzCheck(length == capacity, "a failed receive leaves the length alone");
  }
  return 0;
}
