#include "e2e/linux/guest_token.h"

#include <cstdio>

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

}  // namespace guest
