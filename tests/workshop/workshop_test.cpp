// The creator workshop driven through its menu with scripted answers.
#include "workshop/workshop.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>

#include "authoring/story_analyze.h"
#include "authoring/story_check.h"
#include "platform/platform.h"
#include "story/story_parser.h"
#include "support/scripted_ui.h"
#include "support/test_support.h"

namespace {

using qh_test::contains_in_order;

const std::string kPause = "\x1b[38;5;244m\nPresiona Enter para continuar...\x1b[0m";
const std::string kMore =
    "\x1b[38;5;244m\n--- Presiona Enter para ver más, o q y Enter para salir ---\x1b[0m";
const std::string kMissingGuide =
    "(1-8): \x1b[0m\x1b[38;5;226m\x1b[1mNo se encontró el archivo de guía.\x1b[0m\n" + kPause;

// The menu on a host rooted at `base`, its screens as a string; the pauses it asked for (notes,
// fanfare) land in `pauses` when given.
std::string run_menu(const std::string& input, const std::string& base,
                     std::vector<int>* pauses = nullptr, AudioState* audio = nullptr) {
  AppConfig config;
  config_set_defaults(config);
  config.community_vault_repo.clear();
  qh_test::ScriptedHost player(input, base);
  player.host().audio = audio;
  workshop_open_menu(player.host(), config);
  if (pauses != nullptr) *pauses = player.sleeps();
  return player.output();
}

std::string numbered_lines(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) text += "línea " + std::to_string(i) + "\n";
  return text;
}

TEST(Workshop, WizardWritesTheTemplateAndNeverReplacesAStory) {
  struct Case {
    std::string answers, file, title, author;
  } cases[] = {
      {"La Cripta del Rey\nAna\n", "la_cripta_del_rey.md", "La Cripta del Rey", "Ana"},
      {"La Cripta del Rey\nOtro\n", "la_cripta_del_rey_2.md", "La Cripta del Rey", "Otro"},
      {"¡¿!?\nAna\n", "nueva_historia.md", "¡¿!?", "Ana"},
      {"\n\n", "el_enigma_olvidado.md", "El Enigma Olvidado", "Aventurero Anónimo"},
      {"La Estación Ñandú\nAna\n", "la_estacion_nandu.md", "La Estación Ñandú", "Ana"},
      // Control bytes would split the header: they become spaces, and the ends are trimmed. Quotes
      // stay as typed inside the quoted value.
      {" Uno\rDos \"tres\"\t\n\x1b[2JAna \"la\" Sabia\r\n", "uno_dos_tres.md", "Uno Dos \"tres\"",
       "[2JAna \"la\" Sabia"},
      {"\"\n\"\n", "nueva_historia_2.md", "\"", "\""},
      // The title is cut at 127 bytes and the rest of its line is dropped.
      {std::string(130, 'Z') + "z\nAna\n", std::string(124, 'z') + ".md", std::string(127, 'Z'),
       "Ana"},
  };
  const std::string model = qh_test::read_file(QH_TEST_DATA_DIR "/workshop_template.md");
  const std::string body = model.substr(model.find("\ndescription: ") + 1);
  qh_test::TempDir dir;  // no stories/ folder yet: the wizard creates it
  std::string input;
  for (const Case& c : cases) input += "1\n1\n" + c.answers + "\n";
  const std::string out = run_menu(input + "8\n", dir.path());
  auto story = std::make_unique<Story>();  // zeroed, and too large for the stack
  for (const Case& c : cases) {
    const std::string path = dir.file("stories/" + c.file);
    EXPECT_EQ(qh_test::read_file(path),
              "---\ntitle: \"" + c.title + "\"\nauthor: \"" + c.author + "\"\n" + body);
    EXPECT_TRUE(contains_in_order(out, {"✅ ¡Historia '" + path + "' creada con éxito!\n"}));
    ASSERT_TRUE(story_parser_load_file(*story, path.c_str())) << path;
    EXPECT_EQ(std::string(story->title) + "|" + story->author.c_str(), c.title + "|" + c.author);
  }
}

// Each genre writes its own story: it parses, checks without an error or a warning, has no trap,
// and holds what a template promises. An answer that names no genre is asked again.
TEST(Workshop, EachGenreWritesItsOwnCompleteStory) {
  qh_test::TempDir dir;
  // The genre list, then the question again after each of three answers that name no genre.
  EXPECT_TRUE(contains_in_order(
      run_menu("1\n\n0\n12\n1\n\n\n\n1\n2\n\n\n\n1\n3\n\n\n\n1\n4\n\n\n\n8\n", dir.path()),
      {qh_test::read_file(QH_TEST_DATA_DIR "/workshop/genre_prompt.txt")}));
  auto story = std::make_unique<Story>();  // zeroed, and too large for the stack
  std::set<std::string> texts;
  for (const char* file : {"el_enigma_olvidado.md", "fantasmas_en_la_dmz.md",
                           "silencio_en_la_orbita.md", "la_luz_de_punta_negra.md"}) {
    SCOPED_TRACE(file);
    const std::string path = dir.file(std::string("stories/") + file);
    texts.insert(qh_test::read_file(path));
    CheckReport report;
    check_story_file(path, *story, report);
    EXPECT_FALSE(check_has_problems(report)) << check_format_text(report);
    ASSERT_TRUE(story_parser_load_file(*story, path.c_str()));
    AnalyzeReport analysis;
    ASSERT_TRUE(story_analyze(*story, ANALYZE_DEFAULT_MAX_STATES, analysis));
    EXPECT_TRUE(analysis.complete && analysis.traps.empty() && analysis.never_takeable.empty());
    EXPECT_GT(analysis.random_play.victory, 0.5);
    std::map<std::string, int> has{
        {"stats", story->stat_count}, {"items", story->item_count}, {"lore", story->lore_count}};
    for (const StorySection& sec : std::span(story->sections, story->section_count)) {
      has["hazard"] += sec.damage > 0;
      has["music"] += !sec.music.empty();
      has[sec.ending_type.c_str()] += sec.is_ending;
      for (const StoryTransition& t : std::span(sec.transitions, sec.transition_count)) {
        has["check"] += !t.check_stat.empty();
        has["gate"] += !t.required_item.empty();
        has["command"] += t.has_command;
      }
    }
    EXPECT_EQ(story->section_count, 6);
    for (const char* what :
         {"stats", "items", "lore", "hazard", "music", "victory", "defeat", "check", "gate"})
      EXPECT_GE(has[what], 1) << what;
    // Only the hacker's story is played at a terminal.
    EXPECT_EQ(has["command"] >= 6, std::string(file) == "fantasmas_en_la_dmz.md") << has["command"];
  }
  EXPECT_EQ(texts.size(), 4u);
}

TEST(Workshop, FailedCreationOrWriteLeavesNoFile) {
  qh_test::TempDir dir;
  qh_test::write_file(dir.file("stories"), "no soy una carpeta");
  const std::string input = "1\n1\nLa Cripta\nAna\n\n8\n";
  EXPECT_TRUE(contains_in_order(run_menu(input, dir.path()),
                                {"❌ Error al crear el archivo de historia.\x1b[0m\n" + kPause}));

  // A file-size limit, taken by a child process, lets the file be created but cuts its write.
  ASSERT_EQ(::unlink(dir.file("stories").c_str()), 0);
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit small = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &small);
    run_menu(input, dir.path());
    _exit(0);
  }
  int status = -1;
  ASSERT_TRUE(waitpid(child, &status, 0) == child && status == 0);
  // The folder is made, but neither the story nor its temporary file is left in it.
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("stories")) &&
              std::filesystem::is_empty(dir.file("stories")));
}

TEST(Workshop, MenuVaultGalleryAndChiptuneWithMusicOff) {
  const std::string menu = qh_test::read_file(QH_TEST_DATA_DIR "/workshop/menu.txt");
  const std::string invalid =
      menu + "\x1b[38;5;226m\x1b[1mOpción inválida. Elige del 1 al 8.\x1b[0m\n";

  qh_test::TempDir dir;
  // The notes and the fanfare wait on the terminal; here they are only counted.
  std::vector<int> pauses;
  AudioState audio;
  audio_init(audio, dir.path().c_str(), false, 0.7f);
  // The rest of an overlong answer ("2") is dropped, never taken as the next one.
  const std::string out =
      run_menu("9\n01\n\n" + std::string(15, '7') + "2\n2\n\n3\n\n4\n\n5\n\n8\n", dir.path(),
               &pauses, &audio);
  EXPECT_EQ(pauses, (std::vector<int>{130, 130, 130, 130, 1500}));  // four notes, then the fanfare
  // Entries 3 and 4 show the same gallery, its terminal frame on a made-up host.
  const std::size_t art = out.find("\n\x1b[38;5;214m\x1b[1m=== 🎨 GALERÍA Y ESTUDIO DE ARTE RETRO");
  const std::string gallery = out.substr(art, out.find(kPause, art) + kPause.size() - art);
  EXPECT_TRUE(contains_in_order(gallery, {"  | [root@nexus-7 ~]#                  |\n"}));
  EXPECT_TRUE(contains_in_order(
      out, {invalid + invalid + invalid + invalid + menu +
                "\n\x1b[38;5;214m🌐 Bóveda Comunitaria: github.com/\n",
            kPause + menu + gallery + menu + gallery + menu +
                "\n\x1b[38;5;214m\x1b[1m=== 🎹 SECUENCIADOR Y PROBADOR CHIPTUNE ===\x1b[0m\n",
            "Nota 261 Hz", "Nota 329 Hz", "Nota 392 Hz", "Nota 523 Hz",
            "Reproduciendo fanfarria de victoria retro...\n\x1b[0m" + kPause + menu}));
}

TEST(Workshop, GuidesPageBy28LinesAndAreReadOnlyFromRegularFiles) {
  // Not beside the game: the guide is taken from the sibling project folder.
  qh_test::TempDir dir;
  const std::string base = dir.file("juego");
  ASSERT_TRUE(platform_mkdir_p(base.c_str()));
  qh_test::write_file(dir.file("Quillhaven-Lantern/GUIA_CREACION_HISTORIAS.md"),
                      numbered_lines(1, 60));
  EXPECT_TRUE(contains_in_order(
      run_menu("6\n\n\n\n7\n\n8\n", base),
      {"(1-8): \x1b[0m\n\x1b[38;5;214m\x1b[1m=== 📖 GUÍA DE CREACIÓN DE HISTORIAS ===\x1b[0m\n\n" +
           numbered_lines(1, 28) + kMore + numbered_lines(29, 56) + kMore + numbered_lines(57, 60) +
           kPause + "\n",
       kMissingGuide + "\n"}));
  // "q" at a page pause leaves the guide at once, back to the menu.
  const std::string left = run_menu("6\n\n q \n8\n", base);
  EXPECT_TRUE(contains_in_order(
      left, {numbered_lines(1, 28) + kMore + numbered_lines(29, 56) + kMore + "\n\x1b[38;5;39m"}));
  EXPECT_TRUE(qh_test::lacks(left, "línea 57"));
  EXPECT_TRUE(qh_test::lacks(left, kPause));
  // A FIFO under a guide's name would block a reader: it counts as missing.
  ASSERT_EQ(mkfifo((base + "/GUIA_COMPOSICION_MUSICAL.md").c_str(), 0644), 0);
  EXPECT_TRUE(contains_in_order(run_menu("7\n\n8\n", base), {kMissingGuide + "\n"}));

  // A closed input anywhere, even at a page pause, returns at once and writes nothing.
  for (const char* input : {"", "1\n", "1\n1\n", "1\n1\nTitulo\n", "2\n", "6\n"}) {
    const std::string out = run_menu(input, base);
    ASSERT_NE(out.find("(1-8)"), std::string::npos) << input;
    EXPECT_EQ(out.find("(1-8)"), out.rfind("(1-8)")) << input;  // never shown again
    EXPECT_FALSE(qh_test::file_exists(base + "/stories")) << input;
  }
}

}  // namespace
