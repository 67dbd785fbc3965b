#include "device/atr.h"

namespace {
constexpr uint8_t kTsDirect = 0x3B;
constexpr uint32_t kFixedHistoricalBytes = 7;
}  // namespace

int32_t ParseAnswerToReset(const uint8_t* atr, uint32_t length, AtrInfo* info, AtrCheck check) {
  if (atr == nullptr || info == nullptr || length < 2) return -1;
  if (check == AtrCheck::kTestFirstByte && atr[0] != kTsDirect) return -1;

  // Walk T0 and the TDi bytes: each announces TAi, TBi, TCi by bits 0x10, 0x20, 0x40 and the
  // next TD by 0x80. The historical bytes follow the last interface byte.
  uint32_t pos = 1;
  for (;;) {
    const uint8_t y = atr[pos];
    pos += ((y >> 4) & 1u) + ((y >> 5) & 1u) + ((y >> 6) & 1u);
    if ((y & 0x80) == 0) break;
    pos += 1;
    if (pos >= length) return -1;  // the announced TD lies past the answer
  }
  const uint32_t historical = pos + 1;
  const uint32_t k = atr[1] & 0x0Fu;
  // An answer without its seven fixed bytes and its identifier is refused whole.
  if (k < kFixedHistoricalBytes || historical + k > length) return -1;

  const uint8_t* h = atr + historical;
  info->historical1 = h[0];
  info->version = static_cast<uint16_t>(h[1] << 8 | h[2]);
  info->historical4 = h[3];
  info->historical56 = static_cast<uint16_t>(h[4] << 8 | h[5]);
  info->historical7 = h[6];
  info->identifierLength = static_cast<uint8_t>(k - kFixedHistoricalBytes);
  for (uint32_t i = 0; i < info->identifierLength; ++i) info->identifier[i] = h[7 + i];
  return 0;
}
