// Instructions per operation, for callgrind (scripts/callgrind). Each scenario runs twice
// between client requests that zero and dump the counts: once whole, once with collection
// toggled off inside every platform call, which leaves the library's own instructions.
// Outside valgrind it just runs every scenario, as a smoke test.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <string>

#include "bench/scenario.h"
#include "platform/tap/platform_tap.h"

namespace {

void ToggleCollect() {
  CALLGRIND_TOGGLE_COLLECT;
}

int RunsOf(const Scenario& scenario) {
  return scenario.kind == Scenario::kSetMode ? 1000 : 10;
}

// Runs the scenario `runs` times and dumps the counts under "<name>|<part>|<runs>".
bool Measure(ScenarioRunner& runner, const char* part, int runs) {
  bool ok = true;
  CALLGRIND_ZERO_STATS;
  for (int i = 0; i < runs; ++i) ok &= runner.Run();
  const std::string dump =
      std::string(runner.scenario.name) + "|" + part + "|" + std::to_string(runs);
  CALLGRIND_DUMP_STATS_AT(dump.c_str());
  return ok;
}

}  // namespace

int main() {
  int failed = 0;
  for (const Scenario& scenario : kScenarios) {
    ScenarioRunner runner(scenario, 0);
    bool ok = runner.Run();  // the first run looks the entry points up
    const int runs = RunsOf(scenario);
    ok &= Measure(runner, "total", runs);

    InstallPlatformTap();
    SetTapHooks(&ToggleCollect, &ToggleCollect);
    ok &= Measure(runner, "library", runs);
    SetTapHooks(nullptr, nullptr);
    uint64_t calls = 0;
    for (int call = 0; call < kPlatformCallCount; ++call) {
      calls += TapCount(static_cast<PlatformCall>(call));
    }
    RemovePlatformTap();

    std::printf("calls|%s|%.1f\n", scenario.name, static_cast<double>(calls) / runs);
    if (!ok) {
      std::fprintf(stderr, "%s failed\n", scenario.name);
      ++failed;
    }
  }
  return failed == 0 ? 0 : 1;
}
