// The request path allocates nothing: no heap block and no LocalAlloc on any transport road,
// through the request layer, the command exchange and the mode switch.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "commands/commandfile.h"
#include "io/io.h"
#include "platform/tap/platform_tap.h"
#include "tests/allocation_counter.h"
#include "tests/library_fixture.h"

namespace {

struct Allocations {
  uint64_t news = 0;
  uint64_t mallocs = 0;
  uint64_t localAllocs = 0;
  bool operator==(const Allocations&) const = default;
};

void PrintTo(const Allocations& a, std::ostream* out) {
  *out << "{new " << a.news << ", malloc " << a.mallocs << ", LocalAlloc " << a.localAllocs << "}";
}

Allocations Now() {
  const AllocationCounts counts = CountAllocations();
  return {counts.news, counts.mallocs, TapCount(kCallLocalAlloc)};
}

Allocations Since(const Allocations& before) {
  const Allocations now = Now();
  return {now.news - before.news, now.mallocs - before.mallocs,
          now.localAllocs - before.localAllocs};
}

// What one operation works on; every buffer is here, so the operation itself needs none.
struct Target {
  DeviceContext* context;
  DeviceSlot* slot;
  uint8_t reply[256];
  uint32_t replyLength;
};

const uint8_t kTypeQuery[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};

// Each returns whether the operation succeeded, so the road was really taken.
struct Operation {
  const char* name;
  bool (*run)(Target& t);
};

const Operation kOperations[] = {
    {"SendControlRequest",
     [](Target& t) {
       t.replyLength = 255;
       return SendControlRequest(t.slot, 2, nullptr, 0, t.reply, &t.replyLength) == 0;
     }},
    {"SendApduRequest",
     [](Target& t) {
       t.replyLength = 255;
       return SendApduRequest(t.slot, kTypeQuery, sizeof kTypeQuery, t.reply, &t.replyLength) == 0;
     }},
    {"RequestWithReply",
     [](Target& t) {
       return RequestWithReply(t.context, 2, nullptr, 0, t.reply, 255, &t.replyLength) ==
              RESULT_SUCCESS;
     }},
    {"TransmitApdu",
     [](Target& t) {
       t.replyLength = 255;
       return TransmitApdu(t.context, kTypeQuery, sizeof kTypeQuery, t.reply, &t.replyLength) ==
              RESULT_SUCCESS;
     }},
    {"RunApdu", [](Target& t) { return RunApdu(t.context, kTypeQuery) == RESULT_SUCCESS; }},
    {"QueryDeviceType",
     [](Target& t) { return QueryDeviceType(t.context, &t.reply[0]) == RESULT_SUCCESS; }},
    {"ControlDevice to USB mode",
     [](Target& t) {
       return ControlDevice(t.context, CONTROL_USB_MODE, nullptr, 0, nullptr, 0, &t.replyLength) ==
              RESULT_SUCCESS;
     }},
    {"ControlDevice to HID mode",
     [](Target& t) {
       return ControlDevice(t.context, CONTROL_HID_MODE, nullptr, 0, nullptr, 0, &t.replyLength) ==
              RESULT_SUCCESS;
     }},
};

struct Road {
  const char* name;
  SimMode mode;
  bool refuseTransact;  // the driver refuses the one-shot exchange: the two-step road
};

class RequestPathAllocations : public LibraryTest, public testing::WithParamInterface<Road> {
 protected:
  void SetUp() override {
    SimTokenSpec spec = GetParam().mode == SimMode::kHid ? Hid() : Usb();
    spec.faults.refuseTransact = GetParam().refuseTransact;
    machine.AddToken(spec);
    context_ = EnumOne();
    ASSERT_EQ(RESULT_SUCCESS, Open(&context_));
    target_.context = &context_;
    target_.slot = &DeviceRegistry[context_.slotIndex];
    machine.SetLogging(false);  // the log is the test's, not the library's
    InstallPlatformTap();
  }
  void TearDown() override {
    RemovePlatformTap();
    Close(&context_);
    LibraryTest::TearDown();
  }

  DeviceContext context_{};
  Target target_{};
};

TEST_P(RequestPathAllocations, NoneOnAnyOperation) {
  constexpr int kRuns = 3;  // the first call and the ones after it alike
  constexpr size_t kCount = std::size(kOperations);
  Allocations made[kCount];
  bool succeeded[kCount][kRuns] = {};
  for (size_t i = 0; i < kCount; ++i) {
    const Allocations before = Now();
    for (int run = 0; run < kRuns; ++run) succeeded[i][run] = kOperations[i].run(target_);
    made[i] = Since(before);
  }
  for (size_t i = 0; i < kCount; ++i) {
    EXPECT_EQ(Allocations{}, made[i]) << kOperations[i].name;
    for (int run = 0; run < kRuns; ++run) {
      EXPECT_TRUE(succeeded[i][run]) << kOperations[i].name << " run " << run;
    }
  }
  EXPECT_GT(TapTransfers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Roads, RequestPathAllocations,
                         testing::Values(Road{"OneShot", SimMode::kUsb, false},
                                         Road{"TwoStep", SimMode::kUsb, true},
                                         Road{"Hid", SimMode::kHid, false}),
                         [](const testing::TestParamInfo<Road>& road) { return road.param.name; });

// The counts above prove nothing unless an allocation inside the region shows.
class AllocationCounting : public LibraryTest {};

void* volatile g_kept = nullptr;  // keeps the compiler from leaving an allocation out

// Memcheck puts its own allocation functions in the place of the program's.
bool UnderMemcheck() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "vgpreload_memcheck") != nullptr;
}

TEST_F(AllocationCounting, SeesEveryKindOfAllocation) {
  if (UnderMemcheck()) GTEST_SKIP() << "memcheck replaces the allocation functions";
  InstallPlatformTap();
  Allocations before = Now();
  g_kept = new int(1);
  delete static_cast<int*>(g_kept);
  EXPECT_EQ((Allocations{1, MallocCounted() ? 1u : 0u, 0}), Since(before));

  if (MallocCounted()) {
    before = Now();
    g_kept = std::malloc(16);
    std::free(g_kept);
    EXPECT_EQ((Allocations{0, 1, 0}), Since(before));
  }

  before = Now();
  g_kept = Platform().LocalAlloc(kLocalZeroInit, 16);
  Platform().LocalFree(g_kept);
  const Allocations made = Since(before);
  EXPECT_EQ(1u, made.localAllocs);
  RemovePlatformTap();
}

}  // namespace
