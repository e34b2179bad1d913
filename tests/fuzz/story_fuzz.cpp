// libFuzzer target: any bytes as a story text.
#include <cstdint>
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
  story_invariants::abort_on(story_invariants::check_parse(*story, ok));
  return 0;
}
