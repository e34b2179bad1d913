// libFuzzer target: any bytes as one option line.
#include "story/option_line.h"
#include "story_invariants.h"

QH_FUZZ_TARGET(line) {
  static StoryTransition transition;
  if (parse_transition_line(line, transition))
    fuzz_check::abort_on(story_invariants::check_transition(transition));
}
