// The real machine's backend for the system the tool was built for; one small file per
// system (backend_linux.cpp, backend_win32.cpp, backend_none.cpp) defines it.
#pragma once

#include "platform/platform.h"

// The backend, or null where the tool has none (only --simulate works there).
const PlatformOps* NativePlatformOps();

// Why the backend could not open a token for want of permission, and what to do about it;
// "" when nothing was refused so.
const char* NativeOpenHint();
