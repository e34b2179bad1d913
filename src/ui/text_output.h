// Typewriter, banner, status messages, pauses and reading the player's lines,
// all through a UiContext: where lines come from, where screens go, how a
// pause waits, and whether the input has ended.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// Supplies one raw line of at most capacity-1 bytes, its line feed kept when
// it fits; false at the end of input.
using UiLineSource = bool (*)(char* buffer, std::size_t capacity, void* user);
// Waits `ms` milliseconds, or only pretends to.
using UiSleep = void (*)(std::int32_t ms, void* user);

// One player's terminal. Each program's main() builds one on its standard
// streams; the author's tools, the shared table and the tests build their own,
// so the end of one input never reaches another. All-zero is a valid context:
// no input, screens discarded, real pauses, text written at once.
// A line typed ahead while text was being typed out, kept for the next read.
inline constexpr std::size_t UI_TYPEAHEAD_BYTES = 512;

struct UiContext {
  std::FILE* in;        // lines are read from here unless `source` is set; null: no input
  std::FILE* out;       // every screen is written here; null: screens are discarded
  std::FILE* err;       // diagnostics of the command-line tools; null: discarded
  UiLineSource source;  // optional scripted player, read instead of `in`
  UiSleep sleep;        // optional: replaces the real pause
  void* user;           // handed to `source` and `sleep`
  bool input_closed;    // the last read found the end of input
  float typing_speed;   // seconds per pair of characters of the typewriter; 0: at once
  bool is_terminal;     // `out` is a terminal
  int width;            // the terminal's columns; 0 when `out` is no terminal
  // When set and non-zero (a stop signal came), every read ends as if the
  // input had ended, so an adventure saves and ends.
  const volatile std::sig_atomic_t* stop;
  // The player types at this terminal: a line entered while text is being
  // typed out finishes the typing at once. An empty line (Enter alone) is
  // spent on that; any other is kept for the next read.
  bool interactive;
  bool has_typeahead;
  char typeahead[UI_TYPEAHEAD_BYTES];
};

// Writing and pausing through a context. ui_write and the format of
// ui_printf are the program's own bytes, its colours included.
void ui_write(UiContext& ui, std::string_view text);
void ui_printf(UiContext& ui, const char* format, ...) __attribute__((format(printf, 2, 3)));
// What ui_printf would write, for a screen built before it is written.
std::string ui_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text from a story, a save, the settings, the model or the player reaches
// the terminal only made safe by text_printable (common/text_util.h): through
// ui_write_text, ui_typewriter, ui_print_message, or as a "%s" argument of
// ui_printf wrapped in text_printable(...).c_str(). No escape sequence of its
// own survives; the program's colours are never taken from data.
void ui_write_text(UiContext& ui, std::string_view text);
// Running text (a scene, a narration, a lore passage) as it is shown: made
// safe and, when the output is a terminal, word-wrapped at its width, the
// first line starting at `column`.
std::string ui_running_text(const UiContext& ui, std::string_view text, int column = 0);

// The width a frame `natural` columns wide is drawn at: the terminal's when
// the output is a terminal narrower than the frame, so that no row wraps.
int ui_frame_width(const UiContext& ui, int natural);
// Writes one frame row's content (the program's colours and safe text)
// padded with spaces, or cut, to exactly `columns` columns; a line feed or tab
// in it shows as a space. A cut content is followed by a colour reset.
// Returns whether it was cut.
bool ui_write_fitted(UiContext& ui, std::string_view content, int columns);
void ui_flush(UiContext& ui);
void ui_sleep_ms(UiContext& ui, std::int32_t ms);

// Writes to the context's diagnostics stream (the tools' standard error).
void ui_error_write(UiContext& ui, std::string_view text);
void ui_error_printf(UiContext& ui, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The typewriter speed belongs to the terminal. A negative (or not-a-number)
// speed writes at once, like 0.
void ui_set_typewriter_speed(UiContext& ui, float speed);
float ui_get_typewriter_speed(const UiContext& ui);
// Types the text made safe (a byte at a time, pausing after every second one).
void ui_typewriter(UiContext& ui, const char* text, float speed);
void ui_print_banner(UiContext& ui);
// The text, made safe, as one coloured line. kind: "error", "warning",
// "success", anything else is info.
void ui_print_message(UiContext& ui, const char* text, const char* kind);
// Writes the action prompt "¿Qué deseas hacer? ❯ ".
void ui_print_action_prompt(UiContext& ui);
// Writes the action prompt and reads one line (trailing CR/LF removed; the
// rest of an over-long line is dropped, never taken as the next action);
// empty at end of input.
void ui_prompt_action(UiContext& ui, char* buffer, std::size_t capacity);

// Reads one line into `buffer` (at most capacity-1 bytes; the rest of a longer
// line is what the next read gets), removes trailing CR/LF. Flushes the output
// first. Returns false, with an empty buffer, at end of input; until the next
// read, ui_input_closed() then answers true.
bool ui_read_line(UiContext& ui, char* buffer, std::size_t capacity);
bool ui_input_closed(const UiContext& ui);
// Reads one line and discards whatever of it did not fit in `capacity`.
bool ui_read_line_discard_rest(UiContext& ui, char* buffer, std::size_t capacity);
// "Presiona Enter para continuar..." then one line of at most 31 bytes, ignored
// with the rest of a longer line. False when input has ended.
bool ui_pause_enter(UiContext& ui);
// The menu entry named by an answer of exactly one character from '1' to
// `last`, else 0.
char ui_menu_choice(const char* answer, char last);
