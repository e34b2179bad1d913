// New adventures played through the real binary, by option numbers only.
// The dice are those of the unseeded generator: every run draws the same.
#include <sys/stat.h>
#include <unistd.h>

#include "e2e/shell_e2e.h"

namespace {

using qh_test::contains_in_order;
using qh_test::lacks;
using namespace shell_e2e;

const std::string kValle = "valle_de_prueba.md";
const std::string kValleAutosave = "saves/autosave_storiesvalle_de_pruebamd.json";
const std::string kStoryPrompt = "\x1b[38;5;226m\nElige una historia (1-1): \x1b[0m";
const std::string kVictory =
    "\x1b[38;5;46m\x1b[1m\n🎉 ¡Felicidades! Has completado la aventura victoriosamente.\x1b[0m\n";
const std::string kDefeat =
    "\x1b[38;5;196m\x1b[1m\n💀 Has sucumbido al destino de la mazmorra.\x1b[0m\n";
const std::string kDeath =
    "\x1b[38;5;196m\x1b[1m\n💀 Has caído en la oscuridad. Tu viaje ha terminado.\x1b[0m\n";
const std::string kStart =
    "\x1b[38;5;51m\n📖 Iniciando 'El Valle de Prueba' por Equipo de Pruebas\x1b[0m\n";
const std::string kCrossroads = "─── 📍 [1] La encrucijada ───";
const std::string kWell = "─── 📍 [2] El pozo ───";

// The save the exit command leaves after: story 1, hero Ana, option 1 (the
// well: 2 damage and the key), then /salir.
std::string valle_well_save(const std::string& name, int hp) {
  return "{\n"
         "  \"version\": 2,\n"
         "  \"story_slug\": \"storiesvalle_de_pruebamd\",\n"
         "  \"story_title\": \"El Valle de Prueba\",\n"
         "  \"saved_at\": \"STAMP\",\n"
         "  \"current_section_id\": \"2\",\n"
         "  \"current_section_title\": \"El pozo\",\n"
         "  \"character\": {\n"
         "    \"name\": \"" +
         name +
         "\",\n"
         "    \"hp\": " +
         std::to_string(hp) +
         ",\n"
         "    \"max_hp\": 10,\n"
         "    \"stats\": {\n"
         "      \"Fuerza\": 2,\n"
         "      \"Agilidad\": 0\n"
         "    },\n"
         "    \"inventory\": [\n"
         "      \"Antorcha\",\n"
         "      \"Llave de Hierro\"\n"
         "    ],\n"
         "    \"states\": [\n"
         "    ],\n"
         "    \"flags\": {\n"
         "    }\n"
         "  }\n"
         "}\n";
}

TEST(NewAdventure, ListsTheStoriesAndPlaysToVictoryThroughTheItemGate) {
  Sandbox box;
  box.add_test_story(kValle);
  // 2: the gate refuses without the key; 0, 99 and a huge number are not
  // options; 1: the well gives the key; 1: back; 02: the gate opens; 1: out.
  qh_test::RunResult r = box.run("1\n1\nAna\n2\n0\n99\n4294967297\n1\n1\n02\n1\n6\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  const std::string invalid4 =
      "\x1b[38;5;226m\x1b[1mOpción inválida. Elige un número del 1 al 4 para las decisiones "
      "disponibles.\x1b[0m\n";
  EXPECT_TRUE(contains_in_order(
      r.out,
      {kMenuPrompt + "\nHistorias disponibles:\n  [1] valle de prueba (valle_de_prueba.md)\n" +
           kStoryPrompt + kHeroPrompt + kStart,
       kCrossroads,
       "Necesitas tener el objeto 'Llave de Hierro' para hacer esto.",
       kCrossroads,
       invalid4,
       kCrossroads,
       invalid4,
       kCrossroads,
       invalid4,
       kCrossroads,
       "Avanzas: Bajar al pozo",
       "⚠️ ¡Peligro de entorno! Sufres 2 de daño.",
       "🎁 Has encontrado un objeto: Llave de Hierro",
       kWell,
       "Avanzas: Volver a la encrucijada",
       kCrossroads,
       "Avanzas: Abrir la verja de hierro",
       "─── 📍 [3] El jardín ───",
       "Avanzas: Seguir el sendero",
       "─── 📍 [4] La salida del valle ───",
       kVictory,
       kMenuPrompt,
       kFarewell}));
  EXPECT_EQ(count_of(r.out, invalid4), 3);
  EXPECT_FALSE(qh_test::file_exists(box.file("saves")));  // an ending does not save
}

TEST(NewAdventure, FailedCheckLeadsToDefeat) {
  Sandbox box;
  box.add_test_story(kValle);
  qh_test::RunResult r = box.run("1\n1\nAna\n3\n6\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  // First draws of the generator: 2 and 5, plus Agilidad 0, against DC 11.
  EXPECT_TRUE(contains_in_order(
      r.out, {kCrossroads, "🎲 Tirando dados 2d6", "=> 2 + 5 +0 = \x1b[1m7\x1b[0m vs DC 11",
              "Fallaste la prueba de Agilidad: Fallo (7 vs DC 11). ¡Recibes 3 puntos de daño!",
              "─── 📍 [5] El fondo del barranco ───", kDefeat, kMenuPrompt, kFarewell}));
  EXPECT_TRUE(lacks(r.out, kVictory));
  EXPECT_TRUE(lacks(r.out, "Guardando partida"));
}

TEST(NewAdventure, HazardKillsTheHeroAndDefaultNameIsValiente) {
  Sandbox box;
  box.add_test_story(kValle);
  qh_test::RunResult r = box.run("1\n1\n\n4\n6\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(
      r.out, {kHeroPrompt + kStart, "Valiente", "Avanzas: Cruzar el puente podrido",
              "⚠️ ¡Peligro de entorno! Sufres 10 de daño.", "─── 📍 [6] El puente podrido ───",
              kDeath, kMenuPrompt, kFarewell}));
  EXPECT_FALSE(qh_test::file_exists(box.file("saves")));
}

TEST(NewAdventure, ExitCommandWritesTheAutosave) {
  Sandbox box;
  box.add_test_story(kValle);
  qh_test::RunResult r = box.run("1\n1\nAna\n1\n/salir\n6\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(
      r.out, {kWell, "\x1b[38;5;51mGuardando partida automáticamente y saliendo...\x1b[0m\n",
              kMenuPrompt, kFarewell}));
  EXPECT_EQ(without_saved_at(box.read(kValleAutosave)), valle_well_save("Ana", 8));
}

TEST(NewAdventure, ClosedInputDuringPlayAutosavesAndEndsTheProgram) {
  Sandbox box;
  box.add_test_story(kValle);
  qh_test::RunResult r = box.run("1\n1\nAna\n1\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.substr(r.out.size() - kFarewell.size()), kFarewell);
  EXPECT_EQ(count_of(r.out, kMenuPrompt), 1);  // no menu after the adventure
  // The well's hazard hit once on arrival and once more when the scene was
  // shown again before the empty read.
  EXPECT_EQ(without_saved_at(box.read(kValleAutosave)), valle_well_save("Ana", 8));
}

TEST(NewAdventure, LongHeroNameIsCutAndItsRestNeverBecomesAnAction) {
  Sandbox box;
  box.add_test_story(kValle);
  std::string name = std::string(60, 'N') + "XYZ" + "1234567";  // 70 bytes, ends in digits
  qh_test::RunResult r = box.run("1\n1\n" + name + "\n1\n/salir\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(lacks(r.out, "Opción inválida"));
  EXPECT_TRUE(contains_in_order(r.out, {kCrossroads, "Avanzas: Bajar al pozo", kWell}));
  EXPECT_EQ(without_saved_at(box.read(kValleAutosave)), valle_well_save(name.substr(0, 63), 8));
}

TEST(NewAdventure, ClosedInputAtTheStoryOrNamePromptStartsNothing) {
  for (const char* input : {"1\n", "1\n1\n"}) {
    Sandbox box;
    box.add_test_story(kValle);
    qh_test::RunResult r = box.run(input);
    EXPECT_EQ(r.exit_code, 0) << input;
    EXPECT_EQ(r.err, "") << input;
    EXPECT_TRUE(lacks(r.out, "Iniciando")) << input;
    EXPECT_TRUE(lacks(r.out, "Opción inválida")) << input;
    EXPECT_EQ(r.out.substr(r.out.size() - kFarewell.size()), kFarewell) << input;
    EXPECT_FALSE(qh_test::file_exists(box.file("saves"))) << input;
  }
}

TEST(NewAdventure, OutOfRangeChoicesReturnToTheMenuWithoutPause) {
  Sandbox box;
  box.add_test_story(kValle);
  qh_test::RunResult r = box.run("1\n0\n1\n2\n1\n-1\n1\nuno\n1\n4294967297\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(count_of(r.out, kStoryPrompt + kWarnInvalid + "\x1b[38;5;51m\x1b[1m\n"), 5);
  EXPECT_TRUE(lacks(r.out, kPause));
  EXPECT_TRUE(lacks(r.out, "Iniciando"));
}

TEST(NewAdventure, MissingStoriesAndUnreadableEntriesAreReported) {
  {
    Sandbox box;  // no stories/ folder, no fallback folder beside the sandbox
    qh_test::RunResult r = box.run("1\n\n6\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains_in_order(
        r.out, {kMenuPrompt +
                    "\x1b[38;5;196m\x1b[1mNo se encontraron historias en la carpeta "
                    "'stories/'.\x1b[0m\n" +
                    kPause,
                kMenuPrompt, kFarewell}));
  }
  {
    Sandbox box;  // a folder whose name contains ".md" is listed but cannot be read
    ASSERT_EQ(::mkdir(box.file("stories").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(box.file("stories/carpeta.md").c_str(), 0755), 0);
    qh_test::RunResult r = box.run("1\n1\n\n6\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains_in_order(
        r.out, {"  [1] carpeta (carpeta.md)\n",
                "\x1b[38;5;196m\x1b[1mError al leer la historia seleccionada.\x1b[0m\n" + kPause,
                kMenuPrompt, kFarewell}));
    EXPECT_TRUE(lacks(r.out, kHeroPrompt));
  }
}

// The fallback folder lies beside the working folder.
TEST(NewAdventure, FallbackFolderIsListedWhenStoriesHasNone) {
  qh_test::TempDir root;
  const std::string game = root.file("juego");
  qh_test::write_quiet_config(game);
  qh_test::write_file(game + "/stories/LEEME.txt", "sin historias");
  qh_test::copy_file(std::string(QH_TEST_DATA_DIR) + "/" + kValle,
                     root.file("Quillhaven-Lantern/stories/" + kValle));
  qh_test::RunOptions options;
  options.cwd = game;
  options.input = "1\n1\nLia\n1\n/salir\n6\n";
  qh_test::RunResult r = qh_test::run_program(options);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(
      contains_in_order(r.out, {"  [1] valle de prueba (valle_de_prueba.md)\n", kStart, kWell}));
  // The slug comes from the fallback path: such a game cannot be resumed from stories/.
  EXPECT_TRUE(qh_test::file_exists(
      game + "/saves/autosave_quillhaven_lanternstoriesvalle_de_pruebamd.json"));
}

}  // namespace
