// libFuzzer target: any bytes as one option line.
#include <cstdint>
#include <string_view>

#include "story/option_line.h"
#include "story_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static StoryTransition transition;
  std::string_view line(reinterpret_cast<const char*>(data), size);
  if (parse_transition_line(line, transition)) {
    story_invariants::abort_on(story_invariants::check_transition(transition));
  }
  return 0;
}
