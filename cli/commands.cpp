#include "cli/commands.h"

#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/set_mode_action.h"
#include "cli/tokens.h"
#include "commands/commandfile.h"

using nlohmann::json;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(250);

const char* ModeName(TargetMode mode) {
  return mode == TargetMode::kHid ? "hid" : "usb";
}
const char* ModeTitle(TargetMode mode) {
  return mode == TargetMode::kHid ? "HID" : "USB";
}
DeviceKind KindOf(TargetMode mode) {
  return mode == TargetMode::kHid ? DEVICE_KIND_HID : DEVICE_KIND_USB;
}

void PrintJson(const Console& console, const json& doc) {
  std::fprintf(console.out, "%s\n", doc.dump(2).c_str());
}

// The tokens that the choice names (one, or several sharing an identifier).
std::vector<TokenInfo> Chosen(const std::vector<TokenInfo>& tokens, const TokenChoice& choice) {
  std::vector<TokenInfo> chosen;
  for (const TokenInfo& token : tokens) {
    bool match = choice.byIdentifier
                     ? std::memcmp(token.context.identifier, choice.identifier, 8) == 0
                     : token.context.slotIndex == choice.index;
    if (match) chosen.push_back(token);
  }
  return chosen;
}

// One run of `set`: what happened, for the text and the JSON forms alike.
class SetRun {
 public:
  SetRun(const CliOptions& options, const Console& console) : options_(options), console_(console) {
    doc_ = {{"command", "set"}, {"mode", ModeName(options.mode)}};
  }

  int Run();

 private:
  int Finish(int exitCode, const char* outcome) {
    doc_["outcome"] = outcome;
    doc_["exitCode"] = exitCode;
    if (options_.json) PrintJson(console_, doc_);
    return exitCode;
  }

  // The window's message and the detail line it hides; success goes to stdout unless JSON.
  void Report(const char* message, const std::string& detail, bool success) {
    std::FILE* stream = success && !options_.json ? console_.out : console_.err;
    std::fprintf(stream, "%s\n%s\n", message, detail.c_str());
    std::fflush(stream);  // before the notes on stderr that may follow, when piped too
    doc_["message"] = message;
    doc_["detail"] = detail;
  }

  int NoDongle(const std::string& detail) {
    Report(kMessageNoDongle, detail, false);
    PrintOpenHint(console_);
    return Finish(kExitNoToken, "no-token");
  }

  int SeveralTokens(const std::vector<TokenInfo>& tokens, const char* why) {
    std::fprintf(console_.err, "%s; choose one with --token=ID (its identifier or its index):\n",
                 why);
    PrintTokenTable(console_.err, tokens);
    json list = json::array();
    for (const TokenInfo& token : tokens) list.push_back(TokenJson(token));
    doc_["tokens"] = list;
    return Finish(kExitSeveralTokens, "several-tokens");
  }

  // Blanks the progress line; plain spaces, since not every console knows escape sequences.
  void ClearProgress() {
    if (console_.progress) std::fprintf(console_.err, "\r%60s\r", "");
  }

  int Switch(TokenInfo token);
  int Wait(const TokenInfo& token, const std::set<uint32_t>& alreadyThere);

  const CliOptions& options_;
  const Console& console_;
  json doc_;
};

int SetRun::Run() {
  std::vector<TokenInfo> tokens;
  Result result = EnumerateTokens(&tokens);
  if (result != RESULT_SUCCESS) return NoDongle("EnumDevices: result " + ResultText(result));
  if (tokens.empty()) return NoDongle("no token is attached");

  if (!options_.token.given) {
    if (tokens.size() > 1) return SeveralTokens(tokens, "Several tokens are attached");
    return Switch(tokens[0]);
  }
  std::vector<TokenInfo> chosen = Chosen(tokens, options_.token);
  if (chosen.empty()) {
    return NoDongle(std::string("no attached token has the ") +
                    (options_.token.byIdentifier ? "identifier " : "index ") + options_.token.text);
  }
  if (chosen.size() > 1) {
    return SeveralTokens(chosen, "Several tokens have this identifier");
  }
  return Switch(chosen[0]);
}

int SetRun::Switch(TokenInfo token) {
  doc_["token"] = TokenJson(token);
  const DeviceKind target = KindOf(options_.mode);
  doc_["alreadyInMode"] = token.kind == target;
  if (token.kind == target) {
    // A switch made earlier may be pending until the token is re-attached: send it anyway.
    std::fprintf(console_.err,
                 "The token is attached in %s mode already; sending the request all the same.\n",
                 ModeTitle(options_.mode));
  }
  const std::string version = "version " + VersionText(token.context.version);

  Result result = OpenDevice(&token.context);
  if (result != RESULT_SUCCESS) {
    doc_["result"] = result;
    doc_["resultName"] = ResultName(result);
    return NoDongle("OpenDevice: result " + ResultText(result) + ", " + version);
  }
  uint32_t replyLength = 0;
  const uint32_t code = options_.mode == TargetMode::kHid ? CONTROL_HID_MODE : CONTROL_USB_MODE;
  result = ControlDevice(&token.context, code, nullptr, 0, nullptr, 0, &replyLength);
  // The device type, which ControlDevice keeps to itself, for the detail line. Asked after
  // the switch so that the window's two exchanges come first and meet the token as they would.
  uint8_t deviceType = 0;
  Result typeResult = QueryDeviceType(&token.context, &deviceType);
  CloseDevice(&token.context);

  char typeText[8];
  std::snprintf(typeText, sizeof typeText, "%02X", deviceType);
  std::string detail = "result " + ResultText(result) + ", device type " +
                       (typeResult == RESULT_SUCCESS ? std::string(typeText) : "unknown") + ", " +
                       version;
  doc_["result"] = result;
  doc_["resultName"] = ResultName(result);
  doc_["deviceType"] = typeResult == RESULT_SUCCESS ? json(typeText) : json(nullptr);

  if (result == RESULT_FUNCTION_NOT_SUPPORTED) {
    Report(kMessageSetFailed, detail, false);
    return Finish(kExitNotSupported, "not-supported");
  }
  if (result != RESULT_SUCCESS) {
    Report(kMessageSetFailed, detail, false);
    return Finish(kExitFailed, "failed");
  }
  Report(kMessageSetDone, detail, true);
  if (!options_.wait) return Finish(kExitSuccess, "set");

  // A token of the same identifier that is listed in the new mode already is not this one.
  std::set<uint32_t> alreadyThere;
  std::vector<TokenInfo> now;
  if (EnumerateTokens(&now) == RESULT_SUCCESS) {
    for (const TokenInfo& other : now) {
      if (other.kind == target &&
          std::memcmp(other.context.identifier, token.context.identifier, 8) == 0 &&
          other.context.slotIndex != token.context.slotIndex) {
        alreadyThere.insert(other.context.slotIndex);
      }
    }
  }
  return Wait(token, alreadyThere);
}

int SetRun::Wait(const TokenInfo& token, const std::set<uint32_t>& alreadyThere) {
  const DeviceKind target = KindOf(options_.mode);
  const uint32_t seconds = options_.waitSeconds;
  std::fprintf(console_.err,
               "Detach the token and attach it again; waiting up to %u s for it to be listed in "
               "%s mode.\n",
               static_cast<unsigned>(seconds), ModeTitle(options_.mode));
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(seconds);
  static const char kSpinner[] = "|/-\\";
  for (unsigned tick = 0;; ++tick) {
    std::vector<TokenInfo> tokens;
    if (EnumerateTokens(&tokens) == RESULT_SUCCESS) {
      for (const TokenInfo& found : tokens) {
        // The old slot goes on being listed in the old kind until the token is detached.
        if (found.kind != target || alreadyThere.count(found.context.slotIndex) != 0 ||
            std::memcmp(found.context.identifier, token.context.identifier, 8) != 0) {
          continue;
        }
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        ClearProgress();
        std::fprintf(console_.err, "The token is back in %s mode (index %u).\n",
                     ModeTitle(options_.mode), static_cast<unsigned>(found.context.slotIndex));
        doc_["wait"] = {{"seconds", seconds},
                        {"reattached", true},
                        {"elapsedMs", elapsed.count()},
                        {"token", TokenJson(found)}};
        return Finish(kExitSuccess, "set");
      }
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    if (console_.progress) {
      auto leftMs = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
      long long left = (leftMs + 999) / 1000;
      std::fprintf(console_.err, "\r%c waiting for the token in %s mode, %lld s left ",
                   kSpinner[tick % 4], ModeTitle(options_.mode), left);
      std::fflush(console_.err);
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        kPollInterval, deadline - std::chrono::steady_clock::now()));
  }
  ClearProgress();
  std::fprintf(console_.err,
               "Timed out after %u s: the token was not listed again in %s mode. It takes the new "
               "mode once it is detached and attached again.\n",
               static_cast<unsigned>(seconds), ModeTitle(options_.mode));
  doc_["wait"] = {{"seconds", seconds}, {"reattached", false}};
  return Finish(kExitWaitTimedOut, "wait-timed-out");
}

}  // namespace

void PrintOpenHint(const Console& console) {
  const char* hint = console.openHint != nullptr ? console.openHint() : "";
  if (hint != nullptr && *hint != '\0') std::fprintf(console.err, "tokenmode: %s\n", hint);
}

int RunList(const CliOptions& options, const Console& console) {
  std::vector<TokenInfo> tokens;
  Result result = EnumerateTokens(&tokens);
  json doc = {{"command", "list"}};
  json list = json::array();
  for (const TokenInfo& token : tokens) list.push_back(TokenJson(token));
  doc["tokens"] = list;
  int exitCode = kExitSuccess;
  if (result != RESULT_SUCCESS) {
    std::fprintf(console.err, "%s\nEnumDevices: result %s\n", kMessageNoDongle,
                 ResultText(result).c_str());
    doc["result"] = result;
    doc["resultName"] = ResultName(result);
    exitCode = kExitNoToken;
  } else if (tokens.empty()) {
    std::fprintf(console.err, "%s\n", kMessageNoDongle);
    PrintOpenHint(console);
    exitCode = kExitNoToken;
  } else if (!options.json) {
    PrintTokenTable(console.out, tokens);
  }
  doc["exitCode"] = exitCode;
  if (options.json) PrintJson(console, doc);
  return exitCode;
}

int RunSet(const CliOptions& options, const Console& console) {
  SetRun run(options, console);
  return run.Run();
}
