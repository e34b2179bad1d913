#include "story/command_detect.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Detected {
  std::string label;
  std::string command;
  bool has_command;
};

Detected detect(const std::string& label_text) {
  FixedText<512> label;
  label.assign(label_text);
  FixedText<256> command;
  command.assign("restos de una llamada anterior");
  bool has = true;
  detect_command_in_text(label, command, has);
  return {std::string(label.view()), std::string(command.view()), has};
}

}  // namespace

TEST(CommandDetect, TagBackticksAndLeadingWord) {
  struct Case {
    const char* label;
    const char* label_after;
    const char* command;
    bool has;
  } cases[] = {
      // Explicit tags: cut out of the label, command trimmed.
      {"[Cmd:  nmap -sV 10.0.0.5 ] Escanear la red", "Escanear la red", "nmap -sV 10.0.0.5", true},
      {"Escanear la red [Comando: nmap -p 22 host]", "Escanear la red", "nmap -p 22 host", true},
      {"Entrar [Cmd: ssh root@core] ya", "Entrar  ya", "ssh root@core", true},
      // A "[Cmd:" without "]" is not retried as "[Comando:".
      {"[Comando: ls] Abrir [Cmd: cat", "[Comando: ls] Abrir [Cmd: cat", "", false},
      // Backticks: the quoted text when its first word is a command.
      {"Revisa `cat /etc/passwd` en la consola", "Revisa `cat /etc/passwd` en la consola",
       "cat /etc/passwd", true},
      {"Teclea ` WHOAMI ` y espera", "Teclea ` WHOAMI ` y espera", "WHOAMI", true},
      {"Grita `hola mundo` al vacío", "Grita `hola mundo` al vacío", "", false},
      {"ls `hola` -la", "ls `hola` -la", "ls `hola` -la", true},
      // Leading word, in any case, quotes and an opening parenthesis dropped.
      {"ECHO hola", "ECHO hola", "ECHO hola", true},
      {"\"ssh\" root@host", "\"ssh\" root@host", "\"ssh\" root@host", true},
      {"'Python3' script.py", "'Python3' script.py", "'Python3' script.py", true},
      {"(cat archivo)", "(cat archivo)", "(cat archivo)", true},
      {"cat) nada", "cat) nada", "", false},
      {"Sed de venganza", "Sed de venganza", "Sed de venganza", true},
      {"catalogo de runas", "catalogo de runas", "", false},
      {"Abrir la puerta", "Abrir la puerta", "", false},
      {"", "", "", false},
  };
  for (const auto& c : cases) {
    Detected d = detect(c.label);
    EXPECT_EQ(d.label, c.label_after) << c.label;
    EXPECT_EQ(d.command, c.command) << c.label;
    EXPECT_EQ(d.has_command, c.has) << c.label;
  }
}

TEST(CommandDetect, LongCommandsAreCutTo255) {
  std::string args(400, 'x');
  Detected whole = detect("grep " + args);
  EXPECT_TRUE(whole.has_command);
  EXPECT_EQ(whole.command, ("grep " + args).substr(0, 255));

  // The tag's text is cut first and trimmed afterwards.
  Detected tagged = detect("[Cmd:" + std::string(254, ' ') + "ls -la] Listar");
  EXPECT_TRUE(tagged.has_command);
  EXPECT_EQ(tagged.command, "l");
  EXPECT_EQ(tagged.label, "Listar");
}

TEST(CommandDetect, CommandWordsMatchWholeWordsIgnoringAsciiCase) {
  for (const char* w : {"python3", "NetCat", "base64", "Dmesg", "iptables"}) {
    EXPECT_TRUE(is_known_shell_command(w)) << w;
  }
  for (const char* w : {"", "python2", "l", "ls ", "bash"}) {
    EXPECT_FALSE(is_known_shell_command(w)) << w;
  }
}
