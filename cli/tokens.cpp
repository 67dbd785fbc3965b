#include "cli/tokens.h"

#include <cstddef>

#include "device/query.h"
#include "device/slot.h"

Result EnumerateTokens(std::vector<TokenInfo>* tokens) {
  tokens->clear();
  std::vector<DeviceContext> contexts(MAX_DEVICE_SLOTS);
  uint32_t size = MAX_DEVICE_SLOTS * DEVICE_CONTEXT_SIZE;
  Result result = EnumDevices(contexts.data(), &size);
  if (result != RESULT_SUCCESS) return result;
  uint32_t count = size / DEVICE_CONTEXT_SIZE;
  for (uint32_t i = 0; i < count && i < MAX_DEVICE_SLOTS; ++i) {
    TokenInfo token{contexts[i], QueryDeviceKind(contexts[i].slotIndex), ""};
    char path[DEVICE_PATH_CAPACITY];
    if (QueryDevicePath(contexts[i].slotIndex, path, sizeof path) == RESULT_SUCCESS) {
      token.path = path;
    }
    tokens->push_back(token);
  }
  return RESULT_SUCCESS;
}

std::string HexText(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string VersionText(uint32_t spreadVersion) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) text += kDigits[(spreadVersion >> shift) & 0xF];
  return text;
}

std::string IdentifierText(const DeviceContext& context) {
  return HexText(context.identifier, sizeof context.identifier);
}

std::string AtrText(const DeviceContext& context) {
  // An answer-to-reset of 57 to 64 bytes runs on from `atr` into `identifier`.
  const auto* record = reinterpret_cast<const uint8_t*>(&context);
  uint32_t length = context.atrLength < 64 ? context.atrLength : 64;
  return HexText(record + offsetof(DeviceContext, atr), length);
}

const char* KindName(DeviceKind kind) {
  if (kind == DEVICE_KIND_HID) return "hid";
  if (kind == DEVICE_KIND_USB) return "usb";
  return "unknown";
}

std::string ResultText(Result result) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%X", static_cast<unsigned>(result));
  return std::string(number) + " " + ResultName(result);
}

nlohmann::json TokenJson(const TokenInfo& token) {
  return {{"index", token.context.slotIndex},
          {"kind", KindName(token.kind)},
          {"version", VersionText(token.context.version)},
          {"identifier", IdentifierText(token.context)},
          {"atr", AtrText(token.context)},
          {"path", token.path}};
}

void PrintTokenTable(std::FILE* stream, const std::vector<TokenInfo>& tokens) {
  std::fprintf(stream, "%-6s %-5s %-8s %-17s %s\n", "index", "kind", "version", "identifier",
               "answer-to-reset");
  for (const TokenInfo& token : tokens) {
    std::fprintf(stream, "%-6u %-5s %-8s %-17s %s\n",
                 static_cast<unsigned>(token.context.slotIndex), KindName(token.kind),
                 VersionText(token.context.version).c_str(), IdentifierText(token.context).c_str(),
                 AtrText(token.context).c_str());
  }
}
