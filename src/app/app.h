// The application shell: start-up, main menu and its flows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "character/character.h"
#include "config/config.h"
#include "platform/audio.h"
#include "savegame/save_browser.h"
#include "story/story.h"

inline constexpr int APP_MAX_STORIES = 32;
inline constexpr int APP_MAX_SAVES = 16;
inline constexpr std::size_t APP_MENU_ANSWER_BYTES = 16;   // menu answers and numbers: 15 bytes
inline constexpr std::size_t APP_TEXT_ANSWER_BYTES = 128;  // key, broker, repository: 127 bytes
inline constexpr std::size_t APP_HERO_NAME_BYTES = 64;     // the hero's name: 63 bytes

// Everything the entry point owns for the whole run. Large: allocate zeroed.
// The story comes last, so the small fields share the first pages and a short
// story leaves the far end of the record untouched.
struct AppContext {
  AppConfig config;
  AudioState audio;
  Character hero;
  FixedText<128> story_files[APP_MAX_STORIES];
  FixedText<128> story_titles[APP_MAX_STORIES];
  SaveSummary saves[APP_MAX_SAVES];
  FixedText<64> hero_name;
  FixedText<32> section_id;
  FixedText<512> story_path;
  Story story;
};

// Runs the program: start-up, then the main menu until the player leaves. Returns the exit status.
int app_run(AppContext& app);
void app_load_settings(AppConfig& config);
void app_new_adventure(AppContext& app);
void app_resume_adventure(AppContext& app);
void app_settings_screen(AppContext& app);
void app_multiplayer_screen(const AppConfig& config);
// Plays "intro" in a loop from its beginning, when music is enabled.
void app_replay_intro(AppContext& app);

std::int32_t list_stories_in_dir(const char* dir, FixedText<128>* files, FixedText<128>* titles);

// Reads one answer of at most capacity-1 bytes, trailing CR/LF removed; the
// rest of a longer line is discarded. False (empty answer) at end of input.
bool app_read_answer(char* buffer, std::size_t capacity);
// Reads a numbered choice from 1 to `count` into `choice`. False at end of
// input (silently) or for any other answer ("Opción inválida." is shown).
bool app_read_choice(std::int32_t count, std::int32_t& choice);
