// Main menu entry 1: list the stories, pick one, name the hero and play.
#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "platform/platform.h"
#include "session/session.h"
#include "story/story_parser.h"
#include "ui/palette.h"
#include "ui/text_output.h"

namespace {

constexpr const char* kStoriesDir = "stories";
constexpr const char* kFallbackStoriesDir = "../Quillhaven-Lantern/stories";

// The title shown for a story file: the name without its last extension,
// underscores read as spaces.
void story_title_from_file_name(const FixedText<128>& file, FixedText<128>& title) {
  title = file;
  char* text = title.raw();
  char* dot = std::strrchr(text, '.');
  if (dot != nullptr) *dot = '\0';
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == '_') *p = ' ';
  }
}

}  // namespace

std::int32_t list_stories_in_dir(const char* dir, FixedText<128>* files, FixedText<128>* titles) {
  if (dir == nullptr || files == nullptr || titles == nullptr) return 0;
  DIR* handle = opendir(dir);
  if (handle == nullptr) return 0;
  std::int32_t count = 0;
  // Directory order, unsorted; "." and ".." never contain ".md".
  while (count < APP_MAX_STORIES) {
    const dirent* entry = readdir(handle);
    if (entry == nullptr) break;
    if (std::strstr(entry->d_name, ".md") == nullptr) continue;
    files[count].assign(entry->d_name);
    story_title_from_file_name(files[count], titles[count]);
    ++count;
  }
  closedir(handle);
  return count;
}

void app_new_adventure(AppContext& app) {
  std::int32_t count = list_stories_in_dir(kStoriesDir, app.story_files, app.story_titles);
  if (count == 0)
    count = list_stories_in_dir(kFallbackStoriesDir, app.story_files, app.story_titles);
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

  // Decided per choice: a name that exists in stories/ is loaded from there,
  // whichever folder the list came from.
  const char* file = app.story_files[choice - 1].c_str();
  std::snprintf(app.story_path.raw(), app.story_path.capacity(), "%s/%s", kStoriesDir, file);
  if (!platform_file_exists(app.story_path.c_str())) {
    std::snprintf(app.story_path.raw(), app.story_path.capacity(), "%s/%s", kFallbackStoriesDir,
                  file);
  }
  if (!story_parser_load_file(app.story, app.story_path.c_str())) {
    ui_print_message("Error al leer la historia seleccionada.", "error");
    ui_pause_enter();
    return;
  }

  std::fputs(QH_YELLOW "\nIntroduce el nombre de tu aventurero (por defecto: Valiente): " QH_RESET,
             stdout);
  app.hero_name.clear();
  if (!app_read_answer(app.hero_name.raw(), APP_HERO_NAME_BYTES)) return;
  if (app.hero_name.empty()) app.hero_name.assign("Valiente");

  // The session derives the save files' slug from this exact path text.
  game_session_run({ui_terminal(), nullptr}, &app.story, app.story_path.c_str(), &app.config,
                   &app.audio, app.hero_name.c_str(), nullptr, nullptr);
  app_replay_intro(app);
}
