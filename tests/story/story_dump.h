// Parsed records written out compactly and exactly, so that a test compares one literal.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "story/story.h"

namespace story_test {

// Joins "key=value" pairs with " | ", leaving out the empty values.
inline std::string join(std::initializer_list<std::pair<const char*, std::string_view>> fields) {
  std::string out;
  for (const auto& [key, value] : fields) {
    if (!value.empty()) out += (out.empty() ? "" : " | ") + (key + ("=" + std::string(value)));
  }
  return out;
}
inline std::string number(int value) { return value != 0 ? std::to_string(value) : ""; }

// The fields that are set, in record order: "to=2 | label=Ir | gain=Oro".
inline std::string describe(const StoryTransition& t) {
  return join({{"to", t.target},
               {"label", t.label},
               {"need", t.required_item},
               {"flag", t.required_flag},
               {"block", t.blocking_flag},
               {"check", t.check_stat},
               {"dc", number(t.check_dc)},
               {"fail", t.fail_target},
               {"damage", number(t.fail_damage)},
               {"success_damage", number(t.success_damage)},
               {"gain", t.gain_item},
               {"lose", t.lose_item},
               {"set", t.set_flag},
               {"state", t.add_state},
               {"cmd", t.command},
               {"hidden", t.is_hidden ? "yes" : ""},
               {"typed", t.has_command ? "yes" : ""}});
}

// The front matter, then a line per lore passage, section, option, text and lore text.
inline std::string dump(const Story& s, bool with_texts = true) {
  std::string items, stats, out;
  for (int i = 0; i < s.item_count; ++i) items += (i ? "," : "") + std::string(s.items[i]);
  for (int i = 0; i < s.stat_count; ++i) {
    stats += (i ? "," : "") + std::string(s.stats[i].name) + ":" + std::to_string(s.stats[i].value);
  }
  out = join({{"title", s.title},
              {"author", s.author},
              {"description", s.description},
              {"hp", std::to_string(s.hp)},
              {"start", s.start},
              {"items", items},
              {"stats", stats},
              {"music", std::string(s.music_explore) + "/" + std::string(s.music_combat) + "/" +
                            std::string(s.music_victory)}}) +
        "\n";
  for (const LoreEntry& l : std::span(s.lore, s.lore_count)) {
    out += "> " + std::string(l.section_id) + " " + l.name.c_str() + ": " + l.text.c_str() + '\n';
  }
  for (const StorySection& sec : std::span(s.sections, s.section_count)) {
    std::string found;
    for (int j = 0; j < sec.item_count; ++j) found += (j ? "," : "") + std::string(sec.items[j]);
    std::string extras = join({{sec.is_ending ? "ending" : "type", sec.ending_type},
                               {"music", sec.music},
                               {"art", sec.art},
                               {"damage", number(sec.damage)},
                               {"items", found}});
    out += "## [" + std::string(sec.id) + "] " + std::string(sec.title) +
           (extras.empty() ? "" : " | " + extras) + "\n";
    for (const StoryTransition& t : std::span(sec.transitions, sec.transition_count)) {
      out += "- " + describe(t) + "\n";
    }
    if (with_texts && !sec.text.empty()) out += "text: " + std::string(sec.text) + "\n";
    if (with_texts && !sec.lore_text.empty()) out += "lore: " + std::string(sec.lore_text) + "\n";
  }
  return out;
}

struct StoryTest : ::testing::Test {
  Story& story() { return *story_; }
  std::unique_ptr<Story> story_ = std::make_unique<Story>();  // zeroed, and too large for the stack
};

}  // namespace story_test
