// A simulated machine installed for one test, a fresh library, and the public operations
// wrapped so that the registry's invariants are checked after each one.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device.h"
#include "device/registry.h"
#include "platform/sim/sim_machine.h"

// The registry's invariants: kinds, no two equal paths in one kind, handle, open count and
// mutex in agreement, answer-to-reset length bound.
testing::AssertionResult RegistryInvariantsHold();

class LibraryTest : public testing::Test {
 protected:
  LibraryTest();
  void TearDown() override;

  SimTokenSpec Hid(uint16_t version = 0x0230, uint8_t deviceType = 0x05);
  SimTokenSpec Usb(uint16_t version = 0x0230, uint8_t deviceType = 0x05);

  // The public operations, each followed by the invariant check.
  Result Enum(DeviceContext* contexts, uint32_t* size);
  std::vector<DeviceContext> EnumAll();  // every record; fails the test on a failure
  DeviceContext EnumOne();               // exactly one token attached
  Result Open(DeviceContext* context);
  Result Close(DeviceContext* context);
  // Attaches the one token, enumerates and opens it; the log starts empty afterwards.
  DeviceContext OpenToken(const SimTokenSpec& spec);
  Result Control(DeviceContext* context, uint32_t code, void* out = nullptr, uint32_t capacity = 0,
                 uint32_t* outLength = nullptr);

  // Log entries of one operation ("set-feature", "transact", ...), as hex strings.
  std::vector<std::string> Sent(const std::string& operation) const;

  SimMachine machine;
};

std::string Hex(const uint8_t* bytes, size_t length);
std::string Hex(const std::vector<uint8_t>& bytes);
