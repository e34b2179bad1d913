// Main menu entry 1: list the stories, pick one, name the hero and play.
#include <cstdint>
#include <cstdio>

#include "app/app.h"
#include "app/shell.h"
#include "app/story_files.h"
#include "common/text_util.h"
#include "session/session.h"
#include "story/story_parser.h"
#include "ui/palette.h"
#include "ui/text_output.h"

void app_new_adventure(Host& host, AppContext& app) {
  UiContext& ui = host.ui;
  std::int32_t count = story_files_list(host, app.story_files, app.story_titles);
  if (count == 0) {
    ui_print_message(ui, "No se encontraron historias en la carpeta 'stories/'.", "error");
    ui_pause_enter(ui);
    return;
  }

  ui_write(ui, "\nHistorias disponibles:\n");
  for (std::int32_t i = 0; i < count; ++i) {
    // Titles and file names come from whoever made the pack: no control byte
    // of theirs reaches the terminal.
    ui_printf(ui, "  [%d] %s (%s)\n", i + 1, text_printable(app.story_titles[i].view()).c_str(),
              text_printable(app.story_files[i].view()).c_str());
  }
  ui_printf(ui, QH_YELLOW "\nElige una historia (1-%d): " QH_RESET, count);
  std::int32_t choice = 0;
  // Closed input or no such entry: nothing is started.
  if (!app_read_choice(ui, count, choice)) return;

  story_files_path(host, app.story_files[choice - 1].c_str(), app.story_path);
  PathText full_path;
  if (!host_path(host, app.story_path.view(), full_path) ||
      !story_parser_load_file(app.story, full_path.c_str())) {
    ui_print_message(ui, "Error al leer la historia seleccionada.", "error");
    ui_pause_enter(ui);
    return;
  }

  ui_write(ui,
           QH_YELLOW "\nIntroduce el nombre de tu aventurero (por defecto: Valiente): " QH_RESET);
  app.hero_name.clear();
  if (!app_read_answer(ui, app.hero_name.raw(), app.hero_name.capacity())) return;
  if (app.hero_name.empty()) app.hero_name.assign("Valiente");

  // The session names the save files after this exact path text (relative to
  // the root), and resuming finds the story again by it.
  SessionIo io{.host = host, .seed = host_adventure_seed(host)};
  SessionEnd end = app_play(host, io, app.story, app.story_path.c_str(), app.config,
                            app.hero_name.c_str(), nullptr, nullptr);
  app_after_adventure(host, app.config, end);
}
