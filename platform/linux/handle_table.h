// The 32-bit handles the seam hands out, each standing for one open file descriptor: a
// device file or a named mutex's lock file. Values are never 0 or 0xFFFFFFFF, whatever
// descriptor number the kernel gave.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace linux_backend {

enum class HandleKind { kFree, kDevice, kMutex };

struct HandleEntry {
  HandleKind kind = HandleKind::kFree;
  int fd = -1;
  uint32_t ownCount = 0;       // mutex: recursive ownership by this handle
  bool gaveUpOnReply = false;  // device: a reply read ran into the kernel's time-out
};

// Registers an open descriptor; kInvalidHandle when the table is full.
Handle AddHandle(const HandleEntry& entry);
// Copies the entry out; false for a handle that is not open.
bool LookupHandle(Handle handle, HandleEntry* entry);
// Writes back the mutable fields of an open handle's entry.
void UpdateHandle(Handle handle, const HandleEntry& entry);
// Forgets the handle and returns its descriptor (-1 when it was not open).
int RemoveHandle(Handle handle);

}  // namespace linux_backend
