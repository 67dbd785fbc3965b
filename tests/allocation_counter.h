// Counts the program's heap allocations, so a test can show that a stretch of code makes
// none: operator new and new[] in every form (the aligned ones but on Windows), and malloc,
// calloc and realloc where the build lets them be replaced (glibc, not under the sanitizers,
// which own malloc themselves).
//
// Link tokenmode_allocation_counter into a test program to replace its allocation functions.
#pragma once

#include <cstdint>

struct AllocationCounts {
  uint64_t news;     // operator new and new[], every overload
  uint64_t mallocs;  // malloc, calloc and realloc (0 when not counted)
};

// The allocations made since the program started.
AllocationCounts CountAllocations();

// Whether malloc, calloc and realloc are counted in this build.
bool MallocCounted();
