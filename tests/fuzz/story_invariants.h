// Invariants every parsed story and option must hold, whatever the input:
// shared by the libFuzzer targets and by the corpus replay test.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "story/story.h"

namespace story_invariants {

// Each check returns nullptr when it holds, else what is broken.
using Failure = const char*;

template <std::size_t N>
bool terminated(const FixedText<N>& text) {
  return std::memchr(text.data, '\0', N) != nullptr;
}

template <typename T, std::size_t N>
bool count_ok(const T (&)[N], std::int32_t count) {
  return count >= 0 && static_cast<std::size_t>(count) <= N;
}

// Bytes the story parser drops: no text taken from a story may hold them.
inline bool has_dropped_control(std::string_view text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 0x01 && c <= 0x08) || (c >= 0x0E && c <= 0x1F) || c == 0x7F) return true;
  }
  return false;
}

template <std::size_t N>
bool clean(const FixedText<N>& text) {
  return terminated(text) && !has_dropped_control(text.view());
}

inline Failure check_transition(const StoryTransition& t) {
  if (!terminated(t.target) || !terminated(t.label) || !terminated(t.required_item) ||
      !terminated(t.required_flag) || !terminated(t.blocking_flag) || !terminated(t.check_stat) ||
      !terminated(t.fail_target) || !terminated(t.gain_item) || !terminated(t.lose_item) ||
      !terminated(t.set_flag) || !terminated(t.add_state) || !terminated(t.command)) {
    return "transition text not terminated inside its field";
  }
  if (!t.required_flag.empty() || !t.blocking_flag.empty() || !t.lose_item.empty() ||
      !t.set_flag.empty() || !t.add_state.empty() || t.success_damage != 0) {
    return "transition field that no option line fills is set";
  }
  if (t.is_hidden && !t.has_command) return "hidden option without a command";
  if (!t.has_command && !t.command.empty()) return "command text without has_command";
  return nullptr;
}

inline Failure check_section(const StorySection& s) {
  if (!clean(s.id) || !clean(s.title) || !clean(s.text) || !clean(s.lore_text) ||
      !clean(s.ending_type) || !clean(s.music) || !clean(s.art)) {
    return "section text not terminated or holding a control byte";
  }
  if (s.id.empty()) return "section with an empty id";
  if (!count_ok(s.transitions, s.transition_count)) return "transition_count out of range";
  if (!count_ok(s.items, s.item_count)) return "section item_count out of range";
  for (int i = 0; i < s.item_count; ++i) {
    if (!clean(s.items[i])) return "section item not terminated or holding a control byte";
  }
  for (int i = 0; i < s.transition_count; ++i) {
    const StoryTransition& t = s.transitions[i];
    if (Failure f = check_transition(t)) return f;
    if (!clean(t.label) || !clean(t.command) || !clean(t.target) || !clean(t.fail_target)) {
      return "option text holding a control byte";
    }
  }
  std::string_view type = s.ending_type.view();
  if (s.is_ending != !type.empty()) return "is_ending and ending_type disagree";
  if (!type.empty() && type != "victory" && type != "defeat" && type != "neutral") {
    return "unknown ending_type";
  }
  return nullptr;
}

inline Failure check_story(const Story& s) {
  if (!clean(s.title) || !clean(s.author) || !clean(s.description) || !clean(s.start) ||
      !clean(s.music_explore) || !clean(s.music_combat) || !clean(s.music_victory)) {
    return "story text not terminated or holding a control byte";
  }
  if (!count_ok(s.stats, s.stat_count)) return "stat_count out of range";
  if (!count_ok(s.items, s.item_count)) return "item_count out of range";
  if (!count_ok(s.sections, s.section_count)) return "section_count out of range";
  if (!count_ok(s.lore, s.lore_count)) return "lore_count out of range";
  for (int i = 0; i < s.stat_count; ++i) {
    if (!clean(s.stats[i].name)) return "stat name not terminated or holding a control byte";
  }
  for (int i = 0; i < s.item_count; ++i) {
    if (!clean(s.items[i]) || s.items[i].empty()) return "starting item empty or unterminated";
  }
  for (int i = 0; i < s.lore_count; ++i) {
    const LoreEntry& e = s.lore[i];
    if (!clean(e.name) || !clean(e.text) || !clean(e.section_id)) {
      return "lore text not terminated or holding a control byte";
    }
  }
  for (int i = 0; i < s.section_count; ++i) {
    if (Failure f = check_section(s.sections[i])) return f;
  }
  return nullptr;
}

}  // namespace story_invariants
