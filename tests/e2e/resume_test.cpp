// Resuming saved games through the real binary.
#include <dirent.h>

#include <set>

#include "e2e/shell_e2e.h"

namespace {

using qh_test::contains_in_order;
using qh_test::lacks;
using namespace shell_e2e;

const std::string kValle = "valle_de_prueba.md";
const std::string kTorre = "torre_de_prueba.md";
const std::string kValleQuick = "saves/quicksave_storiesvalle_de_pruebamd.json";
const std::string kValleAuto = "saves/autosave_storiesvalle_de_pruebamd.json";

std::string save_text(const std::string& slug, const std::string& title, const std::string& section,
                      const std::string& section_title, int hp, int max_hp,
                      const std::string& collections) {
  return "{\n  \"version\": 2,\n  \"story_slug\": \"" + slug + "\",\n  \"story_title\": \"" +
         title + "\",\n  \"saved_at\": \"STAMP\",\n  \"current_section_id\": \"" + section +
         "\",\n  \"current_section_title\": \"" + section_title +
         "\",\n  \"character\": {\n    \"name\": \"Ana\",\n    \"hp\": " + std::to_string(hp) +
         ",\n    \"max_hp\": " + std::to_string(max_hp) + ",\n" + collections + "  }\n}\n";
}

// A hero in the garden, hurt, with states and flags no story tag can give.
const std::string kGardenCollections =
    "    \"stats\": {\n      \"Fuerza\": 3,\n      \"Agilidad\": 1\n    },\n"
    "    \"inventory\": [\n      \"Antorcha\",\n      \"Llave de Hierro\",\n      \"Mapa\"\n    "
    "],\n"
    "    \"states\": [\n      \"Herido de gravedad\",\n      \"Envenenado\"\n    ],\n"
    "    \"flags\": {\n      \"verja_abierta\": true,\n      \"campana\": true\n    }\n";

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Resume, QuicksaveAndAutosaveAreTwoRows) {
  Sandbox box;
  box.add_test_story(kValle);
  // Quicksave in the well (8 HP), back to the crossroads (6 HP), leave.
  qh_test::RunResult play = box.run("1\n1\nAna\n1\n/guardar\n1\n/salir\n6\n");
  ASSERT_EQ(play.err, "");
  ASSERT_TRUE(contains_in_order(play.out, {"💾 Partida guardada con éxito."}));
  const std::string quick_at = saved_at_of(box.read(kValleQuick));
  const std::string auto_at = saved_at_of(box.read(kValleAuto));

  qh_test::RunResult r = box.run("2\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
  auto row = [](int n, const std::string& rest) { return "  [" + std::to_string(n) + "] " + rest; };
  const std::string quick_row =
      "El Valle de Prueba | Héroe: Ana (8/10 HP) | Sec: 2 | " + quick_at + "\n";
  const std::string auto_row =
      "El Valle de Prueba | Héroe: Ana (6/10 HP) | Sec: 1 | " + auto_at + "\n";
  const std::string head = kMenuPrompt + "\nPartidas guardadas encontradas:\n";
  const std::string prompt = "\x1b[38;5;226m\nElige una partida a reanudar (1-2): \x1b[0m";
  // Directory order decides which comes first.
  EXPECT_TRUE(contains_in_order(r.out, {head + row(1, quick_row) + row(2, auto_row) + prompt}) ||
              contains_in_order(r.out, {head + row(1, auto_row) + row(2, quick_row) + prompt}))
      << r.out;
  EXPECT_TRUE(lacks(r.out, "Iniciando"));  // end of input resumes nothing
}

TEST(Resume, ContinuesWithTheSavedHeroAndKeepsTheQuicksaveName) {
  Sandbox box;
  box.add_test_story(kValle);
  const std::string slug = "storiesvalle_de_pruebamd";
  std::string saved =
      save_text(slug, "El Valle de Prueba", "3", "El jardín", 3, 12, kGardenCollections);
  box.write(kValleQuick, saved.replace(saved.find("STAMP"), 5, "2026-01-02 03:04"));

  qh_test::RunResult r = box.run("2\n1\n/ficha\n/inv\n/guardar\n1\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(contains_in_order(
      r.out,
      {"  [1] El Valle de Prueba | Héroe: Ana (3/12 HP) | Sec: 3 | 2026-01-02 03:04\n",
       "📖 Iniciando 'El Valle de Prueba' por Equipo de Pruebas", "─── 📍 [3] El jardín ───",
       "--- Ficha de Ana ---\x1b[0m\nVida: 3 / 12\nAtributos:\n  - Fuerza: +3\n  - Agilidad: +1\n"
       "Estados: Herido de gravedad, Envenenado\n\n",
       "  📦 Antorcha\n  📦 Llave de Hierro\n  📦 Mapa\n", "💾 Partida guardada con éxito.",
       "─── 📍 [4] La salida del valle ───", "¡Felicidades!", kMenuPrompt, kFarewell}));
  // The in-game save rewrote the very file that was resumed, flags included.
  EXPECT_EQ(list_dir(box.file("saves")), std::vector<std::string>{"quicksave_" + slug + ".json"});
  EXPECT_EQ(without_saved_at(box.read(kValleQuick)),
            save_text(slug, "El Valle de Prueba", "3", "El jardín", 3, 12, kGardenCollections));
}

TEST(Resume, PicksTheStoryWhoseSlugMatchesAmongSeveral) {
  Sandbox box;
  box.add_test_story(kValle);
  box.add_test_story(kTorre);
  box.write("saves/autosave_storiestorre_de_pruebamd.json",
            save_text("storiestorre_de_pruebamd", "La Torre de Prueba", "2", "El mirador", 5, 8,
                      "    \"stats\": {\n    },\n    \"inventory\": [\n    ],\n"
                      "    \"states\": [\n    ],\n    \"flags\": {\n    }\n"));
  qh_test::RunResult r = box.run("2\n1\n1\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(
      r.out, {"📖 Iniciando 'La Torre de Prueba' por Equipo de Pruebas", "─── 📍 [2] El mirador ───",
              "─── 📍 [3] La campana ───", "¡Felicidades!", kFarewell}));
  EXPECT_TRUE(lacks(r.out, "Valle"));
}

TEST(Resume, SaveWithoutSectionStartsAtTheBeginning) {
  Sandbox box;
  box.add_test_story(kTorre);
  box.write("saves/vieja.json",
            "{ \"story_slug\": \"storiestorre_de_pruebamd\", \"character\": { \"name\": \"Ana\", "
            "\"hp\": 4, \"max_hp\": 8 } }");
  qh_test::RunResult r = box.run("2\n1\n/salir\n6\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(contains_in_order(r.out, {"  [1]  | Héroe: Ana (4/8 HP) | Sec:  | \n",
                                        "─── 📍 [1] La base de la torre ───", kFarewell}));
}

TEST(Resume, FailuresReturnToTheMenuAndWriteNothing) {
  const std::string saves_missing = "No hay partidas guardadas en la carpeta 'saves/'.";
  {
    Sandbox box;
    qh_test::RunResult r = box.run("2\n\n6\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains_in_order(
        r.out, {kMenuPrompt + "\x1b[38;5;226m\x1b[1m" + saves_missing + "\x1b[0m\n" + kPause,
                kMenuPrompt, kFarewell}));
  }
  {
    // The story of the save is gone from stories/ (another story remains).
    Sandbox box;
    box.add_test_story(kTorre);
    const std::string save = save_text("storiesborradamd", "Borrada", "1", "", 10, 10,
                                       "    \"stats\": {\n    },\n    \"inventory\": [\n    ],\n"
                                       "    \"states\": [\n    ],\n    \"flags\": {\n    }\n");
    box.write("saves/quicksave_storiesborradamd.json", save);
    qh_test::RunResult r = box.run("2\n1\n\n6\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains_in_order(
        r.out,
        {"\x1b[38;5;196m\x1b[1mNo se localizó el archivo .md original de la historia.\x1b[0m\n" +
             kPause,
         kMenuPrompt, kFarewell}));
    EXPECT_EQ(box.read("saves/quicksave_storiesborradamd.json"), save);
    EXPECT_TRUE(lacks(r.out, "Iniciando"));
  }
  {
    // An empty file is listed but cannot be loaded.
    Sandbox box;
    box.add_test_story(kTorre);
    box.write("saves/roto.json", "");
    qh_test::RunResult r = box.run("2\n1\n\n6\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains_in_order(
        r.out, {"  [1]  | Héroe:  (10/10 HP) | Sec:  | \n",
                "\x1b[38;5;196m\x1b[1mError al cargar la partida.\x1b[0m\n" + kPause, kFarewell}));
  }
  {
    // Out-of-range answers and a closed input resume nothing and need no pause.
    Sandbox box;
    box.add_test_story(kTorre);
    box.write("saves/vieja.json", "{ \"story_slug\": \"storiestorre_de_pruebamd\" }");
    qh_test::RunResult r = box.run("2\n0\n2\n2\n2\nx\n2\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(count_of(r.out, "(1-1): \x1b[0m" + kWarnInvalid), 3);
    EXPECT_TRUE(lacks(r.out, kPause));
    EXPECT_TRUE(lacks(r.out, "Iniciando"));
    EXPECT_EQ(r.out.substr(r.out.size() - kFarewell.size()), kFarewell);
  }
}

}  // namespace
