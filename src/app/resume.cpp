// Main menu entry 2: pick a saved game, find its story and continue playing.
#include <cstdio>
#include <span>
#include <string>

#include "app/app.h"
#include "app/shell.h"
#include "app/story_files.h"
#include "common/text_util.h"
#include "savegame/save_browser.h"
#include "savegame/save_file.h"
#include "session/session.h"
#include "story/story_parser.h"
#include "ui/palette.h"
#include "ui/text_output.h"

namespace {

void print_row(UiContext& ui, std::int32_t number, const SaveSummary& row) {
  // Names and titles come from files anyone may edit: no control byte of
  // theirs reaches the terminal.
  ui_printf(ui, "  [%d] %s | Héroe: %s (%d/%d HP) | Sec: %s | %s\n", number,
            text_printable(row.story_title).c_str(), text_printable(row.hero_name).c_str(), row.hp,
            row.max_hp, text_printable(row.current_section_id).c_str(),
            text_printable(row.saved_at).c_str());
}

// A list longer than a screen is shown a page at a time, newest first: Enter
// shows the next page (after the last, the first again) and any number of
// the whole list picks that save, on whichever page it stands. False when
// nothing is picked.
bool pick_from_pages(UiContext& ui, const char* saves_dir, AppContext& app, std::int32_t total,
                     std::int32_t& choice) {
  std::int32_t first = 0;
  for (;;) {
    // Listed again for every page: saves written or removed meanwhile count.
    std::int32_t rows = save_manager_list_page(saves_dir, first, app.saves, APP_MAX_SAVES, &total);
    if (rows == 0 && first > 0) {
      first = 0;
      continue;
    }
    if (rows == 0) return false;
    ui_write(ui, "\nPartidas guardadas encontradas:\n");
    for (std::int32_t i = 0; i < rows; ++i) print_row(ui, first + i + 1, app.saves[i]);
    ui_printf(ui, "  (%d-%d de %d, de la más reciente a la más antigua)\n", first + 1, first + rows,
              total);
    const bool last = first + rows >= total;
    ui_printf(ui,
              QH_YELLOW "\nElige una partida a reanudar (1-%d) o pulsa Enter para %s: " QH_RESET,
              total, last ? "volver al principio" : "ver las siguientes");
    char answer[APP_MENU_ANSWER_BYTES];
    if (!app_read_answer(ui, answer, sizeof answer)) return false;
    if (trim_view(answer).empty()) {
      first = last ? 0 : first + rows;
      continue;
    }
    choice = read_decimal_i32(answer);
    if (choice < 1 || choice > total ||
        save_manager_list_page(saves_dir, choice - 1, app.saves, 1, nullptr) != 1) {
      ui_print_message(ui, "Opción inválida.", "warning");
      return false;
    }
    choice = 1;  // the picked save is now the first row
    return true;
  }
}

}  // namespace

void app_resume_adventure(Host& host, AppContext& app) {
  UiContext& ui = host.ui;
  PathText saves_dir;
  host_path(host, PATH_SAVES_DIR, saves_dir);
  std::int32_t total = 0;
  std::int32_t rows =
      save_manager_list_page(saves_dir.c_str(), 0, app.saves, APP_MAX_SAVES, &total);
  if (rows <= 0) {
    ui_print_message(ui, "No hay partidas guardadas en la carpeta 'saves/'.", "warning");
    ui_pause_enter(ui);
    return;
  }

  std::int32_t choice = 0;
  if (total > rows) {
    if (!pick_from_pages(ui, saves_dir.c_str(), app, total, choice)) return;
  } else {
    ui_write(ui, "\nPartidas guardadas encontradas:\n");
    for (std::int32_t i = 0; i < rows; ++i) print_row(ui, i + 1, app.saves[i]);
    ui_printf(ui, QH_YELLOW "\nElige una partida a reanudar (1-%d): " QH_RESET, rows);
    // Closed input or no such entry: nothing is resumed.
    if (!app_read_choice(ui, rows, choice)) return;
  }
  const SaveSummary& row = app.saves[choice - 1];

  app.section_id.clear();
  app.story_path.clear();
  if (!load_game(saves_dir.c_str(), row.story_slug.c_str(), app.section_id.raw(),
                 app.section_id.capacity(), &app.hero, row.file_name.c_str(), &app.visits)) {
    ui_print_message(ui, "Error al cargar la partida.", "error");
    ui_pause_enter(ui);
    return;
  }

  // The story whose path gives the save's slug and whose title is the save's:
  // a file that now holds another story is never opened in its place. The
  // path found gives the save's slug again, so the resumed adventure keeps
  // writing the same quicksave and autosave.
  PathText candidates[APP_MAX_SLUG_MATCHES];
  const std::int32_t found =
      story_files_find_by_slug(host, row.story_slug, candidates, APP_MAX_SLUG_MATCHES);
  if (found == 0) {
    ui_print_message(ui, "No se localizó el archivo .md original de la historia.", "error");
    ui_pause_enter(ui);
    return;
  }
  std::int32_t readable = 0;
  std::string other_title, other_path;
  for (const PathText& candidate : std::span(candidates, static_cast<std::size_t>(found))) {
    PathText full_path;
    if (!host_path(host, candidate.view(), full_path) ||
        !story_parser_load_file(app.story, full_path.c_str())) {
      continue;
    }
    if (readable++ == 0) {
      other_title = app.story.title.view();
      other_path = candidate.view();
    }
    if (story_files_title_matches(row.story_title.view(), app.story.title.view())) {
      app.story_path = candidate;
      break;
    }
  }
  if (readable == 0) {
    ui_print_message(ui, "Error al leer la historia.", "error");
    ui_pause_enter(ui);
    return;
  }
  if (app.story_path.empty()) {
    // Titles come from files anyone may edit: shown without their control bytes.
    std::string text = "La partida es de «" + text_printable(row.story_title.view()) + "», pero " +
                       text_printable(other_path) + " contiene ahora «" +
                       text_printable(other_title) + "»: no se abre otra historia en su lugar.";
    ui_print_message(ui, text.c_str(), "error");
    ui_pause_enter(ui);
    return;
  }

  SessionIo io{.host = host,
               .seed = host_adventure_seed(host),
               .resumed_file = row.file_name.c_str(),
               .resumed_visits = &app.visits};
  SessionEnd end = app_play(host, io, app.story, app.story_path.c_str(), app.config,
                            app.hero.name.c_str(), app.section_id.c_str(), &app.hero);
  app_after_adventure(host, app.config, end);
}
