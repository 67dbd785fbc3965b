#include "platform/linux/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/linux/handle_table.h"
#include "platform/linux/linux_internal.h"
#include "platform/linux/linux_platform.h"

namespace linux_backend {
namespace {

constexpr size_t kMaxLockName = 200;  // well inside NAME_MAX (255)
constexpr size_t kCutLockName = 183;  // + "~" + 16 hex digits of the hash

std::mutex g_dirLock;
std::string g_lockDirOverride;

bool KeptAsIs(char c, bool first) {
  if (c == '.') return !first;  // no ".", ".." or hidden names
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// A directory only this user can use: ours, a real directory (not a link), mode 0700.
bool PrivateDirectory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat info {};
  return lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & 077) == 0;
}

}  // namespace

std::string LockFileName(const std::string& mutexName) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < mutexName.size(); ++i) {
    const char c = mutexName[i];
    if (KeptAsIs(c, i == 0)) {
      out.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  if (out.size() > kMaxLockName) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(Fnv1a(mutexName)));
    out.resize(kCutLockName);
    out += hash;
  }
  return out;
}

std::string LockDirectory() {
  {
    std::lock_guard<std::mutex> guard(g_dirLock);
    if (!g_lockDirOverride.empty()) return g_lockDirOverride;
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    const std::string dir = std::string(runtime) + "/tokenmode";
    if (PrivateDirectory(dir)) return dir;
  }
  const std::string dir = "/tmp/tokenmode-" + std::to_string(geteuid());
  return PrivateDirectory(dir) ? dir : std::string();
}

Handle CreateMutexA(const char* name) {
  const std::string file = name == nullptr ? std::string() : LockFileName(name);
  const std::string dir = LockDirectory();
  if (file.empty() || dir.empty()) {
    SetLastError(file.empty() ? kErrorInvalidParameter : kErrorAccessDenied);
    return 0;
  }
  const std::string path = dir + "/" + file;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno));
    return 0;
  }
  HandleEntry entry;
  entry.kind = HandleKind::kMutex;
  entry.fd = fd;
  const Handle handle = AddHandle(entry);
  if (handle == kInvalidHandle) {
    close(fd);
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
  return handle;
}

uint32_t WaitForSingleObject(Handle handle, uint32_t milliseconds) {
  HandleEntry entry;
  if (!LookupHandle(handle, &entry) || entry.kind != HandleKind::kMutex) {
    SetLastError(kErrorInvalidHandle);
    return kWaitFailed;
  }
  // A Windows mutex is recursive: its owner's waits succeed at once and count.
  if (entry.ownCount == 0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      const int flags = milliseconds == kInfinite ? LOCK_EX : LOCK_EX | LOCK_NB;
      if (flock(entry.fd, flags) == 0) break;
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) {
        SetLastError(ErrorFromErrno(errno));
        return kWaitFailed;
      }
      if (std::chrono::steady_clock::now() >= deadline) return kWaitTimeout;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ++entry.ownCount;
  UpdateHandle(handle, entry);
  return kWaitObject0;
}

int32_t ReleaseMutex(Handle mutex) {
  HandleEntry entry;
  if (!LookupHandle(mutex, &entry) || entry.kind != HandleKind::kMutex) {
    return Fail(kErrorInvalidHandle);
  }
  if (entry.ownCount == 0) return Fail(kErrorNotOwner);
  if (--entry.ownCount == 0 && flock(entry.fd, LOCK_UN) != 0) return Fail(ErrorFromErrno(errno));
  UpdateHandle(mutex, entry);
  return 1;
}

}  // namespace linux_backend

void LinuxPlatformSetLockDir(const char* dir) {
  std::lock_guard<std::mutex> guard(linux_backend::g_dirLock);
  linux_backend::g_lockDirOverride = dir == nullptr ? "" : dir;
}
