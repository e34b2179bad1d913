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
#include "session/session.h"
#include "story/story.h"
#include "ui/host.h"
#include "ui/text_output.h"

// Capacities of the work buffers of one turn.
inline constexpr std::size_t SESSION_LINE_CAPACITY = 512;        // the player's line
inline constexpr std::size_t SESSION_NARRATION_CAPACITY = 2048;  // narrated text
inline constexpr std::size_t SESSION_SHORT_MESSAGE = 128;        // formatted one-line messages

// Everything one call of game_session_run owns, plus the records it borrows.
// About 800 KB because of the lore index, whose word table is written only as
// far as the story fills it: allocated zeroed on the heap once per adventure,
// never on the stack.
struct SessionState {
  Host* host;                       // the terminal, root folder and music of the adventure
  UiContext* ui;                    // the host's terminal: lines come from it, screens go to it
  const SessionObserver* observer;  // optional
  const Story* story;               // borrowed, read only
  AppConfig* config;                // borrowed; commands change it in memory only
  AudioState* audio;                // the host's music; null means no music at all
  Character hero;                   // the working hero, never written back to the caller
  IdText section_id;                // the scene being played
  SlugText slug;                    // the story's key in save-file names
  PathText saves_dir;               // the host's saves/ folder
  GameRandom random;                // the dice, the flavour picks and the dice animation
  LoreIndex lore;
  LlmTotals totals;
  TokenCounters counters;
  NarratorHealth narrator;      // the narrator's failures: the first one told, pauses
  Character loaded;             // scratch record for the load command
  FixedText<64> chosen_theme;   // theme picked with /tema, kept while its scene lasts
  IdText chosen_theme_section;  // the scene in which it was picked
};

enum class SlashOutcome { kStay, kLeave };

// Music is on when there is an audio state and both switches agree.
bool session_music_on(const SessionState& s);

// Formats into a buffer of `capacity` bytes (longer results are cut) and shows it.
void session_message(SessionState& s, const char* kind, std::size_t capacity, const char* format,
                     ...) __attribute__((format(printf, 4, 5)));

// Narrates an action for the player: `roll` only when a check was rolled,
// `lore` only when a passage was found.
void session_narrate(SessionState& s, const StorySection& section, const char* action,
                     const RollResult* roll, const char* result, const LoreHit* lore);

// Resolves `option` of `section` and, when taken, animates its dice, narrates
// it with `action` as the player's words and moves to its destination.
void session_take_option(SessionState& s, const StorySection& section,
                         const StoryTransition& option, const char* action);

// Runs a line that starts with "/". kLeave for the exit commands.
SlashOutcome session_run_slash_command(SessionState& s, const StorySection& section,
                                       const char* line);

// A line that is neither empty, nor a slash command, nor an option number:
// a typed terminal command, a near miss of one, or free text.
void session_run_free_text(SessionState& s, const StorySection& section, const char* line);

// Edit distance between two words (each cut to 64 bytes), compared after ASCII lowering.
int session_levenshtein(const char* a, const char* b);
