// Whole-program runs of the game in a fresh folder with scripted input. The dice
// are fixed by QUILLHAVEN_SEED=1, so every run draws the same. Messages that
// the unit tests check byte for byte are matched here by a part.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/slug.h"
#include "e2e/expected_text.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using qh_test::contains_in_order;
using qh_test::count_of;
using qh_test::RunResult;

const std::string kMenuPrompt = "\x1b[38;5;226mSelecciona una opción (1-6): \x1b[0m";
const std::string kFarewell =
    "\n\x1b[38;5;214m¡Gracias por jugar a Quillhaven! Que los dados te sean favorables.\x1b[0m\n\n";
const std::string kPause = "\x1b[38;5;244m\nPresiona Enter para continuar...\x1b[0m";
const std::string kBanner = "\x1b[38;5;51m\x1b[1m\n";  // shown again with every main menu
const std::string kInvalid = "\x1b[38;5;226m\x1b[1mOpción inválida.\x1b[0m\n";
const std::string kVictory = "🎉 ¡Felicidades! Has completado la aventura victoriosamente.";
const std::string kBroker = "test.mosquitto.org", kRepo = "oskel/Quillhaven-Vault";
const std::string kValle = "valle_de_prueba.md", kValleSlug = "storiesvalle_de_pruebamd";
const std::string kSettingsPrompt = "\x1b[38;5;226mSelecciona una opción (1-5): \x1b[0m";
const std::string kStoryPrompt = "\x1b[38;5;226m\nElige una historia (1-1): \x1b[0m";

// A file of tests/data/e2e, filled; {MENU}, {PAUSE}, {BANNER}, {FAREWELL},
// {INVALID}, {VICTORY} and {STORIES} stand for the screens' recurring parts.
qh_test::Fields with_screens(qh_test::Fields fields) {
  fields.insert({{"MENU", kMenuPrompt},
                 {"PAUSE", kPause},
                 {"BANNER", kBanner},
                 {"FAREWELL", kFarewell},
                 {"INVALID", kInvalid},
                 {"VICTORY", kVictory},
                 {"STORIES", kStoryPrompt},
                 {"SETTINGS", kSettingsPrompt}});
  return fields;
}
std::string from_data(const std::string& name, const qh_test::Fields& fields = {}) {
  return qh_test::from_data("e2e", name, with_screens(fields));
}
::testing::AssertionResult shows(const std::string& out, const std::string& name,
                                 const qh_test::Fields& fields = {}) {
  return qh_test::shows(out, "e2e", name, with_screens(fields));
}

// The layout the program writes config.json in, with the quiet settings' speed, music and port.
std::string config_text(const std::string& key, bool offline, const std::string& broker = kBroker,
                        const std::string& repo = kRepo) {
  const char* mode = offline ? "true" : "false";
  return from_data("config.json",
                   {{"KEY", key}, {"OFFLINE", mode}, {"BROKER", broker}, {"REPO", repo}});
}

std::string stamped(const std::string& text) {
  return std::regex_replace(text, std::regex("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}"), "STAMP");
}

std::string warning(const std::string& text) {
  return "\x1b[38;5;226m\x1b[1m⚠️ " + text + "\x1b[0m\n";
}

mode_t file_mode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A fresh working folder, with the quiet settings unless told otherwise. Every
// run must end by itself with status 0 and nothing on standard error.
class Sandbox {
 public:
  explicit Sandbox(bool quiet = true) {
    if (quiet) qh_test::write_quiet_config(dir_.path());
  }
  std::string file(const std::string& name) const { return dir_.file(name); }
  std::string read(const std::string& name) const { return qh_test::read_file(dir_.file(name)); }
  void write(const std::string& name, const std::string& text) const {
    qh_test::write_file(dir_.file(name), text);
  }
  void add_story(const std::string& name, const std::string& from = QH_TEST_DATA_DIR,
                 const std::string& to = "stories/") const {
    qh_test::copy_file(from + "/" + name, dir_.file(to + name));
  }
  RunResult run(const std::string& input, const std::string& subfolder = "",
                qh_test::RunOptions options = {}) const {
    options.cwd = dir_.path() + subfolder;
    options.input = input;
    RunResult r = qh_test::run_program(options);
    EXPECT_TRUE(r.exit_code == 0 && r.err.empty()) << r.exit_code << r.err << input;
    return r;
  }

 private:
  qh_test::TempDir dir_;
};

const std::string kOffline = "💾 Narrador Clásico (Sin IA)", kOnline = "⚡ Narrador IA Gemini";

std::string settings(const std::string& mode, const std::string& broker = kBroker,
                     const std::string& repo = kRepo) {
  return from_data("settings_screen.txt",
                   {{"MODE", mode}, {"BROKER", broker}, {"PORT", "1883"}, {"REPO", repo}});
}

// Answers must be one digit from 1 to 6: an over-long line counts once, its
// rest never becomes an answer. A closed input ends the program like "6".
// Music is on by default: where no audio player is found, the first menu says
// so once (the mode lines, byte for byte, are MainMenu's in tests/app).
TEST(StartUp, FirstRunWritesTheDefaultsPrivatelyAndTheMenuTakesOneDigit) {
  Sandbox box(false);  // no config.json and no example
  const std::string invalid = "\x1b[38;5;226m\x1b[1mOpción inválida. Elige del 1 al 6.\x1b[0m\n";
  for (const std::string& input :
       {"\n 3\n3 \n33\n7\n3.\n" + std::string(40, '1') + "6\n6\n", std::string()}) {
    RunResult r = box.run(input);
    EXPECT_EQ(box.read("config.json"), from_data("config_defaults.json"));
    EXPECT_EQ(file_mode(box.file("config.json")), 0600u);
    const int bad = input.empty() ? 0 : 7;
    EXPECT_EQ(count_of(r.out, kMenuPrompt + invalid), bad);
    EXPECT_EQ(count_of(r.out, kMenuPrompt), bad + 1);
    EXPECT_TRUE(r.out.ends_with("\n" + from_data("main_menu.txt") + kMenuPrompt + kFarewell));
    EXPECT_EQ(count_of(r.out, "Música: 🔇"), platform_audio_player_available() ? 0 : 1);
  }
}

TEST(StartUp, ExampleStandsInForAMissingOrEmptyConfigButNeverForAPresentOne) {
  const std::string own = "{\"offline_mode\": true, \"mqtt_port\": 1884, \"typing_speed\": 0}";
  for (const std::string& config : {std::string("-"), std::string(), own}) {
    Sandbox box(false);
    box.write("config.json.example", from_data("example_config.json"));
    if (config != "-") box.write("config.json", config);
    RunResult r = box.run("3\r\n\r\n6\r\n");  // CR LF ends a line too
    EXPECT_EQ(box.read("config.json"), config == own ? own : from_data("config_from_example.json"));
    const std::string host = config == own ? "test.mosquitto.org:1884" : "broker.ejemplo.net:8883";
    // The multiplayer screen up to the machine's own answer about Mosquitto.
    std::string screen = qh_test::from_data("app", "multiplayer_screen.txt", {{"HOST", host}});
    screen.resize(screen.find("{MOSQUITTO}"));
    EXPECT_TRUE(contains_in_order(r.out, {kMenuPrompt + screen, ".\n\n" + kPause + kBanner}));
  }
}

// A config.json that is there but cannot be used is never written over at
// start-up: the defaults stand in, as the notice says (not the example), and
// the first save of the settings keeps the old file as config.json.bak.
TEST(StartUp, AnUnusableConfigIsLeftAloneUntilASaveKeepsItAsABackup) {
  const std::string oversized =
      "{\"gemini_api_key\": \"CLAVE-SECRETA\"}" + std::string(65536, ' ');  // past 64 KiB
  for (const auto& [config, why] :
       {std::pair<std::string, std::string>{
            "{\"gemini_api_key\": \"CLAVE-SECRETA\",\n \"offline_mode\": true,\n}",
            "config.json no es un JSON válido (línea 3, columna 1: se esperaba una clave "
            "entre comillas)."},
        {oversized, "config.json ocupa más de 64 KiB y no se ha leído."}}) {
    Sandbox box(false);
    box.write("config.json.example", from_data("example_config.json"));
    box.write("config.json", config);
    const std::string notice = from_data("unusable_config_notice.txt", {{"WHY", why}});
    RunResult r = box.run("6\n");
    EXPECT_TRUE(r.out.starts_with(notice + kBanner)) << r.out.substr(0, 300);
    EXPECT_TRUE(box.read("config.json") == config) << why;
    EXPECT_FALSE(qh_test::file_exists(box.file("config.json.bak")));
    // The defaults are in force; switching the narrator saves them.
    EXPECT_TRUE(
        shows(box.run("5\n1\n5\n6\n").out, "unusable_config_saved.txt", {{"NOTICE", notice}}));
    EXPECT_TRUE(box.read("config.json.bak") == config) << why;
    std::string saved = from_data("config_defaults.json");
    saved.replace(saved.find("\"offline_mode\": false"), 21, "\"offline_mode\": true");
    EXPECT_EQ(box.read("config.json"), saved);
    EXPECT_TRUE(qh_test::lacks(box.run("6\n").out, "⚠️"));
  }
  // A readable file with a value out of range is used, corrected and not rewritten.
  Sandbox box(false);
  const std::string slow =
      "{\"typing_speed\": 12, \"offline_mode\": true, \"music_enabled\": false}";
  box.write("config.json", slow);
  EXPECT_TRUE(box.run("6\n").out.starts_with(
      warning("config.json: \"typing_speed\" 12 está fuera del rango de 0 a 0.05; se usa 0.05.") +
      kBanner));
  EXPECT_EQ(box.read("config.json"), slow);
}

// A read-only config.json is the player's word: it is used and never
// replaced, and each save says so. A FIFO is not read, and the notice tells
// what a save will really do to it.
TEST(StartUp, AReadOnlyOrSpecialConfigIsNeverReplacedUnannounced) {
  Sandbox box;
  const std::string mine = box.read("config.json");
  ASSERT_EQ(::chmod(box.file("config.json").c_str(), 0444), 0);
  EXPECT_TRUE(shows(box.run("5\n1\n5\n6\n").out, "readonly_config.txt"));
  EXPECT_EQ(box.read("config.json"), mine);
  EXPECT_EQ(file_mode(box.file("config.json")), 0444u);
  box.write("roto.json", "{roto");
  ASSERT_EQ(::chmod(box.file("roto.json").c_str(), 0444), 0);
  ASSERT_EQ(::rename(box.file("roto.json").c_str(), box.file("config.json").c_str()), 0);
  EXPECT_TRUE(shows(box.run("6\n").out, "readonly_broken_config.txt"));

  Sandbox fifo(false);
  ASSERT_EQ(::mkfifo(fifo.file("config.json").c_str(), 0600), 0);
  EXPECT_TRUE(shows(fifo.run("5\n1\n5\n6\n").out, "fifo_config.txt"));
  EXPECT_FALSE(qh_test::file_exists(fifo.file("config.json.bak")));
  EXPECT_TRUE(contains_in_order(fifo.read("config.json"), {"\"offline_mode\": true"}));
}

TEST(SettingsScreen, EveryChangeIsSavedInTheProgramsLayoutAtOnce) {
  Sandbox box;
  box.write("config.json", config_text("CLAVE-VIEJA", true));
  std::string broker(200, 'b');
  broker[126] = 'Z';  // the last byte kept
  const std::string kept = broker.substr(0, 127), repo = "yo/mi-boveda";
  const qh_test::Fields screens = {{"OFF", settings(kOffline)},
                                   {"ON", settings(kOnline)},
                                   {"OFF_CUT", settings(kOffline, kept)},
                                   {"OFF_REPO", settings(kOffline, kept, repo)},
                                   {"CUT", kept}};
  // An invalid answer shows the screen again; a switch needs no pause; an
  // empty key keeps the stored one and selects the classic narrator.
  EXPECT_TRUE(contains_in_order(box.run("5\n9\n1\n2\n\n\n5\n6\n").out,
                                {from_data("settings_switch.txt", screens)}));
  EXPECT_EQ(box.read("config.json"), config_text("CLAVE-VIEJA", true));
  // A key is stored as typed, surrounding spaces included. The broker is cut
  // to 127 bytes and the rest of its line dropped; an empty answer says nothing.
  EXPECT_TRUE(contains_in_order(
      box.run("5\n2\n  CLAVE-NUEVA \n\n1\n3\n" + broker + "\n\n4\n" + repo + "\n\n3\n\n\n5\n6\n")
          .out,
      {from_data("settings_edits.txt", screens)}));
  EXPECT_EQ(box.read("config.json"), config_text("  CLAVE-NUEVA ", true, kept, repo));
  EXPECT_EQ(file_mode(box.file("config.json")), 0600u);
}

TEST(SettingsScreen, UnwritableConfigWarnsButTheChangeHoldsForTheRun) {
  // A folder named config.json can be neither read nor replaced: every save fails.
  Sandbox box;
  ASSERT_EQ(::rename(box.file("config.json").c_str(), box.file("config.json.example").c_str()), 0);
  ASSERT_EQ(::mkdir(box.file("config.json").c_str(), 0755), 0);
  const std::string warn =
      warning("No se pudo guardar config.json; el cambio solo dura esta sesión.");
  RunResult r = box.run("5\n1\n2\nCLAVE\n\n3\nbroker.local\n\n5\n6\n");
  EXPECT_EQ(count_of(r.out, warn), 3);
  EXPECT_TRUE(shows(
      r.out, "unwritable_config.txt",
      {{"WARN", warn}, {"OFF", settings(kOffline)}, {"ON", settings(kOnline, "broker.local")}}));
}

TEST(SettingsScreen, EndOfInputAtAnyPromptChangesNothing) {
  for (const std::string input : {"5\n", "5\n2\n", "5\n3\n", "5\n4\n", "5\n2\nCLAVE\n"}) {
    Sandbox box;
    const std::string before = box.read("config.json");
    RunResult r = box.run(input);
    EXPECT_EQ(count_of(r.out, kSettingsPrompt) + count_of(r.out, kMenuPrompt), 2) << input;
    EXPECT_TRUE(r.out.ends_with(kFarewell)) << input;
    // With the key answered, only the pause met the end of input.
    EXPECT_EQ(box.read("config.json"), input.size() > 4 ? config_text("CLAVE", false) : before);
  }
}

TEST(NewAdventure, EndingsByOptionNumbersAndTheAutosaveOfExitAndClosedInput) {
  Sandbox box;
  box.add_story(kValle);
  // The jump fails on the first dice (2 + 5); the bridge kills Valiente; the gate
  // is refused, three numbers are no option, the well's key and "02" open it.
  // Every ending and death waits for Enter before the menu.
  RunResult r =
      box.run("1\n1\nAna\n3\n\n1\n1\n\n4\n\n1\n1\nAna\n2\n0\n99\n4294967297\n1\n1\n02\n1\n\n6\n");
  EXPECT_TRUE(shows(r.out, "valle_endings.txt"));
  EXPECT_EQ(count_of(r.out, "Opción inválida. Elige un número del 1 al 4"), 3);
  EXPECT_FALSE(qh_test::file_exists(box.file("saves")));  // an ending does not save

  // The exit command and a closed input save. A name longer than its field is
  // cut to 63 bytes, and the rest of its line (digits) never becomes an action.
  const std::string long_name = std::string(60, 'N') + "XYZ1234567";
  // Another hero's autosave is never replaced without asking; a closed input
  // cannot answer, so Ana's game gets a file of its own beside it.
  for (const std::string& name : {long_name, std::string("Ana")}) {
    const bool leave = name == long_name;
    r = box.run("1\n1\n" + name + "\n1\n" + (leave ? "/salir\n6\n" : ""));
    EXPECT_TRUE(qh_test::lacks(r.out, "Opción inválida"));
    EXPECT_EQ(count_of(r.out, kMenuPrompt), leave ? 2 : 1);  // closed input: no menu again
  }
  EXPECT_TRUE(shows(r.out, "autosave_kept.txt", {{"NAME", long_name.substr(0, 63)}}));
  for (const auto& [file, name] : {std::pair{kValleSlug, long_name}, {kValleSlug + ".2", "Ana"}})
    EXPECT_EQ(stamped(box.read("saves/autosave_" + file + ".json")),
              from_data("valle_autosave.json", {{"NAME", name.substr(0, 63)}}));
}

// The game runs in juego/, so that the fallback folder can lie beside it.
TEST(NewAdventure, StoriesFolderFallbackFolderAndChoicesThatStartNothing) {
  Sandbox box(false);
  qh_test::write_quiet_config(box.file("juego"));
  const std::string stories = box.file("juego/stories/");
  EXPECT_TRUE(shows(box.run("1\n\n6\n", "/juego").out, "no_stories.txt"));

  // Choices out of range go back to the menu at once; so does a closed input
  // at the story or the name prompt.
  box.add_story(kValle, QH_TEST_DATA_DIR, "juego/stories/");
  RunResult r = box.run("1\n0\n1\n2\n1\n-1\n1\nuno\n1\n4294967297\n6\n", "/juego");
  EXPECT_EQ(count_of(r.out, kStoryPrompt + kInvalid + kBanner), 5);
  for (const char* input : {"1\n", "1\n1\n"})
    EXPECT_TRUE(box.run(input, "/juego").out.ends_with(kFarewell));
  EXPECT_FALSE(qh_test::file_exists(box.file("juego/saves")));

  // Without a story in stories/, those of the fallback folder are listed; the
  // slug comes from their path. Its save finds the story there again, and the
  // resumed adventure keeps writing that same save.
  ASSERT_EQ(::rename((stories + kValle).c_str(), (stories + "LEEME.txt").c_str()), 0);
  box.add_story(kValle, QH_TEST_DATA_DIR, "Quillhaven-Lantern/stories/");
  EXPECT_TRUE(shows(box.run("1\n1\nLia\n1\n/salir\n6\n", "/juego").out, "fallback_play.txt"));
  const std::string autosave =
      "juego/saves/autosave_quillhaven_lanternstoriesvalle_de_pruebamd.json";
  ASSERT_TRUE(qh_test::file_exists(box.file(autosave)));
  EXPECT_TRUE(shows(box.run("2\n1\n1\n/salir\n6\n", "/juego").out, "fallback_resume.txt"));
  EXPECT_TRUE(shows(box.read(autosave), "fallback_autosave.txt"));
  EXPECT_TRUE(shows(box.run("2\n", "/juego").out, "fallback_resaved.txt"));

  // A folder whose name ends in ".md" is listed but cannot be read.
  ASSERT_EQ(::mkdir((stories + "carpeta.md").c_str(), 0755), 0);
  EXPECT_TRUE(shows(box.run("1\n1\n\n6\n", "/juego").out, "unreadable_story.txt"));
}

// The longest title gives the longest slug; the story is played, saved, reloaded
// and ended. A title that fills its field takes its line end along: the next
// line answers the author prompt.
TEST(WorkshopStory, WrittenByTheWizardThenPlayedSavedAndReloaded) {
  Sandbox box;
  const std::string title(127, 'b'), name(124, 'b');
  RunResult r =
      box.run("4\n1\n1\n" + title + "\n\n\n8\n1\n1\nLia\n1\n/guardar\n/cargar\n1\n1\n\n6\n");
  EXPECT_TRUE(shows(r.out, "workshop_story.txt", {{"TITLE", title}, {"NAME", name}}));
  // A name whose legacy key would be cut keeps a key of its own.
  SlugText key;
  make_slug(("stories/" + name + ".md").c_str(), "adventure", key);
  EXPECT_EQ(key.view().substr(0, 108), ("stories" + name).substr(0, 107) + "_");
  EXPECT_TRUE(
      qh_test::file_exists(box.file("saves/quicksave_" + std::string(key.view()) + ".json")));
}

// A quicksave and an autosave are two rows. The in-game save rewrites the file
// that was resumed, with the resumed hero, states and flags no tag can give.
TEST(Resume, ListsTheSavesAndContinuesWithTheSavedHero) {
  Sandbox box;
  box.add_story(kValle);
  // Quicksave in the well (8 HP), back to the crossroads, leave. Saving costs
  // nothing: the well's hazard struck once, on arrival.
  box.run("1\n1\nAna\n1\n/guardar\n1\n/salir\n6\n");
  const std::string out = stamped(box.run("2\n").out);
  // Directory order decides which comes first; a closed input resumes neither.
  EXPECT_TRUE(out.ends_with(from_data("two_saves.txt", {{"A", "2"}, {"B", "1"}})) ||
              out.ends_with(from_data("two_saves.txt", {{"A", "1"}, {"B", "2"}})))
      << out;

  const std::string file = "saves/quicksave_" + kValleSlug + ".json";
  ASSERT_EQ(::remove(box.file("saves/autosave_" + kValleSlug + ".json").c_str()), 0);
  box.write(file, from_data("valle_resumed.json", {{"AT", "antes"}}));
  EXPECT_TRUE(shows(box.run("2\n1\n/guardar\n1\n\n6\n").out, "resumed_play.txt"));
  // Written again with the sections this hero has seen: the old save knew of
  // none, so only the garden where it was made.
  EXPECT_EQ(stamped(box.read(file)), from_data("valle_resumed_saved.json"));
}

// A list longer than a page shows the newest first, Enter turns the page
// (after the last, back to the first) and any number of the list resumes
// that save.
TEST(Resume, PagesALongListNewestFirst) {
  Sandbox box;
  box.add_story(kValle);
  for (int i = 0; i < 20; ++i) {
    const std::string name = "saves/s" + std::to_string(100 + i) + ".json";
    box.write(name, from_data("paged_save.json", {{"N", std::to_string(i)}}));
    const timespec when[2] = {{1000000000 + i, 0}, {1000000000 + i, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, box.file(name).c_str(), when, 0), 0);
  }
  EXPECT_TRUE(shows(stamped(box.run("2\n\n\n20\n/ficha\n/salir\n6\n").out), "resume_pages.txt"));
}

TEST(Resume, FailuresChangeNothingAndTheStoryIsFoundBySlug) {
  Sandbox box;
  box.add_story(kValle);
  box.add_story("torre_de_prueba.md");
  auto fails_with = [&](const std::string& input, const std::string& text) {
    return contains_in_order(box.run(input).out, {"\x1b[1m" + text + "\x1b[0m\n" + kPause + kBanner,
                                                  kMenuPrompt + kFarewell});
  };
  EXPECT_TRUE(fails_with("2\n\n6\n", "No hay partidas guardadas en la carpeta 'saves/'."));
  // The save's story is gone from stories/, while others remain.
  const std::string gone = "{ \"story_slug\": \"storiesborradamd\" }";
  box.write("saves/s.json", gone);
  EXPECT_TRUE(fails_with("2\n1\n\n6\n", "No se localizó el archivo .md original de la historia."));
  EXPECT_EQ(box.read("saves/s.json"), gone);
  box.write("saves/s.json", "");  // listed, but empty
  EXPECT_TRUE(fails_with("2\n1\n\n6\n", "Error al cargar la partida."));

  // Answers out of range, and a closed input, resume nothing and need no pause.
  RunResult r = box.run("2\n0\n2\n2\n2\nx\n2\n");
  EXPECT_EQ(count_of(r.out, "(1-1): \x1b[0m" + kInvalid + kBanner), 3);
  EXPECT_TRUE(r.out.ends_with("(1-1): \x1b[0m" + kFarewell));

  // Of two stories, the one whose slug matches is resumed; without a section
  // it starts at the beginning.
  box.write("saves/s.json",
            "{ \"story_slug\": \"storiestorre_de_pruebamd\", \"character\": "
            "{ \"name\": \"Ana\", \"hp\": 4, \"max_hp\": 8 } }");
  EXPECT_TRUE(shows(box.run("2\n1\n1\n1\n6\n").out, "resume_by_slug.txt"));
}

// Past the file-size limit nothing is lost: the quicksave and the autosave
// already there stay as they were, each failure names its file, the wizard's
// story is not listed, and no temporary file stays behind.
TEST(Writes, FileSizeLimitKeepsTheOldFilesAndSaysWhichFailed) {
  Sandbox box;
  box.add_story(kValle);
  box.run("1\n1\nAna\n1\n/guardar\n/salir\n6\n");
  const std::string saves[] = {"saves/quicksave_" + kValleSlug + ".json",
                               "saves/autosave_" + kValleSlug + ".json"};
  const std::string before[] = {box.read(saves[0]), box.read(saves[1])};
  ASSERT_NE(before[0], "");

  // Bea may replace Ana's saves; the writes fail, /salir says so and stays,
  // and a second /salir leaves without saving. The limit is smaller than any save or story.
  qh_test::RunOptions limit;
  limit.file_size_limit = 256;
  EXPECT_TRUE(shows(
      box.run("4\n1\n1\nOtra Historia\nAna\n\n8\n1\n1\nBea\n/guardar\ns\n/salir\ns\n/salir\n6\n",
              "", limit)
          .out,
      "size_limit.txt"));
  for (int i : {0, 1}) EXPECT_EQ(box.read(saves[i]), before[i]);
  for (const auto& [folder, files] : {std::pair{"saves", 2}, {"stories", 1}}) {
    for (const auto& entry : std::filesystem::directory_iterator(box.file(folder)))
      EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box.file(folder)), {}), files);
  }
}

// A write killed halfway leaves its hidden temporary file; the next start
// removes those of the game's own writers once they are a minute old, and
// nothing else.
TEST(Writes, StartUpRemovesTemporaryFilesOfInterruptedWrites) {
  Sandbox box;
  box.add_story(kValle);
  const std::vector<std::string> stale = {".config.tmpAb12Cd", "saves/.autosave_x.tmpZZ9zz9",
                                          "saves/.mi_partida.tmp000000",
                                          "stories/.mi_historia_2.tmpQwErTy"};
  const std::vector<std::string> kept = {".otro.tmpAb12Cd",
                                         "saves/.autosave_x.tmpZZ9zz",  // five letters
                                         "saves/.autosave_x.tmpZZ-zz9",
                                         "saves/autosave_x.tmpZZ9zz9",  // not hidden
                                         "stories/.tmpQwErTy",
                                         "saves/.carpeta.tmpAb12Cd/",  // a folder
                                         ".config.tmpNuev0s"};         // the last one is fresh
  const timespec old_times[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
  std::filesystem::create_directories(box.file(kept[5]));
  for (const auto& names : {stale, kept})
    for (const auto& name : names) {
      if (!name.ends_with('/')) box.write(name, "{ \"cortado");
      ASSERT_EQ(::utimensat(AT_FDCWD, box.file(name).c_str(), old_times, 0), 0) << name;
    }
  box.write(kept.back(), "{ \"cortado");  // written again: fresh

  EXPECT_TRUE(shows(box.run("1\n1\n\n6\n").out, "valle_listed.txt"));
  for (const auto& name : stale) EXPECT_FALSE(qh_test::file_exists(box.file(name))) << name;
  for (const auto& name : kept) EXPECT_TRUE(qh_test::file_exists(box.file(name))) << name;
}

}  // namespace

// Without QUILLHAVEN_SEED every launch rolls its own dice; with it, the same
// seed plays the same game byte for byte.
TEST(Dice, SeededFromTheSystemUnlessQuillhavenSeedFixesThem) {
  Sandbox box;
  box.add_story("la_cripta_del_rey_ceniza.md", QH_SOURCE_DIR "/stories");
  // Five checks in a row: the prayer of the sacristy, then whatever follows.
  const std::string input = "1\n1\nAna\n2\n1\n1\n1\n1\n1\n\n6\n";
  auto launch = [&](const char* seed) {  // without a seed, QUILLHAVEN_SEED is unset
    qh_test::RunOptions options;
    options.fixed_seed = seed != nullptr;
    if (seed != nullptr) options.env["QUILLHAVEN_SEED"] = seed;
    return box.run(input, "", options).out;
  };
  auto dice = [](const std::string& out) {
    std::string rolls;
    for (std::size_t at = 0; (at = out.find("   => ", at)) != std::string::npos; ++at)
      rolls += out.substr(at, out.find(" vs DC", at) - at) + ";";
    return rolls;
  };
  std::set<std::string> seen;
  for (int i = 0; i < 5; ++i) seen.insert(dice(launch(nullptr)));
  EXPECT_GT(seen.size(), 1u);
  const std::string first = launch("7");
  EXPECT_NE(dice(first), "");
  EXPECT_EQ(launch("7"), first);

  // Seed 1 rolls what every unseeded game used to roll: 2 + 5 first. Holy
  // water, the prayer, tunnel, ford, doors and seal win the crypt by numbers.
  EXPECT_TRUE(contains_in_order(
      launch("1"), {"📖 Iniciando 'La Cripta del Rey Ceniza'",
                    "   => 2 + 5 +0 = ", "Superaste la prueba de Voluntad", "📍 [14] ", kVictory}));
}
