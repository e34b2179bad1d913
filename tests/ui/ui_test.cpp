// The terminal's write path, the prompt, the panels and the dice, on a file and on terminals of
// any width.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "common/display_width.h"
#include "story/option_line.h"
#include "story/story_parser.h"
#include "support/scripted_ui.h"
#include "support/test_support.h"
#include "ui/dice_view.h"
#include "ui/panels.h"
#include "ui/text_output.h"

using namespace qh_test;

#define FG(n) "\x1b[38;5;" #n "m"
#define BOLD "\x1b[1m"
#define RESET "\x1b[0m"

// `text` from tests/data/ui, where "\xNN" and "\r" stand for those bytes.
static std::string bytes(std::string text) {
  for (std::size_t at = 0; (at = text.find('\\', at)) != std::string::npos; ++at) {
    const bool hex = text[at + 1] == 'x';
    const long byte = hex ? std::strtol(text.substr(at + 2, 2).c_str(), nullptr, 16) : '\r';
    text.replace(at, hex ? 4 : 2, 1, static_cast<char>(byte));
  }
  return text;
}
// An expected screen from tests/data/ui; the file's last line feed is not part of the screen.
static std::string screen(const std::string& name) {
  std::string text = read_file(QH_TEST_DATA_DIR "/ui/" + name + ".txt");
  if (!text.empty()) text.pop_back();
  return bytes(text);
}

// A player's terminal `width` columns wide (0: a file).
static UiContext& at_width(ScriptedUi& player, int width) {
  player.ui().is_terminal = width > 0;
  player.ui().width = width;
  return player.ui();
}

// The status panel of Ana with these hit points, on a terminal `width` columns wide (0: a file).
static std::string hud(int hp, int max_hp, Character c = {}, bool classic = true,
                       const TokenCounters* counters = nullptr, bool show_tokens = false,
                       int width = 0) {
  c.name.assign("Ana");
  c.hp = hp;
  c.max_hp = max_hp;
  ScriptedUi ui;
  ui_print_hud(at_width(ui, width), &c, classic, counters, show_tokens);
  return ui.output();
}

// The lines of `text` that start with one of `starts`, without escape sequences (ESC up to the
// first final byte other than "[") and carriage returns.
static std::vector<std::string> rows(const std::string& text,
                                     std::initializer_list<std::string_view> starts) {
  std::vector<std::string> found;
  std::istringstream lines(
      std::regex_replace(text, std::regex("\x1b[^@-Z\\\\-~]*[@-Z\\\\-~]|\r"), ""));
  for (std::string line; std::getline(lines, line);)
    if (std::ranges::any_of(starts, [&](auto s) { return line.starts_with(s); }))
      found.push_back(line);
  return found;
}

TEST(TextOutput, TypewriterPausesAndMessageColours) {
  // A line feed only flushes; pauses truncate to whole ms, at least 1; 0.1 ms means none;
  // a huge speed from the settings saturates.
  const std::tuple<const char*, float, std::vector<int>> cases[] = {
      {"ab\ncd", 0.01f, {10, 10}}, {"abcde", 0.0015f, {1, 1, 1}}, {"ab", 0.00015f, {1}},
      {"todo", 0.0f, {}},          {"sin", 0.0001f, {}},          {nullptr, 0.01f, {}},
      {"ab", 3e9f, {2147483647}}};
  for (const auto& [text, speed, pauses] : cases) {
    ScriptedUi ui;
    ui_typewriter(ui.ui(), text, speed);
    EXPECT_EQ(ui.output(), text ? text : "");
    EXPECT_EQ(ui.sleeps, pauses) << speed;
  }

  // Message kinds select the colour (each kind's own is fixed byte for byte by the session's
  // screens); an unknown kind is info; the text is never a format.
  const std::tuple<const char*, const char*, const char*> messages[] = {
      {"fallo %s %n", "error", FG(196) BOLD},
      {"vacío", "", FG(51)},
      {"mayúsculas", "ERROR", FG(51)}};
  ScriptedUi ui;
  for (auto [text, kind, colour] : messages) {
    ui_print_message(ui.ui(), text, kind);
    EXPECT_EQ(ui.output(), std::string(colour) + text + RESET "\n");
  }
  // Text from outside is filtered before it is typed or shown: an escape sequence cannot be
  // split between pauses, and the message's own colours stay.
  ScriptedUi typed;
  ui_typewriter(typed.ui(), "a\x1b]0;t\x07\xc2\x9bz", 0.01f);
  EXPECT_EQ(typed.output(), "a?]0;t??z");
  EXPECT_EQ(typed.sleeps.size(), 5u);
  ui_print_message(typed.ui(), "x\033c\ty\n", "error");  // ESC c
  ui_write_text(typed.ui(), "\x1b[5A\r\x7f");
  EXPECT_EQ(typed.output(), FG(196) BOLD "x?c\ty\n" RESET "\n?[5A??");

  // Without a sink nothing is written anywhere, and nothing breaks.
  UiContext silent{};
  ui_print_message(silent, "nada", "info");
  char buf[8];
  EXPECT_FALSE(ui_read_line(silent, buf, sizeof buf));
  EXPECT_TRUE(ui_input_closed(silent));
}

TEST(Prompt, LineEndsLongLinesPausesAndTheEndOfInput) {
  // The rest of an over-long action is dropped, never taken as the next one.
  const std::string input = "\nhola\r\n" + std::string(600, 'x') + "\nluego\n" +
                            std::string(100, 'n') + "\nuno\n" + std::string(100, 'z') + "\ndos\n";
  std::vector<std::string> got;
  ScriptedUi player(input);
  UiContext& ui = player.ui();
  char buf[512];
  auto keep = [&](bool read) {  // an empty line is not the end of input
    got.push_back(buf + std::string(read ? "" : "<end>") + (ui_input_closed(ui) ? "+" : ""));
  };
  for (int i = 0; i < 4; ++i) ui_prompt_action(ui, buf, sizeof buf), keep(true);
  keep(ui_read_line_discard_rest(ui, buf, 64));  // how the hero's name is read
  keep(ui_read_line(ui, buf, sizeof buf));
  for (int i = 0; i < 2; ++i)  // the first pause ignores the whole of an overlong line
    got.push_back(ui_pause_enter(ui) ? "pausa" : "fin"), keep(ui_read_line(ui, buf, sizeof buf));
  EXPECT_EQ(got, (std::vector<std::string>{"", "hola", std::string(511, 'x'), "luego",
                                           std::string(63, 'n'), "uno", "pausa", "dos", "fin",
                                           "<end>+"}));
  const std::string prompt = "\n" FG(214) BOLD "¿Qué deseas hacer? ❯ " RESET;
  const std::string pause_line = FG(244) "\nPresiona Enter para continuar..." RESET;
  EXPECT_EQ(player.output(), prompt + prompt + prompt + prompt + pause_line + pause_line);

  // The next read decides again whether the input has ended.
  UiContext again{};
  again.source = [](char* line, std::size_t, void*) {
    line[0] = 'y', line[1] = '\0';
    return true;
  };
  again.input_closed = true;
  EXPECT_TRUE(ui_read_line(again, buf, sizeof buf) && !ui_input_closed(again));

  // A menu answer is exactly one character from '1' to the last entry (the main menu's
  // blanks, doubles and overlong lines are played through the game).
  for (const char* answer : {"0", "a", "6", static_cast<const char*>(nullptr)})
    EXPECT_EQ(ui_menu_choice(answer, '5'), 0) << answer;
}

TEST(StatusPanel, LayoutSegmentsStatesBackpackCutAndHealthBar) {
  Character c{};
  const char* stats[] = {"Fuerza", "Agilidad", "Mente", "Sigilo", "Suerte", "Carisma"};
  const int values[] = {2, -1, 0, 3, 1, 5};
  for (int i = 0; i < 6; ++i) character_set_stat(c, stats[i], values[i]);  // four are shown
  for (const char* item : {"Antorcha", "Cuerda"}) character_add_item(c, item);
  TokenCounters counters{120, 45, 165, 0, 0, 0};  // ignored in classic mode
  EXPECT_EQ(hud(7, 10, c, true, &counters, true), screen("hud_classic"));

  // States in red; the joined names are 74 bytes and the cut at 69 splits the "ú" of "rúnica".
  for (const char* state : {"Herido de gravedad", "Envenenado"}) character_add_state(c, state);
  for (const char* item : {"Llave", "Poción de maná", "Mapa del túnel", "Espada rúnica"})
    character_add_item(c, item);
  EXPECT_EQ(hud(3, 10, c, false, &counters, true), screen("hud_ai"));
  // Without counters, or with their display off, the AI segment has no numbers; an empty
  // backpack has no row.
  EXPECT_EQ(hud(3, 10, {}, false, &counters, false), screen("hud_ai_idle"));
  EXPECT_EQ(hud(3, 10, {}, false, nullptr, true), screen("hud_ai_idle"));

  // On narrower terminals a stat and the narrator's segment are shown whole or left out,
  // never with a number cut; every row still ends at the border.
  for (int width = 30; width <= 90; ++width) {
    const std::string out = hud(3, 10, c, false, &counters, true, width);
    for (std::string_view stat : {"Fuerza:" BOLD "+2", "Agilidad:" BOLD "-1", "Mente:" BOLD "+0"})
      EXPECT_TRUE(out.find(stat) != std::string::npos ||
                  out.find(stat.substr(0, stat.find(':') + 1)) == std::string::npos)
          << width << " " << stat;
    EXPECT_TRUE(out.find("(Total: 165)") != std::string::npos ||
                out.find("IA |") == std::string::npos)
        << width;
    EXPECT_EQ(out.find("│ ⚡ IA |") != std::string::npos, width >= 60) << width;
  }

  // 5/10 is not above half; 1/11 is alive with no full cell; extreme values cannot overflow.
  const std::tuple<int, int, const char*> cases[] = {
      {5, 10, FG(226) "[█████░░░░░]  5/10"},
      {2, 8, FG(196) "[██░░░░░░░░]  2/8 "},
      {1, 11, FG(196) "[░░░░░░░░░░]  1/11"},
      {12, 10, FG(46) "[██████████] 12/10"},
      {5, 0, FG(196) "[░░░░░░░░░░]  5/0 "},
      {2147483647, 2147483647, FG(46) "[██████████] 2147483647/2147483647"}};
  for (auto [hp, max_hp, bar] : cases)
    EXPECT_TRUE(contains_in_order(hud(hp, max_hp), {std::string("HP: ") + bar + RESET "  "}));
}

TEST(OptionList, MixedListNumbersOnlyPlainLockedAndCheckOptions) {
  static StorySection s;
  for (const char* line : {"[CmdOculto: rm -d /logs] [-> 2] Borrar", "[-> 2] Red [Cmd: nmap x]",
                           "[-> 2] Seguir el pasillo", "[Check: Fuerza | DC: 8] Abrir la puerta",
                           "[Check: Sigilo | DC: 7] Escabullirse"})
    ASSERT_TRUE(parse_transition_line(line, s.transitions[s.transition_count++]));
  s.transitions[3].required_item.assign("Llave");  // a locked option shows no check tag
  Character c{};
  auto shown = [&](int options, const Character* hero) {
    s.transition_count = options;
    ScriptedUi ui;
    ui_print_options(ui.ui(), &s, hero);
    return ui.output();
  };
  // No options at all, or only a hidden command: no note either.
  EXPECT_EQ(shown(0, &c) + shown(1, &c), screen("options_none"));
  // Numbers skip hidden and command options but count locked ones.
  EXPECT_EQ(shown(5, &c), screen("options"));
  // Carrying the item (in any case), or no hero at all, unlocks the option.
  const char* open = FG(51) BOLD "[2]" RESET " Abrir la puerta " FG(226) "[Tirada: Fuerza DC 8]";
  EXPECT_TRUE(contains_in_order(shown(5, nullptr), {open}));
  character_add_item(c, "llave");
  EXPECT_TRUE(contains_in_order(shown(5, &c), {open}));
}

TEST(DiceView, AnimationOutcomeColoursAndDiceOutsideOneToSix) {
  ScriptedUi ui;
  GameRandom random;
  rules_random_seed(random, 1);  // the first eight values, mod 6: 1 4, 3 1, 5 1, 4 0
  RollResult r{6, 3, 2, 11, 9, OUTCOME_SUCCESS, {}};
  r.text.assign("Éxito Total (11 vs DC 9)");
  ui_animate_dice_roll(ui.ui(), &r, "Sigilo", &random);
  EXPECT_EQ(ui.output(), screen("dice"));
  EXPECT_EQ(ui.sleeps, (std::vector<int>{60, 60, 60, 60}));
  EXPECT_EQ(rules_random_next(random), 596516649);  // exactly eight values were consumed

  // By outcome, from none to a critical failure, then an unknown one, the heading and the
  // settled frame: dice outside 1..6 show face 1 but print their value; an empty label shows
  // no stat.
  std::string settled;
  for (int outcome = 0; outcome < 7; ++outcome) {
    r = RollResult{0, 7, 1, 8, 7, outcome, {}};
    ui_animate_dice_roll(ui.ui(), &r, "", &random);
    const std::string out = ui.output();
    settled += out.substr(0, out.find('\r')) + out.substr(out.rfind("\x1b[5A") + 4);
  }
  EXPECT_EQ(settled, screen("dice_outcomes"));
}

TEST(NarrationPanel, HeaderTextFrameAndConsumptionLine) {
  TokenCounters counters{0, 0, 120, 0, 0, 480};
  auto panel = [&](const char* text, bool classic, const TokenCounters* c) {
    ScriptedUi ui;
    ui_print_dm_narration(ui.ui(), text, classic, c);
    return ui.output();
  };
  // Only an AI panel with counters shows the consumption line: not classic mode, nor absent
  // or zero counters. No text, no panel.
  const TokenCounters none{};
  EXPECT_EQ(panel("La puerta cede.", false, &counters) + panel("Texto.", true, &counters) +
                panel("Texto.", false, nullptr) + panel("Texto.", false, &none),
            screen("narration"));
  EXPECT_EQ(panel("", false, &counters) + panel(nullptr, false, &counters), "");
}

// At a terminal, a line entered while text is typed out finishes it at once: Enter alone is
// spent on that, any other line answers the next read. Lines arrive here through a pipe, entered
// by the sleep hook on its second pause.
TEST(TextOutput, EnterWhileTypingFinishesTheText) {
  struct Keyboard {
    int fd[2];
    const char* line;
    int pauses = 0;
  };
  for (const char* typed : {"\n", "2\n"}) {
    Keyboard keys{{}, typed};
    ASSERT_EQ(pipe(keys.fd), 0);
    ScriptedUi screen;
    UiContext ui = screen.ui();
    ui.in = fdopen(keys.fd[0], "r");
    ui.interactive = true;
    ui.user = &keys;
    ui.sleep = [](std::int32_t, void* user) {
      auto* k = static_cast<Keyboard*>(user);
      if (++k->pauses == 2 && write(k->fd[1], k->line, std::strlen(k->line)) <= 0) ADD_FAILURE();
    };
    ui_typewriter(ui, "Un texto largo que nadie quiere esperar.", 0.01f);
    EXPECT_EQ(screen.output(), "Un texto largo que nadie quiere esperar.") << typed;
    EXPECT_EQ(keys.pauses, 2) << typed;
    ASSERT_GT(write(keys.fd[1], "siguiente\n", 10), 0);
    char line[64];
    ASSERT_TRUE(ui_read_line(ui, line, sizeof line));
    EXPECT_STREQ(line, typed[0] == '\n' ? "siguiente" : "2");
    close(keys.fd[1]);
    std::fclose(ui.in);
  }
  // Not at a terminal, every character waits its turn.
  ScriptedUi file("\n\n\n");
  ui_typewriter(file.ui(), "abcdef", 0.01f);
  EXPECT_EQ(file.sleeps.size(), 3u);
}

TEST(Frames, EveryRowEndsAtItsBorderForBothStoriesAnyHealthAndTheLongestNames) {
  auto story = std::make_unique<Story>();
  const TokenCounters counters{2147483647, 2147483647, 2147483647, 0, 0, 2147483647};
  // The longest names a record holds (63 bytes), one a line: narrow, accented, wide, emoji with
  // selectors and joiners, combining marks, and controls that a save may carry.
  std::vector<std::string> names;
  std::istringstream lines(read_file(QH_TEST_DATA_DIR "/ui/longest_names.txt"));
  for (std::string line; std::getline(lines, line);) names.push_back(bytes(line));
  // Each row that starts with one of `starts` takes exactly `columns` columns; there is one.
  auto rows_end_at = [](const std::string& screen, std::initializer_list<std::string_view> starts,
                        int columns) {
    const std::vector<std::string> found = rows(screen, starts);
    EXPECT_FALSE(found.empty()) << "no frame row in: " << screen;
    for (const std::string& row : found) EXPECT_EQ(text_display_width(row), columns) << row;
  };
  for (const char* file : {"intrusion_en_neon.md", "la_cripta_del_rey_ceniza.md"}) {
    ASSERT_TRUE(
        story_parser_load_file(*story, (QH_SOURCE_DIR "/stories/" + std::string(file)).c_str()));
    for (const std::string& name : names) {
      for (bool full_health : {false, true}) {
        // Every other longest name as an item, a state and a stat at their extremes.
        Character hero{};
        character_seed_from_story(hero, *story, name);
        for (const std::string& other : names) {
          character_add_item(hero, other);
          character_add_state(hero, other);
          character_set_stat(hero, other, -2147483647);
        }
        character_set_stat(hero, name, 2147483647);
        hero.hp = full_health ? hero.max_hp : 1;
        for (int width : {0, 200, 86, 85, 74, 60, 40, 24, 12}) {  // 0: a file
          SCOPED_TRACE(std::string(file) + " " + name + " " + std::to_string(width));
          ScriptedUi player;
          UiContext& ui = at_width(player, width);
          for (int mode = 0; mode < 3; ++mode) {
            ui_print_hud(ui, &hero, mode == 0, &counters, mode == 1);
            const std::string screen = player.output();
            rows_end_at(screen, {"╔", "║", "╚"}, width > 0 && width < 86 ? width : 86);
            EXPECT_EQ(screen.find_first_of("\t\x9b"), std::string::npos);
            ui_print_dm_narration(ui, story->sections[0].text.c_str(), mode == 0, &counters);
            rows_end_at(player.output(), {"┌", "└"}, width > 0 && width < 74 ? width : 74);
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
    GameRandom random;
    rules_random_seed(random, 7);
    ui_animate_dice_roll(at_width(player, width), &roll, "漢字 Sigilo", &random);
    // The heading above the frames may wrap; a frame line may not, or the next
    // frame, drawn five lines up, would land in the wrong place.
    const std::vector<std::string> frames = rows(player.output(), {"  ┌", "  │", "  └"});
    for (const std::string& line : frames) {
      EXPECT_LE(text_display_width(line), width > 0 ? width : INT_MAX) << line;
      // The second die's right border is the frame's 21st column, whatever follows it.
      const std::string_view dice(line.data(), text_prefix_for_width(line, 21));
      if (width == 0 || width >= 21) {
        EXPECT_EQ(text_display_width(dice), 21) << line;
        EXPECT_TRUE(dice.ends_with("┐") || dice.ends_with("│") || dice.ends_with("┘")) << line;
      }
    }
    EXPECT_EQ(frames.size(), 25u);  // four rolling frames and the settled one
  }
}

TEST(Frames, SceneNarrationAndLoreWrapAtTheTerminalOnly) {
  StorySection section{};
  section.id.assign("3");
  section.title.assign("La cripta");
  section.text.assign(screen("scene_text"));
  const std::string lore = "Un reino antiguo, enterrado bajo ceniza y silencio durante siglos.";

  // Not a terminal: the text as written, byte for byte.
  ScriptedUi file;
  ui_print_scene(file.ui(), &section);
  EXPECT_EQ(file.output(), "\n\x1b[38;5;214m\x1b[1m─── 📍 [3] La cripta ───\x1b[0m\n\n" +
                               std::string(section.text.view()) + "\n");

  for (int width : {80, 30, 16}) {
    SCOPED_TRACE(width);
    ScriptedUi player;
    at_width(player, width).typing_speed = 0.01f;  // the typewriter still types the wrapped text
    ui_print_scene(player.ui(), &section);
    ui_print_dm_narration(player.ui(), section.text.c_str(), true, nullptr);
    ui_print_lore_passage(player.ui(), "Reino", lore);
    // Only a word longer than a line is broken: every other word is kept whole.
    std::string shown;
    for (const std::string& line : rows(player.output(), {""})) {
      shown += line + "\n";
      // The scene's heading is not wrapped.
      EXPECT_TRUE(line.starts_with("─── 📍") || text_display_width(line) <= width) << line;
    }
    std::istringstream words{std::string(section.text.view())};
    for (std::string word; words >> word;)
      EXPECT_TRUE(text_display_width(word) > width || shown.find(word) != std::string::npos)
          << word;
    EXPECT_FALSE(player.sleeps.empty());
  }
}
