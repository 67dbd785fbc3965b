#include "tests/library_fixture.h"

#include <cstdio>

#include "device/discovery.h"
#include "io/hid_transport.h"

namespace {

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SamePath(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
    if (*a == '\0') return true;
  }
}

}  // namespace

testing::AssertionResult RegistryInvariantsHold() {
  for (uint32_t i = 0; i < MAX_DEVICE_SLOTS; ++i) {
    const DeviceSlot& slot = DeviceRegistry[i];
    if (slot.kind == DEVICE_KIND_FREE) continue;
    if (slot.kind != DEVICE_KIND_HID && slot.kind != DEVICE_KIND_USB) {
      return testing::AssertionFailure() << "slot " << i << " has kind " << slot.kind;
    }
    if (slot.atrLength > SLOT_ATR_CAPACITY) {
      return testing::AssertionFailure() << "slot " << i << " atrLength " << int{slot.atrLength};
    }
    if (slot.handle != kInvalidHandle && slot.openCount == 0) {
      return testing::AssertionFailure() << "slot " << i << " is open with no opening";
    }
    if (slot.handle == kInvalidHandle && (slot.openCount != 0 || slot.mutex != 0)) {
      return testing::AssertionFailure() << "slot " << i << " is closed with openCount "
                                         << slot.openCount << " mutex " << slot.mutex;
    }
    for (uint32_t j = i + 1; j < MAX_DEVICE_SLOTS; ++j) {
      const DeviceSlot& other = DeviceRegistry[j];
      if (other.kind == slot.kind && SamePath(slot.devicePath, other.devicePath)) {
        return testing::AssertionFailure() << "slots " << i << " and " << j << " hold one path";
      }
    }
  }
  return testing::AssertionSuccess();
}

LibraryTest::LibraryTest() {
  machine.Install();
  InitRegistry();
  ForgetSetupApiEntryPoints();
  ForgetHidEntryPoints();
}

void LibraryTest::TearDown() {
  EXPECT_TRUE(RegistryInvariantsHold());
}

SimTokenSpec LibraryTest::Hid(uint16_t version, uint8_t deviceType) {
  SimTokenSpec spec;
  spec.mode = SimMode::kHid;
  spec.version = version;
  spec.deviceType = deviceType;
  return spec;
}

SimTokenSpec LibraryTest::Usb(uint16_t version, uint8_t deviceType) {
  SimTokenSpec spec = Hid(version, deviceType);
  spec.mode = SimMode::kUsb;
  return spec;
}

Result LibraryTest::Enum(DeviceContext* contexts, uint32_t* size) {
  const Result result = EnumDevices(contexts, size);
  EXPECT_TRUE(RegistryInvariantsHold());
  return result;
}

std::vector<DeviceContext> LibraryTest::EnumAll() {
  uint32_t size = 0;
  Result result = Enum(nullptr, &size);
  std::vector<DeviceContext> records(size / DEVICE_CONTEXT_SIZE);
  if (result == RESULT_BUFFER_TOO_SMALL) result = Enum(records.data(), &size);
  EXPECT_EQ(RESULT_SUCCESS, result);
  records.resize(size / DEVICE_CONTEXT_SIZE);
  return records;
}

DeviceContext LibraryTest::EnumOne() {
  DeviceContext context{};
  uint32_t size = DEVICE_CONTEXT_SIZE;
  EXPECT_EQ(RESULT_SUCCESS, Enum(&context, &size));
  EXPECT_EQ(DEVICE_CONTEXT_SIZE, size);
  return context;
}

Result LibraryTest::Open(DeviceContext* context) {
  const Result result = OpenDevice(context);
  EXPECT_TRUE(RegistryInvariantsHold());
  return result;
}

Result LibraryTest::Close(DeviceContext* context) {
  const Result result = CloseDevice(context);
  EXPECT_TRUE(RegistryInvariantsHold());
  return result;
}

DeviceContext LibraryTest::OpenToken(const SimTokenSpec& spec) {
  machine.AddToken(spec);
  DeviceContext context = EnumOne();
  EXPECT_EQ(RESULT_SUCCESS, Open(&context));
  machine.ClearLog();
  return context;
}

Result LibraryTest::Control(DeviceContext* context, uint32_t code, void* out, uint32_t capacity,
                            uint32_t* outLength) {
  const Result result = ControlDevice(context, code, nullptr, 0, out, capacity, outLength);
  EXPECT_TRUE(RegistryInvariantsHold());
  return result;
}

std::vector<std::string> LibraryTest::Sent(const std::string& operation) const {
  std::vector<std::string> sent;
  for (const SimExchange& exchange : machine.Log()) {
    if (exchange.operation == operation) sent.push_back(Hex(exchange.sent));
  }
  return sent;
}

std::string Hex(const uint8_t* bytes, size_t length) {
  std::string text;
  char digits[4];
  for (size_t i = 0; i < length; ++i) {
    snprintf(digits, sizeof digits, "%s%02X", i == 0 ? "" : " ", bytes[i]);
    text += digits;
  }
  return text;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  return Hex(bytes.data(), bytes.size());
}
