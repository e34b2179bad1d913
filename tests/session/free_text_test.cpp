#include <memory>

#include "session_fixture.h"

using qh_session_test::count;
using qh_session_test::scene;
using qh_session_test::SessionFixture;
using qh_test::contains_in_order;
using qh_test::lacks;
using qh_test::read_file;

namespace {

// A console scene: a command by its leading word, one by tag, a hidden one and a plain option.
const char* const kConsole = R"(---
title: Consola
start: c1
---
## c1 Terminal de acceso
El cursor parpadea.
- [-> c2] nmap -sV 10.0.0.5
- [-> c3] Leer el manual [Cmd: cat manual.txt]
- [-> c4] [CmdOculto: rm -rf /logs] Borrar rastros
- [-> c3] Desconectar el cable

## c2 Servidor
Puertos abiertos.
- [-> c4] ssh admin@10.0.0.5

## c3 Manual
> [Final: neutral]
Fin del manual.

## c4 Rastros borrados
> [Final: Victoria]
Nadie sabrá que estuviste aquí.
)";

const char* const kNoEffect =
    "Acción no resolutiva; observas o intentas interactuar sin cambiar de lugar.";
const char* const kHintTitle = "💡 Sintaxis correcta en esta terminal:\n   >_ nmap -sV 10.0.0.5";

std::string misspelt(const std::string& line) {
  return "\x1b[38;5;196m\x1b[1m❌ Comando mal escrito o incompleto: '" + line + "'\x1b[0m\n";
}

}  // namespace

TEST(FreeTextUnits, CleanSpacesLowersAsciiAndCollapsesBlanks) {
  struct Case {
    const char* in;
    std::size_t capacity;
    const char* out;
  } cases[] = {
      {"  Hola \t\n  MUNDO  ", 64, "hola mundo"},
      {"ÉXITO Total", 64, "Éxito total"},  // bytes of multi-byte characters are kept as they are
      {" \t\r\n", 64, ""},
      {"abcdefg", 5, "abcd"},
      {"abc   defg", 5, "abc"},  // cut first, then the trailing space goes
      {"x", 1, ""},
  };
  for (const Case& k : cases) {
    char out[64];
    std::memset(out, 'z', sizeof out);
    str_clean_spaces(out, k.in, k.capacity);
    EXPECT_STREQ(out, k.out) << k.in;
  }
  char out[8] = "keep";
  str_clean_spaces(out, nullptr, sizeof out);
  EXPECT_STREQ(out, "");
}

TEST(FreeTextUnits, FirstOptionNamedByLabelOrByItsCheckStat) {
  auto s = std::make_unique<StorySection>();
  auto add = [&](const char* label) -> StoryTransition& {
    StoryTransition& t = s->transitions[s->transition_count++];
    t.label.assign(label);
    return t;
  };
  StoryTransition& cmd = add("Abrir la consola");
  cmd.has_command = true;
  StoryTransition& hidden = add("Abrir el panel");
  hidden.is_hidden = true;
  StoryTransition& sneak = add("Rodear el muro");
  sneak.check_stat.assign("Sigilo");
  StoryTransition& open = add("ABRIR la puerta");
  StoryTransition& open2 = add("Abrir el cofre");

  EXPECT_EQ(find_free_action_match(*s, "abrir"), &open);  // command and hidden options are skipped
  EXPECT_EQ(find_free_action_match(*s, "  Abrir   EL cofre "), &open2);
  EXPECT_EQ(find_free_action_match(*s, "uso mi SIGILO"), &sneak);
  EXPECT_EQ(find_free_action_match(*s, "m"), &sneak);  // a single letter: the first label with it
  EXPECT_EQ(find_free_action_match(*s, "volar"), nullptr);
  EXPECT_EQ(find_free_action_match(*s, "   "), nullptr);
}

TEST_F(SessionFixture, ExactCommandWithMarkerCapitalsAndSpaces) {
  load(kConsole);
  std::string out = play(">_  NMAP   -sV   10.0.0.5\n$ ssh ADMIN@10.0.0.5\n");
  EXPECT_TRUE(contains_in_order(
      out, {"  \x1b[38;5;46m\x1b[1m>_ nmap -sV 10.0.0.5\x1b[0m\n",
            "  \x1b[38;5;46m\x1b[1m>_ cat manual.txt\x1b[0m\n",
            "  \x1b[38;5;51m\x1b[1m[1]\x1b[0m Desconectar el cable\n", "💡 Nota:",
            "Avanzas: nmap -sV 10.0.0.5", scene("c2", "Servidor"), "Avanzas: ssh admin@10.0.0.5",
            scene("c4", "Rastros borrados"), "¡Felicidades!"}));
  EXPECT_TRUE(lacks(out, "Comando mal escrito"));
  EXPECT_TRUE(lacks(out, "rm -rf"));  // the hidden command is never listed

  // Shell sigils are skipped; a number in a scene of commands only is refused.
  out = play("$ # cat   manual.txt\n");
  EXPECT_TRUE(contains_in_order(out, {"Avanzas: Leer el manual", scene("c3", "Manual"),
                                      "\x1b[38;5;51m\n📜 Fin de la aventura.\x1b[0m\n"}));
  out = play("nmap -sV 10.0.0.5\n1\n");
  EXPECT_NE(out.find("⚠️ Esta escena requiere ejecutar un comando de terminal en tu cyberdeck, "
                     "no una opción numérica.\n   Teclea el comando tal cual (ej: 'nmap ...') en "
                     "la consola para proceder."),
            std::string::npos);
}

TEST_F(SessionFixture, NearMissesGetAHintAndFarMissesAreFreeText) {
  load(kConsole);
  std::string out = play("nmap -sV\nnmpa -sV 10.0.0.5\nnmxyz -sV\n/salir\n");
  EXPECT_TRUE(contains_in_order(
      out, {misspelt("nmap -sV"), "\x1b[38;5;226m\x1b[1m" + std::string(kHintTitle) + "\x1b[0m\n",
            misspelt("nmpa -sV 10.0.0.5"), kHintTitle, "NARRADOR", kNoEffect}));
  EXPECT_EQ(count(out, "Comando mal escrito"), 2);
  EXPECT_NE(read_file(save_file("autosave")).find("\"current_section_id\": \"c1\""),
            std::string::npos);
}

TEST_F(SessionFixture, HiddenCommandByFirstWordAndMarker) {
  load(kConsole);
  std::string out = play("rm basura\nrm -d basura\n");
  EXPECT_TRUE(contains_in_order(
      out, {kNoEffect,
            "\x1b[38;5;46m\x1b[1m🔓 ¡Comando de terminal oculto descubierto con éxito!\x1b[0m\n",
            "NARRADOR", "Avanzas: Borrar rastros", scene("c4", "Rastros borrados")}));
  EXPECT_EQ(count(out, "oculto descubierto"), 1);
  EXPECT_TRUE(lacks(out, "Comando mal escrito"));  // hidden commands are never hinted
}

TEST_F(SessionFixture, FreeTextByLabelAndByCheckStat) {
  load(qh_session_test::kDungeon);
  std::string out = play("CRUZAR\n");
  EXPECT_TRUE(contains_in_order(out, {"Avanzas: Cruzar la puerta", scene("2", "Sala del tesoro")}));

  out = play("uso mi sigilo\n");
  EXPECT_TRUE(contains_in_order(out, {" + Sigilo (+1)", "Fallaste la prueba de Sigilo",
                                      scene("4", "Trampa"), "Has sucumbido"}));

  // A named option that is refused shows why and keeps the scene.
  out = play("abrir el portón\n/salir\n");
  EXPECT_TRUE(contains_in_order(out, {"Necesitas tener el objeto 'Llave' para hacer esto.",
                                      scene("1", "Entrada"), "Guardando partida"}));
}

TEST_F(SessionFixture, ActionWithoutEffectIsNarratedAndChangesNothing) {
  load(qh_session_test::kDungeon);
  std::string out = play("xyzzy\nrey antiguo\n/salir\n");
  EXPECT_TRUE(contains_in_order(
      out, {"\x1b[38;5;51m┌─ 🎭 NARRADOR (Modo Clásico)", kNoEffect, "└──", scene("1", "Entrada"),
            // Free text that finds lore is narrated as an investigation, with the passage.
            "Investigación del entorno.\n\n[📖 Detalle descubierto: El Rey Antiguo]",
            scene("1", "Entrada")}));
  EXPECT_TRUE(lacks(out, "Tirando dados"));
  std::string saved = read_file(save_file("autosave"));
  EXPECT_TRUE(contains_in_order(saved, {"\"current_section_id\": \"1\"", "\"hp\": 10,",
                                        "\"Antorcha\"\n    ],"}));
}

TEST_F(SessionFixture, EqualNearMissesHintTheEarlierCommand) {
  load(R"(---
title: Dos
---
## 1 Consola
Dos comandos.
- [-> 2] cat a.txt
- [-> 2] cut b.txt

## 2 Fin
> [Final: Victoria]
Hecho.
)");
  std::string out = play("cot x\n/salir\n");
  EXPECT_TRUE(contains_in_order(out, {misspelt("cot x"), "terminal:\n   >_ cat a.txt"}));
  EXPECT_TRUE(lacks(out, "terminal:\n   >_ cut"));
}
