// Whole-process start-up: exec the game in a folder with quiet settings, let it
// draw the main menu, answer "6" and wait for it to exit. Reports the median
// wall time of one start and the child's peak resident memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "process_runner.h"

namespace {

using namespace bench_process;

void BM_StartupToMenuAndExit(benchmark::State& state) {
  ScratchDir dir("qh_startup_bench");
  const std::string input = dir.file("stdin");
  if (!dir.ok() || !write_text(input, "6\n")) {
    state.SkipWithError("cannot write the sandbox");
    return;
  }

  std::vector<double> times_ms;
  long max_rss_kb = 0;
  for (auto _ : state) {
    GameRun run;
    if (!run_game(dir.path(), input, "/dev/null", &run)) {
      state.SkipWithError("the game did not exit with status 0");
      break;
    }
    times_ms.push_back(run.wall_ms);
    max_rss_kb = std::max(max_rss_kb, run.max_rss_kb);
  }

  if (!times_ms.empty()) {
    state.counters["median_ms"] = median(times_ms);
    state.counters["peak_rss_MB"] = static_cast<double>(max_rss_kb) / 1024.0;
  }
}

}  // namespace

BENCHMARK(BM_StartupToMenuAndExit)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
