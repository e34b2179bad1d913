// Main menu entry 1: list the stories, pick one, name the hero and play.
#include <cstdint>
#include <cstdio>

#include "app/app.h"
#include "app/shell.h"
#include "app/story_files.h"
#include "session/session.h"
#include "story/story_parser.h"
#include "ui/palette.h"
#include "ui/text_output.h"

void app_new_adventure(AppContext& app) {
  std::int32_t count = story_files_list(app.story_files, app.story_titles);
  if (count == 0) {
    ui_print_message("No se encontraron historias en la carpeta 'stories/'.", "error");
    ui_pause_enter();
    return;
  }

  std::fputs("\nHistorias disponibles:\n", stdout);
  for (std::int32_t i = 0; i < count; ++i) {
    std::printf("  [%d] %s (%s)\n", i + 1, app.story_titles[i].c_str(), app.story_files[i].c_str());
  }
  std::printf(QH_YELLOW "\nElige una historia (1-%d): " QH_RESET, count);
  std::int32_t choice = 0;
  if (!app_read_choice(count, choice)) return;  // closed input or no such entry: nothing is started

  story_files_path(app.story_files[choice - 1].c_str(), app.story_path);
  if (!story_parser_load_file(app.story, app.story_path.c_str())) {
    ui_print_message("Error al leer la historia seleccionada.", "error");
    ui_pause_enter();
    return;
  }

  std::fputs(QH_YELLOW "\nIntroduce el nombre de tu aventurero (por defecto: Valiente): " QH_RESET,
             stdout);
  app.hero_name.clear();
  if (!app_read_answer(app.hero_name.raw(), app.hero_name.capacity())) return;
  if (app.hero_name.empty()) app.hero_name.assign("Valiente");

  // The session names the save files after this exact path text, and resuming
  // finds the story again by it.
  game_session_run({ui_terminal(), nullptr}, &app.story, app.story_path.c_str(), &app.config,
                   &app.audio, app.hero_name.c_str(), nullptr, nullptr);
  app_replay_intro(app.config, app.audio);
}
