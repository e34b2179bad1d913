// One adventure: the turn loop, slash commands and free-text actions.
#pragma once

#include <cstddef>
#include <string_view>

#include "character/character.h"
#include "config/config.h"
#include "narration/llm_narrator.h"
#include "platform/audio.h"
#include "story/story.h"

inline constexpr std::size_t SESSION_SLUG_MAX = 124;

// Plays one adventure until death, an ending, a missing section or an exit command.
void game_session_run(const Story* story, const char* slug_source, AppConfig* config,
                      AudioState* audio, const char* hero_name, const char* start_section_id,
                      const Character* saved_hero);

// The story's key in save-file names, derived from the story path (or title).
void session_make_slug(const char* source, FixedText<128>& slug);

// Lower-cases ASCII letters and collapses white space for comparisons.
void str_clean_spaces(char* dst, const char* src, std::size_t capacity);
// The first listed, non-command option named by free text, or nullptr.
const StoryTransition* find_free_action_match(const StorySection& section, const char* line);
