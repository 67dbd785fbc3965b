#include "cli/args.h"

const char kUsage[] =
    "Usage: tokenmode [--simulate[=SCENARIO.json]] [--trace=FILE] COMMAND\n"
    "\n"
    "Switches a USB security token between HID mode and USB mode (the maker's driver).\n"
    "\n"
    "Commands:\n"
    "  list [--json]                      the attached tokens: index, kind (hid/usb), version,\n"
    "                                     identifier, answer-to-reset\n"
    "  set hid|usb [--token=ID] [--wait[=SECONDS]] [--json]\n"
    "                                     put the token into HID or USB mode; it takes the\n"
    "                                     new mode once it is detached and attached again\n"
    "  --help, -h, help                   this text\n"
    "  --version                          the program's version\n"
    "\n"
    "Options:\n"
    "  --simulate[=SCENARIO.json]  run on a simulated machine instead of the real one: the\n"
    "                              built-in one (one token in HID mode that re-attaches by\n"
    "                              itself after a switch) or the one the file describes\n"
    "  --trace=FILE                write every exchange with a token to FILE, one line each\n"
    "  --token=ID                  the token to set when several are attached: its identifier\n"
    "                              (16 hex digits) or its index as `list` shows it\n"
    "  --wait[=SECONDS]            after the switch, wait until the token is detached and\n"
    "                              listed again in the new mode (default 60 seconds)\n"
    "  --json                      one JSON document on stdout; messages stay on stderr\n"
    "\n"
    "Exit codes: 0 success; 1 usage error or bad scenario file; 2 no token found (none\n"
    "listed, or it could not be opened); 3 several tokens and no --token; 4 the token does not\n"
    "allow the switch; 5 any other failure of the exchange; 6 --wait timed out.\n";

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal digits only, no sign, at most `max`.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool ParseTokenChoice(const std::string& text, TokenChoice* choice) {
  choice->given = true;
  choice->text = text;
  if (text.size() == 16) {
    bool allHex = true;
    for (char c : text) allHex = allHex && HexValue(c) >= 0;
    if (allHex) {
      choice->byIdentifier = true;
      for (int i = 0; i < 8; ++i) {
        choice->identifier[i] =
            static_cast<uint8_t>(HexValue(text[2 * i]) * 16 + HexValue(text[2 * i + 1]));
      }
      return true;
    }
  }
  return ParseNumber(text, 126, &choice->index);
}

// Splits "--name=value"; `hasValue` tells "--name" from "--name=".
void SplitOption(const std::string& arg, std::string* name, std::string* value, bool* hasValue) {
  size_t equals = arg.find('=');
  *hasValue = equals != std::string::npos;
  *name = arg.substr(0, equals);
  *value = *hasValue ? arg.substr(equals + 1) : std::string();
}

}  // namespace

bool ParseArgs(const std::vector<std::string>& args, CliOptions* options, std::string* error) {
  CliOptions parsed;
  std::vector<std::string> words;
  bool help = false;
  bool version = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0 || arg == "--") {
      if (arg == "--" || (arg.size() > 1 && arg[0] == '-')) {
        *error = "unknown option " + arg;
        return false;
      }
      words.push_back(arg);
      continue;
    }
    std::string name, value;
    bool hasValue = false;
    SplitOption(arg, &name, &value, &hasValue);
    // Options with a required value also take it as the next argument.
    bool needsValue = name == "--trace" || name == "--token";
    if (needsValue && !hasValue) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = args[++i];
      hasValue = true;
    }
    if (name == "--version" && !hasValue) {
      version = true;
    } else if (name == "--json" && !hasValue) {
      parsed.json = true;
    } else if (name == "--simulate") {
      if (hasValue && value.empty()) {
        *error = "--simulate= needs a scenario file";
        return false;
      }
      parsed.simulate = true;
      parsed.scenarioPath = value;
    } else if (name == "--trace") {
      if (value.empty()) {
        *error = "--trace needs a file name";
        return false;
      }
      parsed.tracePath = value;
    } else if (name == "--token") {
      if (!ParseTokenChoice(value, &parsed.token)) {
        *error = "--token=" + value +
                 ": expected an identifier of 16 hex digits or an index from 0 to 126";
        return false;
      }
    } else if (name == "--wait") {
      parsed.wait = true;
      if (hasValue && !ParseNumber(value, kMaxWaitSeconds, &parsed.waitSeconds)) {
        *error = "--wait=" + value + ": expected a number of seconds from 0 to " +
                 std::to_string(kMaxWaitSeconds);
        return false;
      }
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }

  if (help || (!words.empty() && words[0] == "help")) {
    options->command = Command::kHelp;
    return true;
  }
  if (version) {
    options->command = Command::kVersion;
    return true;
  }
  if (words.empty()) {
    *error = "no command given";
    return false;
  }
  const std::string& command = words[0];
  if (command == "list") {
    parsed.command = Command::kList;
    if (words.size() > 1) {
      *error = "list takes no argument, got " + words[1];
      return false;
    }
    if (parsed.token.given || parsed.wait) {
      *error = std::string("list does not take ") + (parsed.wait ? "--wait" : "--token");
      return false;
    }
  } else if (command == "set") {
    parsed.command = Command::kSet;
    if (words.size() < 2) {
      *error = "set needs a mode: hid or usb";
      return false;
    }
    if (words[1] == "hid") {
      parsed.mode = TargetMode::kHid;
    } else if (words[1] == "usb") {
      parsed.mode = TargetMode::kUsb;
    } else {
      *error = "set " + words[1] + ": the mode is hid or usb";
      return false;
    }
    if (words.size() > 2) {
      *error = "set takes one mode, got also " + words[2];
      return false;
    }
  } else {
    *error = "unknown command " + command;
    return false;
  }
  *options = parsed;
  return true;
}
