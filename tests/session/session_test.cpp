// Adventures played in-process from scripted input, in a fresh folder where saves land.
#include "session/session.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
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
const std::string kFarewell = "Guardando partida automáticamente y saliendo...";
const char* const kNoEffect =
    "Acción no resolutiva; observas o intentas interactuar sin cambiar de lugar.";

// Scene headers as the scene view writes them, and status messages in their colours.
std::string scene(const char* id, const char* title) {
  return std::string("📍 [") + id + "] " + title + " ───";
}
auto warning(const std::string& t) { return "\x1b[38;5;226m\x1b[1m" + t + "\x1b[0m\n"; }
auto success(const std::string& t) { return "\x1b[38;5;46m\x1b[1m" + t + "\x1b[0m\n"; }
auto info(const std::string& t) { return "\x1b[38;5;51m" + t + "\x1b[0m\n"; }
constexpr const char* kOptionsHead = "\x1b[38;5;226m\x1b[1m--- OPCIONES Y ACCIONES DISPONIBLES ---";
int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++n;
  return n;
}
auto error(const std::string& t) { return "\x1b[38;5;196m\x1b[1m" + t + "\x1b[0m\n"; }
// A save with its time stamp blanked out.
std::string stamped(const std::string& save) {
  return std::regex_replace(save, std::regex("\"saved_at\": \"[^\"]*\""), "\"saved_at\": \"\"");
}
std::string misspelt(const std::string& line, const std::string& hint) {
  return error("❌ Comando mal escrito o incompleto: '" + line + "'") +
         warning("💡 Sintaxis correcta en esta terminal:\n   >_ " + hint);
}

// Every adventure plays on a host rooted at a fresh folder, where its saves land.
struct Session : ::testing::Test {
  TempDir dir;
  Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  AppConfig config{};  // classic narrator, no token display, no pauses, no music

  std::string at(const std::string& name) const { return dir.file(name); }

  void SetUp() override {
    // A dungeon with an item gate, hopeless and lethal checks, a hazard and lore; a console.
    const std::string text = read_file(QH_TEST_DATA_DIR "/cripta_de_prueba.md");
    ASSERT_TRUE(story_parser_load_string(*story, text.c_str(), "x"));
    config.offline_mode = true;
  }
  void TearDown() override { std::free(story); }
  std::string play(const std::string& input, const char* start = nullptr,
                   const Character* saved = nullptr, AudioState* audio = nullptr,
                   const SessionObserver* observer = nullptr) {
    ScriptedHost player(input, dir.path());
    player.host().audio = audio;
    game_session_run({player.host(), observer, SESSION_DEFAULT_SEED}, story, "stories/prueba.md",
                     &config, "Ana", start, saved);
    return player.output();
  }
};

}  // namespace

// The slug of a story path is tested with the slug itself, in tests/common.
TEST(SessionText, CleanSpaces) {
  const std::tuple<const char*, std::size_t, const char*> lines[] = {
      {"  Hola \t\n  MUNDO  ", 64, "hola mundo"},
      {"ÉXITO", 64, "Éxito"},
      {" \t\r\n", 64, ""},
      {"abc   defg", 5, "abc"},
      {"x", 1, ""},
      {nullptr, 8, ""}};  // cut first, then trim
  for (auto [in, capacity, clean] : lines) {
    char out[64];
    std::memset(out, 'z', sizeof out);
    str_clean_spaces(out, in, capacity);
    EXPECT_STREQ(out, clean) << (in ? in : "(null)");
  }
}

TEST_F(Session, NumbersGatesItemsHazardsAndTheEndOfInput) {
  // A number past the 32-bit range is out of range, not option 1; "02" is option 2.
  // Answers stay on screen: after a refusal or a command only the options follow.
  std::string out = play("4294967297\n3\n02\n/inv\n1\n1\n/ayuda\n");
  const std::string hazard = "⚠️ ¡Peligro de entorno! Sufres 4 de daño.";
  EXPECT_TRUE(contains_in_order(
      out, {info("\n📖 Iniciando 'La Cripta' por "), scene("1", "Entrada"),
            warning("Opción inválida. Elige un número del 1 al 4 para las decisiones disponibles."),
            "--- OPCIONES", warning("Necesitas tener el objeto 'Llave' para hacer esto."),
            "--- OPCIONES", "Avanzas: Cruzar la puerta",
            success("🎁 Has encontrado un objeto: Llave"), scene("2", "Tesoro del Rey"),
            "  📦 Antorcha\n  📦 Llave\n", kOptionsHead, scene("1", "Entrada"), warning(hazard),
            scene("5", "Pozo venenoso"), "=== COMANDOS", kOptionsHead, info(kFarewell)}));
  EXPECT_EQ(count_of(out, scene("1", "Entrada")), 2);  // shown, then returned to
  EXPECT_EQ(count_of(out, "Has encontrado"), 1);
  EXPECT_EQ(count_of(out, hazard), 1);  // reading the help costs nothing
  // The closed input saved the game as an exit command would.
  EXPECT_TRUE(contains_in_order(read_file(at(kAutosave)),
                                {"\"current_section_id\": \"5\"", "\"hp\": 6,", "\"Llave\""}));
}

TEST_F(Session, ExitWordsSaveButADeathByTheOptionTakenEndsQuietly) {
  // Its narration is the last word, and nothing is saved.
  std::string out = play("2\n2\n");
  EXPECT_TRUE(contains_in_order(out, {"NARRADOR", "Fallaste la prueba de Fuerza"}));
  EXPECT_EQ(out.substr(out.size() - 8), "┘\x1b[0m\n");
  EXPECT_FALSE(file_exists(at("saves")));
  for (const char* word : {"/salir\n", "/exit\n", "/quit\n"}) {
    out = play(std::string("2\n") + word);
    EXPECT_EQ(out.substr(out.size() - info(kFarewell).size()), info(kFarewell)) << word;
  }
  EXPECT_TRUE(contains_in_order(read_file(at(kAutosave)), {"\"current_section_id\": \"2\""}));
}

TEST_F(Session, ResumedHeroAndBrokenStarts) {
  Character hero{};
  character_init(hero, "Bea", 12);
  hero.hp = 0;  // a saved hero who is already dead: the greeting, then nothing, and no save
  EXPECT_TRUE(lacks(play("1\n", nullptr, &hero), "OPCIONES"));
  EXPECT_FALSE(file_exists(at(kAutosave)));

  // A saved hero plays as it is from the saved section, and is never written
  // back. Resuming is no arrival: the well's hazard does not strike, not even
  // a hero saved there at 1 HP.
  hero.hp = 9;
  std::string out = play("1\n", "5", &hero);
  EXPECT_TRUE(contains_in_order(
      out, {"Bea", " 9/12", scene("5", "Pozo venenoso"), scene("1", "Entrada"), kFarewell}));
  EXPECT_TRUE(lacks(out, "Sufres"));
  EXPECT_EQ(hero.hp, 9);
  hero.hp = 1;
  EXPECT_TRUE(contains_in_order(play("/guardar\n/cargar\n", "5", &hero),
                                {" 1/12", "📂 Partida cargada con éxito.", kFarewell}));
  EXPECT_TRUE(lacks(play("", "5", &hero), "Has caído"));
  EXPECT_TRUE(
      contains_in_order(play("", "nope"), {error("Error: No se encontró la sección 'nope'.")}));
}

TEST_F(Session, EveryCommandAndItsMessagesWithoutAudio) {
  const std::string help =
      "\n\x1b[38;5;214m\x1b[1m=== COMANDOS DEL SISTEMA ===\x1b[0m\n"
      "  1, 2, 3...       : Seleccionar una opción disponible\n"
      "  Texto libre      : 'inspeccionar cofre', 'atacar con sigilo', etc.\n"
      "  /musica, /audio  : Activar o pausar la música retro de fondo\n"
      "  /volumen <0-100> : Ajustar volumen de la música\n"
      "  /tema <nombre>   : Cambiar tema musical (dungeon, combate, victoria)\n"
      "  /modo            : Alternar entre [⚡ Narrador IA] y [💾 Narrador Clásico (Sin IA)]\n"
      "  /tokens          : Alternar telemetría de tokens en pantalla\n"
      "  /velocidad <vel> : Ajustar mecanografía (rapida, media, lenta, instantanea)\n"
      "  /stats, /ficha   : Ver atributos completos del personaje\n"
      "  /inv, /mochila   : Ver inventario detallado\n"
      "  /lore <tema>     : Consultar la memoria RAG del mundo\n"
      "  /guardar         : Guardar partida actual\n"
      "  /cargar          : Cargar última partida guardada\n"
      "  /salir           : Guardar automáticamente y salir al menú\n\n";
  const std::string unknown = warning("Comando desconocido. Escribe /ayuda.");
  const std::string speed = warning("Uso: /velocidad [rapida | media | lenta | instantanea]");
  const std::string lore = warning("Uso: /lore <término a buscar>");
  const std::string sheet =
      "\n\x1b[38;5;51m\x1b[1m--- Ficha de Ana ---\x1b[0m\nVida: 10 / 10\nAtributos:\n"
      "  - Fuerza: +2\n  - Sigilo: +1\nEstados: Ninguno\n\n";
  const std::string pack = "\n\x1b[38;5;226m\x1b[1m--- Mochila de Ana ---\x1b[0m\n  📦 Antorcha\n\n";
  std::string out = play(
      "/ayuda extra\n/help\n/Ayuda\n/ayudas\n/modo\n/modo\n/tokens\n/tokens\n"
      "/velocidad instantánea\n/velocidad rápida\n/velocidad media\n/velocidad lenta\n/velocidad\n"
      "/velocidad off\n/stats\n/ficha\n/inv\n/mochila\n/lore\n/lore   \n/lore rey antiguo\n"
      "/lore zzzz\n/musica\n/volumen 50\n/tema\n/tema combate\n/salir\n");
  EXPECT_TRUE(contains_in_order(
      out, {help,
            help,
            unknown,
            unknown,
            success("⚡ MODO NARRADOR IA ACTIVADO"),
            success("💾 MODO NARRADOR CLÁSICO (Sin IA - 0 tokens)"),
            info("Telemetría de tokens activada."),
            info("Telemetría de tokens desactivada."),
            speed,
            success("Velocidad: Rápida."),
            success("Velocidad: Media."),
            success("Velocidad: Lenta."),
            speed,
            success("Velocidad: Instantánea (sin pausas)."),
            sheet,
            sheet,
            pack,
            pack,
            lore,
            lore,
            "\n\x1b[38;5;214m📚 Conocimiento recuperado sobre 'rey antiguo':\x1b[0m\n"
            "\x1b[38;5;51m[El Rey Antiguo]: \x1b[38;5;231mUn monarca olvidado duerme bajo la "
            "cripta.\n\n\x1b[0m",
            warning("No hay recuerdos en los anales sobre ese término."),
            warning("Uso: /volumen <0-100>"),
            warning("Uso: /tema <nombre>"),
            kFarewell}));
  EXPECT_TRUE(lacks(out, "🎵"));  // without an audio state the music commands stay silent
  EXPECT_FALSE(file_exists(at("config.json")));  // settings change in memory only
}

TEST_F(Session, TheNarrationPanelNamesWhoAnswered) {
  // A stand-in curl that answers "Bien." with a reply file present, and fails without one.
  make_executable_script(dir.file("bin/curl"), "#!/bin/sh\nexec cat '" + dir.file("reply") + "'\n");
  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (dir.file("bin") + ":" + old_path).c_str(), 1);
  config.offline_mode = false;
  config.gemini_api_key.assign("K");
  const std::string header = "\x1b[38;5;51m┌─ 🎭 NARRADOR ";
  // The model failed: the offline narrator's words under its own label, and no token use.
  std::string out = play("2\n");
  EXPECT_TRUE(contains_in_order(out, {header + "(Modo Clásico)", "Avanzas: Cruzar la puerta", "└──",
                                      scene("2", "Tesoro del Rey")}));
  EXPECT_TRUE(lacks(out, "IA Adventure Master"));
  EXPECT_TRUE(lacks(out, "Consumo"));
  write_file(dir.file("reply"), R"({"candidates": [{"content": {"parts": [{"text": "Bien."}]}}]})");
  out = play("2\n");
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_TRUE(
      contains_in_order(out, {header + "(IA Adventure Master)", "Bien.", "└──",
                              "(Consumo: 80 tokens | Sesión: 80)", scene("2", "Tesoro del Rey")}));
  EXPECT_TRUE(lacks(out, "Modo Clásico"));
}

TEST_F(Session, VolumeMusicAndThemesWithAStandInPlayer) {
  make_executable_script(dir.file("bin/afplay"), "#!/bin/sh\nexec sleep 5\n");
  for (const char* track : {"dungeon_ambient.wav", "battle_tension.wav", "victory_fanfare.wav"}) {
    write_file(dir.file(std::string("assets/audio/") + track), "RIFF");
  }
  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (dir.file("bin") + ":" + old_path).c_str(), 1);
  config.music_enabled = true;
  struct Watch {
    AudioState audio;
    std::vector<std::string> themes;
  } w{};
  audio_init(w.audio, dir.path().c_str(), true, 0.7f);
  SessionObserver watch{[](const StorySection&, const Character&, void* seen) {  // each prompt
                          auto* watched = static_cast<Watch*>(seen);
                          watched->themes.emplace_back(watched->audio.current_theme.view());
                        },
                        nullptr, nullptr, &w};
  // A missing number reads as 0; one past the 32-bit range must not wrap into 0..100.
  std::string out = play(
      "/volumen\n/volumen 150\n/volumen -5\n/volumen 4294967346\n/volumen 35\n/tema victoria\n"
      "/tema nada\n2\n/musica\n/audio\n1\n/salir\n",
      nullptr, nullptr, &w.audio, &watch);
  // Without any player a known theme is not "missing": the player is told why it is silent.
  setenv("PATH", dir.file("sin_reproductor").c_str(), 1);
  const std::string silent = play("/tema combate\n/tema nada\n", nullptr, nullptr, &w.audio);
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_TRUE(contains_in_order(
      silent, {warning("No hay ningún reproductor de audio disponible: la música está en "
                       "silencio."),
               warning("No se encontró el tema musical: nada.")}));
  const std::string usage = warning("Uso: /volumen <0-100>");
  EXPECT_TRUE(contains_in_order(
      out, {success("Volumen ajustado con éxito."), usage, usage, usage,
            success("Volumen ajustado con éxito."), info("Tema musical: victoria 🎵."),
            warning("No se encontró el tema musical: nada."), info("Música pausada 🔇."),
            info("Música activada 🎵.")}));
  EXPECT_FLOAT_EQ(w.audio.volume, 0.35f);
  // A chosen theme holds while its scene lasts (an unknown one changes nothing); a title
  // with "Rey" calls for combat; a pause is silence until the next scene's music.
  EXPECT_EQ(w.themes, (std::vector<std::string>{"dungeon", "dungeon", "dungeon", "dungeon",
                                                "dungeon", "dungeon", "victoria", "victoria",
                                                "combat", "", "combat", "dungeon"}));
  EXPECT_FALSE(w.audio.playing);  // every end stops the music
}

TEST_F(Session, QuickSaveAndLoad) {
  write_file(at("saves"), "not a folder");
  // Both failures name the file they could not write.
  EXPECT_TRUE(contains_in_order(
      play("/guardar\n/salir\n"),
      {error("Error al guardar partida: no se pudo escribir saves/quicksave_storiespruebamd.json."),
       info(kFarewell),
       warning("⚠️ No se pudo escribir saves/autosave_storiespruebamd.json: la partida no se "
               "guardó.")}));
  ASSERT_EQ(std::remove(at("saves").c_str()), 0);

  std::string out = play("/cargar\n/guardar\n2\n/cargar\n/salir\n");
  EXPECT_TRUE(
      contains_in_order(out, {warning("No se encontró ningún guardado para esta historia."),
                              success("💾 Partida guardada con éxito."),
                              "Has encontrado un objeto: Llave", scene("2", "Tesoro del Rey"),
                              success("📂 Partida cargada con éxito."), scene("1", "Entrada")}));
  // The loaded hero replaced the one who had found the key.
  EXPECT_TRUE(lacks(read_file(at(kAutosave)), "Llave"));

  // A save without a section id resumes at the story's start, never at an empty id.
  write_file(at("saves/quicksave_storiespruebamd.json"),
             R"({"character": {"name": "Bea", "hp": 4}})");
  // Bea's game replaces Ana's autosave only once the player says so.
  out = play("2\n/cargar\n/inv\n/salir\ns\n");
  EXPECT_TRUE(contains_in_order(
      out, {scene("2", "Tesoro del Rey"), "Partida cargada", "Bea", scene("1", "Entrada"),
            "Tu mochila está vacía.\n\n",
            warning("⚠️ saves/autosave_storiespruebamd.json guarda la partida de Ana. "
                    "¿Reemplazarla por la partida de Bea? (s/N): "),
            info(kFarewell)}));
  EXPECT_TRUE(contains_in_order(read_file(at(kAutosave)), {"\"current_section_id\": \"1\"",
                                                           "\"name\": \"Bea\"", "\"hp\": 4,"}));
}

TEST_F(Session, TypedCommandsNearMissesAndFreeText) {
  std::string out = play(
      "nmap -sV\nnmpa -sV 10.0.0.5\nnmxyz -sV\nrm basura\n>_  NMAP   -sV   10.0.0.5\n1\npsh x\n"
      "$ ssh ADMIN@10.0.0.5\n",
      "c1");
  EXPECT_TRUE(contains_in_order(
      // The same first word, or one within two edits, earns a hint; three edits, or a hidden
      // command's word without its marker, is free text.
      out,
      {misspelt("nmap -sV", "nmap -sV 10.0.0.5"),
       misspelt("nmpa -sV 10.0.0.5", "nmap -sV 10.0.0.5"), kNoEffect, kNoEffect,
       "Avanzas: nmap -sV 10.0.0.5", scene("c2", "Servidor"),
       warning("⚠️ Esta escena requiere ejecutar un comando de terminal en tu cyberdeck, no "
               "una opción numérica.\n   Teclea el comando tal cual (ej: 'nmap ...') en la "
               "consola para proceder."),
       misspelt("psh x", "ssh admin@10.0.0.5"),  // on a tie, the earlier command
       "Avanzas: ssh admin@10.0.0.5", scene("3", "Salida"), "¡Felicidades!"}));
  EXPECT_TRUE(lacks(out, "rm -rf"));  // a hidden command is never listed nor hinted

  // A hidden command is found by its first word and a marker.
  EXPECT_TRUE(contains_in_order(play("rm -d basura\n", "c1"),
                                {success("🔓 ¡Comando de terminal oculto descubierto con éxito!"),
                                 "NARRADOR", "Avanzas: Borrar rastros", scene("3", "Salida")}));
  // Sigils written in the story are skipped as those typed are; the hint shows the command
  // as written.
  EXPECT_TRUE(contains_in_order(
      play("sudi reboot\nsudo reboot\n", "c3"),
      {misspelt("sudi reboot", "$ sudo reboot"), "Avanzas: Reiniciar", scene("3", "Salida")}));
  EXPECT_TRUE(contains_in_order(play("shred -d x\n", "c3"),
                                {"oculto descubierto", "Avanzas: Destruir registros"}));
  // Free text never names a command option, hidden or not; shell sigils are skipped.
  EXPECT_TRUE(contains_in_order(play("leer\nborrar\n$ # cat   manual.txt\n", "c1"),
                                {kNoEffect, kNoEffect, "Avanzas: Leer el manual",
                                 scene("6", "Manual"), info("\n📜 Fin de la aventura.")}));

  out = play("xyzzy\nrey antiguo\nabrir el portón\nCRUZAR\nvolver\nuso mi sigilo\n");
  EXPECT_TRUE(contains_in_order(
      out, {"\x1b[38;5;51m┌─ 🎭 NARRADOR (Modo Clásico)", kNoEffect, "└──", kOptionsHead,
            // lore found by free text is narrated as an investigation
            "Investigación del entorno.\n\n[📖 Detalle descubierto: El Rey Antiguo]",
            // A named option that is refused shows why and keeps the scene.
            warning("Necesitas tener el objeto 'Llave' para hacer esto."), kOptionsHead,
            "Avanzas: Cruzar la puerta", scene("2", "Tesoro del Rey"),
            "Avanzas: Volver a la entrada", " + Sigilo (+1)", "Fallaste la prueba de Sigilo",
            scene("4", "Trampa"), error("\n💀 Has sucumbido al destino de la mazmorra.")}));
}

// Two adventures at the same time in one process, each on a host of its own
// (scripted input, screens to a string, its own root folder) with its own
// seed: each plays exactly what it plays alone, dice, flavour sentences,
// pauses and autosave included. This is what a server of many tables needs.
TEST(SessionHosts, TwoAdventuresAtOnceEachPlayAsAlone) {
  Story* crypt = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  ASSERT_TRUE(story_parser_load_file(*crypt, QH_SOURCE_DIR "/stories/la_cripta_del_rey_ceniza.md"));
  struct Run {
    std::uint32_t seed;
    std::string input;
    std::string screens, autosave;
    std::vector<int> sleeps;
  };
  // Plays one adventure on a fresh root, slowly typed (the pauses are only recorded).
  auto play = [crypt](Run& run) {
    TempDir root;
    AppConfig config{};
    config.offline_mode = true;
    config.typing_speed = 0.004f;
    ScriptedHost player(run.input, root.path());
    game_session_run({player.host(), nullptr, run.seed}, crypt, "stories/la_cripta.md", &config,
                     "Ana", nullptr, nullptr);
    run.screens = player.output();
    run.sleeps = player.sleeps();
    run.autosave = read_file(root.file("saves/autosave_storiesla_criptamd.json"));
  };
  std::string wander;  // the first options, with a look at the lore, then leave
  for (int i = 0; i < 40; ++i) wander += std::to_string(i % 3 == 2 ? 2 : 1) + "\n/lore rey\n";
  wander += "/salir\n";
  Run alone[2] = {{7, "1\n" + wander, {}, {}, {}}, {99, "1\n3\n" + wander, {}, {}, {}}};
  for (Run& run : alone) play(run);
  for (const Run& run : alone) {
    ASSERT_TRUE(contains_in_order(run.screens, {"Tirando dados"}));
  }
  ASSERT_NE(alone[0].screens, alone[1].screens);
  for (int round = 0; round < 3; ++round) {
    Run together[2] = {{7, alone[0].input, {}, {}, {}}, {99, alone[1].input, {}, {}, {}}};
    std::thread other([&] { play(together[1]); });
    play(together[0]);
    other.join();
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(together[i].screens, alone[i].screens) << i;
      EXPECT_EQ(together[i].sleeps, alone[i].sleeps) << i;
      EXPECT_EQ(stamped(together[i].autosave), stamped(alone[i].autosave)) << i;
    }
  }
  std::free(crypt);
}

// The lore memory only tells what the hero has seen: the passages written
// before the first scene, and the scenes visited so far. What it may tell is
// saved with the game, and an older save knows only its own scene.
TEST_F(Session, LoreKnowsOnlyWhatTheHeroHasSeen) {
  const std::string text = read_file(QH_TEST_DATA_DIR "/cripta_de_prueba.md") +
                           "\n## 7 Cripta sellada\nUn cofre de oro macizo espera.\n"
                           "> [Lore: El oro del rey] El cofre guarda oro maldito.\n"
                           "- [-> 1] Volver\n";
  ASSERT_TRUE(story_parser_load_string(*story, text.c_str(), "x"));
  EXPECT_TRUE(contains_in_order(
      play("/lore oro\n/lore monarca\n"),
      {warning("No hay recuerdos en los anales sobre ese término."), "[El Rey Antiguo]: "}));
  std::string out = play("/lore oro\n/salir\n", "7");
  EXPECT_TRUE(
      contains_in_order(out, {"📚 Conocimiento recuperado sobre 'oro'", "[El oro del rey]"}));
  EXPECT_TRUE(contains_in_order(read_file(at(kAutosave)),
                                {"\"visited_sections\": [\n    \"7\"\n  ]\n}\n"}));
  // Resumed from that save, the crypt is still known; without the key it is not.
  SaveVisited visits{};
  Character hero{};
  char section[32] = "";
  ASSERT_TRUE(load_game(at("saves").c_str(), "storiespruebamd", section, sizeof section, &hero,
                        "autosave_storiespruebamd.json", &visits));
  EXPECT_TRUE(visits.present && visits.count == 1 && visits.ids[0] == "7");
  auto resumed = [&](const SaveVisited* kept) {
    ScriptedHost player("2\n/lore oro\n", dir.path());
    game_session_run({.host = player.host(), .resumed_visits = kept}, story, "stories/prueba.md",
                     &config, "Ana", "1", &hero);
    return player.output();
  };
  EXPECT_TRUE(contains_in_order(resumed(&visits), {"[El oro del rey]"}));
  EXPECT_TRUE(lacks(resumed(nullptr), "[El oro del rey]"));
}

// A scene's text is typed once; shown again (an empty line, a return) it is
// written at once. An option leading to no section keeps the hero where they
// are, with the missing id named, and takes nothing.
TEST_F(Session, ScenesAreTypedOnceAndBrokenLinksKeepTheHero) {
  config.typing_speed = 0.01f;
  const std::string text =
      read_file(QH_TEST_DATA_DIR "/cripta_de_prueba.md") +
      "\n## 8 Puente roto\nEl puente termina en el aire.\n- [-> ninguna] Saltar al vacío\n"
      "- [Check: Fuerza | DC: 2 | Éxito: 1 | Fallo: 1] Volver trepando\n";
  ASSERT_TRUE(story_parser_load_string(*story, text.c_str(), "x"));
  ScriptedHost player("\n1\n\n", dir.path());
  game_session_run({.host = player.host()}, story, "stories/prueba.md", &config, "Ana", "8",
                   nullptr);
  const std::string out = player.output();
  // "El puente termina en el aire." typed once: one pause per two characters.
  EXPECT_EQ(player.sleeps().size(), std::string("El puente termina en el aire.").size() / 2 + 1);
  EXPECT_EQ(count_of(out, scene("8", "Puente roto")), 3);  // arrival, empty line, empty line
  EXPECT_TRUE(contains_in_order(
      out, {error("Error: No se encontró la sección 'ninguna'. La historia tiene un enlace roto; "
                  "elige otra opción."),
            kOptionsHead}));
  EXPECT_TRUE(lacks(out, "NARRADOR"));
}

// When the autosave cannot be written, /salir says so and the adventure goes
// on; a second /salir leaves without saving.
TEST_F(Session, ExitStaysWhenTheAutosaveFails) {
  write_file(at("saves"), "no es una carpeta");
  // Played on after the warning, a later /salir warns again before leaving.
  std::string out = play("/salir\n2\n/salir\n/salir\n");
  EXPECT_TRUE(contains_in_order(
      out,
      {warning("⚠️ No se pudo escribir saves/autosave_storiespruebamd.json: la partida no se "
               "guardó."),
       "Sigues en la aventura.", kOptionsHead, scene("2", "Tesoro del Rey"),
       "Sigues en la aventura.", kOptionsHead,
       warning("⚠️ No se pudo escribir saves/autosave_storiespruebamd.json: la partida no se "
               "guardó."),
       info("Sales de la aventura sin guardarla.")}));
  EXPECT_TRUE(lacks(out, kFarewell));
  // A closed input cannot wait: it leaves at once, saying what was lost.
  out = play("1\n");
  EXPECT_TRUE(contains_in_order(out, {info(kFarewell), "la partida no se guardó"}));
}

// At a table with a director, /dar, /quitar and /vida change the party's hero
// and show the panel; a blow to 0 kills. In a player's own game they do not exist.
TEST_F(Session, DirectorCommandsOnlyAtADirectorsTable) {
  EXPECT_TRUE(
      contains_in_order(play("/dar Espada\n"), {warning("Comando desconocido. Escribe /ayuda.")}));
  ScriptedHost player(
      "/dar Espada\n/quitar espada\n/quitar Nada\n/vida 5\n/vida -3\n/vida +1\n/vida -99\n",
      dir.path());
  const SessionEnd end = game_session_run({.host = player.host(), .director_commands = true}, story,
                                          "stories/prueba.md", &config, "Ana", nullptr, nullptr);
  const std::string out = player.output();
  EXPECT_EQ(end, SESSION_END_DEATH_AFTER_ACTION);
  EXPECT_TRUE(contains_in_order(
      out, {success("🎁 El director te entrega: Espada"), "Antorcha, Espada",
            warning("✋ El director te quita: espada"), warning("No llevas «Nada»."),
            warning("Uso: /vida +N o /vida -N"),
            warning("❤️ El director cambia tu vida en -3: ahora 7/10."), " 7/10",
            success("❤️ El director cambia tu vida en +1: ahora 8/10."),
            warning("❤️ El director cambia tu vida en -8: ahora 0/10.")}));
}

// With the language model chosen but no key, the classic narrator answers: the
// panel says so, and the first narration tells why, once.
TEST_F(Session, WithoutAKeyThePanelNamesTheClassicNarrator) {
  config.offline_mode = false;
  const std::string out = play("2\n1\n2\n");
  EXPECT_TRUE(contains_in_order(
      out, {"│ Narrador: 💾 Clásico (Sin IA - 0 tokens)", "NARRADOR (Modo Clásico)"}));
  EXPECT_TRUE(lacks(out, "Narrador IA Activo"));
  EXPECT_EQ(count_of(out, "No hay clave de IA"), 1);
}

// A move back into the same scene is an arrival: its hazard strikes again.
// Reading the help there eleven times does not.
TEST_F(Session, AMoveBackIntoTheSameSceneIsAnArrival) {
  const std::string text = read_file(QH_TEST_DATA_DIR "/cripta_de_prueba.md") +
                           "\n## 9 Río helado\nEl agua corta como un cuchillo.\n> [Daño: 1]\n"
                           "- [-> 9] Vadear otra vez\n- [-> 1] Salir del río\n";
  ASSERT_TRUE(story_parser_load_string(*story, text.c_str(), "x"));
  std::string help;
  for (int i = 0; i < 11; ++i) help += "/ayuda\n";
  std::string out = play(help + "1\n1\n", "9");
  // Arriving there to begin with, then twice by wading again.
  EXPECT_EQ(count_of(out, "Sufres 1 de daño."), 3);
  EXPECT_TRUE(contains_in_order(read_file(at(kAutosave)), {"\"hp\": 7,"}));
}
