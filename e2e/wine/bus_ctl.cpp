// tokenbusctl: the test harness's hand on the virtual token bus. Test-only.
//
//   tokenbusctl install <inf>        install the bus in this prefix (once)
//   tokenbusctl remove               remove the bus device
//   tokenbusctl plug <slot> hid|usb [--version=0230] [--id=HEX] [--atr=HEX] [--no-atr]
//               [--type=HEX] [--type-status=HEX] [--mode-reply=HEX]
//               [--refuse=transact,atr] [--reattach=MS] [--pull=MS]
//   tokenbusctl unplug|reattach <slot>
//   tokenbusctl faults <slot> [--refuse=transact,atr] [--reattach=MS] [--pull=MS]
//               --pull: the next mode request is held and the token pulled out MS later
//   tokenbusctl status <slot>        present= mode= requestedMode= requests= modeRequests= ...
//   tokenbusctl log <slot> [--clear] one line per request: op result capacity bytes
//   tokenbusctl wait <slot> absent|hid|usb [MS]
// Several commands may be given at once, separated by "+". Exit 0 when all succeed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "e2e/wine/bus_client.h"

namespace {

const char* ModeName(uint32_t mode) {
  return mode == TOKEN_MODE_HID ? "hid" : mode == TOKEN_MODE_USB ? "usb" : "none";
}

bool Option(const std::string& arg, const char* name, std::string* value) {
  size_t n = strlen(name);
  if (arg.compare(0, n, name) != 0) return false;
  *value = arg.substr(n);
  return true;
}

bool ParseRefuse(const std::string& text, uint32_t* refuse) {
  *refuse = 0;
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    std::string word = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (word == "transact")
      *refuse |= BUS_REFUSE_TRANSACT;
    else if (word == "atr")
      *refuse |= BUS_REFUSE_READ_ATR;
    else if (word != "none" && !word.empty())
      return false;
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return true;
}

// Options shared by plug and faults; false on an option it does not know.
bool ParseSpec(const std::vector<std::string>& args, size_t from, TokenSpec* spec) {
  for (size_t i = from; i < args.size(); i++) {
    std::string v;
    std::vector<uint8_t> bytes;
    const std::string& a = args[i];
    if (Option(a, "--version=", &v))
      spec->version = static_cast<uint16_t>(strtoul(v.c_str(), nullptr, 16));
    else if (Option(a, "--id=", &v) && ParseHex(v, &bytes) && bytes.size() <= 8)
      spec->identifier = bytes;
    else if (Option(a, "--atr=", &v) && ParseHex(v, &bytes) && bytes.size() <= 255)
      spec->atr = bytes;
    else if (a == "--no-atr")
      spec->noAtr = true;
    else if (Option(a, "--type=", &v))
      spec->deviceType = static_cast<uint8_t>(strtoul(v.c_str(), nullptr, 16));
    else if (Option(a, "--type-status=", &v))
      spec->deviceTypeStatus = static_cast<uint16_t>(strtoul(v.c_str(), nullptr, 16));
    else if (Option(a, "--mode-reply=", &v) && ParseHex(v, &bytes) && bytes.size() <= 255)
      spec->modeReply = bytes;
    else if (Option(a, "--refuse=", &v) && ParseRefuse(v, &spec->refuse))
      continue;
    else if (Option(a, "--reattach=", &v))
      spec->reattachDelay = static_cast<uint32_t>(atoi(v.c_str()));
    else if (Option(a, "--pull=", &v))
      spec->pullDelay = static_cast<uint32_t>(atoi(v.c_str()));
    else {
      fprintf(stderr, "tokenbusctl: bad option %s\n", a.c_str());
      return false;
    }
  }
  return true;
}

bool Fail(const char* what) {
  fprintf(stderr, "tokenbusctl: %s failed, error %lu\n", what, GetLastError());
  return false;
}

bool WaitFor(uint32_t slot, const std::string& state, int ms) {
  for (int waited = 0;; waited += 10) {
    TokenState token;
    if (QueryToken(slot, false, &token)) {
      bool present = token.status.present != 0;
      if (state == "absent" ? !present : present && state == ModeName(token.status.mode))
        return true;
    }
    if (waited >= ms) break;
    Sleep(10);
  }
  fprintf(stderr, "tokenbusctl: slot %u not %s after %d ms\n", slot, state.c_str(), ms);
  return false;
}

bool Run(const std::vector<std::string>& args) {
  if (args.empty()) return false;
  const std::string& command = args[0];
  if (command == "install" && args.size() == 2) {
    std::string failure = InstallBus(args[1].c_str());
    if (!failure.empty()) fprintf(stderr, "tokenbusctl: %s\n", failure.c_str());
    return failure.empty();
  }
  if (command == "remove") {
    std::string failure = RemoveBus();
    if (!failure.empty()) fprintf(stderr, "tokenbusctl: %s\n", failure.c_str());
    return failure.empty();
  }
  if (args.size() < 2) return false;
  uint32_t slot = static_cast<uint32_t>(atoi(args[1].c_str()));
  if (command == "plug" && args.size() >= 3) {
    TokenSpec spec;
    spec.mode = args[2] == "usb" ? TOKEN_MODE_USB : TOKEN_MODE_HID;
    if (args[2] != "usb" && args[2] != "hid") return false;
    if (!ParseSpec(args, 3, &spec)) return false;
    return Plug(slot, spec) || Fail("plug");
  }
  if (command == "unplug") return Unplug(slot) || Fail("unplug");
  if (command == "reattach") return Reattach(slot) || Fail("reattach");
  if (command == "faults") {
    TokenSpec spec;
    if (!ParseSpec(args, 2, &spec)) return false;
    return SetFaults(slot, spec.refuse, spec.reattachDelay, spec.pullDelay) || Fail("faults");
  }
  if (command == "wait" && args.size() >= 3) {
    return WaitFor(slot, args[2], args.size() > 3 ? atoi(args[3].c_str()) : 5000);
  }
  if (command == "status" || command == "log") {
    TokenState token;
    bool clear = args.size() > 2 && args[2] == "--clear";
    if (!QueryToken(slot, clear, &token)) return Fail("query");
    const BusStatus& s = token.status;
    if (command == "status") {
      printf(
          "present=%u mode=%s requestedMode=%s requests=%u modeRequests=%u unpairedReads=%u "
          "plugs=%u\n",
          s.present, ModeName(s.mode), ModeName(s.requestedMode), s.requests, s.modeRequests,
          s.unpairedReads, s.plugs);
    } else {
      for (const LoggedRequest& r : token.log)
        printf("%s %s %u %s\n", LogOpName(r.op), r.result ? "ok" : "refused", r.capacity,
               Hex(r.bytes).c_str());
      if (s.logLost) printf("lost %u\n", s.logLost);
    }
    return true;
  }
  fprintf(stderr, "tokenbusctl: unknown command %s\n", command.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> command;
  for (int i = 1; i <= argc; i++) {
    if (i == argc || strcmp(argv[i], "+") == 0) {
      if (!Run(command)) return 1;
      command.clear();
    } else {
      command.push_back(argv[i]);
    }
  }
  fflush(stdout);
  return 0;
}
