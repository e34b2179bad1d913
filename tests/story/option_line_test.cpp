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
