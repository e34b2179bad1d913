// Every frame row ends in its border's column, on a file and on terminals of
// any width, whatever the story, the hero's health and the longest names; on a
// terminal, running text is word-wrapped and never wider than the terminal.
#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/display_width.h"
#include "story/story_parser.h"
#include "support/scripted_ui.h"
#include "support/test_support.h"
#include "ui/dice_view.h"
#include "ui/panels.h"
#include "ui/text_output.h"

namespace {

using qh_test::ScriptedUi;

// The lines of `text` without their escape sequences and carriage returns.
std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines(1);
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\x1b') {
      while (at < text.size() && !(text[at] >= 0x40 && text[at] <= 0x7E && text[at] != '[')) ++at;
    } else if (text[at] == '\n') {
      lines.emplace_back();
    } else if (text[at] != '\r') {
      lines.back() += text[at];
    }
  }
  return lines;
}

bool starts_with_any(const std::string& line, std::initializer_list<std::string_view> starts) {
  return std::any_of(starts.begin(), starts.end(), [&](auto s) { return line.starts_with(s); });
}

// Each line that starts with one of `starts` takes exactly `columns` columns.
::testing::AssertionResult rows_end_at(const std::string& screen,
                                       std::initializer_list<std::string_view> starts,
                                       int columns) {
  int rows = 0;
  for (const std::string& line : lines_of(screen)) {
    if (!starts_with_any(line, starts)) continue;
    ++rows;
    if (text_display_width(line) != columns) {
      return ::testing::AssertionFailure()
             << text_display_width(line) << " columns, not " << columns << ": " << line;
    }
  }
  if (rows == 0) return ::testing::AssertionFailure() << "no frame row in: " << screen;
  return ::testing::AssertionSuccess();
}

// The longest names a record holds (63 bytes): narrow, accented, wide, emoji
// with selectors and joiners, combining marks, and controls that a save may carry.
std::vector<std::string> longest_names() {
  auto repeat = [](std::string_view piece, std::size_t bytes) {
    std::string text;
    while (text.size() + piece.size() <= bytes) text += piece;
    return text;
  };
  return {repeat("W", 63),
          repeat("Ñ", 62) + "x",
          repeat("漢", 63),
          repeat("🐉", 60) + "abc",
          repeat("⚠\uFE0F", 60) + "ab",
          repeat("👨\u200D👩", 55),
          repeat("e\xcc\x81", 63),
          "Ana\n\tB\x1b[2J\xc2\x9b" + repeat("x", 50)};
}

Character hero_for(const Story& story, const std::string& name, bool full_health) {
  Character hero{};
  character_seed_from_story(hero, story, name);
  for (const std::string& other : longest_names()) {
    character_add_item(hero, other);
    character_add_state(hero, other);
    character_set_stat(hero, other, -2147483647);
  }
  character_set_stat(hero, name, 2147483647);
  hero.hp = full_health ? hero.max_hp : 1;
  return hero;
}

}  // namespace

TEST(Frames, EveryRowEndsAtItsBorderForBothStoriesAnyHealthAndTheLongestNames) {
  auto story = std::make_unique<Story>();
  const TokenCounters counters{2147483647, 2147483647, 2147483647, 0, 0, 2147483647};
  // 0: not a terminal, drawn at the frames' own widths.
  const int widths[] = {0, 200, 86, 85, 74, 60, 40, 24, 12};
  for (const char* file : {"intrusion_en_neon.md", "la_cripta_del_rey_ceniza.md"}) {
    ASSERT_TRUE(
        story_parser_load_file(*story, (QH_SOURCE_DIR "/stories/" + std::string(file)).c_str()));
    for (const std::string& name : longest_names()) {
      for (bool full_health : {false, true}) {
        const Character hero = hero_for(*story, name, full_health);
        for (int width : widths) {
          SCOPED_TRACE(std::string(file) + " " + name + " " + std::to_string(width));
          ScriptedUi player;
          UiContext& ui = player.ui();
          ui.is_terminal = width > 0;
          ui.width = width;
          const int panel = width > 0 && width < 86 ? width : 86;
          const int narration = width > 0 && width < 74 ? width : 74;
          for (int mode = 0; mode < 3; ++mode) {
            ui_print_hud(ui, &hero, mode == 0, &counters, mode == 1);
            const std::string screen = player.output();
            EXPECT_TRUE(rows_end_at(screen, {"╔", "║", "╚"}, panel));
            EXPECT_EQ(screen.find_first_of("\t\x9b"), std::string::npos);
            ui_print_dm_narration(ui, story->sections[0].text.c_str(), mode == 0, &counters);
            EXPECT_TRUE(rows_end_at(player.output(), {"┌", "└"}, narration));
          }
        }
      }
    }
  }
}

TEST(Frames, DiceLineUpAndNeverWrapOnANarrowTerminal) {
  RollResult roll{6, 3, -2147483647, 11, 2147483647, OUTCOME_CRIT_FAILURE, {}};
  roll.text.assign("Fallo Crítico 🐉");
  for (int width : {0, 80, 30, 21, 15}) {
    SCOPED_TRACE(width);
    ScriptedUi player;
    player.ui().is_terminal = width > 0;
    player.ui().width = width;
    GameRandom random;
    rules_random_seed(random, 7);
    ui_animate_dice_roll(player.ui(), &roll, "漢字 Sigilo", &random);
    int frame_rows = 0;
    // The heading above the frames may wrap; a frame line may not, or the next
    // frame, drawn five lines up, would land in the wrong place.
    for (const std::string& line : lines_of(player.output())) {
      if (!starts_with_any(line, {"  ┌", "  │", "  └"})) continue;
      ++frame_rows;
      if (width > 0) {
        EXPECT_LE(text_display_width(line), width) << line;
      }
      // The second die's right border is the frame's 21st column, whatever follows it.
      const std::string_view dice(line.data(), text_prefix_for_width(line, 21));
      if (width == 0 || width >= 21) {
        EXPECT_EQ(text_display_width(dice), 21) << line;
        EXPECT_TRUE(dice.ends_with("┐") || dice.ends_with("│") || dice.ends_with("┘")) << line;
      }
    }
    EXPECT_EQ(frame_rows, 25);  // four rolling frames and the settled one
  }
}

TEST(Frames, SceneNarrationAndLoreWrapAtTheTerminalOnly) {
  StorySection section{};
  section.id.assign("3");
  section.title.assign("La cripta");
  section.text.assign(
      "Las antorchas parpadean sobre los sarcófagos del rey ceniza.\n\nUn eco 🐉 responde "
      "desde el fondo: «¿Quién osa despertar a los muertos?» "
      "Supercalifragilisticoespialidoso-y-más-allá-del-margen.");
  const std::string lore = "Un reino antiguo, enterrado bajo ceniza y silencio durante siglos.";

  // Not a terminal: the text as written, byte for byte.
  ScriptedUi file;
  ui_print_scene(file.ui(), &section);
  EXPECT_EQ(file.output(), "\n\x1b[38;5;214m\x1b[1m─── 📍 [3] La cripta ───\x1b[0m\n\n" +
                               std::string(section.text.view()) + "\n");
  ui_print_lore_passage(file.ui(), "Reino", lore);
  EXPECT_EQ(file.output(), "\x1b[38;5;51m[Reino]: \x1b[38;5;231m" + lore + "\n\n\x1b[0m");

  for (int width : {80, 30, 16}) {
    SCOPED_TRACE(width);
    ScriptedUi player;
    player.ui().is_terminal = true;
    player.ui().width = width;
    player.ui().typing_speed = 0.01f;  // the typewriter still types the wrapped text
    ui_print_scene(player.ui(), &section);
    ui_print_dm_narration(player.ui(), section.text.c_str(), true, nullptr);
    ui_print_lore_passage(player.ui(), "Reino", lore);
    const std::string screen = player.output();
    for (const std::string& line : lines_of(screen)) {
      if (line.starts_with("─── 📍")) continue;  // the scene's heading is not wrapped
      EXPECT_LE(text_display_width(line), width) << line;
    }
    // Only a word longer than a line is broken: every other word is kept whole.
    std::string shown;
    for (const std::string& line : lines_of(screen)) shown += line + "\n";
    std::istringstream words{std::string(section.text.view())};
    for (std::string word; words >> word;) {
      EXPECT_TRUE(text_display_width(word) > width || shown.find(word) != std::string::npos)
          << word;
    }
    EXPECT_FALSE(player.sleeps.empty());
  }
}
