// The attached tokens as the tool shows them: enumeration with room for every slot, the
// registry's kind and path of each, and their text and JSON forms.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "device/device.h"

struct TokenInfo {
  DeviceContext context;
  DeviceKind kind;
  std::string path;
};

// EnumDevices with room for every registry slot (one refresh), then the kind and path of each.
Result EnumerateTokens(std::vector<TokenInfo>* tokens);

std::string HexText(const uint8_t* bytes, size_t count);  // upper case, no separators
std::string VersionText(uint32_t spreadVersion);          // 0x00020300 -> "0230"
std::string IdentifierText(const DeviceContext& context);
std::string AtrText(const DeviceContext& context);  // atrLength bytes, up to 64
const char* KindName(DeviceKind kind);              // "hid", "usb", "unknown"
std::string ResultText(Result result);              // "0x6A81 RESULT_FUNCTION_NOT_SUPPORTED"

nlohmann::json TokenJson(const TokenInfo& token);
// A table with a heading: index, kind, version, identifier, answer-to-reset.
void PrintTokenTable(std::FILE* stream, const std::vector<TokenInfo>& tokens);
