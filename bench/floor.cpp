// Wall time against the transport floor (scripts/floor): every control transfer of the
// simulated machine costs a fixed time, 1 ms unless given in microseconds as the argument.
// The floor of an operation is its transfers times that cost; a library that adds nothing
// takes the floor's time. Prints a Markdown table; exits 1 when a run fails or makes other
// transfers than expected.
//
// Wall time on a shared machine also holds the time other programs took the processor. So
// the table also gives the work: the processor time of one run with transfers costing
// nothing, which is what the library and the simulated machine add to the floor wherever
// they run; 1 + work / floor is the ratio on an idle machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "bench/scenario.h"
#include "platform/tap/platform_tap.h"

namespace {

using Clock = std::chrono::steady_clock;

int RunsOf(const Scenario& scenario) {
  return scenario.kind == Scenario::kSetMode ? 200 : 10;
}

// Counts one run's transfers twice, through the platform tap and in the machine's log.
bool TransfersAsExpected(ScenarioRunner& runner, uint64_t* counted) {
  InstallPlatformTap();
  runner.machine.sim.ClearLog();
  runner.machine.sim.SetLogging(true);
  const bool ok = runner.Run();
  runner.machine.sim.SetLogging(false);
  *counted = TapTransfers();
  RemovePlatformTap();
  const uint64_t logged = runner.machine.sim.Log().size();
  runner.machine.sim.ClearLog();
  return ok && *counted == logged && *counted == ScenarioTransfers(runner.scenario);
}

// Processor time of one run with transfers that cost nothing, in milliseconds.
double WorkMs(const Scenario& scenario, bool* ok) {
  ScenarioRunner runner(scenario, 0);
  *ok &= runner.Run();
  const int runs = scenario.kind == Scenario::kSetMode ? 20000 : 100;
  const std::clock_t start = std::clock();
  for (int i = 0; i < runs; ++i) *ok &= runner.Run();
  return 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC / runs;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t latency = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 1000;
  std::printf("transfer cost: %u us; wall / floor as median (min, max) over the runs\n\n", latency);
  std::printf(
      "| operation | transfers | floor (ms) | wall, median (ms) | wall / floor | min | max "
      "| runs | work (ms) | 1 + work / floor |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  int failed = 0;
  for (const Scenario& scenario : kScenarios) {
    ScenarioRunner runner(scenario, latency);
    bool ok = runner.Run();  // the first run looks the entry points up
    uint64_t transfers = 0;
    ok &= TransfersAsExpected(runner, &transfers);

    const int runs = RunsOf(scenario);
    const double floorMs = static_cast<double>(transfers) * latency / 1000.0;
    std::vector<double> ratios;
    std::vector<double> wallMs;
    for (int i = 0; i < runs; ++i) {
      const Clock::time_point start = Clock::now();
      ok &= runner.Run();
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      wallMs.push_back(ms);
      ratios.push_back(ms / floorMs);
    }
    const double workMs = WorkMs(scenario, &ok);
    std::printf("| %s | %llu | %.3f | %.3f | %.4f | %.4f | %.4f | %d | %.4f | %.4f |\n",
                scenario.name, static_cast<unsigned long long>(transfers), floorMs,
                Percentile(wallMs, 0.5), Percentile(ratios, 0.5), Percentile(ratios, 0.0),
                Percentile(ratios, 1.0), runs, workMs, 1.0 + workMs / floorMs);
    if (!ok) {
      std::fprintf(stderr, "%s: a run failed or made unexpected transfers\n", scenario.name);
      ++failed;
    }
  }
  return failed == 0 ? 0 : 1;
}
