// Adventures played in-process from scripted input, in a fresh folder where saves land.
#include "session/session.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/audio.h"
#include "story/story_parser.h"
#include "support/scripted_ui.h"
#include "support/test_support.h"

using namespace qh_test;

namespace {

const char* const kAutosave = "saves/autosave_storiespruebamd.json";  // of "stories/prueba.md"

int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++n;
  return n;
}

// `out` shows, in order, the fragments of tests/data/session/NAME.txt. Blank lines separate
// them; inside one, line breaks are only for reading: "\n" is a line feed, "\xNN" a byte. A
// fragment that starts with "!" must appear nowhere.
::testing::AssertionResult shows(const std::string& out, const std::string& name) {
  const std::string file = read_file(QH_TEST_DATA_DIR "/session/" + name + ".txt");
  std::vector<std::string> pieces(1);
  for (std::size_t i = 0; i < file.size(); ++i) {
    char c = file[i];
    if (c == '\n' && file[i + 1] == '\n') pieces.emplace_back(), ++i;
    if (c == '\n') continue;
    if (c == '\\') {
      c = file[++i] == 'n' ? '\n'
                           : static_cast<char>(std::stoi(file.substr(i + 1, 2), nullptr, 16));
      if (file[i] == 'x') i += 2;  // "\xNN": two hex digits
    }
    pieces.back() += c;
  }
  std::size_t at = 0;
  for (const std::string& piece : pieces) {
    const bool absent = piece.starts_with('!');
    const std::size_t found = out.find(piece.substr(absent), absent ? 0 : at);
    if (absent != (found == std::string::npos))
      return ::testing::AssertionFailure()
             << name << ": missing, out of order or shown: [" << piece << "]\n--- output ---\n"
             << out;
    if (!absent) at = found + piece.size();
  }
  return ::testing::AssertionSuccess();
}

// Every adventure plays on a host rooted at a fresh folder, where its saves land.
struct Session : ::testing::Test {
  TempDir dir;
  std::unique_ptr<Story> story = std::make_unique<Story>();
  AppConfig config{};  // classic narrator, no token display, no pauses, no music
  // What the next adventure is given, and what the last one left.
  AudioState* audio = nullptr;
  const SessionObserver* observer = nullptr;
  const SaveVisited* visits = nullptr;
  bool director = false;
  SessionEnd end{};
  std::vector<int> sleeps;

  void SetUp() override {
    // A dungeon with an item gate, hopeless and lethal checks, a hazard and lore; a console;
    // a sealed crypt with lore of its own, a broken bridge and a river that hurts.
    const std::string text = read_file(QH_TEST_DATA_DIR "/cripta_de_prueba.md") +
                             read_file(QH_TEST_DATA_DIR "/session/secciones_extra.md");
    ASSERT_TRUE(story_parser_load_string(*story, text.c_str(), "x"));
    config.offline_mode = true;
  }
  std::string play(const std::string& input, const char* start = nullptr,
                   const Character* saved = nullptr) {
    ScriptedHost player(input, dir.path());
    player.host().audio = audio;
    SessionIo io{player.host(), observer};
    io.resumed_visits = visits;
    io.director_commands = director;
    end = game_session_run(io, story.get(), "stories/prueba.md", &config, "Ana", start, saved);
    sleeps = player.sleeps();
    return player.output();
  }
  // Puts a stand-in program first on PATH for the rest of the test.
  void stand_in(const char* name, const std::string& script) {
    make_executable_script(dir.file(std::string("bin/") + name), "#!/bin/sh\n" + script);
    setenv("PATH", (dir.file("bin") + ":" + old_path).c_str(), 1);
  }
  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  ~Session() override { setenv("PATH", old_path.c_str(), 1); }
};

}  // namespace

// The text is cut first, then trimmed.
TEST(SessionText, CleanSpaces) {
  const std::tuple<const char*, std::size_t, const char*> lines[] = {
      {"  Hola \t\n  MUNDO  ", 64, "hola mundo"},
      {"ÉXITO", 64, "Éxito"},
      {" \t\r\n", 64, ""},
      {"abc   defg", 5, "abc"},
      {"x", 1, ""},
      {nullptr, 8, ""}};
  for (auto [in, capacity, clean] : lines) {
    char out[64];
    std::memset(out, 'z', sizeof out);
    str_clean_spaces(out, in, capacity);
    EXPECT_STREQ(out, clean) << (in ? in : "(null)");
  }
}

TEST_F(Session, ExitWordsSaveButADeathByTheOptionTakenEndsQuietly) {
  // Its narration is the last word, and nothing is saved.
  std::string out = play("2\n2\n");
  EXPECT_TRUE(contains_in_order(out, {"NARRADOR", "Fallaste la prueba de Fuerza"}));
  EXPECT_TRUE(out.ends_with("┘\x1b[0m\n"));
  EXPECT_FALSE(file_exists(dir.file("saves")));
  for (const char* word : {"/salir\n", "/exit\n", "/quit\n"})
    EXPECT_TRUE(
        play(std::string("2\n") + word)
            .ends_with("\x1b[38;5;51mGuardando partida automáticamente y saliendo...\x1b[0m\n"))
        << word;
  EXPECT_TRUE(contains_in_order(read_file(dir.file(kAutosave)), {"\"current_section_id\": \"2\""}));
}

TEST_F(Session, ResumedHeroAndBrokenStarts) {
  Character hero{};
  character_init(hero, "Bea", 12);
  hero.hp = 0;  // a saved hero who is already dead: the greeting, then nothing, and no save
  EXPECT_TRUE(lacks(play("1\n", nullptr, &hero), "OPCIONES"));
  EXPECT_FALSE(file_exists(dir.file(kAutosave)));

  // A saved hero plays as it is from the saved section, and is never written back. Resuming is
  // no arrival: the well's hazard does not strike, not even a hero saved there at 1 HP.
  hero.hp = 9;
  EXPECT_TRUE(shows(play("1\n", "5", &hero), "resumed"));
  EXPECT_EQ(hero.hp, 9);
  hero.hp = 1;
  EXPECT_TRUE(shows(play("/guardar\n/cargar\n", "5", &hero), "resumed_at_1hp"));
  EXPECT_TRUE(shows(play("", "nope"), "missing_start"));
}

// A number past the 32-bit range, a refused option, then every command: each answer stays on
// screen, the scene is never shown again.
TEST_F(Session, EveryCommandAndItsMessagesWithoutAudio) {
  std::string out = play(
      "4294967297\n3\n/ayuda extra\n/help\n/Ayuda\n/ayudas\n/modo\n/modo\n/tokens\n/tokens\n"
      "/velocidad instantánea\n/velocidad rápida\n/velocidad media\n/velocidad lenta\n/velocidad\n"
      "/velocidad off\n/stats\n/ficha\n/inv\n/mochila\n/lore\n/lore   \n/lore rey antiguo\n"
      "/lore zzzz\n/musica\n/volumen 50\n/tema\n/tema combate\n/salir\n");
  EXPECT_TRUE(shows(out, "commands"));  // without an audio state the music commands are silent
  EXPECT_EQ(count_of(out, "📍 [1] Entrada ───"), 1);
  EXPECT_FALSE(file_exists(dir.file("config.json")));  // settings change in memory only
}

// With the language model chosen, the panel names who answered. Without a key the classic
// narrator answers, and the first narration tells why, once.
TEST_F(Session, TheNarrationPanelNamesWhoAnswered) {
  config.offline_mode = false;
  std::string out = play("2\n1\n2\n");
  EXPECT_TRUE(shows(out, "no_key"));
  EXPECT_EQ(count_of(out, "No hay clave de IA"), 1);

  // A stand-in curl that answers "Bien." with a reply file present, and fails without one.
  stand_in("curl", "exec cat '" + dir.file("reply") + "'\n");
  config.gemini_api_key.assign("K");
  // The model failed: the offline narrator's words under its own label, and no token use.
  EXPECT_TRUE(shows(play("2\n"), "narrator_failed"));
  write_file(dir.file("reply"), R"({"candidates": [{"content": {"parts": [{"text": "Bien."}]}}]})");
  EXPECT_TRUE(shows(play("2\n"), "narrator_model"));
}

TEST_F(Session, VolumeMusicAndThemesWithAStandInPlayer) {
  stand_in("afplay", "exec sleep 5\n");
  for (const char* track : {"dungeon_ambient.wav", "battle_tension.wav", "victory_fanfare.wav"})
    write_file(dir.file(std::string("assets/audio/") + track), "RIFF");
  config.music_enabled = true;
  struct Watch {
    AudioState audio;
    std::vector<std::string> themes;
  } w{};
  audio_init(w.audio, dir.path().c_str(), true, 0.7f);
  audio = &w.audio;
  SessionObserver watch{[](const StorySection&, const Character&, void* seen) {  // each prompt
                          auto* watched = static_cast<Watch*>(seen);
                          watched->themes.emplace_back(watched->audio.current_theme.view());
                        },
                        nullptr, nullptr, &w};
  observer = &watch;
  // A missing number reads as 0; one past the 32-bit range must not wrap into 0..100.
  EXPECT_TRUE(shows(play("/volumen\n/volumen 150\n/volumen -5\n/volumen 4294967346\n/volumen 35\n"
                         "/tema victoria\n/tema nada\n2\n/musica\n/audio\n1\n/salir\n"),
                    "music"));
  EXPECT_FLOAT_EQ(w.audio.volume, 0.35f);
  // A chosen theme holds while its scene lasts (an unknown one changes nothing); a title
  // with "Rey" calls for combat; a pause is silence until the next scene's music.
  EXPECT_EQ(w.themes, (std::vector<std::string>{"dungeon", "dungeon", "dungeon", "dungeon",
                                                "dungeon", "dungeon", "victoria", "victoria",
                                                "combat", "", "combat", "dungeon"}));
  EXPECT_FALSE(w.audio.playing);  // every end stops the music
  // Without any player a known theme is not "missing": the player is told why it is silent.
  observer = nullptr;
  setenv("PATH", dir.file("sin_reproductor").c_str(), 1);
  EXPECT_TRUE(shows(play("/tema combate\n/tema nada\n"), "no_player"));
}

// When a save cannot be written, /guardar names the file and /salir stays in the adventure; a
// second /salir in a row leaves without saving, and a closed input leaves at once, saying
// what was lost. Then quick saves, and a quick save of another hero.
TEST_F(Session, FailedSavesKeepThePlayerAndQuickSavesLoad) {
  write_file(dir.file("saves"), "no es una carpeta");
  EXPECT_TRUE(shows(play("/guardar\n/salir\n2\n/salir\n/salir\n"), "failed_saves"));
  EXPECT_TRUE(shows(play("1\n"), "closed_unsaved"));
  ASSERT_EQ(std::remove(dir.file("saves").c_str()), 0);

  // The scene shown again by an empty line gives its item only once.
  std::string out = play("/cargar\n/guardar\n2\n\n/cargar\n/salir\n");
  EXPECT_TRUE(shows(out, "quick_save_load"));
  EXPECT_EQ(count_of(out, "Has encontrado"), 1);
  // The loaded hero replaced the one who had found the key.
  EXPECT_TRUE(lacks(read_file(dir.file(kAutosave)), "Llave"));

  // A save without a section id resumes at the story's start, never at an empty id.
  write_file(dir.file("saves/quicksave_storiespruebamd.json"),
             R"({"character": {"name": "Bea", "hp": 4}})");
  // Bea's game replaces Ana's autosave only once the player says so.
  EXPECT_TRUE(shows(play("2\n/cargar\n/inv\n/salir\ns\n"), "other_hero"));
  EXPECT_TRUE(
      contains_in_order(read_file(dir.file(kAutosave)),
                        {"\"current_section_id\": \"1\"", "\"name\": \"Bea\"", "\"hp\": 4,"}));
}

TEST_F(Session, TypedCommandsNearMissesAndFreeText) {
  // The same first word, or one within two edits, earns a hint; three edits, or a hidden
  // command's word without its marker, is free text. On a tie, the earlier command.
  std::string out = play(
      "nmap -sV\nnmpa -sV 10.0.0.5\nnmxyz -sV\nrm basura\n>_  NMAP   -sV   10.0.0.5\n1\npsh x\n"
      "$ ssh ADMIN@10.0.0.5\n",
      "c1");
  EXPECT_TRUE(shows(out, "typed_commands"));  // a hidden command is never listed nor hinted

  // Sigils written in the story are skipped as those typed are; the hint shows the command
  // as written. A hidden command is found by its first word and a marker.
  EXPECT_TRUE(shows(play("sudi reboot\nsudo reboot\n", "c3"), "story_sigils"));
  EXPECT_TRUE(contains_in_order(play("shred -d x\n", "c3"),
                                {"oculto descubierto", "Avanzas: Destruir registros"}));
  // Free text never names a command option, hidden or not; shell sigils are skipped.
  EXPECT_TRUE(shows(play("leer\nborrar\n$ # cat   manual.txt\n", "c1"), "command_free_text"));
  // Lore found by free text is narrated as an investigation; a named option that is refused
  // shows why and keeps the scene.
  EXPECT_TRUE(shows(play("xyzzy\nrey antiguo\nabrir el portón\nCRUZAR\nvolver\nuso mi sigilo\n"),
                    "free_text"));
}

// Two adventures at the same time in one process, each on a host of its own (scripted input,
// screens to a string, its own root folder) with its own seed: each plays exactly what it plays
// alone, dice, flavour sentences, pauses and autosave included, as a server of many tables needs.
TEST(SessionHosts, TwoAdventuresAtOnceEachPlayAsAlone) {
  const auto crypt = std::make_unique<Story>();
  ASSERT_TRUE(story_parser_load_file(*crypt, QH_SOURCE_DIR "/stories/la_cripta_del_rey_ceniza.md"));
  // Plays one adventure on a fresh root, slowly typed (the pauses are only recorded): its
  // screens, its pauses and its autosave without its time stamp.
  auto play = [&crypt](std::uint32_t seed, const std::string& input) {
    TempDir root;
    AppConfig config{};
    config.offline_mode = true;
    config.typing_speed = 0.004f;
    ScriptedHost player(input, root.path());
    game_session_run({player.host(), nullptr, seed}, crypt.get(), "stories/la_cripta.md", &config,
                     "Ana", nullptr, nullptr);
    return std::tuple{
        player.output(), player.sleeps(),
        std::regex_replace(read_file(root.file("saves/autosave_storiesla_criptamd.json")),
                           std::regex("\"saved_at\": \"[^\"]*\""), "")};
  };
  std::string wander;  // the first options, with a look at the lore, then leave
  for (int i = 0; i < 40; ++i) wander += std::to_string(i % 3 == 2 ? 2 : 1) + "\n/lore rey\n";
  const std::string inputs[2] = {"1\n" + wander + "/salir\n", "1\n3\n" + wander + "/salir\n"};
  const auto alone = std::array{play(7, inputs[0]), play(99, inputs[1])};
  for (const auto& run : alone) ASSERT_TRUE(contains_in_order(std::get<0>(run), {"Tirando dados"}));
  ASSERT_NE(std::get<0>(alone[0]), std::get<0>(alone[1]));
  for (int round = 0; round < 3; ++round) {
    decltype(play(0, "")) second;
    std::thread other([&] { second = play(99, inputs[1]); });
    EXPECT_EQ(play(7, inputs[0]), alone[0]);
    other.join();
    EXPECT_EQ(second, alone[1]);
  }
}

// The lore memory only tells what the hero has seen: the passages written before the first
// scene, and the scenes visited so far. What it may tell is saved with the game, and an older
// save knows only its own scene.
TEST_F(Session, LoreKnowsOnlyWhatTheHeroHasSeen) {
  EXPECT_TRUE(shows(play("/lore oro\n/lore monarca\n"), "lore_unseen"));
  EXPECT_TRUE(contains_in_order(play("/lore oro\n/salir\n", "7"),
                                {"📚 Conocimiento recuperado sobre 'oro'", "[El oro del rey]"}));
  EXPECT_TRUE(contains_in_order(read_file(dir.file(kAutosave)),
                                {"\"visited_sections\": [\n    \"7\"\n  ]\n}\n"}));
  // Resumed from that save, the crypt is still known; without the key it is not.
  SaveVisited kept{};
  Character hero{};
  char section[32] = "";
  ASSERT_TRUE(load_game(dir.file("saves").c_str(), "storiespruebamd", section, sizeof section,
                        &hero, "autosave_storiespruebamd.json", &kept));
  EXPECT_TRUE(kept.present && kept.count == 1 && kept.ids[0] == "7");
  visits = &kept;
  EXPECT_TRUE(contains_in_order(play("2\n/lore oro\n", "1", &hero), {"[El oro del rey]"}));
  visits = nullptr;
  EXPECT_TRUE(lacks(play("2\n/lore oro\n", "1", &hero), "[El oro del rey]"));
}

// A scene's text is typed once; shown again (an empty line, a return) it is written at once. An
// option leading to no section keeps the hero where they are, with the missing id named, and
// takes nothing. A move back into the same scene is an arrival: its hazard strikes again;
// reading the help eleven times there does not.
TEST_F(Session, ScenesAreTypedOnceBrokenLinksKeepTheHeroAndReturnsAreArrivals) {
  config.typing_speed = 0.01f;
  std::string out = play("\n1\n\n", "8");
  // "El puente termina en el aire." typed once: one pause per two characters.
  EXPECT_EQ(sleeps.size(), std::string("El puente termina en el aire.").size() / 2 + 1);
  EXPECT_EQ(count_of(out, "📍 [8] Puente roto ───"), 3);  // arrival, empty line, empty line
  EXPECT_TRUE(shows(out, "broken_link"));

  config.typing_speed = 0;
  std::string help;
  for (int i = 0; i < 11; ++i) help += "/ayuda\n";
  // Arriving there to begin with, then twice by wading again.
  EXPECT_EQ(count_of(play(help + "1\n1\n", "9"), "Sufres 1 de daño."), 3);
  EXPECT_TRUE(contains_in_order(read_file(dir.file(kAutosave)), {"\"hp\": 7,"}));
}

// At a table with a director, /dar, /quitar and /vida change the party's hero and show the
// panel; a blow to 0 kills. In a player's own game they do not exist.
TEST_F(Session, DirectorCommandsOnlyAtADirectorsTable) {
  EXPECT_TRUE(shows(play("/dar Espada\n"), "no_director"));
  director = true;
  EXPECT_TRUE(shows(
      play("/dar Espada\n/quitar espada\n/quitar Nada\n/vida 5\n/vida -3\n/vida +1\n/vida -99\n"),
      "director"));
  EXPECT_EQ(end, SESSION_END_DEATH_AFTER_ACTION);
}
