// libFuzzer target: any bytes as a story whose title the story list reads.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "story_title_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  std::string_view text(reinterpret_cast<const char*>(data), size);
  story_title_invariants::abort_on(story_title_invariants::check_title(text, *story));
  return 0;
}
