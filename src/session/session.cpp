#include "session/session.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "common/fixed_list.h"
#include "common/slug.h"
#include "common/text_util.h"
#include "rules/arrival.h"
#include "rules/option_rules.h"
#include "rules/resolve.h"
#include "savegame/save_file.h"
#include "session/session_internal.h"
#include "story/story_parser.h"
#include "ui/dice_view.h"
#include "ui/panels.h"
#include "ui/text_output.h"

namespace {

// Words of a scene title that call for the combat theme.
constexpr const char* kCombatWords[] = {"combate", "pelea", "boss", "guardi", "rey", "ice"};

// The message of a scene that is played only by typing terminal commands.
constexpr const char* kTerminalSceneMessage =
    "⚠\uFE0F Esta escena requiere ejecutar un comando de terminal en tu cyberdeck, no una opción "
    "numérica.\n   Teclea el comando tal cual (ej: 'nmap ...') en la consola para proceder.";

void stop_music(SessionState& s) {
  if (s.audio != nullptr) audio_stop(*s.audio);
}

// Starts `theme` in a loop unless it is what already plays.
void play_unless_current(SessionState& s, const char* theme) {
  if (s.audio->current_theme == std::string_view(theme)) return;
  audio_play(*s.audio, theme, true);
}

// Chooses and starts the music of the scene about to be shown.
void scene_music(SessionState& s, const StorySection& section) {
  // A theme the player picked lasts as long as the scene where it was picked.
  if (!s.chosen_theme.empty() && !(s.chosen_theme_section == section.id.view())) {
    s.chosen_theme.clear();
  }
  if (!session_music_on(s)) return;
  if (section.is_ending) {
    if (section.ending_type == "victory") {
      audio_play(*s.audio, "victory", false);
    } else {
      audio_stop(*s.audio);
    }
    return;
  }
  if (!s.chosen_theme.empty()) {
    play_unless_current(s, s.chosen_theme.c_str());
    return;
  }
  if (!section.music.empty()) {
    play_unless_current(s, section.music.c_str());
    return;
  }
  FixedText<256> lowered;
  lowered.assign(section.title.view());
  ascii_lower_in_place(lowered.raw());
  bool combat = false;
  for (const char* word : kCombatWords) {
    if (lowered.view().find(word) != std::string_view::npos) combat = true;
  }
  const Story& story = *s.story;
  const char* theme;
  if (combat) {
    theme = story.music_combat.empty() ? "combat" : story.music_combat.c_str();
  } else {
    theme = story.music_explore.empty() ? "dungeon" : story.music_explore.c_str();
  }
  play_unless_current(s, theme);
}

void choose_by_number(SessionState& s, const StorySection& section, const char* line) {
  // Saturating, so a huge number is simply out of range instead of wrapping around.
  std::int32_t wanted = read_decimal_i32(line);
  if (const StoryTransition* chosen = rules_option_by_number(section, wanted)) {
    session_take_option(s, section, *chosen, chosen->label.c_str());
    return;
  }
  // A scene without numbered options is played by typing its commands.
  int numbered = rules_option_numbered_count(section);
  if (numbered > 0) {
    session_message(s, "warning", SESSION_SHORT_MESSAGE,
                    "Opción inválida. Elige un número del 1 al %d para las decisiones disponibles.",
                    numbered);
  } else {
    ui_print_message(*s.ui, kTerminalSceneMessage, "warning");
  }
}

// The autosave of an exit command (and of a closed input), then the farewell line.
void autosave_and_leave(SessionState& s, const StorySection& section) {
  char file_name[160];
  std::snprintf(file_name, sizeof file_name, "autosave_%s.json", s.slug.c_str());
  bool saved = save_game(s.saves_dir.c_str(), s.slug.c_str(), s.story->title.c_str(),
                         s.section_id.c_str(), section.title.c_str(), &s.hero, file_name);
  ui_print_message(*s.ui, "Guardando partida automáticamente y saliendo...", "info");
  // The player must know this adventure cannot be resumed from here.
  if (!saved) {
    session_message(s, "warning", sizeof file_name + 64,
                    "⚠️ No se pudo escribir %s/%s: la partida no se guardó.", PATH_SAVES_DIR,
                    file_name);
  }
  stop_music(s);
}

void start_hero(SessionState& s, const char* hero_name, const Character* saved_hero) {
  if (saved_hero != nullptr) {
    s.hero = *saved_hero;
    return;
  }
  character_seed_from_story(s.hero, *s.story, hero_name != nullptr ? hero_name : "");
}

void start_section(SessionState& s, const char* start_section_id) {
  if (start_section_id != nullptr && start_section_id[0] != '\0') {
    s.section_id.assign(start_section_id);
  } else if (!s.story->start.empty()) {
    s.section_id.assign(s.story->start.view());
  } else {
    s.section_id.assign("1");
  }
}

void notify_end(const SessionState& s, SessionEnd end, const StorySection* section) {
  if (s.observer != nullptr && s.observer->on_end != nullptr) {
    s.observer->on_end(end, section, s.hero, s.observer->context);
  }
}

// One pass of the turn loop. False when the session is over.
bool play_pass(SessionState& s) {
  const StorySection* found = story_get_section(*s.story, s.section_id.view());
  if (found == nullptr) {
    session_message(s, "error", SESSION_SHORT_MESSAGE, "Error: No se encontró la sección '%s'.",
                    s.section_id.c_str());
    stop_music(s);
    notify_end(s, SESSION_END_MISSING_SECTION, nullptr);
    return false;
  }
  const StorySection& section = *found;

  scene_music(s, section);

  Arrival arrival;
  rules_arrive(s.hero, section, arrival);
  if (arrival.hazard) {
    session_message(s, "warning", SESSION_SHORT_MESSAGE,
                    "⚠\uFE0F ¡Peligro de entorno! Sufres %d de daño.", arrival.damage_dealt);
  }
  for (std::int32_t item :
       std::span(arrival.found, static_cast<std::size_t>(arrival.found_count))) {
    session_message(s, "success", SESSION_SHORT_MESSAGE, "🎁 Has encontrado un objeto: %s",
                    section.items[item].c_str());
  }

  if (arrival.end == ArrivalEnd::kDeath) {
    stop_music(s);
    ui_print_hud(*s.ui, &s.hero, s.config->offline_mode, &s.counters, s.config->show_token_usage);
    ui_print_scene(*s.ui, &section);
    ui_print_message(*s.ui, "\n💀 Has caído en la oscuridad. Tu viaje ha terminado.", "error");
    notify_end(s, SESSION_END_DEATH_AT_SCENE, &section);
    return false;
  }

  ui_print_hud(*s.ui, &s.hero, s.config->offline_mode, &s.counters, s.config->show_token_usage);
  ui_print_scene(*s.ui, &section);

  if (arrival.end == ArrivalEnd::kEnding) {
    if (section.ending_type == "victory") {
      ui_print_message(*s.ui, "\n🎉 ¡Felicidades! Has completado la aventura victoriosamente.",
                       "success");
    } else if (section.ending_type == "defeat") {
      ui_print_message(*s.ui, "\n💀 Has sucumbido al destino de la mazmorra.", "error");
    } else {
      ui_print_message(*s.ui, "\n📜 Fin de la aventura.", "info");
    }
    stop_music(s);
    notify_end(s, SESSION_END_ENDING, &section);
    return false;
  }

  ui_print_options(*s.ui, &section, &s.hero);
  if (s.observer != nullptr && s.observer->before_prompt != nullptr) {
    s.observer->before_prompt(section, s.hero, s.observer->context);
  }
  char line[SESSION_LINE_CAPACITY];
  ui_prompt_action(*s.ui, line, sizeof line);

  if (line[0] == '\0') {
    // A closed input would otherwise show the same scene forever: keep the
    // game as an exit command would, and end the session.
    if (ui_input_closed(*s.ui)) {
      autosave_and_leave(s, section);
      notify_end(s, SESSION_END_EXIT, &section);
      return false;
    }
  } else if (line[0] == '/') {
    if (session_run_slash_command(s, section, line) == SlashOutcome::kLeave) {
      autosave_and_leave(s, section);
      notify_end(s, SESSION_END_EXIT, &section);
      return false;
    }
  } else if (rules_option_line_is_number(line)) {
    choose_by_number(s, section, line);
  } else {
    session_run_free_text(s, section, line);
  }

  // A death caused by the action ends the session quietly: its narration was the last word.
  if (!character_is_alive(s.hero)) {
    stop_music(s);
    notify_end(s, SESSION_END_DEATH_AFTER_ACTION, &section);
    return false;
  }
  return true;
}

}  // namespace

bool session_music_on(const SessionState& s) {
  return s.audio != nullptr && s.config->music_enabled && s.audio->enabled;
}

void session_message(SessionState& s, const char* kind, std::size_t capacity, const char* format,
                     ...) {
  char buffer[1024];
  if (capacity > sizeof buffer) capacity = sizeof buffer;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, capacity, format, args);
  va_end(args);
  ui_print_message(*s.ui, buffer, kind);
}

void session_narrate(SessionState& s, const StorySection& section, const char* action,
                     const RollResult* roll, const char* result, const LoreHit* lore) {
  const NarrationRequest request{.config = s.config,
                                 .hero = &s.hero,
                                 .section = &section,
                                 .action = action,
                                 .roll = roll,
                                 .result = result,
                                 .lore = lore,
                                 .totals = &s.totals,
                                 .counters = &s.counters,
                                 .random = &s.random,
                                 .health = &s.narrator};
  char narration[SESSION_NARRATION_CAPACITY];
  narration[0] = '\0';
  // The panel names who actually answered: a model that failed leaves the offline narrator's text.
  NarratorOutcome outcome = llm_narrate_action(request, narration, sizeof narration);
  // The adventure's first failure says once, above the panel, why the classic narrator answers.
  if (const char* notice = llm_failure_notice(s.narrator, outcome)) {
    ui_print_message(*s.ui, notice, "warning");
  }
  ui_print_dm_narration(*s.ui, narration, outcome != NarratorOutcome::kModel, &s.counters);
}

void session_take_option(SessionState& s, const StorySection& section,
                         const StoryTransition& option, const char* action) {
  // The resolution's own record is the work buffer: nothing is allocated while playing.
  TransitionResult result;
  if (!rules_resolve_transition(s.hero, option, s.random, result.target.raw(),
                                result.target.capacity(), &result.roll, result.message.raw(),
                                result.message.capacity())) {
    ui_print_message(*s.ui, result.message.c_str(), "warning");
    return;
  }
  const RollResult& roll = result.roll;
  bool rolled = roll.outcome != OUTCOME_NONE;
  if (rolled) {
    if (s.audio != nullptr) audio_play_dice_sound(*s.audio, s.ui->out);
    ui_animate_dice_roll(*s.ui, &roll, option.check_stat.c_str(), &s.random);
  }

  // The lore context always comes from the option's own label, whatever the player typed.
  LoreHit hit;
  bool has_lore = rag_query(s.lore, option.label.view(), &hit, 1) > 0;
  session_narrate(s, section, action, rolled ? &roll : nullptr, result.message.c_str(),
                  has_lore ? &hit : nullptr);
  s.section_id.assign(result.target.view());
}

void game_session_run(const SessionIo& io, const Story* story, const char* slug_source,
                      AppConfig* config, const char* hero_name, const char* start_section_id,
                      const Character* saved_hero) {
  if (story == nullptr || config == nullptr) return;
  auto* s = static_cast<SessionState*>(std::calloc(1, sizeof(SessionState)));
  if (s == nullptr) {
    ui_print_message(io.host.ui, "Error: No hay memoria suficiente para iniciar la aventura.",
                     "error");
    return;
  }
  s->host = &io.host;
  s->ui = &io.host.ui;
  s->observer = io.observer;
  s->story = story;
  s->config = config;
  s->audio = io.host.audio;
  AudioState* audio = s->audio;
  host_path(io.host, PATH_SAVES_DIR, s->saves_dir);
  rules_random_seed(s->random, io.seed);

  start_hero(*s, hero_name, saved_hero);
  make_slug(slug_source != nullptr ? slug_source : story->title.c_str(), SESSION_SLUG_FALLBACK,
            s->slug);
  start_section(*s, start_section_id);
  rag_index_story(s->lore, *story);
  llm_init(s->totals);
  ui_set_typewriter_speed(*s->ui, config->typing_speed);

  session_message(*s, "info", 256, "\n📖 Iniciando '%s' por %s", story->title.c_str(),
                  story->author.c_str());
  if (session_music_on(*s)) {
    audio_play(*audio, story->music_explore.empty() ? "dungeon" : story->music_explore.c_str(),
               true);
  }

  // A saved hero who was already dead has nothing left to play.
  if (character_is_alive(s->hero)) {
    while (play_pass(*s)) {
    }
  } else {
    stop_music(*s);
    notify_end(*s, SESSION_END_DEATH_AT_SCENE, nullptr);
  }
  std::free(s);
}
