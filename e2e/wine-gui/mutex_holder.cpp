// mutex_holder: two of these, run at once, show that a token's named mutex is shared between
// processes. Uses the Windows backend's own calls.
//
//   mutex_holder NAME HOLD_MS   take the mutex, print "held", hold it, release, print "released"
//   mutex_holder NAME 0         wait for the mutex, print "acquired after <ms>", release
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/win32/win32_platform.h"

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 3) {
    std::fprintf(stderr, "usage: mutex_holder NAME HOLD_MS\n");
    return 2;
  }
  InstallPlatform(&Win32PlatformOps());
  const PlatformOps& os = Platform();
  const char* name = argv[1];
  int holdMs = std::atoi(argv[2]);

  Handle mutex = os.CreateMutexA(name);
  if (mutex == 0) {
    std::printf("create failed %u\n", os.GetLastError());
    return 1;
  }
  DWORD start = GetTickCount();
  uint32_t wait = os.WaitForSingleObject(mutex, kInfinite);
  if (wait != kWaitObject0) {
    std::printf("wait gave %u\n", wait);
    return 1;
  }
  if (holdMs > 0) {
    std::printf("held\n");
    Sleep(holdMs);
    os.ReleaseMutex(mutex);
    std::printf("released\n");
  } else {
    std::printf("acquired after %lu\n", GetTickCount() - start);
    os.ReleaseMutex(mutex);
  }
  os.CloseHandle(mutex);
  return 0;
}
