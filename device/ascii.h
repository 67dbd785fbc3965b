// Comparing device paths, names and hardware IDs with the letters A to Z taken as a to z.
#pragma once

#include <cstddef>

inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The first `length` bytes of both.
inline bool PrefixEqualsIgnoringAsciiCase(const char* text, const char* prefix, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != prefix[i] && AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

// Whole strings.
inline bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (*a != *b && AsciiLower(*a) != AsciiLower(*b)) return false;
    if (*a == '\0') return true;
  }
}
