// Parsed records written out compactly and exactly, so that a test compares one literal.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "story/story.h"
#include "story/story_diagnostics.h"

namespace story_test {

// Joins "key=value" pairs with " | ", leaving out the empty values; the keys are separated by
// blanks.
inline std::string join(std::string_view keys, std::initializer_list<std::string_view> values) {
  std::string out;
  for (std::string_view value : values) {
    const std::size_t blank = std::min(keys.find(' '), keys.size());
    if (!value.empty()) {
      out += (out.empty() ? "" : " | ") + std::string(keys.substr(0, blank)) + "=";
      out += value;
    }
    keys.remove_prefix(std::min(blank + 1, keys.size()));
  }
  return out;
}
inline std::string number(int value) { return value != 0 ? std::to_string(value) : ""; }

// The fields that are set, in record order: "to=2 | label=Ir | gain=Oro".
inline std::string describe(const StoryTransition& t) {
  return join(
      "to label need flag block check dc fail damage success_damage gain lose set state cmd "
      "hidden typed",
      {t.target, t.label, t.required_item, t.required_flag, t.blocking_flag, t.check_stat,
       number(t.check_dc), t.fail_target, number(t.fail_damage), number(t.success_damage),
       t.gain_item, t.lose_item, t.set_flag, t.add_state, t.command, t.is_hidden ? "yes" : "",
       t.has_command ? "yes" : ""});
}

// The front matter, then a line per lore passage, section, option, text and lore text.
inline std::string dump(const Story& s, bool with_texts = true) {
  std::string items, stats, out;
  for (int i = 0; i < s.item_count; ++i) items += (i ? "," : "") + std::string(s.items[i]);
  for (int i = 0; i < s.stat_count; ++i)
    stats += (i ? "," : "") + std::string(s.stats[i].name) + ":" + std::to_string(s.stats[i].value);
  out = join("title author description hp start items stats music",
             {s.title, s.author, s.description, std::to_string(s.hp), s.start, items, stats,
              std::string(s.music_explore) + "/" + std::string(s.music_combat) + "/" +
                  std::string(s.music_victory)}) +
        "\n";
  for (const LoreEntry& l : std::span(s.lore, s.lore_count))
    out += "> " + std::string(l.section_id) + " " + l.name.c_str() + ": " + l.text.c_str() + '\n';
  for (const StorySection& sec : std::span(s.sections, s.section_count)) {
    std::string found;
    for (int j = 0; j < sec.item_count; ++j) found += (j ? "," : "") + std::string(sec.items[j]);
    std::string extras =
        join(sec.is_ending ? "ending music art damage items" : "type music art damage items",
             {sec.ending_type, sec.music, sec.art, number(sec.damage), found});
    out += "## [" + std::string(sec.id) + "] " + std::string(sec.title) +
           (extras.empty() ? "" : " | " + extras) + "\n";
    for (const StoryTransition& t : std::span(sec.transitions, sec.transition_count))
      out += "- " + describe(t) + "\n";
    if (with_texts && !sec.text.empty()) out += "text: " + std::string(sec.text) + "\n";
    if (with_texts && !sec.lore_text.empty()) out += "lore: " + std::string(sec.lore_text) + "\n";
  }
  return out;
}

// A sink's report function: appends "line code: message" to the std::string its context points to.
inline void append_report(void* out, const StoryDiagnostic& d) {
  *static_cast<std::string*>(out) +=
      std::to_string(d.line) + " " + story_code_info(d.code).name + ": " + d.message + "\n";
}

struct StoryTest : ::testing::Test {
  Story& story() { return *story_; }
  std::unique_ptr<Story> story_ = std::make_unique<Story>();  // zeroed, and too large for the stack
};

}  // namespace story_test
