// tokenmode: lists the attached tokens and switches one between HID mode and USB mode, on the
// real machine or on a simulated one.
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/backend.h"
#include "cli/commands.h"
#include "device/registry.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_machine.h"
#include "platform/terminal.h"
#include "platform/trace.h"

namespace {

// An error before the command runs; with --json the document still comes, naming it.
int StartFailed(const CliOptions& options, const std::string& message) {
  std::fprintf(stderr, "tokenmode: %s\n", message.c_str());
  if (options.json) {
    nlohmann::json doc = {{"command", options.command == Command::kList ? "list" : "set"},
                          {"outcome", "error"},
                          {"exitCode", kExitUsage},
                          {"error", message}};
    std::fprintf(stdout, "%s\n", doc.dump(2).c_str());
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  CliOptions options;
  std::string error;
  if (!ParseArgs(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    std::fprintf(stderr, "tokenmode: %s\nTry 'tokenmode --help'.\n", error.c_str());
    return kExitUsage;
  }
  if (options.command == Command::kHelp) {
    std::fputs(kUsage, stdout);
    return kExitSuccess;
  }
  if (options.command == Command::kVersion) {
    std::printf("tokenmode %s\n", TOKENMODE_VERSION);
    return kExitSuccess;
  }

  std::unique_ptr<SimMachine> machine;
  const PlatformOps* backend = nullptr;
  if (options.simulate) {
    machine = std::make_unique<SimMachine>();
    bool loaded = options.scenarioPath.empty()
                      ? LoadScenario(kDefaultScenario, *machine, &error)
                      : LoadScenarioFile(options.scenarioPath, *machine, &error);
    if (!loaded) return StartFailed(options, error);
    machine->Install();
    backend = &Platform();
  } else {
    backend = NativePlatformOps();
    if (backend == nullptr) {
      return StartFailed(options, "no token access on this system; try --simulate");
    }
    InstallPlatform(backend);
  }

  std::FILE* trace = nullptr;
  if (!options.tracePath.empty()) {
    trace = std::fopen(options.tracePath.c_str(), "w");
    if (trace == nullptr) {
      return StartFailed(options,
                         options.tracePath + ": cannot write the trace: " + std::strerror(errno));
    }
    InstallPlatform(&TracePlatformOps(*backend, trace));
  }

  InitRegistry();
  Console console{stdout, stderr, IsTerminal(stderr), options.simulate ? nullptr : &NativeOpenHint};
  int exitCode =
      options.command == Command::kList ? RunList(options, console) : RunSet(options, console);
  std::fflush(stdout);
  if (trace != nullptr) std::fclose(trace);
  return exitCode;
}
