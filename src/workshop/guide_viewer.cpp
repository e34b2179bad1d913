#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "ui/palette.h"
#include "ui/text_output.h"
#include "workshop/workshop.h"
#include "workshop/workshop_screens.h"

namespace {

constexpr std::size_t GUIDE_PATH_BYTES = 512;
// Pieces (lines, or slices of longer lines) read at a time, and shown per page.
constexpr std::size_t GUIDE_PIECE_BYTES = 512;
constexpr int GUIDE_PAGE_PIECES = 28;
constexpr std::size_t MORE_ANSWER_BYTES = 16;

// Opens `path` for reading only when it is a regular file, so a FIFO or device
// under a guide's name cannot hang the viewer.
std::FILE* open_regular_file(const char* path) {
  int fd = platform_open_regular(path, O_RDONLY);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}

// The guide beside the base directory, else in the sibling project folder.
std::FILE* open_guide(const char* base_dir, const char* file_name) {
  char path[GUIDE_PATH_BYTES];
  int len = std::snprintf(path, sizeof path, "%s/%s", base_dir, file_name);
  if (len < 0 || static_cast<std::size_t>(len) >= sizeof path) return nullptr;
  if (!platform_file_exists(path)) {
    len = std::snprintf(path, sizeof path, "%s/../Quillhaven-Lantern/%s", base_dir, file_name);
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof path) return nullptr;
  }
  return open_regular_file(path);
}

}  // namespace

bool workshop_show_guide(const char* base_dir, const char* file_name, const char* title) {
  std::FILE* file = open_guide(base_dir != nullptr && base_dir[0] != '\0' ? base_dir : ".",
                               file_name != nullptr ? file_name : "");
  if (file == nullptr) {
    ui_print_message("No se encontró el archivo de guía.", "warning");
    return ui_pause_enter();
  }
  std::printf("\n" QH_ORANGE QH_BOLD "=== %s ===" QH_RESET "\n\n", title != nullptr ? title : "");
  char piece[GUIDE_PIECE_BYTES];
  int shown = 0;
  while (std::fgets(piece, sizeof piece, file) != nullptr) {
    std::fputs(piece, stdout);
    if (++shown % GUIDE_PAGE_PIECES != 0) continue;
    std::fputs(QH_GREY "\n--- Presiona Enter para ver más ---" QH_RESET, stdout);
    char ignored[MORE_ANSWER_BYTES];
    if (!ui_read_line_discard_rest(ignored, sizeof ignored)) {
      std::fclose(file);
      return false;
    }
  }
  std::fclose(file);
  return ui_pause_enter();
}

void show_guide_file(const char* base_dir, const char* file_name, const char* title) {
  workshop_show_guide(base_dir, file_name, title);
}
