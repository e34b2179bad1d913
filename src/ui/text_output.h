// Typewriter, banner, status messages and reading the player's lines.
#pragma once

#include <cstddef>

void ui_init(float speed);
void ui_set_typewriter_speed(float speed);
float ui_get_typewriter_speed();
void ui_typewriter(const char* text, float speed);
void ui_print_banner();
// kind: "error", "warning", "success", anything else is info.
void ui_print_message(const char* text, const char* kind);
// Writes the action prompt and reads one line (trailing CR/LF removed); empty at end of input.
void ui_prompt_action(char* buffer, std::size_t capacity);

// Reads one line into `buffer` (at most capacity-1 bytes; the rest of a longer
// line is what the next read gets), removes trailing CR/LF. Flushes stdout
// first. Returns false, with an empty buffer, at end of input; from then on
// ui_input_closed() answers true.
bool ui_read_line(char* buffer, std::size_t capacity);
bool ui_input_closed();
// Reads one line and discards whatever of it did not fit in `capacity`.
bool ui_read_line_discard_rest(char* buffer, std::size_t capacity);
// "Presiona Enter para continuar..." then one line of at most 31 bytes, ignored
// with the rest of a longer line. False when input has ended.
bool ui_pause_enter();
// The menu entry named by an answer of exactly one character from '1' to
// `last`, else 0.
char ui_menu_choice(const char* answer, char last);

// Tests and the author's tools may replace standard input as the line source.
using UiLineSource = bool (*)(char* buffer, std::size_t capacity, void* context);
void ui_set_line_source(UiLineSource source, void* context);
