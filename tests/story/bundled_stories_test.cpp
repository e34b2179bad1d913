// The stories a new player meets first: whole adventures with the features they promise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "story/story_parser.h"
#include "story_dump.h"
#include "support/test_support.h"

using BundledStories = story_test::StoryTest;

// Each offers what it promises: the crypt plays on four stats with items, hazards, lore and every
// kind of ending and never reads a label as a command; the intrusion is played by typing commands
// in every form. (That no section is a dead end is the analyzer's test of the bundled stories.)
TEST_F(BundledStories, EachHasItsFeatures) {
  const std::string promises = qh_test::read_file(QH_TEST_DATA_DIR "/story/bundled_promises.txt");
  for (const std::filesystem::path path : qh_test::BUNDLED_STORIES) {
    const std::string file = QH_SOURCE_DIR "/" + path.string(), source = qh_test::read_file(file);
    ASSERT_TRUE(story_parser_load_file(story(), file.c_str())) << path;
    EXPECT_GE(story().section_count, 12);
    std::map<std::string, int> f{{"lore", story().lore_count}};
    for (const StorySection& sec : std::span(story().sections, story().section_count)) {
      f["found"] += sec.item_count;
      f["hazard"] += sec.damage > 0;
      f["music"] += !sec.music.empty();
      f["lore heading"] += !sec.lore_text.empty();
      if (sec.is_ending) {  // an ending without a tag in its source comes from its wording
        std::size_t at = source.find("## [" + std::string(sec.id) + "]");
        bool tag = source.substr(at, source.find("\n## ", at) - at).find("[Fin") != source.npos;
        f[(tag ? "tag " : "wording ") + std::string(sec.ending_type)]++;
      }
      for (const StoryTransition& t : std::span(sec.transitions, sec.transition_count)) {
        f["gate"] += !t.required_item.empty();
        f["pick-up"] += !t.gain_item.empty();
        if (!t.check_stat.empty()) f["check " + std::string(t.check_stat)]++;
        if (!t.has_command) continue;
        std::string label(t.label), command(t.command);
        f["longest command"] = std::max(f["longest command"], static_cast<int>(command.size()));
        std::string_view hint = std::string_view(command).substr(command.rfind(' ') + 1);
        f["hinted"] += t.is_hidden && sec.text.view().find(hint) != hint.npos;  // found by a hint
        f[t.is_hidden                                            ? "hidden command"
          : label == command                                     ? "command by word"
          : label.find("`" + command + "`") != std::string::npos ? "command in backticks"
                                                                 : "command in a tag"]++;
      }
    }
    EXPECT_TRUE(f["tag victory"] + f["wording victory"] && f["tag defeat"] + f["wording defeat"]);
    const std::size_t row = promises.find(path.filename().string() + "\t");
    ASSERT_NE(row, promises.npos) << path;
    const std::string kinds = promises.substr(row, promises.find('\n', row) - row);
    for (std::size_t at = kinds.find('\t') + 1, eq; (eq = kinds.find('=', at)) != kinds.npos;) {
      EXPECT_GE(f[kinds.substr(at, eq - at)], std::atoi(&kinds[eq + 1]))
          << kinds.substr(at, eq - at);
      at = kinds.find(';', eq) + 1;
    }
    EXPECT_EQ(f["longest command"] == 0, path.filename() == "la_cripta_del_rey_ceniza.md");
  }
}
