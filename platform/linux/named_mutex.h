// Named mutexes as flock() lock files in a per-user runtime directory. Every CreateMutexA
// opens the file anew, so two handles exclude each other even inside one process; the
// kernel drops the lock of a holder that dies, and the next wait simply acquires it.
#pragma once

#include <string>

namespace linux_backend {

// The lock file's name for a mutex name: letters, digits, '-', '_' and '.' stay, every other
// byte (and a leading '.') becomes %XX, so no separator or ".." reaches the file system and
// distinct names stay distinct. A result over 200 bytes is cut and given a hash of the whole
// name. "" for an empty name.
std::string LockFileName(const std::string& mutexName);

// The directory lock files go in (created owner-only when missing); "" when there is none.
std::string LockDirectory();

}  // namespace linux_backend
