// Typewriter, banner, status messages, pauses and reading the player's lines,
// all through a UiContext: where lines come from, where screens go, how a
// pause waits, and whether the input has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

// Supplies one raw line of at most capacity-1 bytes, its line feed kept when
// it fits; false at the end of input.
using UiLineSource = bool (*)(char* buffer, std::size_t capacity, void* user);
// Waits `ms` milliseconds, or only pretends to.
using UiSleep = void (*)(std::int32_t ms, void* user);

// One player's terminal. The game plays on ui_terminal(); the author's tools
// and the tests build their own, so the end of one input never reaches another.
struct UiContext {
  std::FILE* in;        // lines are read from here unless `source` is set; null: no input
  std::FILE* out;       // every screen is written here; null: screens are discarded
  UiLineSource source;  // optional scripted player, read instead of `in`
  UiSleep sleep;        // optional: replaces the real pause
  void* user;           // handed to `source` and `sleep`
  bool input_closed;    // the last read found the end of input
};

// Standard input and output with real pauses: what the menus, the workshop and
// the game's adventures use.
UiContext& ui_terminal();

// Writing and pausing through a context.
void ui_write(UiContext& ui, std::string_view text);
void ui_printf(UiContext& ui, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ui_flush(UiContext& ui);
void ui_sleep_ms(UiContext& ui, std::int32_t ms);

// The typewriter speed is one value for the whole process.
void ui_init(float speed);
void ui_set_typewriter_speed(float speed);
float ui_get_typewriter_speed();
void ui_typewriter(UiContext& ui, const char* text, float speed);
void ui_print_banner(UiContext& ui);
void ui_print_banner();
// kind: "error", "warning", "success", anything else is info.
void ui_print_message(UiContext& ui, const char* text, const char* kind);
void ui_print_message(const char* text, const char* kind);
// Writes the action prompt and reads one line (trailing CR/LF removed); empty at end of input.
void ui_prompt_action(UiContext& ui, char* buffer, std::size_t capacity);

// Reads one line into `buffer` (at most capacity-1 bytes; the rest of a longer
// line is what the next read gets), removes trailing CR/LF. Flushes the output
// first. Returns false, with an empty buffer, at end of input; until the next
// read, ui_input_closed() then answers true.
bool ui_read_line(UiContext& ui, char* buffer, std::size_t capacity);
bool ui_read_line(char* buffer, std::size_t capacity);
bool ui_input_closed(const UiContext& ui);
bool ui_input_closed();
// Reads one line and discards whatever of it did not fit in `capacity`.
bool ui_read_line_discard_rest(UiContext& ui, char* buffer, std::size_t capacity);
bool ui_read_line_discard_rest(char* buffer, std::size_t capacity);
// "Presiona Enter para continuar..." then one line of at most 31 bytes, ignored
// with the rest of a longer line. False when input has ended.
bool ui_pause_enter(UiContext& ui);
bool ui_pause_enter();
// The menu entry named by an answer of exactly one character from '1' to
// `last`, else 0.
char ui_menu_choice(const char* answer, char last);
