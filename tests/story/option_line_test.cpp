#include "story/option_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "story/command_detect.h"
#include "story_dump.h"

TEST(CommandDetect, TagBackticksAndLeadingWord) {
  const std::string longest = "grep " + std::string(400, 'x');
  const std::string cases[][3] = {  // label, label afterwards, command (empty: none)
      // Explicit tags: cut out of the label, the command trimmed after its cut to 255 bytes.
      {"[Cmd:  nmap -sV 10.0.0.5 ] Escanear la red", "Escanear la red", "nmap -sV 10.0.0.5"},
      {"Entrar [Comando: ssh root@core] ya", "Entrar  ya", "ssh root@core"},
      {"[Cmd:" + std::string(254, ' ') + "ls -la] Listar", "Listar", "l"},
      // A "[Cmd:" without "]" is not retried as "[Comando:".
      {"[Comando: ls] Abrir [Cmd: cat", "[Comando: ls] Abrir [Cmd: cat", ""},
      // Backticks: the quoted text when its first word is a command.
      {"Revisa `cat /etc/passwd` ya", "Revisa `cat /etc/passwd` ya", "cat /etc/passwd"},
      {"Teclea ` WHOAMI ` y espera", "Teclea ` WHOAMI ` y espera", "WHOAMI"},
      {"ls `hola` -la", "ls `hola` -la", "ls `hola` -la"},
      // Leading word, in any case; quotes and an opening parenthesis are dropped.
      {"'Python3' script.py", "'Python3' script.py", "'Python3' script.py"},
      {"(cat archivo)", "(cat archivo)", "(cat archivo)"},
      {"cat) nada", "cat) nada", ""},
      {"Sed de venganza", "Sed de venganza", "Sed de venganza"},
      {"catalogo de runas", "catalogo de runas", ""},
      {longest, longest, longest.substr(0, 255)},
      {"", "", ""},
  };
  for (const auto& [label_text, label_after, expected] : cases) {
    FixedText<512> label;
    label.assign(label_text);
    FixedText<256> command;
    command.assign("restos de una llamada anterior");
    bool has = true;
    detect_command_in_text(label, command, has);
    EXPECT_EQ(std::string(label) + " | " + std::string(command), label_after + " | " + expected);
    EXPECT_EQ(has, !expected.empty()) << label_text;
  }
}

TEST(OptionLine, FormsFieldsAndPrecedence) {
  const std::pair<std::string, std::string> cases[] = {
      {"* [7] Saltar al vacío", "to=7 | label=Saltar al vacío"},
      {"- [Obtener: Espada] Cogerla", "to=Obtener: Espada | label=Cogerla"},
      {"- [" + std::string(31, 'n') + "] x", "to=" + std::string(31, 'n') + " | label=x"},
      // Empty labels get a default for checks and requirements only.
      {"- [Check: Sigilo | DC: 7]", "label=Probar Sigilo (Dificultad 7) | check=Sigilo | dc=7"},
      {"- [Requiere: Cuerda]", "label=Usar Cuerda | need=Cuerda"},
      {"- [-> 3] [Tomar: Gema]", "to=3 | gain=Gema"},
      {"- [-> 2] Ir [Tomar: Gema] [Obtener: Oro]", "to=2 | label=Ir [Tomar: Gema] | gain=Oro"},
      // Keys ignore ASCII case only (accents count); numbers saturate.
      {"- [Check: Fuerza | dc: 9 | EXITO: 4 | fallo: 5 | DANOFALLO: 3] Empujar",
       "to=4 | label=Empujar | check=Fuerza | dc=9 | fail=5 | damage=3"},
      {"- [Check: Vigor | DC: 3 | éxito: 9 | ÉXITO: 8] Ir", "to=8 | label=Ir | check=Vigor | dc=3"},
      {"- [Check: DC: 5 | Exito: 2]", "to=2 | label=Probar  (Dificultad 5) | dc=5"},
      {"- [Check: Ágil | : Ingenio | || DC: -2] Pensar", "label=Pensar | check=Ingenio | dc=-2"},
      {"- [Check: Suerte | DC: 99999999999] Tentar", "label=Tentar | check=Suerte | dc=2147483647"},
      {"- [Requiere: : Mapa | Cuerda | destino: 8 | Otro: x] Ir", "to=8 | label=Ir | need=Mapa"},
      // A check beats an arrow, a requirement an item pick-up.
      {"- [-> 9] [Check: Ingenio | DC: 6 | Éxito: 3] Pensar",
       "to=3 | label=[-> 9]  Pensar | check=Ingenio | dc=6"},
      {"- [Requiere: Llave | Destino: 4] [Obtener: Oro] Abrir",
       "to=4 | label=[Obtener: Oro] Abrir | need=Llave"},
      // Hidden commands keep their own command; visible ones are detected in the label.
      {"- [CmdOculto: rm -rf /logs ] [-> 9] Borrar huellas",
       "to=9 | label=Borrar huellas | cmd=rm -rf /logs | hidden=yes | typed=yes"},
      {"- [HiddenCmd: sudo su] [Check: Ingenio | DC: 4 | Éxito: 2] cat secreto",
       "to=2 | label=cat secreto | check=Ingenio | dc=4 | cmd=sudo su | hidden=yes | typed=yes"},
      {"- [-> 5] [Cmd: ssh admin@core] Conectarse",
       "to=5 | label=Conectarse | cmd=ssh admin@core | typed=yes"},
      // Cuts: the target to 31 bytes before trimming, the label to 511; a NUL ends the line.
      {"- [-> " + std::string(40, 'd') + "] " + std::string(900, 'a'),
       "to=" + std::string(30, 'd') + " | label=" + std::string(511, 'a')},
      {std::string("- [-> 2] Ir\0[Obtener: Oro]", 26), "to=2 | label=Ir"},
      // Not options; the last one's tag lies past the 1023 bytes that are read.
      {"- Sin corchetes", ""}, {"- [-> 1 Regresar", ""}, {"- [] Nada", ""}, {"-", ""},
      {"- [" + std::string(32, 'n') + "] demasiado", ""}, {"- [HiddenCmd: sudo su]", ""},
      {"--[3] Solo se quita un guion", ""}, {"- " + std::string(1030, 'a') + " [-> 2]", ""},
  };
  for (const auto& [line, expected] : cases) {
    StoryTransition t;
    std::memset(&t, 0x5A, sizeof t);  // leftovers must never show through
    EXPECT_EQ(parse_transition_line(line, t), !expected.empty()) << line;
    EXPECT_EQ(expected.empty() ? "" : story_test::describe(t), expected) << line;
  }
}
