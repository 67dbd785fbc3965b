// The real Windows services behind the platform seam: each operation passes straight
// through to the Win32 call it is named after. Built for 32-bit Windows only.
#pragma once

#include "platform/platform.h"

// The table to install with InstallPlatform; valid for the life of the process.
const PlatformOps& Win32PlatformOps();
