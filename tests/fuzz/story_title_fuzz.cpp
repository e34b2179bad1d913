// libFuzzer target: any bytes as a story whose title the story list reads.
#include <cstdlib>

#include "story_invariants.h"

QH_FUZZ_TARGET(text) {
  static Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  fuzz_check::abort_on(story_invariants::check_title(text, *story));
}
