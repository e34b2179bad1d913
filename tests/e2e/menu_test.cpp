// Start-up, the settings file chain and the main menu of the real binary.
#include <unistd.h>

#include "e2e/shell_e2e.h"

namespace {

using qh_test::contains_in_order;
using qh_test::lacks;
using namespace shell_e2e;

const std::string kMenu =
    "\x1b[38;5;51mModo actual: 💾 Narrador Clásico (Sin IA - 0 tokens)\n\x1b[0m"
    "\n--- MENÚ PRINCIPAL ---\n"
    "1. 🗡️  Iniciar Nueva Aventura\n"
    "2. 📂 Cargar Partida Guardada\n"
    "3. 🎮 Mesa de Rol Multijugador (MQTT / KVM)\n"
    "4. 🛠️  Taller del Creador (Historias, Guías y Música)\n"
    "5. ⚙️  Ajustes y Configuración\n"
    "6. 🚪 Salir\n\n" +
    kMenuPrompt;

TEST(MainMenu, ShowsBannerAndMenuThenLeavesWithSix) {
  Sandbox box;
  qh_test::RunResult r = box.run("6\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(
      r.out, {"\x1b[38;5;51m\x1b[1m\n", "LLM & RAG Terminal Engine", kMenu, kFarewell}));
  // The farewell is the very end of the output.
  EXPECT_EQ(r.out.substr(r.out.size() - kFarewell.size()), kFarewell);
  EXPECT_EQ(count_of(r.out, kMenuPrompt), 1);
}

TEST(MainMenu, ClosedInputEndsLikeEntrySix) {
  Sandbox box;
  for (const char* input : {"", "\n\n"}) {
    qh_test::RunResult r = box.run(input);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(r.out.size() - kFarewell.size()), kFarewell);
    // Each line gets one menu; the end of input gets none of its own.
    int lines = std::string(input).empty() ? 0 : 2;
    EXPECT_EQ(count_of(r.out, kMenuPrompt), lines + 1) << input;
    EXPECT_EQ(count_of(r.out, kInvalidMenu), lines) << input;
  }
}

TEST(MainMenu, AnswersMustBeExactlyOneDigitFromOneToSix) {
  Sandbox box;
  qh_test::RunResult r = box.run("\n 3\n3 \n33\n7\n3.\n0\n" + std::string(40, '1') + "6\n6\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  // Eight invalid answers, each followed by the menu again; the over-long line
  // counts once and its tail (...16) never becomes an answer of its own.
  EXPECT_EQ(count_of(r.out, kInvalidMenu), 8);
  EXPECT_EQ(count_of(r.out, kMenuPrompt), 9);
  EXPECT_TRUE(lacks(r.out, "MESA DE ROL"));
  EXPECT_TRUE(contains_in_order(r.out, {kMenuPrompt + kInvalidMenu, kMenuPrompt, kFarewell}));
}

TEST(MainMenu, CarriageReturnLineFeedSelectsAnEntry) {
  Sandbox box;
  qh_test::RunResult r = box.run("3\r\n\r\n6\r\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(lacks(r.out, kInvalidMenu));
  EXPECT_TRUE(
      contains_in_order(r.out, {"MESA DE ROL MULTIJUGADOR", kPause, kMenuPrompt, kFarewell}));
}

TEST(StartUp, FirstRunWritesTheDefaultsPrivately) {
  qh_test::TempDir dir;  // no config.json, no example
  qh_test::RunOptions options;
  options.cwd = dir.path();
  options.input = "6\n";
  qh_test::RunResult r = qh_test::run_program(options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(qh_test::read_file(dir.file("config.json")),
            config_text("", false, kDefaultBroker, kDefaultRepo, "0.0120", true));
  EXPECT_EQ(file_mode(dir.file("config.json")), 0600u);
  EXPECT_TRUE(contains_in_order(r.out, {"Modo actual: ⚡ Narrador IA\n", kFarewell}));
}

TEST(StartUp, ExampleReplacesMissingOrEmptyConfigInOwnLayout) {
  const std::string example =
      "{\n  \"offline_mode\": true, \"mqtt_port\": 8883,\n"
      "  \"mqtt_broker\": \"broker.ejemplo.net\", \"music_enabled\": false,\n"
      "  \"typing_speed\": 0, \"clave_desconocida\": \"se pierde\"\n}\n";
  for (bool empty_config : {false, true}) {
    qh_test::TempDir dir;
    qh_test::write_file(dir.file("config.json.example"), example);
    if (empty_config) qh_test::write_file(dir.file("config.json"), "");
    qh_test::RunOptions options;
    options.cwd = dir.path();
    options.input = "3\n\n6\n";
    qh_test::RunResult r = qh_test::run_program(options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(qh_test::read_file(dir.file("config.json")),
              config_text("", true, "broker.ejemplo.net", kDefaultRepo, "0.0000", false, 8883));
    EXPECT_EQ(qh_test::read_file(dir.file("config.json.example")), example);
    EXPECT_TRUE(contains_in_order(
        r.out, {"Modo actual: 💾", "Broker configurado : broker.ejemplo.net:8883\n\n"}));
  }
}

TEST(StartUp, ExistingConfigIsUsedAndNeverRewritten) {
  Sandbox box;
  const std::string hand_edited =
      "{\"offline_mode\": true, \"music_enabled\": false, \"mqtt_port\": 1884, \"typing_speed\": "
      "0}";
  box.write("config.json", hand_edited);
  qh_test::RunResult r = box.run("3\n\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(box.read("config.json"), hand_edited);
  EXPECT_TRUE(contains_in_order(r.out, {"Broker configurado : test.mosquitto.org:1884\n\n"}));
}

TEST(MultiplayerScreen, ShowsTheBrokerAndHowToStartTheCompanions) {
  Sandbox box;
  qh_test::RunResult r = box.run("3\n\n6\n");
  EXPECT_EQ(r.err, "");
  const std::string rule =
      "\x1b[38;5;39m======================================================\n\x1b[0m";
  EXPECT_TRUE(contains_in_order(
      r.out,
      {kMenuPrompt + "\n" + rule +
           "\x1b[38;5;214m\x1b[1m         🎮 MESA DE ROL MULTIJUGADOR (MQTT)           \n\x1b[0m" +
           rule +
           "Broker configurado : test.mosquitto.org:1883\n\n"
           "Quillhaven admite salas de rol compartidas en tiempo real.\n"
           "Para participar en salas multijugador con interfaz web interactiva o\n"
           "conectar un Dungeon Master humano con Aventureros, ejecuta:\n\n"
           "\x1b[38;5;51m  cd ../Quillhaven-Tavern && ./run.sh\n\x1b[0m"
           "  o conéctate con la versión Lantern: \x1b[38;5;51mcd ../Quillhaven-Lantern && "
           "./run.sh\n\n\x1b[0m" +
           kPause,
       kMenuPrompt, kFarewell}));
}

}  // namespace
