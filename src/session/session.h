// One adventure: the turn loop, slash commands and free-text actions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "character/character.h"
#include "config/config.h"
#include "narration/llm_narrator.h"
#include "platform/audio.h"
#include "savegame/save_file.h"
#include "session/session_events.h"
#include "story/story.h"
#include "ui/host.h"
#include "ui/text_output.h"

// The seed every adventure was played with before adventures had their own
// generator: the C library's unseeded stream.
inline constexpr std::uint32_t SESSION_DEFAULT_SEED = 1;

// The slug of an adventure whose story gives no slug at all.
inline constexpr const char* SESSION_SLUG_FALLBACK = "adventure";

// How a session ended, for the callers: the game pauses after an ending or a
// death, the author's playthrough runner counts them.
enum SessionEnd : int {
  SESSION_END_NONE = 0,
  SESSION_END_ENDING,              // an ending scene was shown
  SESSION_END_DEATH_AT_SCENE,      // the hero died at the top of a pass (hazard)
  SESSION_END_DEATH_AFTER_ACTION,  // the hero died from the option just taken
  SESSION_END_MISSING_SECTION,     // the current section id names no section
  SESSION_END_EXIT,                // exit command or closed input
};

// Optional callbacks; a null function is skipped. The game itself has none.
struct SessionObserver {
  // Called right before the player is asked for a line.
  void (*before_prompt)(const StorySection& section, const Character& hero, void* context);
  // Called once when the session ends; `section` is the scene it ended in, or null.
  void (*on_end)(SessionEnd end, const StorySection* section, const Character& hero, void* context);
  // Called when an option of `section` led to `target`, which names no section:
  // the hero stays in `section`.
  void (*on_broken_link)(const StorySection& section, const StoryTransition& option,
                         const char* target, void* context);
  void* context;
};

// Where one adventure reads the player's lines, writes its screens, pauses,
// plays music and keeps its saves (its host), who watches it, where its
// events go, and the seed of its own random generator. The game passes its
// host alone; the author's playthrough runner a host with a scripted player
// and an observer; the shared table a sink of its own.
struct SessionIo {
  Host& host;
  const SessionObserver* observer = nullptr;  // null: nobody watches
  std::uint32_t seed = SESSION_DEFAULT_SEED;  // seeds the dice and flavour picks
  const SessionSink* sink = nullptr;          // null: events are drawn on the host's terminal
  // The save file a resumed adventure was read from: it keeps being written
  // (an autosave or a quicksave of a hero's own). Null for a new adventure.
  const char* resumed_file = nullptr;
  // The sections the resumed hero had been in, as the save kept them. Null,
  // or a save without them: only the scene it was made in.
  const SaveVisited* resumed_visits = nullptr;
  // A shared table with a human director: the lines "/dar OBJETO",
  // "/quitar OBJETO" and "/vida ±N" change the party's hero. Never for a
  // player's own game.
  bool director_commands = false;
};

// Plays one adventure until death, an ending, a missing section, an exit
// command or the end of the player's input, and says how it ended.
SessionEnd game_session_run(const SessionIo& io, const Story* story, const char* slug_source,
                            AppConfig* config, const char* hero_name, const char* start_section_id,
                            const Character* saved_hero);

// Lower-cases ASCII letters and collapses white space for comparisons.
void str_clean_spaces(char* dst, const char* src, std::size_t capacity);
// The first listed, non-command option named by free text, or nullptr.
const StoryTransition* find_free_action_match(const StorySection& section, const char* line);
