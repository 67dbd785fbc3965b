// Device paths of any length and content through the merge, twice, with some tokens opened in
// between and answers-to-reset of any content; the registry's invariants after each step, and
// every handle and mutex but those of tokens that vanished while open closed at the end.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "device/refresh.h"
#include "device/registry.h"
#include "fuzz/fuzz_platform.h"
#include "io/hid_transport.h"
#include "tests/library_fixture.h"

namespace {

// One discovery's list: each path an exact-size block (size field, bytes, NUL).
struct PathList {
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
  std::vector<DevicePathEntry*> entries;
};

PathList ReadPaths(FuzzInput& input) {
  PathList list;
  const uint32_t count = input.Byte();
  for (uint32_t i = 0; i < count && input.Remaining() != 0; ++i) {
    const uint32_t length = input.U16() % 1024u;
    auto block = std::make_unique<uint8_t[]>(sizeof(uint32_t) + length + 1);
    const size_t taken = input.Take(block.get() + sizeof(uint32_t), length);
    block[sizeof(uint32_t) + taken] = 0;
    list.entries.push_back(reinterpret_cast<DevicePathEntry*>(block.get()));
    list.blocks.push_back(std::move(block));
  }
  list.entries.push_back(nullptr);
  return list;
}

void Merge(PathList& list, DeviceKind kind) {
  const int32_t result = MergeDiscoveredPaths(list.entries.data(),
                                              static_cast<int32_t>(list.entries.size() - 1), kind);
  FuzzCheck(result == 0 || result == -1, "the merge returns 0 or -1");
  FuzzCheck(RegistryInvariantsHold(), "the registry's invariants after a merge");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  FuzzPlatformState& state = InstallFuzzPlatform(&input);
  InitRegistry();
  ForgetHidEntryPoints();
  Guid guid;
  GetHidInterfaceGuid(&guid);

  const DeviceKind kind = (input.Byte() & 1) != 0 ? DEVICE_KIND_USB : DEVICE_KIND_HID;
  PathList first = ReadPaths(input);
  Merge(first, kind);

  // Open some of the registered tokens, once or twice.
  std::vector<DeviceContext> opened;
  const uint8_t openMask = input.Byte();
  for (uint32_t i = 0; i < 8; ++i) {
    if ((openMask >> i & 1) == 0 || DeviceRegistry[i].kind == DEVICE_KIND_FREE) continue;
    DeviceContext context{};
    context.slotIndex = i;
    for (int twice = 0; twice < 2; ++twice) {
      if (OpenSlot(&context, 1, 4, nullptr) == RESULT_SUCCESS) opened.push_back(context);
    }
  }
  FuzzCheck(RegistryInvariantsHold(), "the registry's invariants after opening");

  // A token that vanishes while open keeps its handle and mutex: no later opening may reuse
  // the handle its stale context holds.
  int vanishedFiles = 0;
  int vanishedMutexes = 0;
  Handle openHandles[MAX_DEVICE_SLOTS];
  for (uint32_t i = 0; i < MAX_DEVICE_SLOTS; ++i) {
    const DeviceSlot& slot = DeviceRegistry[i];
    openHandles[i] = slot.kind != DEVICE_KIND_FREE ? slot.handle : kInvalidHandle;
  }
  Handle openMutexes[MAX_DEVICE_SLOTS];
  for (uint32_t i = 0; i < MAX_DEVICE_SLOTS; ++i) openMutexes[i] = DeviceRegistry[i].mutex;
  PathList second = ReadPaths(input);
  Merge(second, kind);
  for (uint32_t i = 0; i < MAX_DEVICE_SLOTS; ++i) {
    const DeviceSlot& slot = DeviceRegistry[i];
    if (openHandles[i] == kInvalidHandle) continue;
    if (slot.kind != DEVICE_KIND_FREE && slot.handle == openHandles[i]) continue;
    ++vanishedFiles;
    vanishedMutexes += openMutexes[i] != 0;
  }

  for (DeviceContext& context : opened) CloseSlot(&context);
  PathList none;
  none.entries.push_back(nullptr);
  Merge(none, kind);
  for (const DeviceSlot& slot : DeviceRegistry) {
    FuzzCheck(slot.kind == DEVICE_KIND_FREE, "an empty discovery frees every slot of its kind");
  }
  FuzzCheck(state.openFiles == vanishedFiles, "every other device file closed");
  FuzzCheck(state.openMutexes == vanishedMutexes, "every other mutex closed");
  return 0;
}
