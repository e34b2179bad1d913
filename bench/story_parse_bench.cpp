// Parsing a story that fills every capacity: 128 sections with full 8 KB
// bodies and 32 options each, 64 lore passages, full starting lists.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "story/story_parser.h"
#include "story_gen.h"

namespace {

const std::string& story_text() {
  static const std::string text = bench_story::largest_story(true);
  return text;
}

void check_full(benchmark::State& state, const Story& story) {
  if (story.section_count != STORY_MAX_SECTIONS || story.lore_count != STORY_MAX_LORE ||
      story.sections[STORY_MAX_SECTIONS - 1].transition_count != SECTION_MAX_TRANSITIONS ||
      story.sections[0].text.size() != 8191) {
    state.SkipWithError("the generated story does not fill every capacity");
  }
}

// A fresh record per parse, allocated as the game allocates it: the page
// faults of the pages the parse touches are part of the cost.
void BM_ParseIntoFreshRecord(benchmark::State& state) {
  const std::string& text = story_text();
  for (auto _ : state) {
    Story* story = static_cast<Story*>(platform_alloc_large(sizeof(Story)));
    benchmark::DoNotOptimize(story_parser_load_string(*story, text.c_str(), "Banco"));
    benchmark::ClobberMemory();
    if (state.iterations() == 0) check_full(state, *story);
    platform_free_large(story, sizeof(Story));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseIntoFreshRecord)->Unit(benchmark::kMillisecond);

// The record the game keeps for the whole run, parsed again and again.
void BM_ParseIntoUsedRecord(benchmark::State& state) {
  const std::string& text = story_text();
  Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  story_parser_load_string(*story, text.c_str(), "Banco");
  check_full(state, *story);
  for (auto _ : state) {
    benchmark::DoNotOptimize(story_parser_load_string(*story, text.c_str(), "Banco"));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  std::free(story);
}
BENCHMARK(BM_ParseIntoUsedRecord)->Unit(benchmark::kMillisecond);

}  // namespace
