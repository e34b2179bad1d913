// The settings screen of the real binary: every change lands in config.json.
#include <sys/stat.h>

#include "e2e/shell_e2e.h"

namespace {

using qh_test::contains_in_order;
using qh_test::lacks;
using namespace shell_e2e;

const std::string kRule =
    "\x1b[38;5;39m======================================================\n\x1b[0m";
const std::string kSettingsPrompt = "\x1b[38;5;226mSelecciona una opción (1-5): \x1b[0m";
const std::string kNotSaved =
    "\x1b[38;5;226m\x1b[1m⚠️ No se pudo guardar config.json; el cambio solo dura esta "
    "sesión.\x1b[0m\n";

std::string settings_screen(const std::string& mode, const std::string& broker,
                            const std::string& repo) {
  return "\n" + kRule +
         "\x1b[38;5;214m\x1b[1m             ⚙️   AJUSTES Y CONFIGURACIÓN             "
         "\n\x1b[0m" +
         kRule + "Modo de Narrador Actual : " + mode +
         "\n"
         "Modelo LLM              : gemini-flash-lite-latest\n"
         "Servidor Mosquitto (KVM): " +
         broker +
         ":1883\n"
         "Bóveda GitHub           : github.com/" +
         repo +
         "\n"
         "------------------------------------------------------\n"
         "1. ⚡ Alternar Modo (Narrador IA / Narrador Clásico Sin IA)\n"
         "2. 🔑 Configurar Gemini API Key\n"
         "3. 🖥️  Configurar Servidor Mosquitto (IP / Broker MQTT)\n"
         "4. 🔗 Configurar Repositorio de la Bóveda en GitHub\n"
         "5. 🚪 Volver al Menú Principal\n\n" +
         kSettingsPrompt;
}

const std::string kOffline = "💾 Narrador Clásico (Sin IA)";
const std::string kOnline = "⚡ Narrador IA Gemini";

TEST(SettingsScreen, SwitchingTheNarratorTwiceSavesEachTime) {
  Sandbox box;  // starts offline
  qh_test::RunResult r = box.run("5\n1\n5\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(
      contains_in_order(r.out, {settings_screen(kOffline, kDefaultBroker, kDefaultRepo),
                                "\x1b[38;5;46m\x1b[1mModo cambiado a: ⚡ NARRADOR IA\x1b[0m\n" +
                                    settings_screen(kOnline, kDefaultBroker, kDefaultRepo),
                                "Modo actual: ⚡ Narrador IA\n", kFarewell}));
  EXPECT_TRUE(lacks(r.out, kPause));  // the switch needs no pause
  EXPECT_EQ(box.read("config.json"), config_text("", false, kDefaultBroker, kDefaultRepo));

  r = box.run("5\n1\n5\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(
      r.out, {"\x1b[38;5;46m\x1b[1mModo cambiado a: 💾 NARRADOR CLÁSICO (0 tokens)\x1b[0m\n" +
              settings_screen(kOffline, kDefaultBroker, kDefaultRepo)}));
  EXPECT_EQ(box.read("config.json"), config_text("", true, kDefaultBroker, kDefaultRepo));
}

TEST(SettingsScreen, EmptyKeyKeepsTheStoredKeyAndSelectsTheClassicNarrator) {
  Sandbox box;
  box.write("config.json", config_text("CLAVE-VIEJA", false, kDefaultBroker, kDefaultRepo));
  qh_test::RunResult r = box.run("5\n2\n\n\n5\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(
      r.out, {kSettingsPrompt +
              "\nIntroduce tu Gemini API Key (o presiona Enter para usar modo sin IA):\n> "
              "\x1b[38;5;51m💾 Narrador Clásico (Sin IA) seleccionado.\x1b[0m\n" +
              kPause + settings_screen(kOffline, kDefaultBroker, kDefaultRepo)}));
  EXPECT_EQ(box.read("config.json"),
            config_text("CLAVE-VIEJA", true, kDefaultBroker, kDefaultRepo));

  // A key typed as is, surrounding spaces included, switches back to the model.
  r = box.run("5\n2\n  CLAVE-NUEVA \n\n5\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(
      r.out, {"\x1b[38;5;46m\x1b[1m✅ API Key guardada con éxito en config.json.\x1b[0m\n" + kPause +
              settings_screen(kOnline, kDefaultBroker, kDefaultRepo)}));
  EXPECT_EQ(box.read("config.json"),
            config_text("  CLAVE-NUEVA ", false, kDefaultBroker, kDefaultRepo));
  EXPECT_EQ(file_mode(box.file("config.json")), 0600u);
}

TEST(SettingsScreen, BrokerAndRepositoryAreStoredCutToTheirField) {
  Sandbox box;
  std::string broker(200, 'b');
  broker[0] = 'X';
  broker[126] = 'Z';  // the last character kept
  qh_test::RunResult r = box.run("5\n3\n" + broker + "\n\n4\nyo/mi-boveda\n\n3\n\n\n5\n6\n");
  EXPECT_EQ(r.err, "");
  std::string kept = broker.substr(0, 127);
  EXPECT_TRUE(contains_in_order(
      r.out, {"\nIntroduce host/IP del broker MQTT (actual: test.mosquitto.org):\n> "
              "\x1b[38;5;46m\x1b[1mBroker guardado.\x1b[0m\n" +
                  kPause + settings_screen(kOffline, kept, kDefaultRepo),
              "\nIntroduce repositorio de GitHub (actual: oskel/Quillhaven-Vault):\n> "
              "\x1b[38;5;46m\x1b[1mRepositorio guardado.\x1b[0m\n" +
                  kPause + settings_screen(kOffline, kept, "yo/mi-boveda"),
              // An empty broker answer changes nothing and says nothing.
              "\nIntroduce host/IP del broker MQTT (actual: " + kept + "):\n> " + kPause +
                  settings_screen(kOffline, kept, "yo/mi-boveda")}));
  // The rest of the long line is dropped, never read as a menu answer.
  EXPECT_TRUE(lacks(r.out, kWarnInvalid));
  EXPECT_EQ(box.read("config.json"), config_text("", true, kept, "yo/mi-boveda"));
}

TEST(SettingsScreen, InvalidAnswersOnlyShowTheScreenAgain) {
  Sandbox box;
  const std::string before = box.read("config.json");
  qh_test::RunResult r = box.run("5\n6\n\n 1\n12\n5\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(count_of(r.out, kWarnInvalid), 4);
  EXPECT_EQ(count_of(r.out, kSettingsPrompt), 5);
  EXPECT_EQ(box.read("config.json"), before);
}

TEST(SettingsScreen, UnwritableConfigWarnsButTheChangeHoldsForTheRun) {
  Sandbox box;
  // A folder named config.json cannot be loaded nor replaced: the example's
  // quiet settings are used and every save fails.
  const std::string quiet = box.read("config.json");
  ASSERT_EQ(::unlink(box.file("config.json").c_str()), 0);
  box.write("config.json.example", quiet);
  ASSERT_EQ(::mkdir(box.file("config.json").c_str(), 0755), 0);
  qh_test::RunResult r = box.run("5\n1\n2\nCLAVE\n\n3\nbroker.local\n\n5\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(count_of(r.out, kNotSaved), 3);
  EXPECT_TRUE(lacks(r.out, "Modo cambiado a"));
  EXPECT_TRUE(lacks(r.out, "guardada con éxito"));
  EXPECT_TRUE(lacks(r.out, "Broker guardado."));
  EXPECT_TRUE(contains_in_order(
      r.out,
      {kSettingsPrompt + kNotSaved + settings_screen(kOnline, kDefaultBroker, kDefaultRepo),
       "> " + kNotSaved + kPause, "> " + kNotSaved + kPause,
       settings_screen(kOnline, "broker.local", kDefaultRepo), "Modo actual: ⚡ Narrador IA"}));
}

TEST(SettingsScreen, EndOfInputAtAnyPromptChangesNothing) {
  for (const char* input : {"5\n2\n", "5\n3\n", "5\n4\n", "5\n", "5\n2\nCLAVE\n"}) {
    Sandbox box;
    const std::string before = box.read("config.json");
    qh_test::RunResult r = box.run(input);
    EXPECT_EQ(r.err, "") << input;
    EXPECT_EQ(r.exit_code, 0) << input;
    EXPECT_FALSE(r.timed_out) << input;
    EXPECT_EQ(r.out.substr(r.out.size() - kFarewell.size()), kFarewell) << input;
    EXPECT_EQ(count_of(r.out, kSettingsPrompt), 1) << input;
    EXPECT_EQ(count_of(r.out, kMenuPrompt), 1) << input;
    if (std::string(input) == "5\n2\nCLAVE\n") {
      // The key was answered; only the pause met the end of input.
      EXPECT_EQ(box.read("config.json"), config_text("CLAVE", false, kDefaultBroker, kDefaultRepo));
    } else {
      EXPECT_EQ(box.read("config.json"), before) << input;
    }
  }
}

}  // namespace
