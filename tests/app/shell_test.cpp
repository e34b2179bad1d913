#include "app/shell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/app.h"
#include "app/story_files.h"
#include "common/slug.h"
#include "config/config.h"
#include "e2e/expected_text.h"
#include "session/session.h"
#include "support/scripted_ui.h"
#include "support/test_support.h"

static std::string listed(const std::string& dir) {
  StoryFileName files[APP_MAX_STORIES];
  StoryTitleText titles[APP_MAX_STORIES];
  std::string lines;
  for (int i = 0, n = list_stories_in_dir(dir.c_str(), files, titles); i < n; ++i)
    lines += std::string(files[i].c_str()) + " | " + titles[i].c_str() + "\n";
  return lines;
}

static std::string story(const std::string& title, const std::string& extra_front = "") {
  return "---\n" + extra_front + "title: " + title + "\n---\n## [1] Entrada\nUna sala.\n" +
         "- [-> 2] Seguir\n## [2] Salida\n[Final: Victoria]\n";
}

// The same listing whatever order the folder yields: by the front matter's
// title (case, accents and signs aside), equal titles by file name, names as
// titles only for files without one.
TEST(ListStories, ByTitleFromTheFrontMatterElseFromTheName) {
  qh_test::TempDir dir, many;
  const std::string long_name = std::string(200, 'n') + ".md";
  std::string wide;
  for (int i = 0; i < 100; ++i) wide += "á";
  std::string filler;  // unknown keys, read and ignored, past the first read
  for (int i = 0; i < 200; ++i)
    filler += "nota" + std::to_string(i) + ": " + std::string(60, 'x') + "\n";
  const std::pair<std::string, std::string> files[] = {
      {"zeta.md", story("\"Ábaco de Sombras\"")},
      {"b.md", story("'el Bosque'")},
      {"a2.md", story("\"¿Quién?\"")},
      {"a1.md", story("QUIEN")},
      {"la_cripta_oscura.md", "## [1] Sin cabecera\n"},
      {"mi.historia.md", "x"},
      {"x.md.bak", "x"},
      {"Viaje.MD", story("A")},  // not ".md"
      {"notas.txt", story("A")},
      {"temprano.md", story("Temprano", filler)},
      {"tardio.md", story("Tardío", filler + filler + filler + filler + filler)},  // past 64 KiB
      {"acentos.md", story(wide)},
      {long_name, story("")},
  };
  for (const auto& [name, text] : files) qh_test::write_file(dir.file(name), text);
  ASSERT_EQ(mkdir(dir.file("carpeta.md").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.file("tubo.md").c_str(), 0644), 0);  // never opened for reading
  EXPECT_EQ(listed(dir.path()), qh_test::from_data("app", "story_listing.txt",
                                                   {{"WIDE", wide.substr(0, 126)},
                                                    {"LONG", long_name},
                                                    {"CUT", std::string(127, 'n')}}));
  EXPECT_EQ(listed(dir.file("no_existe")), "");
  EXPECT_EQ(list_stories_in_dir(nullptr, nullptr, nullptr), 0);

  // Of 40 stories, the first 32 by title: h37 is the last one listed.
  for (int i = 0; i < 40; ++i) qh_test::write_file(many.file("h" + std::to_string(i) + ".md"), "x");
  const std::string first = listed(many.path());
  EXPECT_TRUE(first.starts_with("h0.md | h0\nh1.md | h1\nh10.md | h10\n")) << first;
  EXPECT_TRUE(first.ends_with("h36.md | h36\nh37.md | h37\n")) << first;
  EXPECT_EQ(qh_test::count_of(first, "\n"), 32);
}

// Rooted at juego/, with the fallback folder beside it: every story is found
// again by the slug of the path it was played from, whichever folder holds it
// and wherever the directory lists it.
TEST(StoryFiles, SavesFindTheStoryTheyWereMadeFrom) {
  qh_test::TempDir dir;
  for (int i = 0; i < 40; ++i)
    qh_test::write_file(dir.file("juego/stories/h" + std::to_string(i) + ".md"), "x");
  for (const char* name : {"h7.md", "solo_fuera.md"})
    qh_test::write_file(dir.file(std::string("Quillhaven-Lantern/stories/") + name), "x");
  qh_test::ScriptedHost player("", dir.file("juego"));
  const Host& host = player.host();

  PathText path, paths[APP_MAX_SLUG_MATCHES];
  SlugText slug;
  auto find = [&](std::string_view key) {
    return story_files_find_by_slug(host, key, paths, APP_MAX_SLUG_MATCHES);
  };
  int found = 0;
  for (int i = 0; i < 40; ++i) {
    story_files_path(host, ("h" + std::to_string(i) + ".md").c_str(), path);
    make_slug(path.c_str(), SESSION_SLUG_FALLBACK, slug);
    found += find(slug) == 1 && paths[0] == "stories/h" + std::to_string(i) + ".md";
  }
  EXPECT_EQ(found, 40);
  // A name in both folders is played from stories/; the fallback's own slug still finds its copy.
  const std::string fallback = "../Quillhaven-Lantern/stories/";
  for (const char* name : {"solo_fuera.md", "h7.md"}) {
    make_slug((fallback + name).c_str(), SESSION_SLUG_FALLBACK, slug);
    EXPECT_TRUE(find(slug) == 1 && paths[0] == fallback + name) << name;
  }
  story_files_path(host, "solo_fuera.md", path);
  EXPECT_EQ(path.view(), fallback + "solo_fuera.md");
  EXPECT_EQ(find("storiesborradamd"), 0);
  EXPECT_EQ(find(""), 0);

  // Two files that once shared a key: the new keys find one each; the old key
  // finds both, the file that keeps it first.
  qh_test::write_file(dir.file("juego/stories/la_cripta.md"), "x");
  qh_test::write_file(dir.file("juego/stories/La-Cripta.md"), "x");
  make_slug("stories/La-Cripta.md", SESSION_SLUG_FALLBACK, slug);
  EXPECT_TRUE(find(slug) == 1 && paths[0] == "stories/La-Cripta.md");
  ASSERT_EQ(find("storiesla_criptamd"), 2);
  EXPECT_EQ(paths[0].view(), "stories/la_cripta.md");
  EXPECT_EQ(paths[1].view(), "stories/La-Cripta.md");
  EXPECT_EQ(story_files_find_by_slug(host, "storiesla_criptamd", paths, 1), 1);

  EXPECT_TRUE(story_files_title_matches("", "Cualquiera"));
  EXPECT_TRUE(story_files_title_matches("La Cripta", "La Cripta"));
  EXPECT_FALSE(story_files_title_matches("La Cripta", "La Cripta de Bea"));
  const std::string long_title(200, 't');  // the save list keeps 127 bytes of it
  EXPECT_TRUE(story_files_title_matches(long_title.substr(0, 127), long_title));
  EXPECT_FALSE(story_files_title_matches(long_title.substr(0, 126), long_title));
}

// An adventure of the app on a scripted terminal rooted at a test folder.
class Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    app = static_cast<AppContext*>(std::calloc(1, sizeof(AppContext)));
    ASSERT_TRUE(config_load(app->config, QH_TEST_DATA_DIR "/quiet_config.json"));
  }
  void TearDown() override { std::free(app); }
  std::string resume(const std::string& input) {
    qh_test::ScriptedHost player(input, dir.path());
    app_resume_adventure(player.host(), *app);
    return player.output();
  }
  void save(const std::string& name, const std::string& slug, const std::string& title) {
    qh_test::write_file(dir.file("saves/" + name),
                        "{\"story_slug\": \"" + slug + "\", \"story_title\": \"" + title +
                            "\", \"current_section_id\": \"1\", \"character\": {\"name\": "
                            "\"Ana\", \"hp\": 5, \"max_hp\": 8}}");
  }
  qh_test::TempDir dir;
  AppContext* app = nullptr;
};

// A file name of any length the system allows is listed whole and played.
TEST_F(Shell, ALongFileNameIsListedAndPlayed) {
  const std::string name = std::string(250, 'n') + ".md";
  qh_test::write_file(dir.file("stories/" + name), story("\"La Larga\""));
  qh_test::ScriptedHost player("1\nAna\n/salir\n", dir.path());
  app_new_adventure(player.host(), *app);
  EXPECT_TRUE(qh_test::contains_in_order(
      player.output(), {"  [1] La Larga (" + name + ")\n", "Iniciando 'La Larga'", "[1] Entrada"}));
  SlugText key;
  make_slug(("stories/" + name).c_str(), SESSION_SLUG_FALLBACK, key);
  EXPECT_TRUE(
      qh_test::file_exists(dir.file("saves/autosave_" + std::string(key.view()) + ".json")));
}

// Saves written when two files shared a key resume the story whose title they
// name, then keep writing under that story's own key; a file that now holds
// another story is named and never opened in its place.
TEST_F(Shell, ResumeOpensOnlyTheStoryTheSaveNames) {
  qh_test::write_file(dir.file("stories/la_cripta.md"), story("La Cripta de Ana"));
  qh_test::write_file(dir.file("stories/La-Cripta.md"), story("La Cripta de Bea"));
  save("autosave_storiesla_criptamd.json", "storiesla_criptamd", "La Cripta de Bea");
  const std::string old_save =
      qh_test::read_file(dir.file("saves/autosave_storiesla_criptamd.json"));
  std::string out = resume("1\n/salir\n");
  EXPECT_TRUE(qh_test::contains_in_order(out, {"Iniciando 'La Cripta de Bea'", "[1] Entrada"}));
  EXPECT_TRUE(qh_test::lacks(out, "La Cripta de Ana"));
  SlugText key;
  make_slug("stories/La-Cripta.md", SESSION_SLUG_FALLBACK, key);
  EXPECT_TRUE(qh_test::contains_in_order(
      qh_test::read_file(dir.file("saves/autosave_" + std::string(key.view()) + ".json")),
      {"\"story_title\": \"La Cripta de Bea\"", "\"name\": \"Ana\"", "\"hp\": 5"}));
  EXPECT_EQ(qh_test::read_file(dir.file("saves/autosave_storiesla_criptamd.json")), old_save);

  ASSERT_EQ(std::remove(dir.file("saves/autosave_" + std::string(key.view()) + ".json").c_str()),
            0);
  save("autosave_storiesla_criptamd.json", "storiesla_criptamd", "La Cripta \\u001b[2J Perdida");
  out = resume("1\n\n");
  EXPECT_TRUE(qh_test::contains_in_order(
      out, {"\x1b[38;5;196m\x1b[1mLa partida es de «La Cripta ?[2J Perdida», pero "
            "stories/la_cripta.md contiene ahora «La Cripta de Ana»: no se abre otra historia en "
            "su lugar.\x1b[0m\n\x1b[38;5;244m\nPresiona Enter para continuar..."}));
  EXPECT_TRUE(qh_test::lacks(out, "Iniciando"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("saves")), {}), 1);
}

// The mode lines name who will actually narrate, and say once why music that was asked for is
// silent; the menu itself follows unchanged.
TEST(MainMenu, ModeLinesSayWhoNarratesAndWhyTheMusicIsSilent) {
  const std::string cyan = "\x1b[38;5;51m", reset = "\x1b[0m";
  const std::string classic = "💾 Narrador Clásico (Sin IA - 0 tokens)";
  const std::string no_key = "💾 Narrador Clásico (sin clave de IA: configúrala en Ajustes)";
  const std::string no_player =
      "Música: 🔇 en silencio, no se encontró ningún reproductor de audio (afplay, pw-play, "
      "paplay o aplay)";
  const std::string failing =
      "Música: 🔇 detenida, el reproductor de audio no consigue reproducir las pistas";
  // Offline mode, the key, the music's trouble, and the lines above the menu.
  const std::tuple<bool, const char*, AudioNotice, std::string> cases[] = {
      {true, "", AudioNotice::kNone, classic},
      {true, "K", AudioNotice::kNone, classic},
      {false, "", AudioNotice::kNone, no_key},
      {false, "K", AudioNotice::kNone, "⚡ Narrador IA"},
      {false, "K", AudioNotice::kNoPlayer, "⚡ Narrador IA\n" + reset + cyan + no_player},
      {false, "", AudioNotice::kPlayerFails, no_key + "\n" + reset + cyan + failing}};
  for (const auto& [offline, key, music, lines] : cases) {
    AppConfig config{};
    config.offline_mode = offline;
    config.gemini_api_key.assign(key);
    qh_test::ScriptedHost player;
    app_print_main_menu(player.ui(), config, music);
    EXPECT_EQ(player.output(), cyan + "Modo actual: " + lines + "\n" + reset + "\n" +
                                   qh_test::from_data("e2e", "main_menu.txt") +
                                   "\x1b[38;5;226mSelecciona una opción (1-6): " + reset);
  }
}

// The whole program on a host of its own: the settings it reads from that
// root (never from the working folder), the settings screen drawn with them
// as the player sees it, a change saved in that root, then the farewell.
TEST_F(Shell, TheProgramRunsOnAHostOfItsOwn) {
  qh_test::write_file(dir.file("config.json"),
                      "{\"offline_mode\": true, \"mqtt_broker\": \"mesa.local\", \"mqtt_port\": "
                      "1884, \"community_vault_repo\": \"ana/boveda\", \"music_enabled\": false}");
  qh_test::ScriptedHost player("5\n1\n5\n6\n", dir.path());
  EXPECT_EQ(app_run(player.host(), *app), 0);
  const qh_test::Fields fields = {{"MODE", "💾 Narrador Clásico (Sin IA)"},
                                  {"BROKER", "mesa.local"},
                                  {"PORT", "1884"},
                                  {"REPO", "ana/boveda"}};
  EXPECT_TRUE(
      qh_test::shows(player.output(), "app", "host_run.txt",
                     {{"SETTINGS", qh_test::from_data("e2e", "settings_screen.txt", fields)}}));
  EXPECT_TRUE(qh_test::contains_in_order(qh_test::read_file(dir.file("config.json")),
                                         {"\"offline_mode\": false", "\"mqtt_port\": 1884"}));
}

TEST(MultiplayerScreen, ShowsTheTableCommandsAndWhetherMosquittoIsThere) {
  AppConfig config;
  config_set_defaults(config);
  for (const char* mosquitto : {"/usr/sbin/mosquitto", static_cast<const char*>(nullptr)}) {
    qh_test::ScriptedUi screen;
    app_print_multiplayer(screen.ui(), config, mosquitto);
    EXPECT_EQ(screen.output(),
              qh_test::from_data(
                  "app", "multiplayer_screen.txt",
                  {{"HOST", "test.mosquitto.org:1883"},
                   {"MOSQUITTO", mosquitto != nullptr
                                     ? "instalado (/usr/sbin/mosquitto)."
                                     : "no está instalado; sin él puedes unirte a mesas ajenas, "
                                       "pero no abrir la tuya (instala el paquete mosquitto)."}}));
  }
}
