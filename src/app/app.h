// The application shell: start-up, the main menu and the flows it opens.
#pragma once

#include <cstddef>

#include "app/story_files.h"
#include "character/character.h"
#include "config/config.h"
#include "savegame/save_browser.h"
#include "savegame/save_file.h"
#include "story/story.h"
#include "ui/host.h"

inline constexpr int APP_MAX_SAVES = 16;                // rows of the resume list
inline constexpr std::size_t APP_HERO_NAME_BYTES = 64;  // the hero's name: 63 bytes

// Everything the entry point owns for the whole run. Large: allocate zeroed.
// The story comes last, so the small fields share the first pages and a short
// story leaves the far end of the record untouched.
struct AppContext {
  AppConfig config;
  // config.json was present but unusable and is still as the player left it:
  // the first save of the settings keeps it as config.json.bak when it is a
  // regular file.
  bool config_backup_pending;
  Character hero;
  SaveVisited visits;  // the sections the resumed hero had been in
  StoryFileName story_files[APP_MAX_STORIES];
  StoryTitleText story_titles[APP_MAX_STORIES];
  SaveSummary saves[APP_MAX_SAVES];
  FixedText<APP_HERO_NAME_BYTES> hero_name;
  FixedText<32> section_id;
  FixedText<512> story_path;
  Story story;
};

// Runs the program on `host`: start-up, then the main menu until the player
// leaves. Returns the exit status.
int app_run(Host& host, AppContext& app);
// The flows of the main menu, each back at the menu when it returns.
void app_new_adventure(Host& host, AppContext& app);
void app_resume_adventure(Host& host, AppContext& app);
void app_settings_screen(Host& host, AppContext& app);
void app_multiplayer_screen(Host& host, const AppConfig& config);
// The screens' texts, from their first line to their prompt. The main menu's
// mode lines say who narrates and, once, why the music is silent.
void app_print_main_menu(UiContext& ui, const AppConfig& config,
                         AudioNotice music = AudioNotice::kNone);
void app_print_settings(UiContext& ui, const AppConfig& config);
// `mosquitto`: where the broker program is installed, null when it is not.
void app_print_multiplayer(UiContext& ui, const AppConfig& config, const char* mosquitto);
