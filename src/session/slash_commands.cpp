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

// An answer drawn from the hero alone: the sheet, the backpack, the help.
void show(SessionState& s, SessionEventKind kind) {
  SessionEvent e{};
  e.kind = kind;
  e.hero = &s.hero;
  session_emit(s, e);
}

void set_volume(SessionState& s, const char* argument) {
  // Saturating, so an enormous number stays out of range instead of wrapping into it.
  std::int32_t value = read_decimal_i32(argument);
  if (value < 0 || value > 100 || s.audio == nullptr) {
    session_say(s, "Uso: /volumen <0-100>", "warning");
    return;
  }
  float fraction = static_cast<float>(value) / 100.0f;
  audio_set_volume(*s.audio, fraction);
  s.config->music_volume = fraction;
  session_say(s, "Volumen ajustado con éxito.", "success");
}

void set_speed(SessionState& s, std::string_view argument) {
  for (const SpeedWord& w : kSpeedWords) {
    if (argument != w.word) continue;
    s.config->typing_speed = w.speed;
    ui_set_typewriter_speed(*s.ui, w.speed);
    session_say(s, w.message, "success");
    return;
  }
  session_say(s, "Uso: /velocidad [rapida | media | lenta | instantanea]", "warning");
}

// Plays a theme the player names; the turn loop keeps it while this scene lasts.
void choose_theme(SessionState& s, const StorySection& section, const char* argument) {
  if (argument[0] == '\0') {
    session_say(s, "Uso: /tema <nombre>", "warning");
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
    session_say(s, "No hay ningún reproductor de audio disponible: la música está en silencio.",
                "warning");
  } else {
    session_message(s, "warning", SESSION_SHORT_MESSAGE, "No se encontró el tema musical: %s.",
                    argument);
  }
}

// The director's hand on the party's hero: an item given or taken, hit points
// given or taken (a hero brought to 0 dies, as by any other blow). The panel
// shows the hero as the director left them.
bool director_command(SessionState& s, std::string_view word, const char* argument) {
  if (!s.director_commands) return false;
  if (word == "/dar" || word == "/quitar") {
    FixedText<NameText::kCapacity> item;
    item.assign(trim_view(argument));
    if (item.empty()) {
      session_say(s, word == "/dar" ? "Uso: /dar <objeto>" : "Uso: /quitar <objeto>", "warning");
    } else if (word == "/dar") {
      character_add_item(s.hero, item.view());
      session_message(s, "success", SESSION_SHORT_MESSAGE, "🎁 El director te entrega: %s",
                      item.c_str());
      session_show_panel(s);
    } else if (character_remove_item(s.hero, item.view())) {
      session_message(s, "warning", SESSION_SHORT_MESSAGE, "✋ El director te quita: %s",
                      item.c_str());
      session_show_panel(s);
    } else {
      session_message(s, "warning", SESSION_SHORT_MESSAGE, "No llevas «%s».", item.c_str());
    }
    return true;
  }
  if (word == "/vida") {
    std::string_view amount = trim_view(argument);
    const bool signed_amount = !amount.empty() && (amount[0] == '+' || amount[0] == '-');
    std::int32_t change = read_decimal_i32(amount);
    if (!signed_amount || amount.size() < 2 || !is_ascii_digit(amount[1])) {
      session_say(s, "Uso: /vida +N o /vida -N", "warning");
      return true;
    }
    std::int32_t done =
        change >= 0 ? character_heal(s.hero, change)
                    : -character_take_damage(s.hero, change == INT32_MIN ? INT32_MAX : -change);
    session_message(s, done >= 0 ? "success" : "warning", SESSION_SHORT_MESSAGE,
                    "❤️ El director cambia tu vida en %+d: ahora %d/%d.", done, s.hero.hp,
                    s.hero.max_hp);
    session_show_panel(s);
    return true;
  }
  return false;
}

void lore_lookup(SessionState& s, const char* argument) {
  if (argument[0] == '\0') {
    session_say(s, "Uso: /lore <término a buscar>", "warning");
    return;
  }
  // Only what this hero has seen, or what the story tells before its first scene.
  LoreHit hits[kLoreResults];
  std::int32_t found = rag_query(s.lore, argument, hits, kLoreResults, &s.lore_visible);
  if (found <= 0) {
    session_say(s, "No hay recuerdos en los anales sobre ese término.", "warning");
    return;
  }
  SessionEvent e{};
  e.kind = SessionEventKind::kLore;
  e.name = argument;
  e.hits = hits;
  e.hit_count = found < kLoreResults ? found : kLoreResults;
  session_emit(s, e);
}

void quick_save(SessionState& s, const StorySection& section) {
  if (session_save(s, SaveSlot::kQuicksave, section)) {
    session_say(s, "💾 Partida guardada con éxito.", "success");
  } else {
    session_message(s, "error", SESSION_SHORT_MESSAGE + SAVE_MAX_FILE_NAME_BYTES,
                    "Error al guardar partida: no se pudo escribir %s/%s.", PATH_SAVES_DIR,
                    s.quicksave_name.c_str());
  }
}

void quick_load(SessionState& s) {
  // A save without a section id resumes at the story's start, never at an empty id.
  char section_id[IdText::kCapacity];
  text_copy(section_id, sizeof section_id, s.story->start.empty() ? "1" : s.story->start.view());
  std::memset(static_cast<void*>(&s.loaded), 0, sizeof s.loaded);
  if (!load_game(s.saves_dir.c_str(), s.slug.c_str(), section_id, sizeof section_id, &s.loaded,
                 s.quicksave_name.c_str(), &s.saved_visits)) {
    session_say(s, "No se encontró ningún guardado para esta historia.", "warning");
    return;
  }
  session_resume_from(s, s.loaded, section_id, s.saved_visits);
  session_say(s, "📂 Partida cargada con éxito.", "success");
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
    show(s, SessionEventKind::kHelp);
  } else if (is_one_of(w, {"/musica", "/audio"})) {
    if (s.audio != nullptr) {
      bool on = audio_toggle(*s.audio);
      s.config->music_enabled = on;
      session_say(s, on ? "Música activada 🎵." : "Música pausada 🔇.", "info");
    }
  } else if (w == "/volumen") {
    set_volume(s, argument.c_str());
  } else if (w == "/tema") {
    choose_theme(s, section, argument.c_str());
  } else if (w == "/modo") {
    s.config->offline_mode = !s.config->offline_mode;
    session_say(s,
                s.config->offline_mode ? "💾 MODO NARRADOR CLÁSICO (Sin IA - 0 tokens)"
                                       : "⚡ MODO NARRADOR IA ACTIVADO",
                "success");
  } else if (w == "/tokens") {
    s.config->show_token_usage = !s.config->show_token_usage;
    session_say(s,
                s.config->show_token_usage ? "Telemetría de tokens activada."
                                           : "Telemetría de tokens desactivada.",
                "info");
  } else if (w == "/velocidad") {
    set_speed(s, argument.view());
  } else if (is_one_of(w, {"/stats", "/ficha"})) {
    show(s, SessionEventKind::kSheet);
  } else if (is_one_of(w, {"/inv", "/mochila"})) {
    show(s, SessionEventKind::kInventory);
  } else if (w == "/lore") {
    lore_lookup(s, argument.c_str());
  } else if (w == "/guardar") {
    quick_save(s, section);
  } else if (w == "/cargar") {
    quick_load(s);
  } else if (is_one_of(w, {"/salir", "/exit", "/quit"})) {
    return SlashOutcome::kLeave;
  } else if (director_command(s, w, argument.c_str())) {
    // The director's commands exist only at a shared table.
  } else {
    session_say(s, "Comando desconocido. Escribe /ayuda.", "warning");
  }
  return SlashOutcome::kStay;
}
