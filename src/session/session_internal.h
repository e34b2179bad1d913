// State of one adventure and the helpers shared by the turn loop, the slash
// commands and the free-text actions. Not part of the module's public face.
#pragma once

#include <cstddef>

#include "character/character.h"
#include "common/slug.h"
#include "config/config.h"
#include "lore/lore_index.h"
#include "narration/llm_narrator.h"
#include "platform/audio.h"
#include "platform/paths.h"
#include "rules/game_random.h"
#include "savegame/save_file.h"
#include "session/session.h"
#include "session/session_events.h"
#include "story/story.h"
#include "ui/host.h"
#include "ui/text_output.h"

// Capacities of the work buffers of one turn.
inline constexpr std::size_t SESSION_LINE_CAPACITY = 512;        // the player's line
inline constexpr std::size_t SESSION_NARRATION_CAPACITY = 2048;  // narrated text
inline constexpr std::size_t SESSION_SHORT_MESSAGE = 128;        // formatted one-line messages

// The two save files of an adventure.
enum class SaveSlot { kAutosave, kQuicksave };

// Everything one call of game_session_run owns, plus the records it borrows.
// About 800 KB because of the lore index, whose word table is written only as
// far as the story fills it: allocated zeroed on the heap once per adventure,
// never on the stack.
struct SessionState {
  UiContext* ui;                    // the host's terminal: lines come from it
  const SessionObserver* observer;  // optional
  const SessionSink* sink;          // where events go; null: drawn on the host's terminal
  const Story* story;               // borrowed, read only
  AppConfig* config;                // borrowed; commands change it in memory only
  AudioState* audio;                // the host's music; null means no music at all
  Character hero;                   // the working hero, never written back to the caller
  IdText section_id;                // the scene being played
  SlugText slug;                    // the story's key in save-file names
  PathText saves_dir;               // the host's saves/ folder
  GameRandom random;                // the dice, the flavour picks and the dice animation
  LoreIndex lore;
  LoreVisibility lore_visible;  // what /lore and the narrator may draw on
  LlmTotals totals;
  TokenCounters counters;
  NarratorHealth narrator;      // the narrator's failures: the first one told, pauses
  Character loaded;             // scratch record for the load command
  SaveVisited saved_visits;     // scratch record for saving and loading the visited sections
  FixedText<64> chosen_theme;   // theme picked with /tema, kept while its scene lasts
  IdText chosen_theme_section;  // the scene in which it was picked
  bool arriving;                // the next pass brings the hero to its scene: the hazard strikes
  bool show_scene;              // the next pass shows the panel and the scene again
  bool visited[STORY_MAX_SECTIONS];  // sections the hero has been in
  bool typed[STORY_MAX_SECTIONS];    // sections whose text was already typed out once
  // The files this adventure writes, and whether each was checked for another
  // hero's game before its first write.
  FixedText<SAVE_MAX_FILE_NAME_BYTES + 1> autosave_name;
  FixedText<SAVE_MAX_FILE_NAME_BYTES + 1> quicksave_name;
  bool autosave_claimed;
  bool quicksave_claimed;
  bool exit_unsaved_warned;  // the last /salir could not save: the next one leaves anyway
  bool director_commands;    // the director's /dar, /quitar and /vida are understood
};

enum class SlashOutcome { kStay, kLeave };

// Music is on when there is an audio state and both switches agree.
bool session_music_on(const SessionState& s);

// Hands an event to the sink, or draws it on the host's terminal.
void session_emit(SessionState& s, const SessionEvent& event);
// A one-line message of kind "error", "warning", "success" or "info".
void session_say(SessionState& s, const char* text, const char* level);
// Formats into a buffer of `capacity` bytes (longer results are cut) and says it.
void session_message(SessionState& s, const char* kind, std::size_t capacity, const char* format,
                     ...) __attribute__((format(printf, 4, 5)));

// Narrates an action for the player: `roll` only when a check was rolled,
// `lore` only when a passage was found.
void session_narrate(SessionState& s, const StorySection& section, const char* action,
                     const RollResult* roll, const char* result, const LoreHit* lore);

// Resolves `option` of `section` and, when taken, animates its dice, narrates
// it with `action` as the player's words and moves to its destination. An
// option whose destination names no section is not taken: the hero stays.
void session_take_option(SessionState& s, const StorySection& section,
                         const StoryTransition& option, const char* action);

// Writes the game to the slot's file. Before the first write of an adventure
// over another hero's game the player is asked; "no" keeps that file and
// gives this game a file of its own. False when nothing was written.
bool session_save(SessionState& s, SaveSlot slot, const StorySection& section);
// Takes the loaded hero and place of a save (the quick load command): the
// scene is shown again, its hazard does not strike.
void session_resume_from(SessionState& s, const Character& hero, const char* section_id,
                         const SaveVisited& visits);

// Shows the status panel of the hero as it stands.
void session_show_panel(SessionState& s);

// Runs a line that starts with "/". kLeave for the exit commands.
SlashOutcome session_run_slash_command(SessionState& s, const StorySection& section,
                                       const char* line);

// A line that is neither empty, nor a slash command, nor an option number:
// a typed terminal command, a near miss of one, or free text.
void session_run_free_text(SessionState& s, const StorySection& section, const char* line);

// Edit distance between two words (each cut to 64 bytes), compared after ASCII lowering.
int session_levenshtein(const char* a, const char* b);
