// TokenModeSim.exe: the main window over the simulated machine, for driving the window end
// to end under Wine. Only the message box is real, so a test tool can find and press it.
//
//   TOKENMODE_SCENARIO  a built-in scenario name or a JSON scenario file (default: none)
//   TOKENMODE_TRACE     a file that receives the exchanges with the tokens, one a line:
//                       <operation> <path> <bytes sent> -> ok <bytes returned> | -> fail
//                       rewritten before every message box and at exit
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Main.h"
#include "app/sim_scenarios.h"
#include "device/registry.h"
#include "platform/platform.h"
#include "platform/sim/sim_machine.h"
#include "platform/win32/win32_platform.h"

namespace {

SimMachine* g_machine = nullptr;
PlatformOps g_ops;  // the simulated machine's, with the real message box

std::string Hex(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return "-";
  std::string text;
  char pair[4];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    if (!text.empty()) text += ' ';
    text += pair;
  }
  return text;
}

void WriteTrace() {
  const char* path = std::getenv("TOKENMODE_TRACE");
  if (path == nullptr || *path == '\0' || g_machine == nullptr) return;
  std::FILE* file = std::fopen(path, "wb");  // LF line ends, as the test tools read them
  if (file == nullptr) return;
  for (const SimExchange& e : g_machine->Log()) {
    std::string line = e.operation + ' ' + e.path + ' ' + Hex(e.sent) + " -> ";
    line += e.ok ? "ok " + Hex(e.returned) : "fail";
    std::fprintf(file, "%s\n", line.c_str());
  }
  std::fclose(file);
}

int32_t TraceThenShow(const char* text, const char* caption, uint32_t flags) {
  WriteTrace();  // the action is over when its box shows: a test reads the trace meanwhile
  return Win32PlatformOps().MessageBoxA(text, caption, flags);
}

}  // namespace

int main() {
  InitRegistry();
  static SimMachine machine;
  g_machine = &machine;
  const char* scenario = std::getenv("TOKENMODE_SCENARIO");
  std::string error;
  if (!SetUpScenario(scenario != nullptr ? scenario : "none", machine, &error)) {
    std::fprintf(stderr, "TokenModeSim: %s\n", error.c_str());
    return 2;
  }
  machine.Install();
  g_ops = Platform();
  g_ops.MessageBoxA = TraceThenShow;
  InstallPlatform(&g_ops);

  int code = RunApplication();
  WriteTrace();
  return code;
}
