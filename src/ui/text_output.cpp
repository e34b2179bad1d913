#include "ui/text_output.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "ui/palette.h"

namespace {

float g_speed = 0.01f;
bool g_input_closed = false;
UiLineSource g_source = nullptr;
void* g_source_context = nullptr;

// The six-line logo; every line starts with three spaces and has the same width.
constexpr const char* kStoryTitleLogo[6] = {
    "    ██████╗ ██╗   ██╗██╗██╗     ██╗     ██╗  ██╗ █████╗ ██╗   ██╗███████╗███╗   ██╗",
    "   ██╔═══██╗██║   ██║██║██║     ██║     ██║  ██║██╔══██╗██║   ██║██╔════╝████╗  ██║",
    "   ██║   ██║██║   ██║██║██║     ██║     ███████║███████║██║   ██║█████╗  ██╔██╗ ██║",
    "   ██║   ██║██║   ██║██║██║     ██║     ██╔══██║██╔══██║╚██╗ ██╔╝██╔══╝  ██║╚██╗██║",
    "   ╚██████╔╝╚██████╔╝██║███████╗███████╗██║  ██║██║  ██║ ╚████╔╝ ███████╗██║ ╚████║",
    "    ╚════██╗ ╚═════╝ ╚═╝╚══════╝╚══════╝╚═╝  ╚═╝╚═╝  ╚═╝  ╚═══╝  ╚══════╝╚═╝  ╚═══╝",
};

// Reads raw bytes of one line (line feed included when it fits) into buffer.
bool read_raw_line(char* buffer, std::size_t capacity) {
  if (g_source != nullptr) return g_source(buffer, capacity, g_source_context);
  if (capacity < 2) {
    // Room for the terminator only: nothing can be read, but a closed input
    // must still be noticed.
    int c = std::fgetc(stdin);
    if (c == EOF) return false;
    std::ungetc(c, stdin);
    return true;
  }
  return std::fgets(buffer, static_cast<int>(capacity), stdin) != nullptr;
}

void strip_line_end(char* buffer) {
  std::size_t n = std::strlen(buffer);
  while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r')) buffer[--n] = '\0';
}

}  // namespace

void ui_init(float speed) { g_speed = (speed >= 0.0f) ? speed : 0.01f; }

void ui_set_typewriter_speed(float speed) { g_speed = (speed >= 0.0f) ? speed : 0.0f; }

float ui_get_typewriter_speed() { return g_speed; }

void ui_typewriter(const char* text, float speed) {
  if (text == nullptr) return;
  if (!(speed > 0.0001f)) {
    std::fputs(text, stdout);
    std::fflush(stdout);
    return;
  }
  // The speed comes from the settings file: a huge one must saturate, never
  // overflow the conversion to whole milliseconds. The product stays in float
  // (0.01 s gives 10 ms, not 9) and an overflow there is simply infinity.
  double wanted_ms = static_cast<double>(speed * 1000.0f);
  if (wanted_ms > static_cast<double>(INT32_MAX)) wanted_ms = static_cast<double>(INT32_MAX);
  std::int32_t pause_ms = static_cast<std::int32_t>(wanted_ms);
  if (pause_ms < 2) pause_ms = 1;
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    std::fputc(text[i], stdout);
    if (text[i] == '\n') {
      std::fflush(stdout);
    } else if (i % 2 == 0) {
      std::fflush(stdout);
      platform_sleep_ms(pause_ms);
    }
  }
  std::fflush(stdout);
}

void ui_print_banner() {
  std::fputs(QH_CYAN QH_BOLD "\n", stdout);
  for (const char* line : kStoryTitleLogo) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
  }
  std::fputs(QH_ORANGE "                  ⚔️  LLM & RAG Terminal Engine (Edición Farol de Medianoche) ⚔️\n" QH_RESET,
             stdout);
}

void ui_print_message(const char* text, const char* kind) {
  if (text == nullptr) return;
  const char* k = kind != nullptr ? kind : "";
  if (std::strcmp(k, "error") == 0) {
    std::printf(QH_RED QH_BOLD "%s" QH_RESET "\n", text);
  } else if (std::strcmp(k, "warning") == 0) {
    std::printf(QH_YELLOW QH_BOLD "%s" QH_RESET "\n", text);
  } else if (std::strcmp(k, "success") == 0) {
    std::printf(QH_GREEN QH_BOLD "%s" QH_RESET "\n", text);
  } else {
    std::printf(QH_CYAN "%s" QH_RESET "\n", text);
  }
}

void ui_prompt_action(char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  buffer[0] = '\0';
  std::fputs("\n" QH_ORANGE QH_BOLD "¿Qué deseas hacer? ❯ " QH_RESET, stdout);
  ui_read_line(buffer, capacity);
}

namespace {

// Reads one raw line (line end still attached) and records a closed input.
bool read_line_raw_checked(char* buffer, std::size_t capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  buffer[0] = '\0';
  std::fflush(stdout);
  if (!read_raw_line(buffer, capacity)) {
    buffer[0] = '\0';
    g_input_closed = true;
    return false;
  }
  return true;
}

}  // namespace

bool ui_read_line(char* buffer, std::size_t capacity) {
  if (!read_line_raw_checked(buffer, capacity)) return false;
  strip_line_end(buffer);
  return true;
}

bool ui_input_closed() { return g_input_closed; }

bool ui_read_line_discard_rest(char* buffer, std::size_t capacity) {
  if (!read_line_raw_checked(buffer, capacity)) return false;
  std::size_t n = std::strlen(buffer);
  bool complete = n > 0 && buffer[n - 1] == '\n';
  if (!complete && n + 1 >= capacity) {
    // The line did not fit: drop the rest of it so it never becomes the next answer.
    char scratch[256];
    for (;;) {
      if (!read_raw_line(scratch, sizeof scratch)) break;
      std::size_t m = std::strlen(scratch);
      if (m > 0 && scratch[m - 1] == '\n') break;
    }
  }
  strip_line_end(buffer);
  return true;
}

bool ui_pause_enter() {
  std::fputs(QH_GREY "\nPresiona Enter para continuar..." QH_RESET, stdout);
  std::fflush(stdout);
  // The answer is ignored; so is the rest of an overlong line, which would
  // otherwise answer the next prompt.
  char ignored[32];
  return ui_read_line_discard_rest(ignored, sizeof ignored);
}

char ui_menu_choice(const char* answer, char last) {
  if (answer == nullptr || answer[0] == '\0' || answer[1] != '\0') return 0;
  return (answer[0] >= '1' && answer[0] <= last) ? answer[0] : 0;
}

void ui_set_line_source(UiLineSource source, void* context) {
  g_source = source;
  g_source_context = context;
}
