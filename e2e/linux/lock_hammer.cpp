// Several processes on one HID token at once, through the library and the Linux backend:
// the token's named mutex must keep each set together with its get, and a holder that dies
// must not block the next process.
//
//   lock_hammer exchanges N PROCESSES [--no-lock]
//       forks PROCESSES workers; each enumerates, opens the one token and, once all are
//       ready, alternates N exchanges between the device-type query and the answer-to-reset
//       request, each reply checked against its own request, pausing briefly between each
//       set and its get. Prints
//       "exchanges X matched M torn T failed F in MS ms" (X = N * PROCESSES); exit 0 when
//       every reply matched. --no-lock: after opening, the workers' mutex waits and releases
//       do nothing, so the sets and gets of different processes may interleave.
//   lock_hammer hold
//       enumerates and opens the token, takes its mutex by name as the library names it,
//       sets a device-type query and prints "holding" without ever getting the reply.
//   lock_hammer try DEVICE_PATH MS
//       waits up to MS for the token's mutex; prints "acquired", "timeout" or "failed".
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandfile.h"
#include "device/device.h"
#include "device/registry.h"
#include "io/hid_transport.h"
#include "io/io.h"
#include "platform/linux/linux_platform.h"

namespace {

constexpr uint32_t kMaxProcesses = 8;
constexpr int32_t kCodeAnswerToReset = 2;
// The device-type query and the guest token's answer to it (type 05, status 9000).
constexpr uint8_t kDeviceTypeQuery[] = {0x80, 0xCA, 0x07, 0x00, 0x01, 0x00};
constexpr uint8_t kDeviceTypeReply[] = {0x05, 0x90, 0x00};

// A pause after each set: the process leaves the CPU between its set and its get, as any
// process may be made to, so the other processes' requests land in that gap unless the
// token's lock keeps them out.
constexpr useconds_t kGapAfterSetUs = 300;

// The Linux backend, with the gap after each set and mutex waits and releases that can be
// made to do nothing.
PlatformOps g_ops;
bool g_bypassLock = false;
bool g_gapAfterSet = false;

uint8_t SetFeatureThenPause(Proc entry, Handle device, void* report, uint32_t length) {
  const uint8_t set = LinuxPlatformOps().HidD_SetFeature(entry, device, report, length);
  if (g_gapAfterSet) usleep(kGapAfterSetUs);
  return set;
}

uint32_t WaitUnlessBypassed(Handle handle, uint32_t milliseconds) {
  return g_bypassLock ? kWaitObject0 : LinuxPlatformOps().WaitForSingleObject(handle, milliseconds);
}

int32_t ReleaseUnlessBypassed(Handle mutex) {
  return g_bypassLock ? 1 : LinuxPlatformOps().ReleaseMutex(mutex);
}

void InstallBackend() {
  g_ops = LinuxPlatformOps();
  g_ops.WaitForSingleObject = WaitUnlessBypassed;
  g_ops.ReleaseMutex = ReleaseUnlessBypassed;
  g_ops.HidD_SetFeature = SetFeatureThenPause;
  InstallPlatform(&g_ops);
  InitRegistry();
}

// Enumerates (room for one) and opens the token.
bool OpenTheToken(DeviceContext* context) {
  uint32_t size = sizeof *context;
  const Result listed = EnumDevices(context, &size);
  if (listed != RESULT_SUCCESS || size != DEVICE_CONTEXT_SIZE) {
    std::fprintf(stderr, "not exactly one token (%s)\n", ResultName(listed));
    return false;
  }
  const Result opened = OpenDevice(context);
  if (opened != RESULT_SUCCESS) std::fprintf(stderr, "OpenDevice: %s\n", ResultName(opened));
  return opened == RESULT_SUCCESS;
}

long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

struct Tally {
  uint32_t matched, torn, failed;
};

enum class Outcome { kMatched, kTorn, kFailed };

Outcome Check(Result result, const uint8_t* reply, uint32_t length, const uint8_t* want,
              uint32_t wantLength) {
  if (result != RESULT_SUCCESS) return Outcome::kFailed;
  const bool same = length == wantLength && std::memcmp(reply, want, wantLength) == 0;
  return same ? Outcome::kMatched : Outcome::kTorn;
}

// One worker: opens the token, signals `ready`, waits for `go` to close, hammers.
Tally Hammer(uint32_t exchanges, bool bypass, int ready, int go) {
  Tally tally{};
  InstallBackend();
  DeviceContext context = {};
  const bool opened = OpenTheToken(&context);
  const char mark = opened ? 'r' : 'x';
  if (write(ready, &mark, 1) != 1 || !opened) {
    tally.failed = exchanges;
    return tally;
  }
  char ignored;
  while (read(go, &ignored, 1) > 0) {
  }
  g_bypassLock = bypass;
  g_gapAfterSet = true;
  const uint8_t* atr = context.atr;  // the answer-to-reset the enumeration read
  const uint32_t atrLength = context.atrLength;
  for (uint32_t i = 0; i < exchanges; ++i) {
    uint8_t reply[255] = {};
    uint32_t length = 0;
    Outcome outcome;
    if (i % 2 == 0) {
      length = sizeof reply;
      const Result result =
          TransmitApdu(&context, kDeviceTypeQuery, sizeof kDeviceTypeQuery, reply, &length);
      outcome = Check(result, reply, length, kDeviceTypeReply, sizeof kDeviceTypeReply);
    } else {
      const Result result =
          RequestWithReply(&context, kCodeAnswerToReset, nullptr, 0, reply, sizeof reply, &length);
      outcome = Check(result, reply, length, atr, atrLength);
    }
    if (outcome == Outcome::kMatched) ++tally.matched;
    if (outcome == Outcome::kTorn) ++tally.torn;
    if (outcome == Outcome::kFailed) ++tally.failed;
  }
  g_bypassLock = false;
  g_gapAfterSet = false;
  CloseDevice(&context);
  return tally;
}

int RunExchanges(uint32_t exchanges, uint32_t processes, bool bypass) {
  int ready[2], go[2], results[2];
  if (pipe(ready) != 0 || pipe(go) != 0 || pipe(results) != 0) return 2;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < processes; ++i) {
    const pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) {
      close(go[1]);
      const Tally tally = Hammer(exchanges, bypass, ready[1], go[0]);
      _exit(write(results[1], &tally, sizeof tally) == sizeof tally ? 0 : 1);
    }
  }
  close(go[0]);
  // Every worker has opened the token before any starts, so their exchanges overlap.
  bool allOpened = true;
  for (uint32_t i = 0; i < processes; ++i) {
    char mark = 'x';
    if (read(ready[0], &mark, 1) != 1 || mark != 'r') allOpened = false;
  }
  const auto hammerStart = std::chrono::steady_clock::now();
  close(go[1]);
  Tally total{};
  for (uint32_t i = 0; i < processes; ++i) {
    Tally tally{};
    if (read(results[0], &tally, sizeof tally) != sizeof tally) tally.failed = exchanges;
    total.matched += tally.matched;
    total.torn += tally.torn;
    total.failed += tally.failed;
  }
  while (wait(nullptr) > 0) {
  }
  std::printf("exchanges %u matched %u torn %u failed %u in %ld ms (%ld ms with start-up)\n",
              exchanges * processes, total.matched, total.torn, total.failed,
              MillisecondsSince(hammerStart), MillisecondsSince(start));
  return allOpened && total.matched == exchanges * processes ? 0 : 1;
}

int Hold() {
  InstallBackend();
  DeviceContext context = {};
  if (!OpenTheToken(&context)) return 2;
  const DeviceSlot& slot = DeviceRegistry[context.slotIndex];
  char name[MUTEX_NAME_CAPACITY];
  MakeMutexName(slot.devicePath, name);
  const Handle mutex = Platform().CreateMutexA(name);
  if (mutex == 0 || Platform().WaitForSingleObject(mutex, 0) != kWaitObject0) {
    std::printf("the token's mutex %s is not free\n", name);
    return 2;
  }
  // The first half of an exchange: the token now holds a reply nobody will read.
  const ControlRequest query{REQUEST_TYPE_VENDOR_OUT, REQUEST_APDU, 0, 0, sizeof kDeviceTypeQuery};
  if (!HidSendReport(slot.handle, query, kDeviceTypeQuery)) {
    std::printf("set failed\n");
    return 2;
  }
  std::printf("holding %s\n", name);
  std::fflush(stdout);
  for (;;) pause();
}

int Try(const char* devicePath, uint32_t milliseconds) {
  InstallBackend();
  char name[MUTEX_NAME_CAPACITY];
  MakeMutexName(devicePath, name);
  const Handle mutex = Platform().CreateMutexA(name);
  const uint32_t wait =
      mutex == 0 ? kWaitFailed : Platform().WaitForSingleObject(mutex, milliseconds);
  const char* said = wait == kWaitObject0 || wait == kWaitAbandoned ? "acquired"
                     : wait == kWaitTimeout                         ? "timeout"
                                                                    : "failed";
  std::printf("%s\n", said);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "exchanges") == 0) {
    const auto exchanges = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const auto processes = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const bool bypass = argc == 5 && std::strcmp(argv[4], "--no-lock") == 0;
    if (processes >= 1 && processes <= kMaxProcesses) {
      return RunExchanges(exchanges, processes, bypass);
    }
  }
  if (argc == 2 && std::strcmp(argv[1], "hold") == 0) return Hold();
  if (argc == 4 && std::strcmp(argv[1], "try") == 0) {
    return Try(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
  }
  std::fprintf(stderr,
               "usage: lock_hammer exchanges N PROCESSES [--no-lock] | hold | try PATH MS\n");
  return 2;
}
