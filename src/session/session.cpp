#include "session/session.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

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
    session_say(s, kTerminalSceneMessage, "warning");
  }
}

// The autosave of an exit command (and of a closed input), then the farewell
// line. True when the adventure may end: the game was saved, the input is
// gone, or the player already heard that it cannot be saved and asked again.
bool autosave_and_leave(SessionState& s, const StorySection& section, bool input_closed) {
  if (session_save(s, SaveSlot::kAutosave, section)) {
    session_say(s, "Guardando partida automáticamente y saliendo...", "info");
    stop_music(s);
    return true;
  }
  // The player must know this adventure cannot be resumed from here. A closed
  // input cannot answer: the adventure ends as it always did.
  if (input_closed) session_say(s, "Guardando partida automáticamente y saliendo...", "info");
  session_message(s, "warning", SESSION_SHORT_MESSAGE + SAVE_MAX_FILE_NAME_BYTES,
                  "⚠️ No se pudo escribir %s/%s: la partida no se guardó.", PATH_SAVES_DIR,
                  s.autosave_name.c_str());
  if (input_closed || s.exit_unsaved_warned) {
    if (!input_closed) session_say(s, "Sales de la aventura sin guardarla.", "info");
    stop_music(s);
    return true;
  }
  s.exit_unsaved_warned = true;
  session_say(s,
              "Sigues en la aventura. Libera espacio o revisa la carpeta y vuelve a escribir "
              "/salir; si lo repites sin arreglarlo, saldrás sin guardar.",
              "info");
  return false;
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

// A save file of this story's own: `name` itself ("autosave_<slug>.json") or
// the file of a second hero beside it ("autosave_<slug>.<n>.json"). A file of
// another key, such as one written before keys told stories apart, is not:
// the game goes on under its own key.
bool is_own_save_name(std::string_view file, std::string_view name) {
  if (file == name) return true;
  std::string_view stem = name.substr(0, name.size() - std::string_view(".json").size());
  if (!starts_with(file, stem) || file.size() <= stem.size() + 1 || file[stem.size()] != '.') {
    return false;
  }
  std::string_view rest = file.substr(stem.size() + 1);
  std::size_t digits = 0;
  while (digits < rest.size() && is_ascii_digit(rest[digits])) ++digits;
  return digits > 0 && rest.substr(digits) == ".json";
}

// The files this adventure writes: quicksave_<slug>.json and
// autosave_<slug>.json, or the file a resumed game came from, which already
// holds this hero.
void start_save_names(SessionState& s, const char* resumed_file) {
  std::snprintf(s.autosave_name.raw(), s.autosave_name.capacity(), "autosave_%s.json",
                s.slug.c_str());
  std::snprintf(s.quicksave_name.raw(), s.quicksave_name.capacity(), "quicksave_%s.json",
                s.slug.c_str());
  if (resumed_file == nullptr) return;
  std::string_view file = resumed_file;
  for (auto* slot : {&s.autosave_name, &s.quicksave_name}) {
    if (!is_own_save_name(file, slot->view())) continue;
    slot->assign(file);
    (slot == &s.autosave_name ? s.autosave_claimed : s.quicksave_claimed) = true;
  }
}

std::int32_t section_index(const SessionState& s, const StorySection& section) {
  return static_cast<std::int32_t>(&section - s.story->sections);
}

// Marks a section as seen by the hero; what the lore memory may tell grows with it.
void visit(SessionState& s, const StorySection& section) {
  std::int32_t index = section_index(s, section);
  if (index < 0 || index >= STORY_MAX_SECTIONS || s.visited[index]) return;
  s.visited[index] = true;
  rag_visible_chunks(s.lore, *s.story, s.visited, s.lore_visible);
}

void notify_end(const SessionState& s, SessionEnd end, const StorySection* section) {
  if (s.observer != nullptr && s.observer->on_end != nullptr) {
    s.observer->on_end(end, section, s.hero, s.observer->context);
  }
}

}  // namespace

void session_show_panel(SessionState& s) {
  SessionEvent e{};
  e.kind = SessionEventKind::kPanel;
  e.hero = &s.hero;
  // Without a key the classic narrator answers, whatever the mode says.
  e.classic = s.config->offline_mode || s.config->gemini_api_key.empty();
  e.counters = &s.counters;
  e.show_tokens = s.config->show_token_usage;
  session_emit(s, e);
}

namespace {

void emit_panel(SessionState& s) { session_show_panel(s); }

void emit_scene(SessionState& s, const StorySection& section) {
  std::int32_t index = section_index(s, section);
  SessionEvent e{};
  e.kind = SessionEventKind::kScene;
  e.section = &section;
  e.typed = !s.typed[index];
  s.typed[index] = true;
  session_emit(s, e);
}

// The hazard and the items of the scene, as the pass found them.
void emit_arrival(SessionState& s, const StorySection& section, const Arrival& arrival) {
  char text[SESSION_SHORT_MESSAGE];
  if (arrival.hazard) {
    std::snprintf(text, sizeof text, "⚠\uFE0F ¡Peligro de entorno! Sufres %d de daño.",
                  arrival.damage_dealt);
    SessionEvent e{};
    e.kind = SessionEventKind::kHazard;
    e.text = text;
    e.level = "warning";
    e.amount = arrival.damage_dealt;
    session_emit(s, e);
  }
  for (std::int32_t item :
       std::span(arrival.found, static_cast<std::size_t>(arrival.found_count))) {
    const char* name = section.items[item].c_str();
    std::snprintf(text, sizeof text, "🎁 Has encontrado un objeto: %s", name);
    SessionEvent e{};
    e.kind = SessionEventKind::kItemFound;
    e.text = text;
    e.level = "success";
    e.name = name;
    session_emit(s, e);
  }
}

void emit_ending(SessionState& s, const StorySection& section) {
  SessionEvent e{};
  e.kind = SessionEventKind::kEnding;
  e.section = &section;
  if (section.ending_type == "victory") {
    e.text = "\n🎉 ¡Felicidades! Has completado la aventura victoriosamente.";
    e.level = "success";
  } else if (section.ending_type == "defeat") {
    e.text = "\n💀 Has sucumbido al destino de la mazmorra.";
    e.level = "error";
  } else {
    e.text = "\n📜 Fin de la aventura.";
    e.level = "info";
  }
  session_emit(s, e);
}

// Ends the session: the music stops and the observer hears how.
SessionEnd finish(SessionState& s, SessionEnd end, const StorySection* section) {
  stop_music(s);
  notify_end(s, end, section);
  return end;
}

// One pass of the turn loop: the scene's arrival (or its showing again), then
// one line of the player. SESSION_END_NONE while the adventure goes on.
SessionEnd play_pass(SessionState& s) {
  const StorySection* found = story_get_section(*s.story, s.section_id.view());
  if (found == nullptr) {
    session_message(s, "error", SESSION_SHORT_MESSAGE, "Error: No se encontró la sección '%s'.",
                    s.section_id.c_str());
    return finish(s, SESSION_END_MISSING_SECTION, nullptr);
  }
  const StorySection& section = *found;

  scene_music(s, section);

  // Damage belongs to arriving: a scene shown again (after a command, an
  // answer, a resumed game) does not hurt again.
  const bool arriving = s.arriving;
  s.arriving = false;
  Arrival arrival;
  if (arriving) {
    rules_arrive(s.hero, section, arrival);
  } else {
    rules_revisit(s.hero, section, arrival);
  }
  emit_arrival(s, section, arrival);
  visit(s, section);

  if (arrival.end == ArrivalEnd::kDeath) {
    stop_music(s);
    emit_panel(s);
    emit_scene(s, section);
    SessionEvent death{};
    death.kind = SessionEventKind::kDeath;
    death.text = "\n💀 Has caído en la oscuridad. Tu viaje ha terminado.";
    session_emit(s, death);
    return finish(s, SESSION_END_DEATH_AT_SCENE, &section);
  }

  // After an answer (a command, a refusal, words that move nothing) the
  // answer stays on screen: only the options and the prompt follow it.
  if (s.show_scene || arrival.end == ArrivalEnd::kEnding) {
    emit_panel(s);
    emit_scene(s, section);
  }
  s.show_scene = false;

  if (arrival.end == ArrivalEnd::kEnding) {
    emit_ending(s, section);
    return finish(s, SESSION_END_ENDING, &section);
  }

  SessionEvent options{};
  options.kind = SessionEventKind::kOptions;
  options.section = &section;
  options.hero = &s.hero;
  session_emit(s, options);
  if (s.observer != nullptr && s.observer->before_prompt != nullptr) {
    s.observer->before_prompt(section, s.hero, s.observer->context);
  }
  SessionEvent prompt{};
  prompt.kind = SessionEventKind::kPrompt;
  session_emit(s, prompt);
  char line[SESSION_LINE_CAPACITY];
  ui_read_line_discard_rest(*s.ui, line, sizeof line);

  if (line[0] == '\0') {
    // A closed input would otherwise show the same scene forever: keep the
    // game as an exit command would, and end the session.
    if (ui_input_closed(*s.ui)) {
      autosave_and_leave(s, section, true);
      return finish(s, SESSION_END_EXIT, &section);
    }
    // An empty line asks to see the scene again.
    s.show_scene = true;
  } else if (line[0] == '/') {
    if (session_run_slash_command(s, section, line) == SlashOutcome::kLeave &&
        autosave_and_leave(s, section, ui_input_closed(*s.ui))) {
      return finish(s, SESSION_END_EXIT, &section);
    }
  } else if (rules_option_line_is_number(line)) {
    choose_by_number(s, section, line);
  } else {
    session_run_free_text(s, section, line);
  }

  // A death caused by the action ends the session quietly: its narration was the last word.
  if (!character_is_alive(s.hero)) return finish(s, SESSION_END_DEATH_AFTER_ACTION, &section);
  return SESSION_END_NONE;
}

}  // namespace

bool session_music_on(const SessionState& s) {
  return s.audio != nullptr && s.config->music_enabled && s.audio->enabled;
}

void session_emit(SessionState& s, const SessionEvent& event) {
  if (s.sink != nullptr && s.sink->emit != nullptr) {
    s.sink->emit(event, s.sink->user);
  } else {
    session_render_event(*s.ui, event);
  }
}

void session_say(SessionState& s, const char* text, const char* level) {
  SessionEvent e{};
  e.kind = SessionEventKind::kMessage;
  e.text = text;
  e.level = level;
  session_emit(s, e);
}

void session_message(SessionState& s, const char* kind, std::size_t capacity, const char* format,
                     ...) {
  char buffer[1024];
  if (capacity > sizeof buffer) capacity = sizeof buffer;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, capacity, format, args);
  va_end(args);
  session_say(s, buffer, kind);
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
    session_say(s, notice, "warning");
  }
  if (narration[0] == '\0') return;
  SessionEvent e{};
  e.kind = SessionEventKind::kNarration;
  e.text = narration;
  e.from_model = outcome == NarratorOutcome::kModel;
  e.counters = &s.counters;
  session_emit(s, e);
}

void session_take_option(SessionState& s, const StorySection& section,
                         const StoryTransition& option, const char* action) {
  // The option is resolved on a copy of the hero: one that would lead nowhere
  // is not taken at all, and the hero stays as the player left them.
  TransitionResult result;
  Character after = s.hero;
  if (!rules_resolve_transition(after, option, s.random, result.target.raw(),
                                result.target.capacity(), &result.roll, result.message.raw(),
                                result.message.capacity())) {
    session_say(s, result.message.c_str(), "warning");
    return;
  }
  if (story_get_section(*s.story, result.target.view()) == nullptr) {
    session_message(s, "error", SESSION_SHORT_MESSAGE + 64,
                    "Error: No se encontró la sección '%s'. La historia tiene un enlace roto; "
                    "elige otra opción.",
                    result.target.c_str());
    if (s.observer != nullptr && s.observer->on_broken_link != nullptr) {
      s.observer->on_broken_link(section, option, result.target.c_str(), s.observer->context);
    }
    return;
  }
  s.hero = after;
  const RollResult& roll = result.roll;
  bool rolled = roll.outcome != OUTCOME_NONE;
  if (rolled) {
    if (s.audio != nullptr) audio_play_dice_sound(*s.audio, s.ui->out);
    SessionEvent dice{};
    dice.kind = SessionEventKind::kDice;
    dice.roll = &roll;
    dice.name = option.check_stat.c_str();
    dice.random = &s.random;
    session_emit(s, dice);
  }

  // The lore context always comes from the option's own label, whatever the player typed.
  LoreHit hit;
  bool has_lore = rag_query(s.lore, option.label.view(), &hit, 1, &s.lore_visible) > 0;
  session_narrate(s, section, action, rolled ? &roll : nullptr, result.message.c_str(),
                  has_lore ? &hit : nullptr);
  // Even a move back into the same scene is an arrival.
  s.section_id.assign(result.target.view());
  s.arriving = true;
  s.show_scene = true;
  s.exit_unsaved_warned = false;
}

namespace {

// "autosave_<slug>.<n>.json" (or quicksave_) for the first n from 2 whose
// file does not exist yet: the game of a hero whose slot another hero holds.
// A slug never holds a dot, so no story's own name looks like it.
bool own_save_name(SessionState& s, SaveSlot slot, FixedText<SAVE_MAX_FILE_NAME_BYTES + 1>& name) {
  const char* prefix = slot == SaveSlot::kAutosave ? "autosave_" : "quicksave_";
  for (int n = 2; n < 1000; ++n) {
    char candidate[SAVE_MAX_FILE_NAME_BYTES + 1];
    int length =
        std::snprintf(candidate, sizeof candidate, "%s%s.%d.json", prefix, s.slug.c_str(), n);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof candidate) return false;
    PathText path;
    if (!path_join(s.saves_dir.view(), candidate, path)) return false;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) continue;
    name.assign(candidate);
    return true;
  }
  return false;
}

// Before the first write of a slot, a file there that holds another hero's
// game is either replaced (the player says so) or left alone, this game then
// taking a file of its own. A closed input cannot answer: nothing is replaced.
void claim_slot(SessionState& s, SaveSlot slot) {
  bool& claimed = slot == SaveSlot::kAutosave ? s.autosave_claimed : s.quicksave_claimed;
  auto& name = slot == SaveSlot::kAutosave ? s.autosave_name : s.quicksave_name;
  if (claimed) return;
  claimed = true;
  PathText path;
  if (!path_join(s.saves_dir.view(), name.view(), path)) return;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;  // nothing there to lose
  char section_id[IdText::kCapacity] = "";
  std::memset(static_cast<void*>(&s.loaded), 0, sizeof s.loaded);
  if (load_game(s.saves_dir.c_str(), s.slug.c_str(), section_id, sizeof section_id, &s.loaded,
                name.c_str()) &&
      s.loaded.name == s.hero.name.view()) {
    return;  // this hero's own game
  }
  // The names come from files anyone may edit; a message is made terminal-safe
  // where it is drawn.
  const std::string owner = s.loaded.name.empty()
                                ? std::string("otra partida")
                                : "la partida de " + std::string(s.loaded.name.view());
  session_message(s, "warning", 512,
                  "⚠️ %s/%s guarda %s. ¿Reemplazarla por la partida de %s? (s/N): ",
                  PATH_SAVES_DIR, name.c_str(), owner.c_str(), s.hero.name.c_str());
  char answer[16];
  bool replace = ui_read_line_discard_rest(*s.ui, answer, sizeof answer) &&
                 (ascii_iequals(answer, "s") || ascii_iequals(answer, "si") ||
                  std::strcmp(answer, "sí") == 0 || std::strcmp(answer, "Sí") == 0);
  if (replace) return;
  if (own_save_name(s, slot, name)) {
    session_message(s, "info", 512, "💾 Se conserva; esta partida se guardará en %s/%s.",
                    PATH_SAVES_DIR, name.c_str());
  }
}

}  // namespace

bool session_save(SessionState& s, SaveSlot slot, const StorySection& section) {
  claim_slot(s, slot);
  const auto& name = slot == SaveSlot::kAutosave ? s.autosave_name : s.quicksave_name;
  SaveVisited& visits = s.saved_visits;
  visits.count = 0;
  visits.present = true;
  for (int i = 0; i < s.story->section_count && i < STORY_MAX_SECTIONS; ++i) {
    if (!s.visited[i]) continue;
    if (IdText* id = list_append(visits.ids, visits.count))
      id->assign(s.story->sections[i].id.view());
  }
  return save_game(s.saves_dir.c_str(), s.slug.c_str(), s.story->title.c_str(),
                   s.section_id.c_str(), section.title.c_str(), &s.hero, name.c_str(), &visits);
}

void session_resume_from(SessionState& s, const Character& hero, const char* section_id,
                         const SaveVisited& visits) {
  s.hero = hero;
  s.section_id.assign(section_id);
  // A save without its visited sections knows only the scene it was made in.
  std::memset(s.visited, 0, sizeof s.visited);
  for (const IdText& id : list_used(visits.ids, visits.count)) {
    if (const StorySection* seen = story_get_section(*s.story, id.view())) {
      s.visited[seen - s.story->sections] = true;
    }
  }
  if (const StorySection* here = story_get_section(*s.story, s.section_id.view())) {
    s.visited[here - s.story->sections] = true;
  }
  rag_visible_chunks(s.lore, *s.story, s.visited, s.lore_visible);
  s.arriving = false;
  s.show_scene = true;
}

SessionEnd game_session_run(const SessionIo& io, const Story* story, const char* slug_source,
                            AppConfig* config, const char* hero_name, const char* start_section_id,
                            const Character* saved_hero) {
  if (story == nullptr || config == nullptr) return SESSION_END_NONE;
  auto* s = static_cast<SessionState*>(std::calloc(1, sizeof(SessionState)));
  if (s == nullptr) {
    ui_print_message(io.host.ui, "Error: No hay memoria suficiente para iniciar la aventura.",
                     "error");
    return SESSION_END_NONE;
  }
  s->ui = &io.host.ui;
  s->observer = io.observer;
  s->sink = io.sink;
  s->director_commands = io.director_commands;
  s->story = story;
  s->config = config;
  s->audio = io.host.audio;
  AudioState* audio = s->audio;
  host_path(io.host, PATH_SAVES_DIR, s->saves_dir);
  rules_random_seed(s->random, io.seed);

  start_hero(*s, hero_name, saved_hero);
  make_slug(slug_source != nullptr ? slug_source : story->title.c_str(), SESSION_SLUG_FALLBACK,
            s->slug);
  start_save_names(*s, io.resumed_file);
  start_section(*s, start_section_id);
  rag_index_story(s->lore, *story);
  llm_init(s->totals);
  ui_set_typewriter_speed(*s->ui, config->typing_speed);
  // A new adventure arrives at its first scene; a resumed one is already there.
  if (saved_hero != nullptr) {
    if (io.resumed_visits != nullptr) s->saved_visits = *io.resumed_visits;
    session_resume_from(*s, s->hero, s->section_id.c_str(), s->saved_visits);
  } else {
    s->arriving = true;
    s->show_scene = true;
    rag_visible_chunks(s->lore, *story, s->visited, s->lore_visible);
  }

  // The line is cut at 255 bytes, like every short message; the buffer holds
  // the whole of it first.
  char opening[512];
  std::snprintf(opening, sizeof opening, "\n📖 Iniciando '%s' por %s", story->title.c_str(),
                story->author.c_str());
  opening[255] = '\0';
  SessionEvent start{};
  start.kind = SessionEventKind::kStart;
  start.text = opening;
  session_emit(*s, start);
  if (session_music_on(*s)) {
    audio_play(*audio, story->music_explore.empty() ? "dungeon" : story->music_explore.c_str(),
               true);
  }

  SessionEnd end = SESSION_END_NONE;
  // A saved hero who was already dead has nothing left to play.
  if (character_is_alive(s->hero)) {
    while ((end = play_pass(*s)) == SESSION_END_NONE) {
    }
  } else {
    end = finish(*s, SESSION_END_DEATH_AT_SCENE, nullptr);
  }
  std::free(s);
  return end;
}
