// The scenario loader over any text: it either builds a machine or says why not, and never
// crashes, hangs or leaks.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_platform.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string json(reinterpret_cast<const char*>(data), size);
  SimMachine machine;
  std::string error;
  const bool loaded = LoadScenario(json, machine, &error);
  FuzzCheck(loaded || !error.empty(), "a refused scenario says why");
  return 0;
}
