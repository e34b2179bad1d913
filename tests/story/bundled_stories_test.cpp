// The stories shipped in stories/ are what a new player meets first: each one
// must parse, hang together as a graph that can be won and lost, and keep the
// features that make it worth playing.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/fixed_list.h"
#include "story/story_parser.h"
#include "support/test_support.h"

namespace {

const std::string kStoriesDir = std::string(QH_SOURCE_DIR) + "/stories";

std::vector<std::string> bundled_story_names() {
  std::vector<std::string> names;
  DIR* dir = opendir(kStoriesDir.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".md") == 0) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return out;
}

// Lower-cased with runs of blanks collapsed: how typed commands are compared.
std::string normalized_command(std::string_view text) {
  std::string out;
  for (char c : lower(text)) {
    if (c == ' ' || c == '\t') {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string first_word(std::string_view text) {
  std::string_view t = text.substr(std::min(text.find_first_not_of(' '), text.size()));
  return std::string(t.substr(0, t.find(' ')));
}

std::string command_of(const StoryTransition& t) {
  return normalized_command(t.command.empty() ? t.label.view() : t.command.view());
}

// The raw lines of one section, from its header to the next header.
std::string section_source(const std::string& source, std::string_view id) {
  std::string header = "\n## [" + std::string(id) + "]";
  std::size_t begin = source.find(header);
  if (begin == std::string::npos) return "";
  std::size_t end = source.find("\n## ", begin + header.size());
  return source.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

class BundledStories : public ::testing::Test {
 protected:
  void SetUp() override { story_ = static_cast<Story*>(std::calloc(1, sizeof(Story))); }
  void TearDown() override { std::free(story_); }

  bool load(const std::string& name) {
    source_ = qh_test::read_file(kStoriesDir + "/" + name);
    return story_parser_load_file(*story_, (kStoriesDir + "/" + name).c_str());
  }
  std::span<const StorySection> sections() const {
    return list_used(story_->sections, story_->section_count);
  }
  static std::span<const StoryTransition> options(const StorySection& s) {
    return list_used(s.transitions, s.transition_count);
  }
  const StorySection* section(std::string_view id) const { return story_get_section(*story_, id); }

  std::set<std::string> stat_names() const {
    std::set<std::string> names;
    for (int i = 0; i < story_->stat_count; ++i) names.insert(std::string(story_->stats[i].name.view()));
    return names;
  }
  std::set<std::string> checked_stats() const {
    std::set<std::string> names;
    for (const StorySection& s : sections())
      for (const StoryTransition& t : options(s))
        if (!t.check_stat.empty()) names.insert(std::string(t.check_stat.view()));
    return names;
  }

  Story* story_ = nullptr;
  std::string source_;
};

TEST_F(BundledStories, EveryStoryIsAConnectedAdventureThatCanBeWonAndLost) {
  std::vector<std::string> names = bundled_story_names();
  ASSERT_GE(names.size(), 2u) << "stories/ should ship at least two adventures";

  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(load(name));
    EXPECT_GE(story_->section_count, 12);
    ASSERT_NE(section(story_->start.view()), nullptr) << "start section is missing";

    // Items the hero can ever hold: starting ones, found ones, picked-up ones.
    std::set<std::string> obtainable;
    for (int i = 0; i < story_->item_count; ++i) obtainable.insert(lower(story_->items[i].view()));
    for (const StorySection& s : sections()) {
      for (int i = 0; i < s.item_count; ++i) obtainable.insert(lower(s.items[i].view()));
      for (const StoryTransition& t : options(s))
        if (!t.gain_item.empty()) obtainable.insert(lower(t.gain_item.view()));
    }
    std::set<std::string> stats;
    for (const std::string& stat : stat_names()) stats.insert(lower(stat));

    std::set<std::string> ids;
    std::map<std::string, std::vector<std::string>> exits;
    int victories = 0, defeats = 0;
    for (const StorySection& s : sections()) {
      SCOPED_TRACE("section " + std::string(s.id.view()));
      EXPECT_TRUE(ids.insert(std::string(s.id.view())).second) << "duplicate id";
      EXPECT_FALSE(s.title.empty());
      EXPECT_FALSE(s.text.empty());
      if (s.is_ending) {
        EXPECT_EQ(s.transition_count, 0) << "an ending never shows its options";
        victories += s.ending_type == "victory";
        defeats += s.ending_type == "defeat";
      } else {
        EXPECT_GT(s.transition_count, 0) << "dead end: no options and no ending";
      }
      for (const StoryTransition& t : options(s)) {
        SCOPED_TRACE("option " + std::string(t.label.view()));
        EXPECT_NE(section(t.target.view()), nullptr) << "target '" << t.target.view() << "'";
        exits[std::string(s.id.view())].push_back(std::string(t.target.view()));
        if (!t.fail_target.empty()) {
          EXPECT_NE(section(t.fail_target.view()), nullptr) << "fail '" << t.fail_target.view() << "'";
          exits[std::string(s.id.view())].push_back(std::string(t.fail_target.view()));
        }
        EXPECT_TRUE(!t.label.empty() || t.has_command);
        if (!t.check_stat.empty()) {
          EXPECT_GE(t.check_dc, 1) << "a check below DC 1 is never rolled";
          EXPECT_TRUE(stats.count(lower(t.check_stat.view()))) << "check on unknown stat";
        }
        if (!t.required_item.empty()) {
          EXPECT_TRUE(obtainable.count(lower(t.required_item.view())))
              << "required item can never be obtained: " << t.required_item.view();
        }
      }

      // Typed commands: a hidden command listed before a visible one with the
      // same first word would be discovered by typing the visible one when it
      // holds "-d" or "token_backup"; two equal commands hide the second.
      std::set<std::string> typed;
      for (int i = 0; i < s.transition_count; ++i) {
        const StoryTransition& t = s.transitions[i];
        if (!t.has_command) continue;
        EXPECT_TRUE(typed.insert(command_of(t)).second) << "same command twice: " << command_of(t);
        if (!t.is_hidden) continue;
        for (int j = i + 1; j < s.transition_count; ++j) {
          const StoryTransition& v = s.transitions[j];
          if (!v.has_command || v.is_hidden || first_word(command_of(v)) != first_word(command_of(t)))
            continue;
          EXPECT_EQ(command_of(v).find("-d"), std::string::npos) << command_of(v);
          EXPECT_EQ(command_of(v).find("token_backup"), std::string::npos) << command_of(v);
        }
      }
    }
    EXPECT_GE(victories, 1);
    EXPECT_GE(defeats, 1);

    // Every section is reachable from the start, and from every section some
    // ending is reachable (no loop the player cannot leave).
    std::set<std::string> seen{std::string(story_->start.view())};
    std::vector<std::string> todo{std::string(story_->start.view())};
    while (!todo.empty()) {
      std::string id = todo.back();
      todo.pop_back();
      for (const std::string& next : exits[id])
        if (seen.insert(next).second) todo.push_back(next);
    }
    for (const StorySection& s : sections())
      EXPECT_TRUE(seen.count(std::string(s.id.view()))) << "unreachable: " << s.id.view();

    std::set<std::string> finishing;
    for (const StorySection& s : sections())
      if (s.is_ending) finishing.insert(std::string(s.id.view()));
    for (bool grew = true; grew;) {
      grew = false;
      for (const auto& [from, targets] : exits)
        if (!finishing.count(from) &&
            std::any_of(targets.begin(), targets.end(), [&](const std::string& to) { return finishing.count(to) > 0; }))
          grew = finishing.insert(from).second;
    }
    for (const StorySection& s : sections())
      EXPECT_TRUE(finishing.count(std::string(s.id.view()))) << "no ending reachable from " << s.id.view();
  }
}

TEST_F(BundledStories, TheCryptPlaysOnFourStatsWithItemsHazardsLoreAndEveryKindOfEnding) {
  ASSERT_TRUE(load("la_cripta_del_rey_ceniza.md"));
  EXPECT_GE(story_->hp, 12);
  EXPECT_LE(story_->hp, 16);
  std::set<std::string> four{"Fuerza", "Agilidad", "Ingenio", "Voluntad"};
  EXPECT_EQ(stat_names(), four);
  EXPECT_EQ(checked_stats(), four);

  int gates = 0, pick_ups = 0, found = 0, hazards = 0, music_tags = 0, section_lore = 0;
  for (const StorySection& s : sections()) {
    found += s.item_count;
    hazards += s.damage > 0;
    music_tags += !s.music.empty();
    section_lore += !s.lore_text.empty();
    for (const StoryTransition& t : options(s)) {
      gates += !t.required_item.empty();
      pick_ups += !t.gain_item.empty();
      EXPECT_FALSE(t.has_command) << "a Spanish label read as a shell command: " << t.label.view();
      if (t.check_dc > 0) {
        EXPECT_GE(t.check_dc, 6);
        EXPECT_LE(t.check_dc, 9);
      }
    }
  }
  EXPECT_GE(gates, 2);
  EXPECT_GE(pick_ups, 1);
  EXPECT_GE(found, 2);
  EXPECT_GE(hazards, 1);
  EXPECT_GE(music_tags, 1);
  EXPECT_GE(section_lore, 2);

  int story_lore = 0;
  for (int i = 0; i < story_->lore_count; ++i) story_lore += story_->lore[i].section_id == "0";
  EXPECT_GE(story_lore, 1);
  EXPECT_GT(story_->lore_count, story_lore) << "no lore passage inside a section";

  // Endings: victory and defeat by tag, and at least one of each by wording alone.
  std::set<std::string> by_tag, by_wording;
  for (const StorySection& s : sections()) {
    if (!s.is_ending) continue;
    std::string raw = section_source(source_, s.id.view());
    ASSERT_FALSE(raw.empty()) << s.id.view();
    bool tagged = raw.find("[Final:") != std::string::npos || raw.find("[Fin:") != std::string::npos;
    (tagged ? by_tag : by_wording).insert(std::string(s.ending_type.view()));
  }
  EXPECT_TRUE(by_tag.count("victory") && by_tag.count("defeat"));
  EXPECT_TRUE(by_wording.count("victory") && by_wording.count("defeat"));
}

TEST_F(BundledStories, TheIntrusionIsPlayedByTypingCommandsInEveryForm) {
  ASSERT_TRUE(load("intrusion_en_neon.md"));
  std::set<std::string> checked = checked_stats();
  EXPECT_TRUE(checked.count("Hackeo") && checked.count("Sigilo"));

  int from_tag = 0, from_backticks = 0, from_word = 0, hidden = 0, checked_commands = 0;
  int console_only = 0, mixed = 0, hazards = 0;
  std::size_t longest = 0;
  for (const StorySection& s : sections()) {
    hazards += s.damage > 0;
    int commands = 0, numbered = 0;
    for (const StoryTransition& t : options(s)) {
      if (t.check_dc > 0) {
        EXPECT_GE(t.check_dc, 6);
        EXPECT_LE(t.check_dc, 9);
      }
      if (!t.has_command) {
        ++numbered;
        continue;
      }
      ++commands;
      checked_commands += !t.check_stat.empty();
      std::string_view label = t.label.view(), command = t.command.view();
      if (t.is_hidden) {
        ++hidden;
        EXPECT_FALSE(t.target.empty());
        // The player can only find a hidden command through a hint in the scene.
        EXPECT_NE(s.text.view().find("token_backup"), std::string_view::npos);
        EXPECT_NE(command.find("token_backup"), std::string_view::npos);
        continue;
      }
      longest = std::max(longest, command.size());
      if (label == command) {
        ++from_word;
      } else if (label.find("`" + std::string(command) + "`") != std::string_view::npos) {
        ++from_backticks;
      } else {
        EXPECT_EQ(label.find(command), std::string_view::npos);
        ++from_tag;
      }
    }
    console_only += commands > 0 && numbered == 0;
    mixed += commands > 0 && numbered > 0;
  }
  EXPECT_GE(from_tag, 2);
  EXPECT_GE(from_backticks, 2);
  EXPECT_GE(from_word, 2);
  EXPECT_EQ(hidden, 1);
  EXPECT_GE(checked_commands, 2);
  EXPECT_GE(console_only, 2);
  EXPECT_GE(mixed, 2);
  EXPECT_GE(hazards, 1);
  EXPECT_GE(longest, 60u) << "a long command that is worth mistyping";
  EXPECT_GE(story_->lore_count, 3);
}

}  // namespace
