#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/text_util.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "ui/palette.h"
#include "ui/text_output.h"
#include "workshop/workshop.h"
#include "workshop/workshop_screens.h"

namespace {

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

// The guide in the host's root, else in the companion project's folder.
std::FILE* open_guide(const Host& host, const char* file_name) {
  PathText path, fallback;
  if (!host_path(host, file_name, path)) return nullptr;
  if (!platform_file_exists(path.c_str())) {
    if (!host_path(host, PATH_FALLBACK_GUIDES_DIR, fallback) ||
        !path_join(fallback.view(), file_name, path)) {
      return nullptr;
    }
  }
  return open_regular_file(path.c_str());
}

}  // namespace

bool show_guide_file(Host& host, const char* file_name, const char* title) {
  UiContext& ui = host.ui;
  std::FILE* file = open_guide(host, file_name != nullptr ? file_name : "");
  if (file == nullptr) {
    ui_print_message(ui, "No se encontró el archivo de guía.", "warning");
    return ui_pause_enter(ui);
  }
  ui_printf(ui, "\n" QH_ORANGE QH_BOLD "=== %s ===" QH_RESET "\n\n", title != nullptr ? title : "");
  char piece[GUIDE_PIECE_BYTES];
  int shown = 0;
  while (std::fgets(piece, sizeof piece, file) != nullptr) {
    // A line longer than a piece may be cut after the first byte of a
    // two-byte character; that byte goes back to start the next piece, so the
    // filter sees a C1 control whole.
    std::size_t length = std::strlen(piece);
    if (length > 1 && static_cast<unsigned char>(piece[length - 1]) >= 0xC2 &&
        std::ungetc(static_cast<unsigned char>(piece[length - 1]), file) != EOF) {
      piece[length - 1] = '\0';
    }
    ui_write_text(ui, piece);
    if (++shown % GUIDE_PAGE_PIECES != 0) continue;
    ui_write(ui, QH_GREY "\n--- Presiona Enter para ver más, o q y Enter para salir ---" QH_RESET);
    char answer[MORE_ANSWER_BYTES];
    const bool input_open = ui_read_line_discard_rest(ui, answer, sizeof answer);
    // "q" leaves a long guide at once, straight back to the workshop menu.
    if (!input_open || ascii_iequals(trim_view(answer), "q")) {
      std::fclose(file);
      return input_open;
    }
  }
  std::fclose(file);
  return ui_pause_enter(ui);
}
