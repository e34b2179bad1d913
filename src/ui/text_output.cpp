#include "ui/text_output.h"

#include <poll.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/display_width.h"
#include "common/fixed_text.h"
#include "common/text_util.h"
#include "platform/platform.h"
#include "ui/palette.h"

namespace {

// The six-line logo; every line starts with three spaces and has the same width.
constexpr const char* kStoryTitleLogo[6] = {
    "    ██████╗ ██╗   ██╗██╗██╗     ██╗     ██╗  ██╗ █████╗ ██╗   ██╗███████╗███╗   ██╗",
    "   ██╔═══██╗██║   ██║██║██║     ██║     ██║  ██║██╔══██╗██║   ██║██╔════╝████╗  ██║",
    "   ██║   ██║██║   ██║██║██║     ██║     ███████║███████║██║   ██║█████╗  ██╔██╗ ██║",
    "   ██║   ██║██║   ██║██║██║     ██║     ██╔══██║██╔══██║╚██╗ ██╔╝██╔══╝  ██║╚██╗██║",
    "   ╚██████╔╝╚██████╔╝██║███████╗███████╗██║  ██║██║  ██║ ╚████╔╝ ███████╗██║ ╚████║",
    "    ╚════██╗ ╚═════╝ ╚═╝╚══════╝╚══════╝╚═╝  ╚═╝╚═╝  ╚═╝  ╚═══╝  ╚══════╝╚═╝  ╚═══╝",
};

bool stopped(const UiContext& ui) { return ui.stop != nullptr && *ui.stop != 0; }

// Reads raw bytes of one line (line feed included when it fits) into buffer.
bool read_raw_line(UiContext& ui, char* buffer, std::size_t capacity) {
  if (stopped(ui)) return false;
  if (ui.source != nullptr) return ui.source(buffer, capacity, ui.user);
  if (ui.has_typeahead) {
    // The line was entered while text was being typed: it answers this read.
    ui.has_typeahead = false;
    text_copy(buffer, capacity, ui.typeahead);
    return true;
  }
  if (ui.in == nullptr) return false;
  if (capacity < 2) {
    // Room for the terminator only: nothing can be read, but a closed input
    // must still be noticed.
    int c = std::fgetc(ui.in);
    if (c == EOF) return false;
    std::ungetc(c, ui.in);
    return true;
  }
  if (std::fgets(buffer, static_cast<int>(capacity), ui.in) != nullptr) return true;
  // A read cut short by a stop signal is the end of input, for now: the flag
  // ends every later read too.
  if (stopped(ui)) std::clearerr(ui.in);
  return false;
}

// True when the player entered a line while text was being typed out: the
// typing is to finish at once. An empty line is spent on that; any other is
// kept for the next read. Only looks, never waits.
bool typed_ahead(UiContext& ui) {
  if (!ui.interactive || ui.in == nullptr || ui.has_typeahead || stopped(ui)) return false;
  pollfd ready{fileno(ui.in), POLLIN, 0};
  if (ready.fd < 0 || poll(&ready, 1, 0) != 1 || (ready.revents & POLLIN) == 0) return false;
  char line[UI_TYPEAHEAD_BYTES];
  if (std::fgets(line, sizeof line, ui.in) == nullptr) return false;
  std::string_view typed(line);
  if (typed != "\n" && typed != "\r\n") {
    text_copy(ui.typeahead, sizeof ui.typeahead, typed);
    ui.has_typeahead = true;
  }
  return true;
}

void strip_line_end(char* buffer) {
  std::size_t n = std::strlen(buffer);
  while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r')) buffer[--n] = '\0';
}

}  // namespace

void ui_write(UiContext& ui, std::string_view text) {
  if (ui.out != nullptr && !text.empty()) std::fwrite(text.data(), 1, text.size(), ui.out);
}

void ui_printf(UiContext& ui, const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (ui.out != nullptr) std::vfprintf(ui.out, format, args);
  va_end(args);
}

std::string ui_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, again);
    out.pop_back();
  }
  va_end(again);
  return out;
}

void ui_write_text(UiContext& ui, std::string_view text) { ui_write(ui, text_printable(text)); }

std::string ui_running_text(const UiContext& ui, std::string_view text, int column) {
  std::string safe = text_printable(text);
  if (!ui.is_terminal || ui.width <= 0) return safe;
  return text_wrap(safe, ui.width, column);
}

int ui_frame_width(const UiContext& ui, int natural) {
  return (ui.is_terminal && ui.width > 0 && ui.width < natural) ? ui.width : natural;
}

bool ui_write_fitted(UiContext& ui, std::string_view content, int columns) {
  std::string row(content);
  text_to_one_line(row);
  int used = 0;
  const std::size_t kept = text_prefix_for_width(row, columns, &used);
  const bool cut = kept < row.size();
  row.resize(kept);
  if (cut) row += QH_RESET;
  if (used < columns) row.append(static_cast<std::size_t>(columns - used), ' ');
  ui_write(ui, row);
  return cut;
}

void ui_error_write(UiContext& ui, std::string_view text) {
  if (ui.err != nullptr && !text.empty()) std::fwrite(text.data(), 1, text.size(), ui.err);
}

void ui_error_printf(UiContext& ui, const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (ui.err != nullptr) std::vfprintf(ui.err, format, args);
  va_end(args);
}

void ui_flush(UiContext& ui) {
  if (ui.out != nullptr) std::fflush(ui.out);
}

void ui_sleep_ms(UiContext& ui, std::int32_t ms) {
  if (ui.sleep != nullptr) {
    ui.sleep(ms, ui.user);
  } else {
    platform_sleep_ms(ms);
  }
}

void ui_set_typewriter_speed(UiContext& ui, float speed) {
  ui.typing_speed = (speed >= 0.0f) ? speed : 0.0f;
}

float ui_get_typewriter_speed(const UiContext& ui) { return ui.typing_speed; }

void ui_typewriter(UiContext& ui, const char* text, float speed) {
  if (text == nullptr) return;
  // Filtered whole before typing: a sequence must not slip through between bytes.
  const std::string safe = text_printable(text);
  if (!(speed > 0.0001f)) {
    ui_write(ui, safe);
    ui_flush(ui);
    return;
  }
  // The speed comes from the settings file: a huge one must saturate, never
  // overflow the conversion to whole milliseconds. The product stays in float
  // (0.01 s gives 10 ms, not 9) and an overflow there is simply infinity.
  double wanted_ms = static_cast<double>(speed * 1000.0f);
  if (wanted_ms > static_cast<double>(INT32_MAX)) wanted_ms = static_cast<double>(INT32_MAX);
  std::int32_t pause_ms = static_cast<std::int32_t>(wanted_ms);
  if (pause_ms < 2) pause_ms = 1;
  for (std::size_t i = 0; i < safe.size(); ++i) {
    ui_write(ui, std::string_view(&safe[i], 1));
    if (safe[i] == '\n') {
      ui_flush(ui);
    } else if (i % 2 == 0) {
      ui_flush(ui);
      ui_sleep_ms(ui, pause_ms);
      if (typed_ahead(ui)) {
        // Enter finishes the text at once.
        ui_write(ui, std::string_view(safe).substr(i + 1));
        break;
      }
    }
  }
  ui_flush(ui);
}

void ui_print_banner(UiContext& ui) {
  ui_write(ui, QH_CYAN QH_BOLD "\n");
  for (const char* line : kStoryTitleLogo) {
    ui_write(ui, line);
    ui_write(ui, "\n");
  }
  ui_write(ui, QH_ORANGE
           "                  ⚔️  LLM & RAG Terminal Engine (Edición Farol de Medianoche) "
           "⚔️\n" QH_RESET);
}

void ui_print_message(UiContext& ui, const char* text, const char* kind) {
  if (text == nullptr) return;
  const std::string safe = text_printable(text);
  text = safe.c_str();
  const char* k = kind != nullptr ? kind : "";
  if (std::strcmp(k, "error") == 0) {
    ui_printf(ui, QH_RED QH_BOLD "%s" QH_RESET "\n", text);
  } else if (std::strcmp(k, "warning") == 0) {
    ui_printf(ui, QH_YELLOW QH_BOLD "%s" QH_RESET "\n", text);
  } else if (std::strcmp(k, "success") == 0) {
    ui_printf(ui, QH_GREEN QH_BOLD "%s" QH_RESET "\n", text);
  } else {
    ui_printf(ui, QH_CYAN "%s" QH_RESET "\n", text);
  }
}

void ui_print_action_prompt(UiContext& ui) {
  ui_write(ui, "\n" QH_ORANGE QH_BOLD "¿Qué deseas hacer? ❯ " QH_RESET);
}

void ui_prompt_action(UiContext& ui, char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  buffer[0] = '\0';
  ui_print_action_prompt(ui);
  ui_read_line_discard_rest(ui, buffer, capacity);
}

namespace {

// Reads one raw line (line end still attached) and records whether the input has ended.
bool read_line_raw_checked(UiContext& ui, char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  buffer[0] = '\0';
  ui_flush(ui);
  ui.input_closed = !read_raw_line(ui, buffer, capacity);
  if (ui.input_closed) buffer[0] = '\0';
  return !ui.input_closed;
}

}  // namespace

bool ui_read_line(UiContext& ui, char* buffer, std::size_t capacity) {
  if (!read_line_raw_checked(ui, buffer, capacity)) return false;
  strip_line_end(buffer);
  return true;
}

bool ui_input_closed(const UiContext& ui) { return ui.input_closed; }

bool ui_read_line_discard_rest(UiContext& ui, char* buffer, std::size_t capacity) {
  if (!read_line_raw_checked(ui, buffer, capacity)) return false;
  std::size_t n = std::strlen(buffer);
  bool complete = n > 0 && buffer[n - 1] == '\n';
  if (!complete && n + 1 >= capacity) {
    // The line did not fit: drop the rest of it so it never becomes the next answer.
    char scratch[256];
    for (;;) {
      if (!read_raw_line(ui, scratch, sizeof scratch)) break;
      std::size_t m = std::strlen(scratch);
      if (m > 0 && scratch[m - 1] == '\n') break;
    }
  }
  strip_line_end(buffer);
  return true;
}

bool ui_pause_enter(UiContext& ui) {
  ui_write(ui, QH_GREY "\nPresiona Enter para continuar..." QH_RESET);
  // The answer is ignored; so is the rest of an overlong line, which would
  // otherwise answer the next prompt.
  char ignored[32];
  return ui_read_line_discard_rest(ui, ignored, sizeof ignored);
}

char ui_menu_choice(const char* answer, char last) {
  if (answer == nullptr || answer[0] == '\0' || answer[1] != '\0') return 0;
  return (answer[0] >= '1' && answer[0] <= last) ? answer[0] : 0;
}
