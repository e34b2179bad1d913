// libFuzzer target: any bytes as a story text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "story/story_parser.h"
#include "story_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One record for the whole run, as the game keeps one: every input also
  // checks that a reused record holds nothing of the previous story.
  static Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  std::string text(reinterpret_cast<const char*>(data), size);
  bool ok = story_parser_load_string(*story, text.c_str(), "Fuzz");
  if (ok != (story->section_count > 0)) {
    std::fprintf(stderr, "result disagrees with section_count\n");
    std::abort();
  }
  if (const char* failure = story_invariants::check_story(*story)) {
    std::fprintf(stderr, "invariant broken: %s\n", failure);
    std::abort();
  }
  if (ok && story_get_section(*story, story->sections[0].id.view()) != &story->sections[0]) {
    std::fprintf(stderr, "lookup of the first id does not find the first section\n");
    std::abort();
  }
  return 0;
}
