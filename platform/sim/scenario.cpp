#include "platform/sim/scenario.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

using nlohmann::json;

const char kDefaultScenario[] = R"({
  "description": "one token in HID mode that re-attaches by itself after a switch",
  "tokens": [
    {"mode": "hid", "version": "0230", "deviceType": "05", "identifier": "0102030405060708",
     "replugAfterMs": 1500}
  ]
})";

namespace {

constexpr size_t kMaxTokens = 256;  // more than the registry's 127 slots, to let it fill up
constexpr uint64_t kMaxReplugMs = 3600000;
constexpr size_t kMaxReply = 255;  // a token's replies and answer-to-reset

// What the document says, checked in full before the machine is touched.
struct Scenario {
  uint32_t platformId = kPlatformIdNt;
  uint32_t major = 10;
  std::vector<SimTokenSpec> tokens;
  std::vector<std::string> otherHidDevices;
};

// Reports the first problem found; every check returns false once it has set the message.
class Checker {
 public:
  explicit Checker(std::string* error) : error_(error) {}

  bool Fail(const std::string& field, const std::string& message) {
    if (error_ != nullptr) *error_ = (field.empty() ? "scenario" : field) + ": " + message;
    return false;
  }

  bool Expected(const std::string& field, const std::string& what, const json& got) {
    return Fail(field, "expected " + what + ", got " + Show(got));
  }

  bool Object(const json& value, const std::string& field,
              std::initializer_list<const char*> known) {
    if (!value.is_object()) return Expected(field, "an object", value);
    for (const auto& item : value.items()) {
      bool isKnown = false;
      for (const char* name : known) isKnown = isKnown || item.key() == name;
      if (!isKnown) {
        std::string list;
        for (const char* name : known) list += (list.empty() ? "" : ", ") + std::string(name);
        return Fail(Join(field, item.key()), "unknown field (known: " + list + ")");
      }
    }
    return true;
  }

  bool String(const json& value, const std::string& field, std::string* out) {
    if (!value.is_string()) return Expected(field, "a string", value);
    *out = value.get<std::string>();
    return true;
  }

  bool Bool(const json& value, const std::string& field, bool* out) {
    if (!value.is_boolean()) return Expected(field, "true or false", value);
    *out = value.get<bool>();
    return true;
  }

  bool Whole(const json& value, const std::string& field, uint64_t max, uint64_t* out) {
    std::string what = "a whole number from 0 to " + std::to_string(max);
    if (!value.is_number_unsigned() || value.get<uint64_t>() > max) {
      return Expected(field, what, value);
    }
    *out = value.get<uint64_t>();
    return true;
  }

  // Hex digits, spaces allowed anywhere, an even count; from minBytes to maxBytes bytes.
  bool Hex(const json& value, const std::string& field, const std::string& what, size_t minBytes,
           size_t maxBytes, std::vector<uint8_t>* out) {
    if (!value.is_string()) return Expected(field, what, value);
    std::string digits;
    for (char c : value.get_ref<const std::string&>()) {
      if (c == ' ' || c == '\t') continue;
      if (HexValue(c) < 0) return Expected(field, what, value);
      digits += c;
    }
    size_t count = digits.size() / 2;
    if (digits.size() % 2 != 0 || count < minBytes || count > maxBytes) {
      return Expected(field, what, value);
    }
    out->clear();
    for (size_t i = 0; i < count; ++i) {
      out->push_back(
          static_cast<uint8_t>(HexValue(digits[2 * i]) * 16 + HexValue(digits[2 * i + 1])));
    }
    return true;
  }

  static std::string Join(const std::string& field, const std::string& name) {
    return field.empty() ? name : field + "." + name;
  }

 private:
  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  static std::string Show(const json& value) {
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    constexpr size_t kLimit = 60;
    if (text.size() > kLimit) text = text.substr(0, kLimit) + "...";
    return text;
  }

  std::string* error_;
};

bool ReadOs(Checker& check, const json& os, Scenario* scenario) {
  if (!check.Object(os, "os", {"platformId", "major"})) return false;
  uint64_t number = 0;
  if (os.contains("platformId")) {
    if (!check.Whole(os["platformId"], "os.platformId", UINT32_MAX, &number)) return false;
    scenario->platformId = static_cast<uint32_t>(number);
  }
  if (os.contains("major")) {
    if (!check.Whole(os["major"], "os.major", UINT32_MAX, &number)) return false;
    scenario->major = static_cast<uint32_t>(number);
  }
  return true;
}

bool ReadFaults(Checker& check, const json& faults, const std::string& field, SimFaults* out) {
  if (!check.Object(faults, field,
                    {"refuseTransact", "refuseReadAtr", "receiveFailures", "getTimeouts",
                     "atrUnreadable", "unopenable"})) {
    return false;
  }
  for (const auto& item : faults.items()) {
    const std::string name = item.key();
    const std::string where = field + "." + name;
    uint64_t count = 0;
    bool ok = true;
    if (name == "refuseTransact") ok = check.Bool(item.value(), where, &out->refuseTransact);
    if (name == "refuseReadAtr") ok = check.Bool(item.value(), where, &out->refuseReadAtr);
    if (name == "atrUnreadable") ok = check.Bool(item.value(), where, &out->atrUnreadable);
    if (name == "unopenable") ok = check.Bool(item.value(), where, &out->unopenable);
    if (name == "receiveFailures" || name == "getTimeouts") {
      ok = check.Whole(item.value(), where, UINT32_MAX, &count);
      (name == "receiveFailures" ? out->receiveFailures : out->getTimeouts) =
          static_cast<uint32_t>(count);
    }
    if (!ok) return false;
  }
  return true;
}

bool ReadToken(Checker& check, const json& token, size_t index, SimTokenSpec* spec) {
  const std::string field = "tokens[" + std::to_string(index) + "]";
  if (!check.Object(token, field,
                    {"mode", "path", "version", "identifier", "atr", "deviceType",
                     "deviceTypeStatus", "modeReply", "hardwareId", "replugAfterMs", "faults"})) {
    return false;
  }
  // Tokens get distinct identifiers unless the document gives them: 01..07 then 08 + index.
  spec->identifier = {1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(8 + index)};
  if (!token.contains("mode")) return check.Fail(field + ".mode", "missing (\"hid\" or \"usb\")");
  std::vector<uint8_t> bytes;
  for (const auto& item : token.items()) {
    const std::string name = item.key();
    const std::string where = field + "." + name;
    const json& value = item.value();
    bool ok = true;
    if (name == "mode") {
      if (value == "hid") {
        spec->mode = SimMode::kHid;
      } else if (value == "usb") {
        spec->mode = SimMode::kUsb;
      } else {
        ok = check.Expected(where, "\"hid\" or \"usb\"", value);
      }
    } else if (name == "path") {
      ok = check.String(value, where, &spec->path);
    } else if (name == "hardwareId") {
      ok = check.String(value, where, &spec->hardwareId);
    } else if (name == "version") {
      ok = check.Hex(value, where, "4 hex digits", 2, 2, &bytes);
      if (ok) spec->version = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    } else if (name == "identifier") {
      ok = check.Hex(value, where, "up to 16 hex digits", 0, 8, &spec->identifier);
    } else if (name == "atr") {
      ok = check.Hex(value, where, "1 to 255 hex bytes", 1, kMaxReply, &spec->atr);
    } else if (name == "deviceType") {
      ok = check.Hex(value, where, "a hex byte", 1, 1, &bytes);
      if (ok) spec->deviceType = bytes[0];
    } else if (name == "deviceTypeStatus") {
      ok = check.Hex(value, where, "a status word of 4 hex digits", 2, 2, &bytes);
      if (ok) spec->deviceTypeStatus = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    } else if (name == "modeReply") {
      ok = check.Hex(value, where, "0 to 255 hex bytes", 0, kMaxReply, &spec->modeReply);
    } else if (name == "replugAfterMs") {
      uint64_t ms = 0;
      ok = check.Whole(value, where, kMaxReplugMs, &ms);
      spec->replugAfterMs = static_cast<int>(ms);
    } else if (name == "faults") {
      ok = ReadFaults(check, value, where, &spec->faults);
    }
    if (!ok) return false;
  }
  return true;
}

bool ReadScenario(Checker& check, const json& doc, Scenario* scenario) {
  if (!check.Object(doc, "", {"description", "os", "tokens", "otherHidDevices"})) return false;
  std::string text;
  if (doc.contains("description") && !check.String(doc["description"], "description", &text)) {
    return false;
  }
  if (doc.contains("os") && !ReadOs(check, doc["os"], scenario)) return false;
  if (doc.contains("tokens")) {
    const json& tokens = doc["tokens"];
    if (!tokens.is_array()) return check.Expected("tokens", "an array", tokens);
    if (tokens.size() > kMaxTokens) {
      return check.Fail("tokens", "at most " + std::to_string(kMaxTokens) + " tokens");
    }
    for (size_t i = 0; i < tokens.size(); ++i) {
      SimTokenSpec spec;
      if (!ReadToken(check, tokens[i], i, &spec)) return false;
      for (size_t j = 0; j < scenario->tokens.size(); ++j) {
        if (!spec.path.empty() && spec.path == scenario->tokens[j].path) {
          return check.Fail("tokens[" + std::to_string(i) + "].path",
                            "the same as tokens[" + std::to_string(j) + "].path");
        }
      }
      scenario->tokens.push_back(spec);
    }
  }
  if (doc.contains("otherHidDevices")) {
    const json& others = doc["otherHidDevices"];
    if (!others.is_array()) return check.Expected("otherHidDevices", "an array", others);
    for (size_t i = 0; i < others.size(); ++i) {
      const std::string field = "otherHidDevices[" + std::to_string(i) + "]";
      if (!check.Object(others[i], field, {"hardwareId"})) return false;
      if (!others[i].contains("hardwareId")) return check.Fail(field + ".hardwareId", "missing");
      if (!check.String(others[i]["hardwareId"], field + ".hardwareId", &text)) return false;
      scenario->otherHidDevices.push_back(text);
    }
  }
  return true;
}

// nlohmann's messages start with "[json.exception.parse_error.101] "; the rest is the news.
std::string ParseMessage(const std::string& what) {
  size_t end = what.find("] ");
  return end == std::string::npos ? what : what.substr(end + 2);
}

}  // namespace

bool LoadScenario(const std::string& jsonText, SimMachine& machine, std::string* error) {
  try {
    json doc;
    try {
      doc = json::parse(jsonText);
    } catch (const json::parse_error& e) {
      if (error != nullptr) *error = "not valid JSON: " + ParseMessage(e.what());
      return false;
    }
    Scenario scenario;
    Checker check(error);
    if (!ReadScenario(check, doc, &scenario)) return false;
    machine.SetOs(scenario.platformId, scenario.major);
    for (const std::string& hardwareId : scenario.otherHidDevices) {
      machine.AddOtherHidDevice(hardwareId);
    }
    for (const SimTokenSpec& spec : scenario.tokens) machine.AddToken(spec);
    return true;
  } catch (const std::exception& e) {  // out of memory, or a JSON library surprise
    if (error != nullptr) *error = std::string("cannot load the scenario: ") + e.what();
    return false;
  }
}

bool LoadScenarioFile(const std::string& path, SimMachine& machine, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error != nullptr) *error = path + ": cannot read: " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  std::string message;
  if (LoadScenario(text.str(), machine, &message)) return true;
  if (error != nullptr) *error = path + ": " + message;
  return false;
}
