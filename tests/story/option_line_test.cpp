#include "story/option_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

// The fields an option line can fill, for table comparisons.
struct Expected {
  const char* target = "";
  const char* label = "";
  const char* required_item = "";
  const char* check_stat = "";
  int check_dc = 0;
  const char* fail_target = "";
  int fail_damage = 0;
  const char* gain_item = "";
  const char* command = "";
  bool is_hidden = false;
  bool has_command = false;
};

void expect_option(const StoryTransition& t, const Expected& e, const std::string& line) {
  EXPECT_EQ(t.target.view(), e.target) << line;
  EXPECT_EQ(t.label.view(), e.label) << line;
  EXPECT_EQ(t.required_item.view(), e.required_item) << line;
  EXPECT_EQ(t.check_stat.view(), e.check_stat) << line;
  EXPECT_EQ(t.check_dc, e.check_dc) << line;
  EXPECT_EQ(t.fail_target.view(), e.fail_target) << line;
  EXPECT_EQ(t.fail_damage, e.fail_damage) << line;
  EXPECT_EQ(t.gain_item.view(), e.gain_item) << line;
  EXPECT_EQ(t.command.view(), e.command) << line;
  EXPECT_EQ(t.is_hidden, e.is_hidden) << line;
  EXPECT_EQ(t.has_command, e.has_command) << line;
}

struct Case {
  std::string line;
  Expected expected;
};

void run_accepted(const Case* cases, std::size_t n) {
  StoryTransition t;
  for (std::size_t i = 0; i < n; ++i) {
    std::memset(&t, 0x5A, sizeof t);  // leftovers must never show through
    ASSERT_TRUE(parse_transition_line(cases[i].line, t)) << cases[i].line;
    expect_option(t, cases[i].expected, cases[i].line);
    EXPECT_TRUE(t.required_flag.empty() && t.blocking_flag.empty() && t.lose_item.empty() &&
                t.set_flag.empty() && t.add_state.empty() && t.success_damage == 0)
        << cases[i].line;
  }
}

}  // namespace

TEST(OptionLine, TheFourForms) {
  const Case cases[] = {
      {"- [-> 2] [Obtener: Llave de Cobre] Avanzar hacia la cámara principal",
       {.target = "2",
        .label = "Avanzar hacia la cámara principal",
        .gain_item = "Llave de Cobre"}},
      {"- [Check: Sigilo | DC: 7 | Éxito: 3 | Fallo: 2 | DañoFallo: 2] Rodear el perímetro "
       "buscando una entrada oculta",
       {.target = "3",
        .label = "Rodear el perímetro buscando una entrada oculta",
        .check_stat = "Sigilo",
        .check_dc = 7,
        .fail_target = "2",
        .fail_damage = 2}},
      {"- [Requiere: Llave de Cobre | Destino: 4] Abrir la cerradura de cobre con tu llave",
       {.target = "4",
        .label = "Abrir la cerradura de cobre con tu llave",
        .required_item = "Llave de Cobre"}},
      {"- [-> 1] Regresar al umbral", {.target = "1", .label = "Regresar al umbral"}},
      {"* [7] Saltar al vacío", {.target = "7", .label = "Saltar al vacío"}},
      // Any short bracketed text at the start is a destination.
      {"- [Obtener: Espada] Cogerla", {.target = "Obtener: Espada", .label = "Cogerla"}},
      {"- [" + std::string(31, 'n') + "] x",
       {.target = "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn", .label = "x"}},
      // Labels left empty get a default for checks and requirements only.
      {"- [Check: Sigilo | DC: 7]",
       {.label = "Probar Sigilo (Dificultad 7)", .check_stat = "Sigilo", .check_dc = 7}},
      {"- [Requiere: Cuerda]", {.label = "Usar Cuerda", .required_item = "Cuerda"}},
      {"- [-> 3]", {.target = "3"}},
      {"- [-> 3] [Tomar: Gema]", {.target = "3", .gain_item = "Gema"}},
      // Tags cut from the middle leave both surrounding blanks.
      {"- [-> 2] Ir [Obtener: Oro] ya", {.target = "2", .label = "Ir  ya", .gain_item = "Oro"}},
      // "[Tomar:" is only looked for when "[Obtener:" does not occur at all.
      {"- [-> 2] Ir [Obtener: Oro [Tomar: Gema",
       {.target = "2", .label = "Ir [Obtener: Oro [Tomar: Gema"}},
  };
  run_accepted(cases, std::size(cases));
}

TEST(OptionLine, CheckAndRequirementFields) {
  const Case cases[] = {
      // Keys ignore ASCII case; an accented small e is a different key.
      {"- [Check: Fuerza | dc: 9 | EXITO: 4 | fallo: 5 | DANOFALLO: 3] Empujar",
       {.target = "4",
        .label = "Empujar",
        .check_stat = "Fuerza",
        .check_dc = 9,
        .fail_target = "5",
        .fail_damage = 3}},
      {"- [Check: Fuerza | DC: 3 | éxito: 9 | ÉXITO: 8] Saltar",
       {.target = "8", .label = "Saltar", .check_stat = "Fuerza", .check_dc = 3}},
      // No bare stat name: the check has no stat; an empty key names it.
      {"- [Check: DC: 5 | Exito: 2]",
       {.target = "2", .label = "Probar  (Dificultad 5)", .check_dc = 5}},
      {"- [Check: Ágil | : Ingenio | || DC: -2] Pensar",
       {.label = "Pensar", .check_stat = "Ingenio", .check_dc = -2}},
      {"- [Check: Suerte | DC: 99999999999] Tentar",
       {.label = "Tentar", .check_stat = "Suerte", .check_dc = INT_MAX}},
      {"- [Requiere: : Mapa | Cuerda | destino: 8 | Otro: x] Trepar",
       {.target = "8", .label = "Trepar", .required_item = "Mapa"}},
      // Precedence: a check beats an arrow, a requirement beats an item pick-up.
      {"- [-> 9] [Check: Ingenio | DC: 6 | Éxito: 3] Pensar",
       {.target = "3", .label = "[-> 9]  Pensar", .check_stat = "Ingenio", .check_dc = 6}},
      {"- [Requiere: Llave | Destino: 4] [Obtener: Oro] Abrir",
       {.target = "4", .label = "[Obtener: Oro] Abrir", .required_item = "Llave"}},
      // A check tag runs to the first "]", whoever it belongs to.
      {"- [Check: Vigor [-> 2] Correr", {.label = "Correr", .check_stat = "Vigor [-> 2"}},
      // Only the first 255 bytes of a check tag are read as fields.
      {"- [Check: Sigilo | " + std::string(250, 'x') + " | DC: 5] Esperar",
       {.label = "Esperar", .check_stat = "Sigilo"}},
  };
  run_accepted(cases, std::size(cases));
}

TEST(OptionLine, HiddenAndTypedCommands) {
  const Case cases[] = {
      {"- [CmdOculto: rm -rf /logs ] [-> 9] Borrar huellas",
       {.target = "9",
        .label = "Borrar huellas",
        .command = "rm -rf /logs",
        .is_hidden = true,
        .has_command = true}},
      // A hidden option keeps its own command even when its label looks like one.
      {"- [HiddenCmd: sudo su] [Check: Ingenio | DC: 4 | Éxito: 2] cat secreto",
       {.target = "2",
        .label = "cat secreto",
        .check_stat = "Ingenio",
        .check_dc = 4,
        .command = "sudo su",
        .is_hidden = true,
        .has_command = true}},
      {"- [-> 5] nmap -sV 10.0.0.1",
       {.target = "5",
        .label = "nmap -sV 10.0.0.1",
        .command = "nmap -sV 10.0.0.1",
        .has_command = true}},
      {"- [-> 5] [Cmd: ssh admin@core] Conectarse",
       {.target = "5", .label = "Conectarse", .command = "ssh admin@core", .has_command = true}},
  };
  run_accepted(cases, std::size(cases));
}

TEST(OptionLine, LinesThatAreNotOptions) {
  const std::string rejected[] = {
      "- Sin corchetes",
      "- [-> 1 Regresar",
      "- [] Nada",
      "- [" + std::string(32, 'n') + "] demasiado",
      "- [HiddenCmd: sudo su]",
      "--[3] Solo se quita un guion",
      "-",
      "",
  };
  StoryTransition t;
  for (const std::string& line : rejected) {
    EXPECT_FALSE(parse_transition_line(line, t)) << line;
  }
}

TEST(OptionLine, CutsAtFieldCapacities) {
  StoryTransition t;
  ASSERT_TRUE(
      parse_transition_line("- [-> " + std::string(40, 'd') + "] " + std::string(900, 'a'), t));
  EXPECT_EQ(t.target.view(), std::string(30, 'd'));  // " ddd..." is cut to 31, then trimmed
  EXPECT_EQ(t.label.view(), std::string(511, 'a'));

  // The working copy holds 1023 bytes: a tag beyond it is never seen.
  ASSERT_FALSE(parse_transition_line("- " + std::string(1030, 'a') + " [-> 2]", t));

  // A NUL inside the view ends the line.
  ASSERT_TRUE(parse_transition_line(
      std::string("- [-> 2] Ir\0[Obtener: Oro]", sizeof "- [-> 2] Ir\0[Obtener: Oro]" - 1), t));
  EXPECT_EQ(t.label.view(), "Ir");
  EXPECT_TRUE(t.gain_item.empty());
}
