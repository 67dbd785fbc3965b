// The tokenmode command line: what the user asked for, checked before anything runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern const char kUsage[];

enum class Command { kNone, kHelp, kVersion, kList, kSet };
enum class TargetMode { kHid, kUsb };

// --token=ID: a token's identifier (16 hex digits, any case) or its index in `list`.
struct TokenChoice {
  bool given = false;
  bool byIdentifier = false;
  uint8_t identifier[8] = {};
  uint32_t index = 0;
  std::string text;  // as the user wrote it
};

struct CliOptions {
  Command command = Command::kNone;
  bool simulate = false;
  std::string scenarioPath;  // empty with simulate: the built-in machine
  std::string tracePath;     // empty: no trace
  bool json = false;
  TargetMode mode = TargetMode::kHid;
  TokenChoice token;
  bool wait = false;
  uint32_t waitSeconds = 60;
};

inline constexpr uint32_t kMaxWaitSeconds = 86400;

// Parses the arguments after the program name. Options may stand before or after the command.
// False with *error set on a usage error.
bool ParseArgs(const std::vector<std::string>& args, CliOptions* options, std::string* error);
