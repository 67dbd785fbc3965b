// Parsing a token's answer-to-reset (ISO/IEC 7816-3 layout) into the fields the library uses.
#pragma once

#include <cstdint>

struct AtrInfo {
  uint8_t historical1;
  uint8_t historical4;
  uint16_t version;  // historical bytes 2 and 3, big-endian
  uint16_t historical56;
  uint8_t historical7;
  uint8_t identifierLength;  // K - 7
  uint8_t identifier[8];     // historical bytes 8 to K
};
static_assert(sizeof(AtrInfo) == 16);

enum class AtrCheck { kTestFirstByte, kPlain };

// Fills `info` from the `length` bytes at `atr`. kTestFirstByte refuses a TS other than
// 0x3B. Returns 0, or -1 with `info` untouched: a refused TS, or an answer whose interface
// bytes, seven fixed historical bytes or identifier do not lie within `length` (K below 7
// included). Reads only within `length` bytes, writes only within `info`.
int32_t ParseAnswerToReset(const uint8_t* atr, uint32_t length, AtrInfo* info, AtrCheck check);
