// Commands to the engine typed during play: a line that starts with "/".
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "savegame/save_file.h"
#include "session/session_internal.h"
#include "ui/palette.h"
#include "ui/panels.h"
#include "ui/text_output.h"

namespace {

constexpr std::size_t kWordMax = 63;
constexpr std::size_t kArgumentMax = 255;
constexpr std::int32_t kLoreResults = 2;

constexpr const char* kHelpLines[] = {
    "\n" QH_ORANGE QH_BOLD "=== COMANDOS DEL SISTEMA ===" QH_RESET,
    "  1, 2, 3...       : Seleccionar una opción disponible",
    "  Texto libre      : 'inspeccionar cofre', 'atacar con sigilo', etc.",
    "  /musica, /audio  : Activar o pausar la música retro de fondo",
    "  /volumen <0-100> : Ajustar volumen de la música",
    "  /tema <nombre>   : Cambiar tema musical (dungeon, combate, victoria)",
    "  /modo            : Alternar entre [⚡ Narrador IA] y [💾 Narrador Clásico (Sin IA)]",
    "  /tokens          : Alternar telemetría de tokens en pantalla",
    "  /velocidad <vel> : Ajustar mecanografía (rapida, media, lenta, instantanea)",
    "  /stats, /ficha   : Ver atributos completos del personaje",
    "  /inv, /mochila   : Ver inventario detallado",
    "  /lore <tema>     : Consultar la memoria RAG del mundo",
    "  /guardar         : Guardar partida actual",
    "  /cargar          : Cargar última partida guardada",
    "  /salir           : Guardar automáticamente y salir al menú\n",
};

struct SpeedWord {
  const char* word;
  float speed;
  const char* message;
};
constexpr SpeedWord kSpeedWords[] = {
    {"rapida", 0.004f, "Velocidad: Rápida."},
    {"rápida", 0.004f, "Velocidad: Rápida."},
    {"media", 0.01f, "Velocidad: Media."},
    {"normal", 0.01f, "Velocidad: Media."},
    {"lenta", 0.025f, "Velocidad: Lenta."},
    {"instantanea", 0.0f, "Velocidad: Instantánea (sin pausas)."},
    {"off", 0.0f, "Velocidad: Instantánea (sin pausas)."},
};

bool is_one_of(std::string_view word, std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    if (word == name) return true;
  }
  return false;
}

void print_help(UiContext& ui) {
  for (const char* line : kHelpLines) ui_printf(ui, "%s\n", line);
}

void print_sheet(UiContext& ui, const Character& hero) {
  ui_printf(ui, "\n" QH_CYAN QH_BOLD "--- Ficha de %s ---" QH_RESET "\n",
            text_printable(hero.name).c_str());
  ui_printf(ui, "Vida: %d / %d\n", hero.hp, hero.max_hp);
  ui_write(ui, "Atributos:\n");
  for (const StatEntry& stat : list_used(hero.stats, hero.stat_count)) {
    ui_printf(ui, "  - %s: %+d\n", text_printable(stat.name).c_str(), stat.value);
  }
  ui_write(ui, "Estados: ");
  auto states = list_used(hero.states, hero.state_count);
  if (states.empty()) ui_write(ui, "Ninguno");
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (i > 0) ui_write(ui, ", ");
    ui_write(ui, text_printable(states[i]).c_str());
  }
  ui_write(ui, "\n\n");
}

void print_inventory(UiContext& ui, const Character& hero) {
  ui_printf(ui, "\n" QH_YELLOW QH_BOLD "--- Mochila de %s ---" QH_RESET "\n",
            text_printable(hero.name).c_str());
  auto items = list_used(hero.inventory, hero.inventory_count);
  if (items.empty()) {
    ui_write(ui, "Tu mochila está vacía.\n\n");
    return;
  }
  for (const NameText& item : items) ui_printf(ui, "  📦 %s\n", text_printable(item).c_str());
  ui_write(ui, "\n");
}

void set_volume(SessionState& s, const char* argument) {
  // Saturating, so an enormous number stays out of range instead of wrapping into it.
  std::int32_t value = read_decimal_i32(argument);
  if (value < 0 || value > 100 || s.audio == nullptr) {
    ui_print_message(*s.ui, "Uso: /volumen <0-100>", "warning");
    return;
  }
  float fraction = static_cast<float>(value) / 100.0f;
  audio_set_volume(*s.audio, fraction);
  s.config->music_volume = fraction;
  ui_print_message(*s.ui, "Volumen ajustado con éxito.", "success");
}

void set_speed(SessionState& s, std::string_view argument) {
  for (const SpeedWord& w : kSpeedWords) {
    if (argument != w.word) continue;
    s.config->typing_speed = w.speed;
    ui_set_typewriter_speed(*s.ui, w.speed);
    ui_print_message(*s.ui, w.message, "success");
    return;
  }
  ui_print_message(*s.ui, "Uso: /velocidad [rapida | media | lenta | instantanea]", "warning");
}

// Plays a theme the player names; the turn loop keeps it while this scene lasts.
void choose_theme(SessionState& s, const StorySection& section, const char* argument) {
  if (argument[0] == '\0') {
    ui_print_message(*s.ui, "Uso: /tema <nombre>", "warning");
    return;
  }
  if (!session_music_on(s)) return;
  // The music layer keeps theme names to 63 bytes; compare with the name as it keeps it.
  FixedText<64> theme{};
  theme.assign(argument);
  audio_play(*s.audio, theme.c_str(), true);
  if (s.audio->playing && s.audio->current_theme == theme.view()) {
    s.chosen_theme.assign(theme.view());
    s.chosen_theme_section.assign(section.id.view());
    session_message(s, "info", SESSION_SHORT_MESSAGE, "Tema musical: %s 🎵.", argument);
    return;
  }
  // Nothing played: the theme has no track, or there is no player to play it with.
  char track[512];
  if (audio_find_track(*s.audio, theme.c_str(), track, sizeof track) &&
      !platform_audio_player_available()) {
    ui_print_message(*s.ui,
                     "No hay ningún reproductor de audio disponible: la música está en silencio.",
                     "warning");
  } else {
    session_message(s, "warning", SESSION_SHORT_MESSAGE, "No se encontró el tema musical: %s.",
                    argument);
  }
}

void lore_lookup(SessionState& s, const char* argument) {
  if (argument[0] == '\0') {
    ui_print_message(*s.ui, "Uso: /lore <término a buscar>", "warning");
    return;
  }
  LoreHit hits[kLoreResults];
  std::int32_t found = rag_query(s.lore, argument, hits, kLoreResults);
  if (found <= 0) {
    ui_print_message(*s.ui, "No hay recuerdos en los anales sobre ese término.", "warning");
    return;
  }
  ui_printf(*s.ui, "\n" QH_ORANGE "📚 Conocimiento recuperado sobre '%s':" QH_RESET "\n",
            text_printable(argument).c_str());
  for (std::int32_t i = 0; i < found && i < kLoreResults; ++i) {
    ui_print_lore_passage(*s.ui, hits[i].title.view(), hits[i].text.view());
  }
}

void quick_save(SessionState& s, const StorySection& section) {
  char file_name[160];
  std::snprintf(file_name, sizeof file_name, "quicksave_%s.json", s.slug.c_str());
  if (save_game(s.saves_dir.c_str(), s.slug.c_str(), s.story->title.c_str(), s.section_id.c_str(),
                section.title.c_str(), &s.hero, file_name)) {
    ui_print_message(*s.ui, "💾 Partida guardada con éxito.", "success");
  } else {
    session_message(s, "error", sizeof file_name + 64,
                    "Error al guardar partida: no se pudo escribir %s/%s.", PATH_SAVES_DIR,
                    file_name);
  }
}

void quick_load(SessionState& s) {
  char file_name[160];
  std::snprintf(file_name, sizeof file_name, "quicksave_%s.json", s.slug.c_str());
  // A save without a section id resumes at the story's start, never at an empty id.
  char section_id[32];
  text_copy(section_id, sizeof section_id, s.story->start.empty() ? "1" : s.story->start.view());
  std::memset(static_cast<void*>(&s.loaded), 0, sizeof s.loaded);
  if (!load_game(s.saves_dir.c_str(), s.slug.c_str(), section_id, sizeof section_id, &s.loaded,
                 file_name)) {
    ui_print_message(*s.ui, "No se encontró ningún guardado para esta historia.", "warning");
    return;
  }
  s.hero = s.loaded;
  s.section_id.assign(section_id);
  ui_print_message(*s.ui, "📂 Partida cargada con éxito.", "success");
}

}  // namespace

SlashOutcome session_run_slash_command(SessionState& s, const StorySection& section,
                                       const char* line) {
  // The word is the first run of non-blank characters; the argument is the
  // rest of the line after the blanks that follow it, inner spaces kept.
  std::size_t end = 0;
  while (line[end] != '\0' && !is_blank(line[end])) ++end;
  FixedText<kWordMax + 1> word;
  word.assign(std::string_view(line, end));
  std::size_t rest = end;
  while (line[rest] != '\0' && is_blank(line[rest])) ++rest;
  FixedText<kArgumentMax + 1> argument;
  argument.assign(line + rest);
  std::string_view w = word.view();

  if (is_one_of(w, {"/ayuda", "/help", "/h"})) {
    print_help(*s.ui);
  } else if (is_one_of(w, {"/musica", "/audio"})) {
    if (s.audio != nullptr) {
      bool on = audio_toggle(*s.audio);
      s.config->music_enabled = on;
      ui_print_message(*s.ui, on ? "Música activada 🎵." : "Música pausada 🔇.", "info");
    }
  } else if (w == "/volumen") {
    set_volume(s, argument.c_str());
  } else if (w == "/tema") {
    choose_theme(s, section, argument.c_str());
  } else if (w == "/modo") {
    s.config->offline_mode = !s.config->offline_mode;
    ui_print_message(*s.ui,
                     s.config->offline_mode ? "💾 MODO NARRADOR CLÁSICO (Sin IA - 0 tokens)"
                                            : "⚡ MODO NARRADOR IA ACTIVADO",
                     "success");
  } else if (w == "/tokens") {
    s.config->show_token_usage = !s.config->show_token_usage;
    ui_print_message(*s.ui,
                     s.config->show_token_usage ? "Telemetría de tokens activada."
                                                : "Telemetría de tokens desactivada.",
                     "info");
  } else if (w == "/velocidad") {
    set_speed(s, argument.view());
  } else if (is_one_of(w, {"/stats", "/ficha"})) {
    print_sheet(*s.ui, s.hero);
  } else if (is_one_of(w, {"/inv", "/mochila"})) {
    print_inventory(*s.ui, s.hero);
  } else if (w == "/lore") {
    lore_lookup(s, argument.c_str());
  } else if (w == "/guardar") {
    quick_save(s, section);
  } else if (w == "/cargar") {
    quick_load(s);
  } else if (is_one_of(w, {"/salir", "/exit", "/quit"})) {
    return SlashOutcome::kLeave;
  } else {
    ui_print_message(*s.ui, "Comando desconocido. Escribe /ayuda.", "warning");
  }
  return SlashOutcome::kStay;
}
