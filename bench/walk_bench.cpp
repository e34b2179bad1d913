// 1,000 random playthroughs of each bundled story through the session code.
// Target on the reference machine: under 2 seconds per story.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "authoring/story_walk.h"
#include "story/story_parser.h"

namespace {

void walk_story(benchmark::State& state, const char* file) {
  std::string path = std::string(QH_SOURCE_DIR) + "/stories/" + file;
  auto* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  if (story == nullptr || !story_parser_load_file(*story, path.c_str())) {
    state.SkipWithError("story not readable");
    std::free(story);
    return;
  }
  for (auto _ : state) {
    WalkReport report;
    story_walk(*story, path, 1000, 7, report);
    benchmark::DoNotOptimize(report.longest_run);
  }
  std::free(story);
}

}  // namespace

BENCHMARK_CAPTURE(walk_story, cripta, "la_cripta_del_rey_ceniza.md")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(walk_story, neon, "intrusion_en_neon.md")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
