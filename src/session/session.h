// One adventure: the turn loop, slash commands and free-text actions.
#pragma once

#include <cstddef>
#include <string_view>

#include "character/character.h"
#include "config/config.h"
#include "narration/llm_narrator.h"
#include "platform/audio.h"
#include "story/story.h"
#include "ui/text_output.h"

inline constexpr std::size_t SESSION_SLUG_MAX = 124;

// How a session ended, for tools that drive sessions (the author's playthrough runner).
enum SessionEnd : int {
  SESSION_END_NONE = 0,
  SESSION_END_ENDING,              // an ending scene was shown
  SESSION_END_DEATH_AT_SCENE,      // the hero died at the top of a pass (hazard)
  SESSION_END_DEATH_AFTER_ACTION,  // the hero died from the option just taken
  SESSION_END_MISSING_SECTION,     // the current section id names no section
  SESSION_END_EXIT,                // exit command or closed input (autosaved)
};

// Optional callbacks; a null function is skipped. The game itself has none.
struct SessionObserver {
  // Called right before the player is asked for a line.
  void (*before_prompt)(const StorySection& section, const Character& hero, void* context);
  // Called once when the session ends; `section` is the scene it ended in, or null.
  void (*on_end)(SessionEnd end, const StorySection* section, const Character& hero, void* context);
  void* context;
};

// Where one adventure reads the player's lines, writes its screens and
// pauses, and who watches it. The game passes ui_terminal() and no observer;
// the author's playthrough runner passes its scripted player.
struct SessionIo {
  UiContext& ui;
  const SessionObserver* observer;  // null: nobody watches
};

// Plays one adventure until death, an ending, a missing section, an exit
// command or the end of the player's input.
void game_session_run(const SessionIo& io, const Story* story, const char* slug_source,
                      AppConfig* config, AudioState* audio, const char* hero_name,
                      const char* start_section_id, const Character* saved_hero);

// The story's key in save-file names, derived from the story path (or title).
void session_make_slug(const char* source, FixedText<128>& slug);

// Lower-cases ASCII letters and collapses white space for comparisons.
void str_clean_spaces(char* dst, const char* src, std::size_t capacity);
// The first listed, non-command option named by free text, or nullptr.
const StoryTransition* find_free_action_match(const StorySection& section, const char* line);
