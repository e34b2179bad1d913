// libFuzzer target: any bytes as one option line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "story/option_line.h"
#include "story_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static StoryTransition transition;
  std::string_view line(reinterpret_cast<const char*>(data), size);
  if (!parse_transition_line(line, transition)) return 0;
  if (const char* failure = story_invariants::check_transition(transition)) {
    std::fprintf(stderr, "invariant broken: %s\n", failure);
    std::abort();
  }
  return 0;
}
