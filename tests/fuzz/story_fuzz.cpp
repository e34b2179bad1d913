// libFuzzer target: any bytes as a story text.
#include <cstdlib>
#include <string>

#include "story/story_parser.h"
#include "story_invariants.h"

QH_FUZZ_TARGET(bytes) {
  // One record for the whole run, as the game keeps one: every input also
  // checks that a reused record holds nothing of the previous story.
  static Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  const bool ok = story_parser_load_string(*story, std::string(bytes).c_str(), "Fuzz");
  fuzz_check::abort_on(story_invariants::check_parse(*story, ok));
}
