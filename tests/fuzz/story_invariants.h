// Invariants every parsed story, option and title read alone must hold, whatever the input: shared
// by the libFuzzer targets and by the corpus replay test.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/fixed_list.h"
#include "fuzz_check.h"
#include "story/story.h"
#include "story/story_parser.h"

namespace story_invariants {

using namespace fuzz_check;

template <typename T, std::size_t N>
bool count_ok(const T (&)[N], std::int32_t count) {
  return count >= 0 && static_cast<std::size_t>(count) <= N;
}

// Terminated inside their fields and free of the bytes the story parser drops.
template <std::size_t... N>
bool clean(const FixedText<N>&... texts) {
  return ((terminated(texts) && !holds_control(texts.view(), "\t\n\v\f\r")) && ...);
}

inline Failure check_transition(const StoryTransition& t) {
  if (!terminated(t.target, t.label, t.required_item, t.required_flag, t.blocking_flag,
                  t.check_stat, t.fail_target, t.gain_item, t.lose_item, t.set_flag, t.add_state,
                  t.command))
    return "transition text not terminated inside its field";
  if (!t.required_flag.empty() || !t.blocking_flag.empty() || !t.lose_item.empty() ||
      !t.set_flag.empty() || !t.add_state.empty() || t.success_damage != 0)
    return "transition field that no option line fills is set";
  if (t.is_hidden && !t.has_command) return "hidden option without a command";
  if (!t.has_command && !t.command.empty()) return "command text without has_command";
  return nullptr;
}

inline Failure check_section(const StorySection& s) {
  if (!clean(s.id, s.title, s.text, s.lore_text, s.ending_type, s.music, s.art))
    return "section text not terminated or holding a control byte";
  if (s.id.empty()) return "section with an empty id";
  if (!count_ok(s.transitions, s.transition_count)) return "transition_count out of range";
  if (!count_ok(s.items, s.item_count)) return "section item_count out of range";
  for (const auto& item : list_used(s.items, s.item_count))
    if (!clean(item)) return "section item not terminated or holding a control byte";
  for (const StoryTransition& t : list_used(s.transitions, s.transition_count)) {
    if (Failure f = check_transition(t)) return f;
    if (!clean(t.label, t.command, t.target, t.fail_target))
      return "option text holding a control byte";
  }
  std::string_view type = s.ending_type.view();
  if (s.is_ending != !type.empty()) return "is_ending and ending_type disagree";
  if (!type.empty() && type != "victory" && type != "defeat" && type != "neutral")
    return "unknown ending_type";
  return nullptr;
}

inline Failure check_story(const Story& s) {
  if (!clean(s.title, s.author, s.description, s.start, s.music_explore, s.music_combat,
             s.music_victory))
    return "story text not terminated or holding a control byte";
  if (!count_ok(s.stats, s.stat_count) || !count_ok(s.items, s.item_count) ||
      !count_ok(s.sections, s.section_count) || !count_ok(s.lore, s.lore_count))
    return "story count out of range";
  for (const StatEntry& stat : list_used(s.stats, s.stat_count))
    if (!clean(stat.name)) return "stat name not terminated or holding a control byte";
  for (const auto& item : list_used(s.items, s.item_count))
    if (!clean(item) || item.empty()) return "starting item empty or unterminated";
  for (const LoreEntry& e : list_used(s.lore, s.lore_count))
    if (!clean(e.name, e.text, e.section_id))
      return "lore text not terminated or holding a control byte";
  for (const StorySection& section : list_used(s.sections, s.section_count))
    if (Failure f = check_section(section)) return f;
  return nullptr;
}

// A whole parse: its result, the record, and that the first of two equal ids is the one found.
inline Failure check_parse(const Story& s, bool ok) {
  if (ok != (s.section_count > 0)) return "result disagrees with section_count";
  if (Failure f = check_story(s)) return f;
  if (ok && story_get_section(s, s.sections[0].id.view()) != &s.sections[0])
    return "lookup of the first id does not find the first section";
  return nullptr;
}

// The title the story list reads is the one the whole parse gives (without a default title), and so
// is the title read from any head of the text that holds its whole front matter. `story` is scratch
// space.
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
    if (story_parser_read_title(head.c_str(), from_head) && from_head.view() != title.view())
      return "a head gives another title";
  }
  return nullptr;
}

}  // namespace story_invariants
