#include "platform/linux/handle_table.h"

#include <mutex>

namespace linux_backend {
namespace {

// Enough for every token the registry can hold twice over, plus their mutexes.
constexpr uint32_t kTableSize = 1024;
// Handle values start here, so they never read 0 and stay far from -1.
constexpr Handle kFirstHandle = 0x100;

std::mutex g_lock;
HandleEntry g_table[kTableSize];

HandleEntry* Find(Handle handle) {
  if (handle < kFirstHandle || handle - kFirstHandle >= kTableSize) return nullptr;
  HandleEntry* entry = &g_table[handle - kFirstHandle];
  return entry->kind == HandleKind::kFree ? nullptr : entry;
}

}  // namespace

Handle AddHandle(const HandleEntry& entry) {
  std::lock_guard<std::mutex> guard(g_lock);
  for (uint32_t i = 0; i < kTableSize; ++i) {
    if (g_table[i].kind == HandleKind::kFree) {
      g_table[i] = entry;
      return kFirstHandle + i;
    }
  }
  return kInvalidHandle;
}

bool LookupHandle(Handle handle, HandleEntry* entry) {
  std::lock_guard<std::mutex> guard(g_lock);
  const HandleEntry* found = Find(handle);
  if (found == nullptr) return false;
  *entry = *found;
  return true;
}

void UpdateHandle(Handle handle, const HandleEntry& entry) {
  std::lock_guard<std::mutex> guard(g_lock);
  HandleEntry* found = Find(handle);
  if (found == nullptr) return;
  found->ownCount = entry.ownCount;
  found->gaveUpOnReply = entry.gaveUpOnReply;
}

int RemoveHandle(Handle handle) {
  std::lock_guard<std::mutex> guard(g_lock);
  HandleEntry* found = Find(handle);
  if (found == nullptr) return -1;
  const int fd = found->fd;
  *found = HandleEntry{};
  return fd;
}

}  // namespace linux_backend
