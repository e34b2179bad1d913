#include "rules/option_rules.h"

#include <cstdlib>
#include <memory>
#include <string>

#include "story/option_line.h"
#include "support/test_support.h"

namespace {

// One option line of the test scene, with how a player reaches it.
struct Row {
  const char* line;  // nullptr: hidden without any command, built by hand
  OptionAccess access;
  int number;         // 0: no number
  const char* input;  // the line that takes it; nullptr: none does
};

const Row kRows[] = {
    {"[-> 2] Seguir el pasillo", OptionAccess::kNumbered, 1, "1"},
    {"[-> 2] Red [Cmd: nmap x]", OptionAccess::kCommand, 0, "nmap x"},
    {"[CmdOculto: rm -d /logs] [-> 2] Borrar", OptionAccess::kHiddenCommand, 0, "rm -d /logs"},
    {nullptr, OptionAccess::kNone, 0, nullptr},
    // Locked options keep their number.
    {"[Requiere: Llave | Destino: 3] Abrir", OptionAccess::kNumbered, 2, "2"},
    // Shadowed: the earlier command reads the same once cleaned.
    {"[-> 3] Mirar [Cmd: NMAP   X]", OptionAccess::kCommand, 0, nullptr},
    // Typed, these would be an option number and a slash command.
    {"[-> 3] Contar [Cmd: 42]", OptionAccess::kCommand, 0, nullptr},
    {"[-> 3] Ayuda [Cmd: /ayuda]", OptionAccess::kCommand, 0, nullptr},
    // Nothing to type at all.
    {"[CmdOculto: ] [-> 3]", OptionAccess::kHiddenCommand, 0, nullptr},
    // The story's sigil is skipped on both sides.
    {"[-> 3] Reiniciar [Cmd: $ sudo reboot]", OptionAccess::kCommand, 0, "$ sudo reboot"},
    // The earlier hidden command takes this one's line: same first word and a "-d".
    {"[CmdOculto: rm -d /tmp] [-> 3]", OptionAccess::kHiddenCommand, 0, nullptr},
    {"[CmdOculto: rm -rf /tmp] [-> 3]", OptionAccess::kHiddenCommand, 0, "rm -rf /tmp"},
};
constexpr int kLocked = 4;

}  // namespace

TEST(OptionRules, NumbersCommandsAndTheLineThatTakesEachOption) {
  auto section = std::make_unique<StorySection>();
  for (const Row& row : kRows) {
    StoryTransition& t = section->transitions[section->transition_count++];
    if (row.line != nullptr) {
      ASSERT_TRUE(parse_transition_line(row.line, t)) << row.line;
    } else {
      t.target.assign("3");
      t.label.assign("Pasadizo");
      t.is_hidden = true;
    }
  }
  Character hero{};
  character_init(hero, "Ana", 10);
  for (int i = 0; i < section->transition_count; ++i) {
    const Row& row = kRows[i];
    SCOPED_TRACE(row.line != nullptr ? row.line : "(oculta sin comando)");
    EXPECT_EQ(rules_option_access(section->transitions[i]), row.access);
    EXPECT_EQ(rules_option_number(*section, i), row.number);
    OptionLineText input;
    EXPECT_EQ(rules_option_input(*section, i, input), row.input != nullptr);
    EXPECT_EQ(input.view(), row.input != nullptr ? row.input : "");
    // A move is a reachable option the hero may take: the locked one is not, yet.
    EXPECT_EQ(rules_option_is_move(*section, i, hero), row.input != nullptr && i != kLocked);
    // The listed line, typed, finds the option itself.
    if (row.input != nullptr && row.access != OptionAccess::kNumbered) {
      OptionLineText cleaned;
      rules_option_clean(cleaned, row.input);
      EXPECT_EQ(rules_option_find_command(*section, rules_option_command_text(cleaned.view())),
                &section->transitions[i]);
    }
  }
  character_add_item(hero, "llave");
  EXPECT_TRUE(rules_option_is_move(*section, kLocked, hero));

  EXPECT_EQ(rules_option_numbered_count(*section), 2);
  EXPECT_EQ(rules_option_by_number(*section, 2), &section->transitions[kLocked]);
  for (int outside : {0, -1, 3}) EXPECT_EQ(rules_option_by_number(*section, outside), nullptr);
  OptionLineText none;
  EXPECT_FALSE(rules_option_input(*section, -1, none) ||
               rules_option_input(*section, section->transition_count, none));
  EXPECT_EQ(rules_option_number(*section, section->transition_count), 0);
}

TEST(OptionRules, TypedLinesAreCleanedAndStrippedOfTheirPrompt) {
  const std::pair<const char*, const char*> lines[] = {
      {">_  $ #  NMAP\t-sV   10.0.0.5 ", "nmap -sv 10.0.0.5"},
      {">_", ""},
      {"$$ #", ""},
      {"echo $HOME", "echo $home"},
      {"ÉXITO >_ x", "Éxito >_ x"},
      {"a>_b", "a>_b"}};
  for (auto [typed, command] : lines) {
    OptionLineText cleaned;
    rules_option_clean(cleaned, typed);
    EXPECT_EQ(rules_option_command_text(cleaned.view()), command) << typed;
  }
  // Only a line of digits names an option by number; "02" is option 2.
  for (auto [line, number] : {std::pair{"02", true}, {"", false}, {" 1", false}, {"1a", false}}) {
    EXPECT_EQ(rules_option_line_is_number(line), number) << line;
  }
  // A NUL ends the text; the cut comes before a blank left at the end is dropped.
  char out[5] = "zzzz";
  rules_option_clean(out, sizeof out, std::string_view("abc d\0ef", 8));
  EXPECT_STREQ(out, "abc");
  rules_option_clean(out, sizeof out, std::string_view("ab\0cd", 5));
  EXPECT_STREQ(out, "ab");
  rules_option_clean(nullptr, 4, "x");  // nothing to write into
}
