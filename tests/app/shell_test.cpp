#include "app/shell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "app/app.h"
#include "app/story_files.h"
#include "common/slug.h"
#include "config/config.h"
#include "session/session.h"
#include "support/scripted_ui.h"
#include "support/test_support.h"
#include "ui/text_output.h"

using Listing = std::map<std::string, std::string>;  // file name -> title

static Listing listed(const std::string& dir) {
  FixedText<128> files[APP_MAX_STORIES], titles[APP_MAX_STORIES];
  Listing m;
  for (int i = 0, n = list_stories_in_dir(dir.c_str(), files, titles); i < n; ++i) {
    m[files[i].c_str()] = titles[i].c_str();
  }
  return m;
}

TEST(ListStories, NamesWithMdTitlesFromThemAndTheLimits) {
  qh_test::TempDir dir, many, longdir;
  // ".MD" is not ".md"; a folder with the suffix is taken like any name.
  for (const char* name : {"la_cripta_oscura.md", "mi.historia.md", "x.md.bak", "Viaje.MD",
                           "notas.txt", "sin_punto_md"}) {
    qh_test::write_file(dir.file(name), "x");
  }
  ASSERT_EQ(mkdir(dir.file("carpeta.md").c_str(), 0755), 0);
  EXPECT_EQ(listed(dir.path()), (Listing{{"la_cripta_oscura.md", "la cripta oscura"},
                                         {"mi.historia.md", "mi.historia"},
                                         {"x.md.bak", "x.md"},
                                         {"carpeta.md", "carpeta"}}));
  EXPECT_TRUE(listed(dir.file("no_existe")).empty() && listed(longdir.path()).empty());
  EXPECT_EQ(list_stories_in_dir(nullptr, nullptr, nullptr), 0);

  // At most 32 distinct entries; a 133-byte name is cut to 127 bytes, leaving no dot.
  for (int i = 0; i < 40; ++i) qh_test::write_file(many.file("h" + std::to_string(i) + ".md"), "x");
  EXPECT_EQ(listed(many.path()).size(), 32u);
  qh_test::write_file(longdir.file(std::string(130, 'a') + ".md"), "x");
  EXPECT_EQ(listed(longdir.path()), (Listing{{std::string(127, 'a'), std::string(127, 'a')}}));
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

  PathText path;
  SlugText slug;
  int found = 0;
  for (int i = 0; i < 40; ++i) {
    story_files_path(host, ("h" + std::to_string(i) + ".md").c_str(), path);
    make_slug(path.c_str(), SESSION_SLUG_FALLBACK, slug);
    found += story_files_find_by_slug(host, slug, path) &&
             path == "stories/h" + std::to_string(i) + ".md";
  }
  EXPECT_EQ(found, 40);
  // A name in both folders is played from stories/; the fallback's own slug still finds its copy.
  const std::string fallback = "../Quillhaven-Lantern/stories/";
  for (const char* name : {"solo_fuera.md", "h7.md"}) {
    make_slug((fallback + name).c_str(), SESSION_SLUG_FALLBACK, slug);
    EXPECT_TRUE(story_files_find_by_slug(host, slug, path) && path == fallback + name) << name;
  }
  story_files_path(host, "solo_fuera.md", path);
  EXPECT_EQ(path.view(), fallback + "solo_fuera.md");
  EXPECT_FALSE(story_files_find_by_slug(host, "storiesborradamd", path));
  EXPECT_TRUE(path.empty());
  EXPECT_FALSE(story_files_find_by_slug(host, "", path));
}

TEST(MenuAnswers, OverlongLinesAreAnsweredOnce) {
  // The tail "777771" of a long line never becomes the next answer.
  qh_test::ScriptedHost player(std::string(20, '7') + "1\n3\r\n");
  UiContext& ui = player.ui();
  char answer[APP_MENU_ANSWER_BYTES];
  EXPECT_TRUE(app_read_answer(ui, answer, sizeof answer));
  EXPECT_EQ(std::string(answer), std::string(15, '7'));
  EXPECT_TRUE(app_read_answer(ui, answer, sizeof answer));
  EXPECT_STREQ(answer, "3");
  EXPECT_FALSE(app_read_answer(ui, answer, sizeof answer));
  EXPECT_TRUE(answer[0] == '\0' && ui_input_closed(ui));
}

TEST(MultiplayerScreen, ShowsTheTableCommandsAndWhetherMosquittoIsThere) {
  AppConfig config;
  config_set_defaults(config);
  const std::string commands =
      "\x1b[38;5;51m  ./scripts/mesa host stories/HISTORIA.md --director\n\x1b[0m"
      "  o únete a una mesa como aventurero: \x1b[38;5;51m./scripts/mesa join CODIGO --nombre "
      "NOMBRE\n\n\x1b[0m";
  for (const char* mosquitto : {"/usr/sbin/mosquitto", static_cast<const char*>(nullptr)}) {
    qh_test::ScriptedUi screen;
    app_print_multiplayer(screen.ui(), config, mosquitto);
    std::string out = screen.output();
    EXPECT_TRUE(qh_test::contains_in_order(
        out, {"Broker configurado : test.mosquitto.org:1883\n\n",
              "conectar un Dungeon Master humano con Aventureros, ejecuta:\n\n" + commands}));
    EXPECT_TRUE(out.ends_with(mosquitto != nullptr
                                  ? "Mosquitto: instalado (/usr/sbin/mosquitto).\n\n"
                                  : "Mosquitto: no está instalado; sin él puedes unirte a mesas "
                                    "ajenas, pero no abrir la tuya (instala el paquete "
                                    "mosquitto).\n\n"))
        << out;
  }
}
