// Token replies of any length and content through the command exchange and the mode control,
// on both transports: driver counts larger than the buffer, HID count bytes past the report,
// refused exchanges, time-outs and failed mutex waits, into reply buffers of any capacity.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "commands/commandfile.h"
#include "device/registry.h"
#include "fuzz/fuzz_platform.h"
#include "io/hid_transport.h"
#include "io/io.h"

namespace {

// Outside the stub's ranges, so the temporary handle of an answer-to-reset read differs.
constexpr Handle kDevice = 0x50;
constexpr Handle kMutex = 0x60;

// One opened token in slot 0, registered by hand so every input reaches the exchange.
DeviceContext OpenedToken(DeviceKind kind, uint16_t version) {
  InitRegistry();
  DeviceSlot& slot = DeviceRegistry[0];
  memset(&slot, 0, sizeof slot);
  slot.kind = kind;
  slot.handle = kDevice;
  strcpy(slot.devicePath, "\\\\?\\token#0");
  slot.openCount = 1;
  slot.shareMode = 1;
  slot.mutex = kMutex;
  DeviceContext context{};
  context.slotIndex = 0;
  context.handle = kDevice;
  context.version = SpreadVersion(version);
  context.atrLength = 17;
  return context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  InstallFuzzPlatform(&input);
  ForgetHidEntryPoints();
  Guid guid;
  GetHidInterfaceGuid(&guid);

  const uint8_t choice = input.Byte();
  const DeviceKind kind = (choice & 1) != 0 ? DEVICE_KIND_USB : DEVICE_KIND_HID;
  DeviceContext context = OpenedToken(kind, input.U16());
  const uint32_t capacity = input.Byte();
  // Exact-size buffers: a reply copied past its capacity meets the address sanitizer.
  const auto out = std::make_unique<uint8_t[]>(capacity + 1u);

  switch (choice >> 1 & 3) {
    case 0: {  // the mode control: device-type query, then the mode request
      uint32_t outLength = 0xDEAD;
      const uint32_t code = (choice & 0x10) != 0 ? CONTROL_USB_MODE : CONTROL_HID_MODE;
      const Result result =
          ControlDevice(&context, code, nullptr, 0, out.get(), capacity, &outLength);
      if (result == RESULT_SUCCESS) FuzzCheck(outLength <= capacity, "reply within the buffer");
      break;
    }
    case 1: {  // a vendor request with a reply
      uint32_t replyLength = 0;
      const Result result =
          RequestWithReply(&context, input.Byte(), nullptr, 0, out.get(), capacity, &replyLength);
      if (result == RESULT_SUCCESS) FuzzCheck(replyLength <= capacity, "reply within the buffer");
      break;
    }
    case 2: {  // an APDU and its reply
      static constexpr uint8_t kApdu[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
      uint32_t replyLength = capacity;
      const Result result = TransmitApdu(&context, kApdu, sizeof kApdu, out.get(), &replyLength);
      if (result == RESULT_SUCCESS) FuzzCheck(replyLength <= capacity, "reply within the buffer");
      RunApdu(&context, kApdu);
      break;
    }
    default: {  // the answer-to-reset read through its temporary handle
      uint8_t atr[256];
      uint8_t atrLength = 255;
      ReadAnswerToReset(&DeviceRegistry[0], atr, &atrLength);
      FuzzCheck(DeviceRegistry[0].handle == kDevice, "the slot gets its own handle back");
      break;
    }
  }
  return 0;
}
