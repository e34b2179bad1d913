#include <sys/stat.h>

#include <vector>

#include "platform/audio.h"
#include "session_fixture.h"

using qh_session_test::count;
using qh_session_test::scene;
using qh_session_test::SessionFixture;
using qh_test::contains_in_order;
using qh_test::file_exists;
using qh_test::lacks;
using qh_test::read_file;

namespace {

std::string warning(const std::string& text) { return "\x1b[38;5;226m\x1b[1m" + text + "\x1b[0m\n"; }
std::string success(const std::string& text) { return "\x1b[38;5;46m\x1b[1m" + text + "\x1b[0m\n"; }
std::string info(const std::string& text) { return "\x1b[38;5;51m" + text + "\x1b[0m\n"; }

const std::string kHelp =
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

const std::string kUnknown = warning("Comando desconocido. Escribe /ayuda.");
const std::string kSpeedUsage = warning("Uso: /velocidad [rapida | media | lenta | instantanea]");
const std::string kVolumeUsage = warning("Uso: /volumen <0-100>");

}  // namespace

TEST_F(SessionFixture, CommandsWithoutAudio) {
  load(qh_session_test::kDungeon);
  std::string out = play(
      "/ayuda extra\n/Ayuda\n/ayudas\n/modo\n/modo\n/tokens\n/tokens\n"
      "/velocidad instantánea\n/velocidad rápida\n/velocidad\n/velocidad off\n"
      "/stats\n/ficha\n/inv\n/lore\n/lore   \n/lore rey antiguo\n/lore zzzz\n"
      "/musica\n/volumen 50\n/tema\n/tema combate\n/salir\n");
  EXPECT_TRUE(contains_in_order(
      out,
      {kHelp, kUnknown, kUnknown, success("⚡ MODO NARRADOR IA ACTIVADO"),
       success("💾 MODO NARRADOR CLÁSICO (Sin IA - 0 tokens)"),
       info("Telemetría de tokens activada."), info("Telemetría de tokens desactivada."),
       kSpeedUsage, success("Velocidad: Rápida."), kSpeedUsage,
       success("Velocidad: Instantánea (sin pausas)."),
       "\n\x1b[38;5;51m\x1b[1m--- Ficha de Ana ---\x1b[0m\nVida: 10 / 10\nAtributos:\n"
       "  - Fuerza: +2\n  - Sigilo: +1\nEstados: Ninguno\n\n",
       "--- Ficha de Ana ---",
       "\n\x1b[38;5;226m\x1b[1m--- Mochila de Ana ---\x1b[0m\n  📦 Antorcha\n\n",
       warning("Uso: /lore <término a buscar>"), warning("Uso: /lore <término a buscar>"),
       "\n\x1b[38;5;214m📚 Conocimiento recuperado sobre 'rey antiguo':\x1b[0m\n"
       "\x1b[38;5;51m[El Rey Antiguo]: \x1b[38;5;231mUn monarca olvidado duerme bajo la cripta."
       "\n\n\x1b[0m",
       warning("No hay recuerdos en los anales sobre ese término."), kVolumeUsage,
       warning("Uso: /tema <nombre>"), "Guardando partida"}));
  EXPECT_EQ(count(out, "=== COMANDOS DEL SISTEMA ==="), 1);
  // Without an audio state the music commands stay silent.
  EXPECT_TRUE(lacks(out, "Música"));
  EXPECT_TRUE(lacks(out, "Tema musical"));
  // Every command shows the scene again; the settings change in memory only.
  EXPECT_EQ(count(out, scene("1", "Entrada")), 23);
  EXPECT_TRUE(config.offline_mode);
  EXPECT_FALSE(config.show_token_usage);
  EXPECT_EQ(config.typing_speed, 0.0f);
  EXPECT_EQ(ui_get_typewriter_speed(), 0.0f);
  EXPECT_FALSE(file_exists(dir.file("config.json")));
}

TEST_F(SessionFixture, MusicAndVolumeWithAnAudioState) {
  load(qh_session_test::kDungeon);
  AudioState audio{};
  audio_init(audio, dir.path().c_str(), false, 0.7f);
  // A number past the 32-bit range must not wrap around into 0..100.
  std::string out = play(
      "/volumen\n/volumen 150\n/volumen -5\n/volumen 4294967346\n/volumen 35\n"
      "/musica\n/tema combate\n/musica\n/salir\n",
      &audio);
  EXPECT_TRUE(contains_in_order(
      out, {success("Volumen ajustado con éxito."), kVolumeUsage, kVolumeUsage, kVolumeUsage,
            success("Volumen ajustado con éxito."), info("Música activada 🎵."),
            warning("No se encontró el tema musical: combate."), info("Música pausada 🔇.")}));
  EXPECT_FLOAT_EQ(audio.volume, 0.35f);
  EXPECT_FLOAT_EQ(config.music_volume, 0.35f);
  EXPECT_FALSE(config.music_enabled);
  EXPECT_FALSE(audio.enabled);
}

TEST_F(SessionFixture, QuickSaveAndLoad) {
  load(qh_session_test::kDungeon);
  std::string out = play("/cargar\n/guardar\n2\n/cargar\n/salir\n");
  EXPECT_TRUE(contains_in_order(
      out, {warning("No se encontró ningún guardado para esta historia."),
            success("💾 Partida guardada con éxito."), "Has encontrado un objeto: Llave",
            scene("2", "Sala del tesoro"), success("📂 Partida cargada con éxito."),
            scene("1", "Entrada")}));
  EXPECT_TRUE(file_exists(save_file("quicksave")));
  // The loaded hero replaced the one who had found the key.
  std::string saved = read_file(save_file("autosave"));
  EXPECT_NE(saved.find("\"current_section_id\": \"1\""), std::string::npos);
  EXPECT_TRUE(lacks(saved, "Llave"));
}

TEST_F(SessionFixture, LoadWithoutSectionIdResumesAtTheStart) {
  load(qh_session_test::kDungeon);
  qh_test::write_file(save_file("quicksave"),
                      "{\n  \"character\": {\n    \"name\": \"Bea\",\n    \"hp\": 4,\n"
                      "    \"max_hp\": 10\n  }\n}\n");
  std::string out = play("2\n/cargar\n/salir\n");
  EXPECT_TRUE(contains_in_order(
      out, {scene("2", "Sala del tesoro"), "Partida cargada", "Bea", scene("1", "Entrada")}));
  EXPECT_TRUE(lacks(out, "No se encontró la sección"));
  std::string saved = read_file(save_file("autosave"));
  EXPECT_TRUE(contains_in_order(saved, {"\"current_section_id\": \"1\"", "\"name\": \"Bea\"",
                                        "\"hp\": 4,"}));
}

TEST_F(SessionFixture, FailedQuickSaveIsReported) {
  load(qh_session_test::kDungeon);
  qh_test::write_file(dir.file("saves"), "not a folder");
  std::string out = play("/guardar\n/salir\n");
  EXPECT_TRUE(contains_in_order(out, {"\x1b[38;5;196m\x1b[1mError al guardar partida.\x1b[0m\n",
                                      "Guardando partida automáticamente"}));
}

namespace {

// Feeds scripted lines and notes the theme playing when each prompt is shown.
struct MusicScript {
  std::vector<std::string> lines;
  std::size_t next = 0;
  const AudioState* audio = nullptr;
  std::vector<std::string> themes;
};

bool scripted_line(char* buffer, std::size_t capacity, void* context) {
  auto* script = static_cast<MusicScript*>(context);
  script->themes.emplace_back(script->audio->current_theme.view());
  if (script->next == script->lines.size()) return false;
  std::snprintf(buffer, capacity, "%s\n", script->lines[script->next++].c_str());
  return true;
}

}  // namespace

TEST_F(SessionFixture, ChosenThemeHoldsForItsSceneAndScenesPickTheirOwn) {
  load(R"(---
title: Musica
---
## 1 Pasillo
Silencio.
- [-> 2] Entrar

## 2 Trono del Rey
Un trono.
- [-> 1] Salir
)");
  // A stand-in player that plays nothing, and the three tracks it could play.
  qh_test::make_executable_script(dir.file("bin/afplay"), "#!/bin/sh\nexec sleep 5\n");
  for (const char* track : {"dungeon_ambient.wav", "battle_tension.wav", "victory_fanfare.wav"}) {
    qh_test::write_file(dir.file(std::string("assets/audio/") + track), "RIFF");
  }
  std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (dir.file("bin") + ":" + old_path).c_str(), 1);

  config.music_enabled = true;
  AudioState audio{};
  audio_init(audio, dir.path().c_str(), true, 0.7f);
  MusicScript script;
  script.lines = {"/tema victoria", "/ayuda", "1", "/musica", "/musica", "1", "/salir"};
  script.audio = &audio;
  ui_set_line_source(scripted_line, &script);
  std::string out = qh_test::capture_stdout([&] {
    game_session_run(story, "musica.md", &config, &audio, "Ana", nullptr, nullptr);
  });
  ui_set_line_source(nullptr, nullptr);
  setenv("PATH", old_path.c_str(), 1);

  EXPECT_TRUE(contains_in_order(out, {info("Tema musical: victoria 🎵."), info("Música pausada 🔇."),
                                      info("Música activada 🎵.")}));
  // Per prompt: the exploration theme, the chosen one (twice, in the same scene),
  // the combat theme for a title with "Rey", silence, the combat theme again,
  // then back in the first scene the chosen theme has lapsed.
  EXPECT_EQ(script.themes, (std::vector<std::string>{"dungeon", "victoria", "victoria", "combat",
                                                     "", "combat", "dungeon"}));
  EXPECT_EQ(audio.current_theme.view(), "");  // every end stops the music
  EXPECT_FALSE(audio.playing);
}
