#include "e2e/linux/guest_token.h"

#include <cstdio>
#include <cstring>

namespace guest {
namespace {
FILE* g_log = nullptr;
}

void InitGuestToken(Token* token, uint8_t mode) {
  static const uint8_t kIdentifier[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  TokenConfig config{};
  config.atrLength = static_cast<uint8_t>(TokenBuildAtr(kTokenVersion, kIdentifier, 8, config.atr));
  config.deviceType = 0x05;
  config.deviceTypeStatus = 0x9000;
  TokenInit(token, &config, mode);
  Log("atr " + Hex(config.atr, config.atrLength));
}

std::string Hex(const uint8_t* bytes, uint32_t length) {
  std::string out;
  char digits[4];
  for (uint32_t i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : " %02x", bytes[i]);
    out += digits;
  }
  return out;
}

void OpenLog(const char* path) {
  g_log = std::fopen(path, "a");
}

void Log(const std::string& line) {
  if (g_log == nullptr) return;
  std::fprintf(g_log, "%s\n", line.c_str());
  std::fflush(g_log);
}

uint32_t BuildReportDescriptor(uint8_t* out) {
  uint32_t n = 0;
  const uint8_t head[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  std::memcpy(out, head, sizeof head);
  n += sizeof head;
  for (uint32_t id = 1; id <= 128; id = id == 20 ? 128 : id + 1) {
    const uint32_t count = TokenHidReportLength(id) - 1;
    const uint8_t item[] = {0x85,
                            static_cast<uint8_t>(id),
                            0x09,
                            0x01,
                            0x15,
                            0x00,
                            0x26,
                            0xFF,
                            0x00,
                            0x75,
                            0x08,
                            0x96,
                            static_cast<uint8_t>(count),
                            static_cast<uint8_t>(count >> 8),
                            0xB1,
                            0x02};
    std::memcpy(out + n, item, sizeof item);
    n += sizeof item;
  }
  out[n++] = 0xC0;
  return n;
}

}  // namespace guest
