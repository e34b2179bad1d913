// What the title read from a story's front matter alone must satisfy,
// whatever the bytes: shared by the libFuzzer target and the replay test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "story/story_parser.h"

namespace story_title_invariants {

// nullptr when the property holds, else what is broken.
using Failure = const char*;

// The title the story list reads is the one the whole parse gives (without a
// default title), and so is the title read from any head of the text that
// holds its whole front matter. `story` is scratch space.
inline Failure check_title(std::string_view bytes, Story& story) {
  const std::string text(bytes);
  story_parser_load_string(story, text.c_str(), "");
  FixedText<256> title;
  const bool whole = story_parser_read_title(text.c_str(), title);
  if (title.view() != story.title.view()) return "the title differs from the parse's";
  if (!whole && !title.empty()) return "a title without a front matter";
  for (std::size_t part = 1; part < 8; ++part) {
    const std::string head = text.substr(0, text.size() * part / 8);
    FixedText<256> from_head;
    if (story_parser_read_title(head.c_str(), from_head) && from_head.view() != title.view()) {
      return "a head gives another title";
    }
  }
  return nullptr;
}

inline void abort_on(Failure failure) {
  if (failure == nullptr) return;
  std::fprintf(stderr, "invariant broken: %s\n", failure);
  std::abort();
}

}  // namespace story_title_invariants
