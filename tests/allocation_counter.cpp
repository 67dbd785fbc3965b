// The replaced allocation functions live alone in this file: defined beside code that
// allocates, the compiler inlines them and mistakes our own malloc and free for a mismatch.
#include "tests/allocation_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TOKENMODE_COUNT_MALLOC 0
#elif defined(__GLIBC__)
#define TOKENMODE_COUNT_MALLOC 1
#else
#define TOKENMODE_COUNT_MALLOC 0
#endif

// Windows' C library has no aligned_alloc; there the aligned forms stay the standard library's
// (nothing of ours uses over-aligned types).
#if defined(_WIN32)
#define TOKENMODE_ALIGNED_NEW 0
#else
#define TOKENMODE_ALIGNED_NEW 1
#endif

namespace {
std::atomic<uint64_t> g_news{0};
std::atomic<uint64_t> g_mallocs{0};

void* Allocate(std::size_t size) {
  g_news.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size != 0 ? size : 1);
}

#if TOKENMODE_ALIGNED_NEW
void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  g_news.fetch_add(1, std::memory_order_relaxed);
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a multiple of the alignment.
  const std::size_t rounded = (size + align - 1) / align * align;
  return std::aligned_alloc(align, rounded != 0 ? rounded : align);
}
#endif
}  // namespace

AllocationCounts CountAllocations() {
  return {g_news.load(std::memory_order_relaxed), g_mallocs.load(std::memory_order_relaxed)};
}

bool MallocCounted() {
  return TOKENMODE_COUNT_MALLOC != 0;
}

void* operator new(std::size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
#if TOKENMODE_ALIGNED_NEW
void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* block = AllocateAligned(size, alignment)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  if (void* block = AllocateAligned(size, alignment)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}
#endif

void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
#if TOKENMODE_ALIGNED_NEW
void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(block);
}
#endif

#if TOKENMODE_COUNT_MALLOC
// glibc lets a program define malloc itself; these count and hand on to glibc's own, which
// every other allocation function (free, memalign...) still reaches.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);

void* malloc(std::size_t size) {
  g_mallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  g_mallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  g_mallocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}
}
#endif
