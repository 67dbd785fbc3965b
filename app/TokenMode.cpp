// TokenMode.exe: the main window over the real Windows services.
#include "app/Main.h"
#include "device/registry.h"
#include "platform/platform.h"
#include "platform/win32/win32_platform.h"

int main() {
  InitRegistry();
  InstallPlatform(&Win32PlatformOps());
  return RunApplication();
}
