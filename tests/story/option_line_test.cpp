#include "story/option_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "story/command_detect.h"
#include "story_dump.h"
#include "support/test_support.h"

TEST(CommandDetect, TagBackticksAndLeadingWord) {
  const std::string longest = "grep " + std::string(400, 'x');
  const std::string cases[][3] = {
      // label, label afterwards, command (empty: none)
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
  std::vector<std::pair<std::string, std::string>> cases = {
      {std::string("- [-> 2] Ir\0[Obtener: Oro]", 26), "to=2 | label=Ir"}};  // a NUL ends the line
  std::istringstream rows(qh_test::read_file(QH_TEST_DATA_DIR "/story/option_lines.txt"));
  for (std::string row; std::getline(rows, row);) {
    std::size_t tab = row.find('\t');
    if (tab != row.npos) cases.emplace_back(row.substr(0, tab), row.substr(tab + 1));
  }
  ASSERT_EQ(cases.size(), 28u);
  for (const auto& [line, expected] : cases) {
    StoryTransition t;
    std::memset(&t, 0x5A, sizeof t);  // leftovers must never show through
    EXPECT_EQ(parse_transition_line(line, t), !expected.empty()) << line;
    EXPECT_EQ(expected.empty() ? "" : story_test::describe(t), expected) << line;
  }
}

// What a line told to report says, and that it parses the same as without a sink.
TEST(OptionLine, ReportsWhyALineIsNoOptionAndWhatItCouldNotRead) {
  const std::string id(32, 'n'), target(40, 'd'), label(600, 'e');
  const std::pair<std::string, std::string> cases[] = {
      {"- Sin corchetes",
       "no lleva «[-> id]», «[Check: ...]», «[Requiere: ...]» ni «[id]» al "
       "principio"},
      {"-", "no hay nada tras el guion"},
      {"- [] Nada", "los corchetes del principio están vacíos"},
      {"- [" + id + "] x",
       "el texto entre los corchetes del principio pasa de 31 bytes, el "
       "máximo de un id"},
      {"- [Sin cierre", "el «[» del principio no se cierra"},
      {"- [Check: Fuerza | DC: 7 Empujar", "la etiqueta «[Check:» no se cierra con «]»"},
      {"- [CmdOculto: ls -la]",
       "un comando oculto necesita además un destino, como «[-> id]», y "
       "sin él la línea muestra el secreto"},
      {"- [Check: Fuerza | DC: siete | éxito: 2 | Daño: 1] Empujar",
       "valor-no-numerico: «DC: siete» no es un número: vale 0.\n"
       "clave-ignorada: La clave «éxito» con «é» minúscula se ignora: escribe «Éxito» o "
       "«Exito».\n"
       "clave-ignorada: La clave «Daño» de [Check:] no se reconoce y se ignora.\n"},
      {"- [Requiere: Cuerda | Otro: x] Trepar",
       "clave-ignorada: La clave «Otro» de [Requiere:] no se reconoce y se ignora.\n"},
      {"- [-> " + target + "] Ir",  // the blank after the arrow counts toward the 31 bytes
       "texto-cortado: El destino pasa de 31 bytes y se corta: queda «" + target.substr(0, 30) +
           "».\n"},
      {"- [2] " + label,
       "texto-cortado: El texto de la opción pasa de 511 bytes y se corta: "
       "queda «" +
           label.substr(0, 60) + "…».\n"},
      {"- [-> 2] Echo de menos la luz",
       "comando-por-palabra: La opción «Echo de menos la luz» se convirtió en comando de "
       "terminal solo porque su primera palabra es un comando: no se podrá elegir por número.\n"},
      {"- [-> 2] ls -la /home", ""},  // a command line, as meant
      {"- [-> 2] [Item: Llave] Coger la llave",
       "etiqueta-desconocida: La etiqueta «[Item:» no tiene efecto en esta opción: se muestra en "
       "su texto.\n"},
      {"- [Check: Sigilo | DC: 7 | Éxito: 3 | Fallo: 2 | DañoFallo: 2] Rodear", ""},
  };
  for (const auto& [line, expected] : cases) {
    std::string got;
    StoryDiagnosticSink sink;
    sink.context = &got;
    sink.report = [](void* context, const StoryDiagnostic& d) {
      EXPECT_EQ(d.line, 7);
      *static_cast<std::string*>(context) +=
          std::string(story_code_info(d.code).name) + ": " + d.message + "\n";
    };
    StoryTransition quiet, told;
    bool option = parse_transition_line(line, quiet);
    EXPECT_EQ(parse_transition_line(line, told, sink, 7), option) << line;
    if (option) {
      EXPECT_EQ(story_test::describe(told), story_test::describe(quiet)) << line;
      EXPECT_EQ(got, expected) << line;
    } else {  // a rejected line says why, and nothing else
      EXPECT_EQ(got, "opcion-rechazada: La línea empieza con «-» o «*» pero no es una opción: " +
                         expected + ". Se muestra como texto de la escena.\n");
    }
  }
}
