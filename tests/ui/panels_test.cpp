#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "support/test_support.h"
#include "ui/panels.h"
#include "ui/text_output.h"

using qh_test::capture_stdout;

namespace {

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

const std::string kTop = "\n\x1b[38;5;39m╔" + repeat("═", 84) + "╗\n\x1b[0m";
const std::string kBottom = "\x1b[38;5;39m╚" + repeat("═", 84) + "╝\n\x1b[0m";
const std::string kClassicSegment =
    "\x1b[38;5;244m│ Narrador: 💾 Clásico (Sin IA - 0 tokens)" + std::string(31, ' ') +
    "║\n\x1b[0m";
const std::string kActiveSegment =
    "\x1b[38;5;214m│ ⚡ Narrador IA Activo" + std::string(50, ' ') + "║\n\x1b[0m";

Character make_hero(const char* name, int hp, int max_hp) {
  Character c;
  std::memset(static_cast<void*>(&c), 0, sizeof c);
  c.name.assign(name);
  c.hp = hp;
  c.max_hp = max_hp;
  return c;
}

void add_stat(Character& c, const char* name, int value) {
  c.stats[c.stat_count].name.assign(name);
  c.stats[c.stat_count].value = value;
  ++c.stat_count;
}

std::string hud(const Character& c, bool classic = true, const TokenCounters* counters = nullptr,
                bool show_tokens = false) {
  return capture_stdout([&] { ui_print_hud(&c, classic, counters, show_tokens); });
}

std::unique_ptr<StorySection> make_section() { return std::make_unique<StorySection>(); }

StoryTransition& add_option(StorySection& s, const char* label) {
  StoryTransition& t = s.transitions[s.transition_count++];
  t.label.assign(label);
  t.target.assign("2");
  return t;
}

const std::string kOptionsHeading =
    "\n\x1b[38;5;226m\x1b[1m--- OPCIONES Y ACCIONES DISPONIBLES ---\x1b[0m\n";
const std::string kOptionsHint =
    "\x1b[38;5;244m   (Escribe /ayuda para ver los comandos del sistema)\n\x1b[0m";

}  // namespace

TEST(StatusPanel, WholePanelWithStatsStatesAndBackpack) {
  Character c = make_hero("Ana", 7, 10);
  add_stat(c, "Fuerza", 2);
  add_stat(c, "Agilidad", -1);
  add_stat(c, "Mente", 0);
  add_stat(c, "Sigilo", 3);
  add_stat(c, "Suerte", 1);  // the fifth and sixth stats are not shown
  add_stat(c, "Carisma", 5);
  c.inventory[0].assign("Antorcha");
  c.inventory[1].assign("Cuerda");
  c.inventory_count = 2;

  std::string expected =
      kTop +
      "\x1b[38;5;39m║ \x1b[1m\x1b[38;5;231mAna             \x1b[0m HP: \x1b[38;5;46m[███████░░░]  7/10\x1b[0m  "
      "\x1b[38;5;244m│ \x1b[0m"
      "\x1b[38;5;51mFuerza:\x1b[1m+2 \x1b[0m"
      "\x1b[38;5;51mAgilidad:\x1b[1m-1 \x1b[0m"
      "\x1b[38;5;51mMente:\x1b[1m+0 \x1b[0m"
      "\x1b[38;5;51mSigilo:\x1b[1m+3 \x1b[0m"
      "\x1b[38;5;39m║\n\x1b[0m"
      "\x1b[38;5;39m║ \x1b[0m\x1b[38;5;244mEstado: Normal  \x1b[0m" +
      kClassicSegment +
      "\x1b[38;5;39m║ \x1b[38;5;226m🎒 Mochila: \x1b[0m" + "Antorcha, Cuerda" + std::string(53, ' ') +
      " \x1b[38;5;39m║\n\x1b[0m" + kBottom;
  EXPECT_EQ(hud(c), expected);
}

TEST(StatusPanel, HealthBarCellsAndColours) {
  const std::string green = "\x1b[38;5;46m", yellow = "\x1b[38;5;226m", red = "\x1b[38;5;196m";
  struct Case {
    int hp, max_hp;
    std::string colour;
    int filled;
    const char* numbers;
  } cases[] = {
      {7, 10, green, 7, " 7/10"},     {5, 10, yellow, 5, " 5/10"},   // 0.5 is not above 0.5
      {2, 8, red, 2, " 2/8 "},        {1, 11, red, 0, " 1/11"},      // alive, yet no full cell
      {12, 10, green, 10, "12/10"},   {5, 0, red, 0, " 5/0 "},
      {-3, 10, red, 0, "-3/10"},      {3, 10, yellow, 3, " 3/10"},
      // The product is taken in 64 bits: no overflow for extreme values from a save.
      {INT_MAX, INT_MAX, green, 10, "2147483647/2147483647"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.hp) + "/" + std::to_string(k.max_hp));
    std::string bar = repeat("█", k.filled) + repeat("░", 10 - k.filled);
    std::string piece = "HP: " + k.colour + "[" + bar + "] " + k.numbers + "\x1b[0m  ";
    EXPECT_NE(hud(make_hero("X", k.hp, k.max_hp)).find(piece), std::string::npos) << piece;
  }
}

TEST(StatusPanel, NarratorSegmentAndStates) {
  Character c = make_hero("Ana", 3, 10);
  TokenCounters counters{};
  counters.last_prompt = 120;
  counters.last_output = 45;
  counters.last_total = 165;

  // Classic mode ignores the counters even with the display switched on.
  EXPECT_NE(hud(c, true, &counters, true).find(kClassicSegment), std::string::npos);
  EXPECT_NE(hud(c, false, &counters, true)
                .find("\x1b[38;5;214m│ ⚡ IA | 📥 In:120 📤 Out:45 (Total: 165)          ║\n\x1b[0m"),
            std::string::npos);
  EXPECT_NE(hud(c, false, &counters, false).find(kActiveSegment), std::string::npos);
  EXPECT_NE(hud(c, false, nullptr, true).find(kActiveSegment), std::string::npos);

  c.states[0].assign("Herido de gravedad");
  c.states[1].assign("Envenenado");
  c.state_count = 2;
  EXPECT_NE(hud(c).find("\x1b[38;5;39m║ \x1b[0m\x1b[38;5;196m⚠️ Estado: \x1b[1mHerido de gravedad, "
                        "Envenenado\x1b[0m  " +
                        kClassicSegment),
            std::string::npos);
  EXPECT_EQ(capture_stdout([] { ui_print_hud(nullptr, true, nullptr, true); }), "");
}

TEST(StatusPanel, BackpackRowIsCutAtSixtyNineBytesOrLeftOut) {
  Character c = make_hero("Ana", 10, 10);
  EXPECT_TRUE(qh_test::lacks(hud(c), "Mochila"));

  // Accented names: the cut is by bytes, and may fall inside a character.
  const char* items[] = {"Poción de maná", "Espada rúnica", "Mapa del túnel", "Llave de hierro",
                         "Vela"};
  std::string joined;
  for (const char* item : items) {
    if (!joined.empty()) joined += ", ";
    joined += item;
    c.inventory[c.inventory_count++].assign(item);
  }
  ASSERT_GT(joined.size(), 69u);
  std::string row = "\x1b[38;5;39m║ \x1b[38;5;226m🎒 Mochila: \x1b[0m" + joined.substr(0, 69) +
                    " \x1b[38;5;39m║\n\x1b[0m";
  EXPECT_NE(hud(c).find(row), std::string::npos);
}

TEST(SceneView, HeaderBodyAndLineFeed) {
  ui_set_typewriter_speed(0);
  auto s = make_section();
  s->id.assign("3");
  s->title.assign("La Cripta");
  s->text.assign("Huele a humedad.\n\nAlgo se mueve.");
  EXPECT_EQ(capture_stdout([&] { ui_print_scene(s.get()); }),
            "\n\x1b[38;5;214m\x1b[1m─── 📍 [3] La Cripta ───\x1b[0m\n\nHuele a humedad.\n\nAlgo se "
            "mueve.\n");
  EXPECT_EQ(capture_stdout([] { ui_print_scene(nullptr); }), "");
}

TEST(OptionList, MixedKindsNumberOnlyPlainLockedAndCheckOptions) {
  auto s = make_section();
  StoryTransition& cmd = add_option(*s, "Escanear la red");
  cmd.has_command = true;
  cmd.command.assign("nmap -sV 10.0.0.5");
  StoryTransition& hidden = add_option(*s, "Borrar el rastro");
  hidden.has_command = true;
  hidden.is_hidden = true;
  hidden.command.assign("rm -d /logs");
  add_option(*s, "Seguir el pasillo");
  StoryTransition& locked = add_option(*s, "Abrir la puerta");
  locked.required_item.assign("Llave");
  locked.check_stat.assign("Fuerza");  // a locked option shows no check tag
  locked.check_dc = 8;
  StoryTransition& check = add_option(*s, "Escabullirse");
  check.check_stat.assign("Sigilo");
  check.check_dc = 7;

  Character hero = make_hero("Ana", 10, 10);
  std::string note =
      "\n\x1b[38;5;244m💡 Nota: Para los comandos de terminal (>_), teclea la instrucción exacta "
      "en la consola.\x1b[0m\n";
  std::string command_line = "  \x1b[38;5;46m\x1b[1m>_ nmap -sV 10.0.0.5\x1b[0m\n";
  std::string plain = "  \x1b[38;5;51m\x1b[1m[1]\x1b[0m Seguir el pasillo\n";
  std::string checked =
      "  \x1b[38;5;51m\x1b[1m[3]\x1b[0m Escabullirse \x1b[38;5;226m[Tirada: Sigilo DC 7]\x1b[0m\n";

  EXPECT_EQ(capture_stdout([&] { ui_print_options(s.get(), &hero); }),
            kOptionsHeading + command_line + plain +
                "  \x1b[38;5;244m[2] Abrir la puerta (🔒 Requiere: Llave)\x1b[0m\n" + checked +
                note + kOptionsHint);

  // Carrying the item (in any case), or no hero at all, unlocks the option.
  hero.inventory[0].assign("llave");
  hero.inventory_count = 1;
  std::string unlocked = kOptionsHeading + command_line + plain +
                         "  \x1b[38;5;51m\x1b[1m[2]\x1b[0m Abrir la puerta \x1b[38;5;226m[Tirada: "
                         "Fuerza DC 8]\x1b[0m\n" +
                         checked + note + kOptionsHint;
  EXPECT_EQ(capture_stdout([&] { ui_print_options(s.get(), &hero); }), unlocked);
  EXPECT_EQ(capture_stdout([&] { ui_print_options(s.get(), nullptr); }), unlocked);
}

TEST(OptionList, OnlyHiddenNoOptionsAndCommandWithoutText) {
  auto s = make_section();
  EXPECT_EQ(capture_stdout([&] { ui_print_options(s.get(), nullptr); }),
            kOptionsHeading + kOptionsHint);

  StoryTransition& hidden = add_option(*s, "Puerta trasera");
  hidden.has_command = true;
  hidden.is_hidden = true;
  EXPECT_EQ(capture_stdout([&] { ui_print_options(s.get(), nullptr); }),
            kOptionsHeading + kOptionsHint);

  StoryTransition& cmd = add_option(*s, "ls -la /home");
  cmd.has_command = true;  // empty command: the label is what the player types
  std::string out = capture_stdout([&] { ui_print_options(s.get(), nullptr); });
  EXPECT_TRUE(qh_test::contains_in_order(
      out, {"\x1b[38;5;46m\x1b[1m>_ ls -la /home\x1b[0m\n", "💡 Nota", "(Escribe /ayuda"}));
  EXPECT_EQ(capture_stdout([] { ui_print_options(nullptr, nullptr); }), "");
}
