// The real Linux services behind the platform seam: hidraw nodes for HID tokens, usbfs
// control transfers for tokens in vendor-driver mode, flock() lock files for named mutexes.
//
// Discovery reads sysfs (the HID class GUID lists every hidraw node with the hardware IDs a
// Windows machine would report, so the library's own filter decides; the vendor-driver
// class GUID lists USB devices of the token's vendor that expose a vendor-class interface).
// The driver's one-shot exchange and answer-to-reset read are answered "not supported", so
// the library falls back to its two-step exchange and control request value 2.
#pragma once

#include "platform/platform.h"

// The Linux backend. Install it with InstallPlatform(&LinuxPlatformOps()).
const PlatformOps& LinuxPlatformOps();

// Where sysfs and device nodes are read: files under <sysRoot>/sys/..., device paths under
// <devRoot>/... Defaults "" and "/dev"; a null argument keeps the current value. For tests.
void LinuxPlatformSetRoots(const char* sysRoot, const char* devRoot);

// Where named-mutex lock files live; null or "" restores the default
// ($XDG_RUNTIME_DIR/tokenmode, else /tmp/tokenmode-<uid>). For tests.
void LinuxPlatformSetLockDir(const char* dir);

// Why the last device file could not be opened for want of permission, with what to do
// about it; "" when no open has been refused so. For the command-line tool to show.
const char* LinuxPlatformLastOpenHint();

// The udev rule that grants the logged-in user access to tokens, and where it goes.
inline constexpr const char* kLinuxUdevRuleName = "70-tokenmode.rules";
