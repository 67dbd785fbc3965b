// A simulated machine set up for measuring: installed, its log off (so the machine itself
// allocates nothing per request), a fresh library, tokens on one transport road.
#pragma once

#include <cstdint>

#include "device/device.h"
#include "platform/sim/sim_machine.h"

struct DeviceSlot;

enum class Road { kOneShot, kTwoStep, kHid };

// "one-shot", "two-step", "hid".
const char* RoadName(Road road);

class BenchMachine {
 public:
  explicit BenchMachine(uint32_t transferLatencyMicros = 0);

  // Attaches `count` tokens that take `road`, each with a path of its own.
  void AddTokens(Road road, int count);
  // Enumerates the one attached token and opens it; false when either fails.
  bool OpenFirst(DeviceContext* context);
  static DeviceSlot* SlotOf(const DeviceContext& context);

  SimMachine sim;
};

// Control transfers of one answer-to-reset read: one driver call, or a feature set and get.
uint32_t AnswerToResetTransfers(Road road);
// Control transfers of one whole set-mode action with one token attached: the enumeration's
// answer-to-reset read, then the device-type query and the mode request.
uint32_t SetModeTransfers(Road road);

// The set-mode action's message box, shown to nobody.
void NoMessage(void* user, const char* text, const char* caption, uint32_t flags);

// The device-type query, the command every mode switch sends first.
inline constexpr uint8_t kTypeQuery[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
