// Small text operations shared by the story parser, the option-line grammar
// and command detection: bracketed tags, cuts and in-place removal.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "common/fixed_text.h"
#include "common/text_util.h"
#include "story/story_diagnostics.h"

namespace story_text {

inline constexpr std::size_t npos = std::string_view::npos;

// Stores at most `limit` bytes of `text`, then trims what was stored. The cut
// comes first, so leading blanks count toward the limit.
template <std::size_t N>
void assign_cut_trim(FixedText<N>& dst, std::string_view text, std::size_t limit = N - 1) {
  dst.assign(trim_view(text.substr(0, limit)));
}

// "key: value" with each side cut to 63 bytes and then trimmed; false when
// there is no ":". Used for front-matter block entries and tag fields.
inline bool split_key_value(std::string_view text, FixedText<64>& key, FixedText<64>& value) {
  std::size_t colon = text.find(':');
  if (colon == npos) return false;
  assign_cut_trim(key, text.substr(0, colon), 63);
  assign_cut_trim(value, text.substr(colon + 1), 63);
  return true;
}

// The two ways a grammar function is compiled: the game's parse, which
// reports nothing and whose reporting branches (`if constexpr (R::kOn)`)
// compile away, and a parse that tells a sink what it decides at a line.
struct Quiet {
  static constexpr bool kOn = false;
};
struct LineReports {
  static constexpr bool kOn = true;
  const StoryDiagnosticSink* sink;
  int line;
};

// At most 60 bytes of `text` for a message, never splitting a UTF-8
// character, with "…" when something was left out.
inline const char* excerpt(std::string_view text, char (&out)[80]) {
  std::size_t n = text.size();
  if (n > 60) {
    n = 60;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  text_copy(out, sizeof out, text.substr(0, n));
  if (n < text.size()) text_append(out, sizeof out, "…");
  return out;
}

// True when keeping only the first `limit` bytes of `text` loses more than
// blanks: what a writer would call a cut.
inline bool cut_loses_text(std::string_view text, std::size_t limit) {
  return text.size() > limit && !trim_view(text.substr(limit)).empty();
}

// True when a decimal reading of `text` finds digits: blanks and one sign
// may come before them. Otherwise the number is read as 0.
inline bool has_number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  return i < text.size() && is_ascii_digit(text[i]);
}

// A tag such as "[Cmd: ls]": `name` includes the bracket and the colon.
// Finds the first occurrence of `name` in `text` and the first "]" after it.
struct TagMatch {
  std::size_t open = npos;   // position of the tag's "["
  std::size_t close = npos;  // position of the "]" that ends it, npos when none follows
  std::string_view inner;    // text between the tag name's ":" and the "]"
  bool found() const { return open != npos; }
  bool closed() const { return close != npos; }
};

inline TagMatch find_tag(std::string_view text, std::string_view name) {
  TagMatch m;
  m.open = text.find(name);
  if (m.open == npos) return m;
  std::size_t from = m.open + name.size();
  m.close = text.find(']', from);
  if (m.close != npos) m.inner = text.substr(from, m.close - from);
  return m;
}

// Looks for `first`, and only when it does not occur at all for `second`.
inline TagMatch find_tag_either(std::string_view text, std::string_view first,
                                std::string_view second) {
  TagMatch m = find_tag(text, first);
  return m.found() ? m : find_tag(text, second);
}

// Removes bytes [from, to) from a text of `length` bytes held in `text`,
// trims the result in place, terminates it and returns its new length. The
// two sides are joined unchanged, so a tag cut from the middle leaves its
// surrounding blanks in place.
inline std::size_t cut_out_and_trim(char* text, std::size_t length, std::size_t from,
                                    std::size_t to) {
  if (to > length) to = length;
  if (from > to) from = to;
  std::memmove(text + from, text + to, length - to);
  std::string_view rest = trim_view(std::string_view(text, length - (to - from)));
  if (!rest.empty() && rest.data() != text) std::memmove(text, rest.data(), rest.size());
  text[rest.size()] = '\0';
  return rest.size();
}

template <std::size_t N>
void cut_out_and_trim(FixedText<N>& text, std::size_t from, std::size_t to) {
  cut_out_and_trim(text.data, text.size(), from, to);
}

// The first white-space-delimited word of `text`, at most `max` bytes.
inline std::string_view first_word(std::string_view text, std::size_t max) {
  std::size_t b = 0;
  while (b < text.size() && is_blank(text[b])) ++b;
  std::size_t e = b;
  while (e < text.size() && !is_blank(text[e]) && e - b < max) ++e;
  return text.substr(b, e - b);
}

}  // namespace story_text
