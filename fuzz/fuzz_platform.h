// A stub platform for the fuzz targets: every answer a token or the OS gives comes from the
// fuzzer's bytes, and every handle, mutex and allocation is counted so a target can check
// that the library gave back what it took.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The fuzzer's bytes, read front to back; an exhausted input reads as zeros.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte();
  uint16_t U16();
  uint32_t U32();
  // Copies up to `capacity` bytes into `out`; returns how many there were.
  size_t Take(uint8_t* out, size_t capacity);
  size_t Remaining() const { return size_ - pos_; }
  const uint8_t* Rest() const { return data_ + pos_; }
  void Skip(size_t n) { pos_ += n < Remaining() ? n : Remaining(); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

struct FuzzPlatformState {
  FuzzInput* input = nullptr;  // where the token's and the OS's answers come from
  bool nt4 = false;
  int openFiles = 0;
  int openMutexes = 0;
  int liveAllocations = 0;
  int allocationsLeft = -1;  // -1: never fail; n: the (n+1)-th LocalAlloc fails
  uint32_t lastError = 0;
};

// Installs the stub as the platform, answering from `input`; the state is reset.
FuzzPlatformState& InstallFuzzPlatform(FuzzInput* input);

// Ends the process with a message when a property the library promises does not hold; the
// fuzzer reports it as a crash with the input that broke it.
void FuzzCheck(bool holds, const char* what);
