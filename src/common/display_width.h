// How many terminal columns a UTF-8 text takes, how to cut it to a number of
// columns without splitting a character, and how to word-wrap it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Length of the well-formed UTF-8 sequence that starts `text` (1 for ASCII),
// or 0 when it starts none: a stray continuation byte, an overlong or
// surrogate form, a value above U+10FFFF, a sequence cut short, no text.
std::size_t utf8_sequence_length(std::string_view text);

// Columns of a text on a terminal: East Asian wide characters and emoji 2,
// other characters 1, combining marks, joiners and variation selectors 0 (a
// character followed by U+FE0F takes 2, and a character joined to the one
// before it by U+200D takes nothing more), each byte that is not valid UTF-8
// 1, control bytes and the escape sequences the program colours with 0.
int text_display_width(std::string_view text);

// The bytes of the longest start of `text` that fits in `columns` columns.
// A character is never split, nor separated from the marks, selectors and
// joined characters that follow it. `width`, when given, receives the
// columns the start takes.
std::size_t text_prefix_for_width(std::string_view text, int columns, int* width = nullptr);

// The text with line feeds put in so that no line takes more than `width`
// columns, the first line starting at column `column`: a line is broken at
// the blanks before the word that does not fit (those blanks are dropped),
// and a word longer than a whole line is broken where the line ends. Line
// feeds already in the text are kept and start the count again; a tab
// reaches the next multiple of 8. A width of 0 or less leaves the text as
// it is.
std::string text_wrap(std::string_view text, int width, int column = 0);
