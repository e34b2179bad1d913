// Main menu entry 2: pick a saved game, find its story and continue playing.
#include <cstdio>

#include "app/app.h"
#include "app/shell.h"
#include "app/story_files.h"
#include "savegame/save_browser.h"
#include "savegame/save_file.h"
#include "session/session.h"
#include "story/story_parser.h"
#include "ui/palette.h"
#include "ui/text_output.h"

void app_resume_adventure(AppContext& app) {
  std::int32_t rows = save_manager_list_saves(APP_SAVES_DIR, app.saves, APP_MAX_SAVES);
  if (rows <= 0) {
    ui_print_message("No hay partidas guardadas en la carpeta 'saves/'.", "warning");
    ui_pause_enter();
    return;
  }

  std::fputs("\nPartidas guardadas encontradas:\n", stdout);
  for (std::int32_t i = 0; i < rows; ++i) {
    const SaveSummary& row = app.saves[i];
    std::printf("  [%d] %s | Héroe: %s (%d/%d HP) | Sec: %s | %s\n", i + 1, row.story_title.c_str(),
                row.hero_name.c_str(), row.hp, row.max_hp, row.current_section_id.c_str(),
                row.saved_at.c_str());
  }
  std::printf(QH_YELLOW "\nElige una partida a reanudar (1-%d): " QH_RESET, rows);
  std::int32_t choice = 0;
  if (!app_read_choice(rows, choice)) return;  // closed input or no such entry: nothing is resumed
  const SaveSummary& row = app.saves[choice - 1];

  app.section_id.clear();
  if (!load_game(APP_SAVES_DIR, row.story_slug.c_str(), app.section_id.raw(),
                 app.section_id.capacity(), &app.hero, row.file_name.c_str())) {
    ui_print_message("Error al cargar la partida.", "error");
    ui_pause_enter();
    return;
  }

  // The path found gives the save's slug again, so the resumed adventure
  // keeps writing the same quicksave and autosave.
  if (!story_files_find_by_slug(row.story_slug, app.story_path)) {
    ui_print_message("No se localizó el archivo .md original de la historia.", "error");
    ui_pause_enter();
    return;
  }
  if (!story_parser_load_file(app.story, app.story_path.c_str())) {
    ui_print_message("Error al leer la historia.", "error");
    ui_pause_enter();
    return;
  }

  game_session_run({ui_terminal(), nullptr}, &app.story, app.story_path.c_str(), &app.config,
                   &app.audio, app.hero.name.c_str(), app.section_id.c_str(), &app.hero);
  app_replay_intro(app.config, app.audio);
}
